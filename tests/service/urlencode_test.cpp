// CURLEncode: the encode set, controls and high bytes, and what stays literal.
#include "service/urlencode.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(URLEncode, EncodeSetAndLiterals) {
    CURLEncode e;
    EXPECT_EQ(std::strlen(CURLEncode::kEncodeSet), 19u);
    struct Case {
        std::string in, out;
    } cases[] = {
        {"a b&c", "a%20b%26c"},
        {"ab+/cd==", "ab%2B/cd%3D%3D"},
        {"\"<>%\\^[]`+$,@;!#?=&", "%22%3C%3E%25%5C%5E%5B%5D%60%2B%24%2C%40%3B%21%23%3F%3D%26"},
        {"{|}~\x7f", "%7B%7C%7D%7E%7F"},
        {std::string("\n\t\x01\x00", 4), "%0A%09%01%00"},
        {"/:'()*-._AZaz09", "/:'()*-._AZaz09"},
        {"\xe4\xb8\xad\xb0\xa1", "%E4%B8%AD%B0%A1"},  // UTF-8 and GBK bytes alike, byte by byte
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(e.URLEncode(c.in), c.out) << c.in;
}

TEST(URLEncode, EveryByteEitherLiteralOrThreeCharacters) {
    CURLEncode e;
    const std::string literal = "'()*-./0123456789:ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
    for (int b = 0; b < 256; ++b) {
        std::string in(1, static_cast<char>(b));
        std::string out = e.URLEncode(in);
        bool keep = b != 0 && literal.find(static_cast<char>(b)) != std::string::npos;
        if (keep) {
            EXPECT_EQ(out, in) << b;
        } else {
            char expect[4];
            std::snprintf(expect, sizeof expect, "%%%02X", b);
            EXPECT_EQ(out, expect) << b;
        }
    }
}

}  // namespace
