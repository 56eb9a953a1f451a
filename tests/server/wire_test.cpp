// Names and numbers as the service reads them from requests and writes them into replies.
#include <gtest/gtest.h>

#include "portal.h"
#include "wire.h"

namespace {

TEST(Wire, NamesAreWrittenAsTheClientDecodesThem) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"alice/plain.txt", "alice/plain.txt"},
        {"a&b", "a&#x0026;b"},
        {"\xe4\xb8\xad", "&#x4E2D;"},                // U+4E2D
        {"\xc3\xa9t\xc3\xa9", "&#x00E9;t&#x00E9;"},  // two-byte UTF-8
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},    // beyond the BMP stays UTF-8
        {"\xff", "?"},                               // never emits a broken sequence
    };
    for (const Case& k : cases)
        EXPECT_EQ(kserver::EncodeWireName(k.in), k.out) << k.in;
    EXPECT_EQ(kserver::DecodeRequestName("a&amp;b&amp;amp;c&lt;"), "a&b&amp;c&lt;");
}

TEST(Wire, ServerPathsAreCheckedComponentByComponent) {
    const char* good[] = {"alice",         "alice/a b/c.txt", "17/x", "alice/\xe4\xb8\xad",
                          "alice/.hidden", "alice/a..b"};
    const char* bad[] = {"",   "/alice",     "alice/",     "alice//x",   "alice/./x",     "alice/../x",
                         "..", "alice/a\tb", "alice/\x7f", "alice/\xc3", "alice/\xc0\xaf"};
    std::vector<std::string> parts;
    for (const char* p : good)
        EXPECT_TRUE(kserver::SplitPath(p, &parts)) << p;
    for (const char* p : bad)
        EXPECT_FALSE(kserver::SplitPath(p, &parts)) << p;
    EXPECT_FALSE(kserver::SplitPath(std::string("alice/a\0b", 9), &parts));
    EXPECT_FALSE(kserver::SplitPath("alice/" + std::string(256, 'x'), &parts));
    EXPECT_FALSE(kserver::SplitPath(std::string(4097, 'x'), &parts));
    ASSERT_TRUE(kserver::SplitPath("alice/a b/c.txt", &parts));
    EXPECT_EQ(parts, (std::vector<std::string>{"alice", "a b", "c.txt"}));
}

TEST(Wire, NumbersAreStrictDecimals) {
    struct Case {
        const char* text;
        bool ok;
        int64_t value;
    } cases[] = {
        {"0", true, 0},   {"-12", true, -12}, {"9223372036854775807", true, INT64_MAX},
        {"", false, 0},   {"+1", false, 0},   {"1x", false, 0},
        {" 1", false, 0}, {"0x10", false, 0}, {"9223372036854775808", false, 0},
    };
    for (const Case& k : cases) {
        int64_t v = -99;
        EXPECT_EQ(kserver::ParseInt64(k.text, &v), k.ok) << k.text;
        if (k.ok) {
            EXPECT_EQ(v, k.value) << k.text;
        }
    }
}

TEST(Wire, PasswordsSurviveTheClientsBlowfishEncoding) {
    struct Case {
        std::string password, stamp;
        size_t base64Length;
    } cases[] = {
        {"12345678", "123456", 12},   // one block
        {"123456789", "123456", 24},  // two blocks, zero-padded
        {"pw", "7", 12},              // a key shorter than Blowfish's minimum
        {std::string(64, 'p'), "-2147483000", 88},
    };
    for (const Case& k : cases) {
        std::string text = kserver::EncryptPassword(k.password, k.stamp);
        EXPECT_EQ(text.size(), k.base64Length) << k.password;
        std::string plain;
        ASSERT_TRUE(kserver::DecryptPassword(text, k.stamp, &plain)) << k.password;
        EXPECT_EQ(plain, k.password);
        ASSERT_TRUE(kserver::DecryptPassword(text, k.stamp + "1", &plain));
        EXPECT_NE(plain, k.password) << "the time stamp is the key";
    }
    std::string plain;
    EXPECT_FALSE(kserver::DecryptPassword("YWJj", "1234", &plain)) << "not a whole block";
    EXPECT_FALSE(kserver::DecryptPassword("", "1234", &plain));
    EXPECT_FALSE(kserver::DecryptPassword(kserver::EncryptPassword("x", "1"), std::string(57, '1'), &plain));
}

TEST(Wire, DigestHeadersAreSplitIntoTheirParameters) {
    auto d = kserver::ParseDigestHeader(
        "Digest username=\"al,ice\", realm=\"kestrine\", nonce=\"1-ab\", uri=\"/p?a=1&b=2\", "
        "algorithm=MD5, response=\"00ff\", qop=auth, nc=00000001, cnonce=\"xyz\"");
    EXPECT_EQ(d["username"], "al,ice");
    EXPECT_EQ(d["uri"], "/p?a=1&b=2");
    EXPECT_EQ(d["qop"], "auth");
    EXPECT_EQ(d["nc"], "00000001");
    EXPECT_EQ(d["cnonce"], "xyz");
    EXPECT_TRUE(kserver::ParseDigestHeader("Basic YWxpY2U6cHc=").empty());
    EXPECT_TRUE(kserver::ParseDigestHeader("").empty());
}

}  // namespace
