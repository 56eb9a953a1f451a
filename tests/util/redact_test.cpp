// The log mask: secret items in the shapes the client logs them (the portal's sign-in URL and
// answer, SOAP request heads, key=value texts), the values the client remembered, and texts that
// must come through unchanged.
#include "util/redact.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Redact, SecretItemsAreMaskedWhereverTheLineCarriesThem) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        // The sign-in URL: the wrapped password's query parameter, URL-encoded Base64.
        {"http://h:1/kestrine/LoginServlet?user_name=alice&password=q%2BZk%3D%3D&time_stamp=123",
         "http://h:1/kestrine/LoginServlet?user_name=alice&password=***&time_stamp=123"},
        {"http://h/?password=abc", "http://h/?password=***"},
        {"http://h/?PassWord=abc#frag", "http://h/?PassWord=***#frag"},
        // The portal's answer (JSON), with and without blanks.
        {R"({"result":"OK","message":"login success","passport":"P-123abc","telephone":"1"})",
         R"({"result":"OK","message":"login success","passport":"***","telephone":"1"})"},
        {R"({"passport" : "P-1"})", R"({"passport" : "***"})"},
        // A SOAP request head: digest and passport as attributes, in either quote.
        {R"(<request_head user_name="alice" password="0cc175b9c0f1b6a8" passport="P-9" req_sequence="3"/>)",
         R"(<request_head user_name="alice" password="***" passport="***" req_sequence="3"/>)"},
        {"<h password='x y' a='1'/>", "<h password='***' a='1'/>"},
        // As elements, with a namespace prefix too.
        {"<a><password>s3cret</password><b>1</b></a>", "<a><password>***</password><b>1</b></a>"},
        {"<ns:passport >P-1</ns:passport>", "<ns:passport >***</ns:passport>"},
        // Names that end in a secret name: a proxy's, the table's key.
        {"proxy_passwd=hunter2; user=bob", "proxy_passwd=***; user=bob"},
        {"login_pwd=abc,next", "login_pwd=***,next"},
        // A cookie header and a header line.
        {"Cookie: a=1; passport=P-77; b=2", "Cookie: a=1; passport=***; b=2"},
        // An unterminated quote masks to the end of the value.
        {"password=\"abc", "password=\"***"},
        {"password=", "password=***"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(redact::Items(c.in), c.out) << c.in;
}

TEST(Redact, OrdinaryTextsPassUnchanged) {
    const char* const texts[] = {
        "Fail to get passport for User {alice}",
        "The password of user alice is longer than 64 bytes",
        "Fail to find {passport} from {}...",
        "<passport/>",
        "</password>",
        "a=b&c=d",
        "",
        "password",
        "passwords: 3",
        "<request_head user_name=\"alice\" req_sequence=\"1\"/>",
    };
    for (const char* t : texts)
        EXPECT_EQ(redact::Items(t), t) << t;
}

TEST(Redact, RememberedValuesAreMaskedAnywhere) {
    redact::Forget();
    redact::Remember("pw-alice");
    redact::Remember("cHctYWxpY2U=");     // its Base64, as the table kept it
    redact::Remember("abc");              // too short to mask safely: ignored
    redact::Remember("xpw-alicex-long");  // contains another one: masked whole
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"curl said pw-alice twice: pw-alice", "curl said *** twice: ***"},
        {"stored cHctYWxpY2U= here", "stored *** here"},
        {"abc stays", "abc stays"},
        {"[xpw-alicex-long]", "[***]"},
        {"password=pw-alice&x=1", "password=***&x=1"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(redact::Line(c.in), c.out) << c.in;
    redact::Forget();
    EXPECT_EQ(redact::Line("pw-alice"), "pw-alice");
}

TEST(Redact, OnlyTheLatestValuesAreKept) {
    redact::Forget();
    redact::Remember("first-secret");
    for (size_t i = 0; i < redact::kMaxSecrets; ++i)
        redact::Remember("value-" + std::to_string(i));
    EXPECT_EQ(redact::Line("first-secret"), "first-secret");
    EXPECT_EQ(redact::Line("value-0 value-63"), "*** ***");
    redact::Forget();
}

}  // namespace
