#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "util/util.h"

namespace {

TEST(Base64, Vectors) {
    const struct {
        const char* plain;
        const char* encoded;
    } cases[] = {
        {"a", "YQ=="},          {"ab", "YWI="},           {"abc", "YWJj"},      {"abcd", "YWJjZA=="},
        {"foobar", "Zm9vYmFy"}, {"\xff\xfe\xfd", "//79"}, {"\xfb\xff", "+/8="},
    };
    for (const auto& c : cases) {
        std::string enc, dec;
        ASSERT_TRUE(CUtil::Base64Encode(c.plain, &enc));
        EXPECT_EQ(enc, c.encoded);
        ASSERT_TRUE(CUtil::Base64Decode(c.encoded, &dec));
        EXPECT_EQ(dec, c.plain);
    }
}

TEST(Base64, TextFormsStopAtNulAndRefuseEmpty) {
    std::string out = "old";
    EXPECT_FALSE(CUtil::Base64Encode("", &out));
    EXPECT_EQ(out, "");
    out = "old";
    EXPECT_FALSE(CUtil::Base64Decode("", &out));
    EXPECT_EQ(out, "");

    ASSERT_TRUE(CUtil::Base64Encode(std::string("ab\0cd", 5), &out));
    EXPECT_EQ(out, "YWI=");
    // "a\0b" encoded: the text form of the decoder keeps the text up to its NUL.
    ASSERT_TRUE(CUtil::Base64Decode("YQBi", &out));
    EXPECT_EQ(out, "a");
}

// What the decoder makes of input that is not clean Base64: skipped characters, the first "="
// ending the input, stray groups; none of it may read or write out of bounds (ASan build).
TEST(Base64, DecoderOnGarbage) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {" YWJj", "abc"},
        {"Y WJj", "abc"},
        {"YW Jj", "abc"},
        {"YWJ j", "abc"},
        {"YWJj ", "abc"},
        {"Y\r\nW\tJ-j", "abc"},
        {"YQ==YWJj", "a"},  // stops at the first "="
        {"=YWJj", ""},
        {"YWJjZ", "abc"},  // one leftover character carries no byte
        {"YWJjZA", "abcd"},
        {"!!!!", ""},
        {"\x80\xff\x01", ""},
        {std::string("YW\0Jj", 5), "abc"},  // NUL inside the counted bytes is outside the alphabet
    };
    for (const auto& c : cases) {
        std::string out = "x";
        CUtil::Base64DecodeBytes(c.in.data(), c.in.size(), &out);
        EXPECT_EQ(out, c.out) << '"' << c.in << '"';
    }
    // Every byte value, at every length up to 300: no crash, output bounded by 3/4 of input.
    std::string all;
    for (int i = 0; i < 300; ++i)
        all.push_back(static_cast<char>(i * 7 + 3));
    for (size_t n = 1; n <= all.size(); ++n) {
        std::string out;
        ASSERT_TRUE(CUtil::Base64DecodeBytes(all.data(), n, &out));
        EXPECT_LE(out.size(), n * 3 / 4 + 2);
    }
    std::string out = "x";
    EXPECT_FALSE(CUtil::Base64DecodeBytes(nullptr, 4, &out));
    EXPECT_EQ(out, "");
}

TEST(Base64, BinaryRoundTrip) {
    for (size_t len = 0; len < 200; ++len) {
        std::string bytes;
        for (size_t i = 0; i < len; ++i)
            bytes.push_back(static_cast<char>((i * 37 + len) & 0xFF));
        if (len > 2)
            bytes[1] = '\0';  // zero bytes are data here
        const std::string enc = CUtil::Base64EncodeBytes(bytes.data(), bytes.size());
        EXPECT_EQ(enc.size(), (len + 2) / 3 * 4);
        std::string dec;
        EXPECT_EQ(CUtil::Base64DecodeBytes(enc.data(), enc.size(), &dec), len > 0);
        EXPECT_EQ(dec, bytes) << len;
    }
}

}  // namespace
