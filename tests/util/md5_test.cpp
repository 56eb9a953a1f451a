#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "util/md5.h"
#include "util/util.h"

namespace {

std::string Hex(const uint8_t d[16]) {
    std::string s;
    CUtil::Md5ToHex(d, &s);
    return s;
}

// Restores the process-wide switch whatever a test does.
struct UpperCaseGuard {
    ~UpperCaseGuard() { CUtil::SetDigestUpperCase(false); }
};

TEST(Md5, Rfc1321Suite) {
    const struct {
        const char* input;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) {
        const std::string in = c.input;
        uint8_t d[16];
        CMd5::Digest(in.data(), in.size(), d);
        std::string want = c.digest;
        for (auto& ch : want)
            ch = static_cast<char>(toupper(ch));
        EXPECT_EQ(Hex(d), want) << '"' << in << '"';
        if (!in.empty()) {
            std::string text;
            ASSERT_TRUE(CUtil::GetMd5String(in.data(), in.size(), &text));
            EXPECT_EQ(text, c.digest);
        }
    }
}

// Lengths around the padding boundaries (55/56/63/64 bytes) and pieces that split blocks
// unevenly must give the one-shot digest.
TEST(Md5, IncrementalMatchesOneShot) {
    std::vector<uint8_t> data(5 * 1024 * 1024 + 77);
    uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    for (size_t len : {size_t(0), size_t(1), size_t(55), size_t(56), size_t(57), size_t(63), size_t(64),
                       size_t(65), size_t(119), size_t(120), size_t(128), data.size()}) {
        uint8_t whole[16];
        CMd5::Digest(data.data(), len, whole);
        for (size_t piece : {size_t(1), size_t(7), size_t(63), size_t(64), size_t(100), size_t(65536)}) {
            if (piece == 1 && len > 4096)
                continue;
            CMd5 md5;
            for (size_t off = 0; off < len; off += piece)
                md5.Update(data.data() + off, std::min(piece, len - off));
            uint8_t parts[16];
            md5.Final(parts);
            EXPECT_EQ(Hex(parts), Hex(whole)) << "len " << len << " piece " << piece;
        }
    }
    // Final leaves the object reset: a second use digests afresh.
    CMd5 md5;
    md5.Update("xyz", 3);
    uint8_t d[16];
    md5.Final(d);
    md5.Update("abc", 3);
    md5.Final(d);
    EXPECT_EQ(Hex(d), "900150983CD24FB0D6963F7D28E17F72");
}

TEST(Md5, DigestStringSwitchAndRefusals) {
    UpperCaseGuard guard;
    std::string out = "untouched";
    EXPECT_FALSE(CUtil::GetMd5String("abc", 0, &out));
    EXPECT_FALSE(CUtil::GetMd5String(nullptr, 3, &out));
    EXPECT_EQ(out, "untouched");

    CUtil::SetDigestUpperCase(true);
    ASSERT_TRUE(CUtil::GetMd5String("abc", 3, &out));  // replaces, does not append
    EXPECT_EQ(out, "900150983CD24FB0D6963F7D28E17F72");
    CUtil::SetDigestUpperCase(false);
    ASSERT_TRUE(CUtil::GetMd5String("abc", 3, &out));
    EXPECT_EQ(out, "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, HexRoundTripAndRefusals) {
    uint8_t d[16];
    CMd5::Digest("abc", 3, d);
    std::string hex = "prefix:";
    ASSERT_TRUE(CUtil::Md5ToHex(d, &hex));  // appends
    EXPECT_EQ(hex, "prefix:900150983CD24FB0D6963F7D28E17F72");

    uint8_t back[16] = {};
    ASSERT_TRUE(CUtil::HexToMd5("900150983cd24fb0D6963F7D28E17F72", back));
    EXPECT_EQ(0, memcmp(back, d, 16));

    const char* bad[] = {
        "",
        "900150983cd24fb0d6963f7d28e17f7",    // 31 digits
        "900150983cd24fb0d6963f7d28e17f722",  // 33 digits
        "900150983cd24fb0d6963f7d28e17fZ2",   // not hex
        "900150983cd24fb0d6963f7d28e17f 2",
        "0x0150983cd24fb0d6963f7d28e17f72",
    };
    for (const char* b : bad) {
        uint8_t out[16];
        memset(out, 0xAB, sizeof(out));
        EXPECT_FALSE(CUtil::HexToMd5(b, out)) << b;
        for (uint8_t v : out)
            EXPECT_EQ(v, 0xAB) << b;
    }
    EXPECT_FALSE(CUtil::HexToMd5(std::string("900150983cd24fb0d6963f7d28e17f7\0", 32), back));
}

}  // namespace
