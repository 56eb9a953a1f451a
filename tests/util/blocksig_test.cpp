#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/randombytes.h"
#include "util/md5.h"
#include "util/util.h"

namespace {

// Byte-by-byte definition: s1 sums the signed bytes, s2 sums the running s1.
uint32_t ReferenceSum(const std::vector<uint8_t>& bytes, size_t from, size_t len) {
    int64_t s1 = 0, s2 = 0;
    for (size_t i = from; i < from + len; ++i) {
        s1 += static_cast<int8_t>(bytes[i]);
        s2 += s1;
    }
    return static_cast<uint32_t>((static_cast<uint64_t>(s1) & 0xffff) + (static_cast<uint64_t>(s2) << 16));
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    const std::string s = testsupport::RandomBytes(n, seed);
    return std::vector<uint8_t>(s.begin(), s.end());
}

TEST(WeakChecksum, KnownValues) {
    const uint8_t ff[] = {255};
    EXPECT_EQ(CUtil::WeakChecksum(ff, 1), 4294967295u);
    const uint8_t five[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(CUtil::WeakChecksum(five, 5), 15u + 35u * 65536u);
    EXPECT_EQ(CUtil::WeakChecksum(five, 0), 0u);
}

TEST(WeakChecksum, MatchesByteByByteDefinitionForEveryTailLength) {
    auto bytes = RandomBytes(4100, 7);
    for (size_t len : {1, 2, 3, 4, 5, 6, 7, 8, 9, 4095, 4096, 4097, 4100}) {
        EXPECT_EQ(CUtil::WeakChecksum(bytes.data(), len), ReferenceSum(bytes, 0, len)) << len;
    }
}

// The delta encoder rolls the sum one byte at a time (dropping the first byte, adding the next
// while there is one, else shrinking the window); the rolled value must equal a fresh sum.
TEST(WeakChecksum, RollingEqualsFreshSum) {
    const size_t total = 3 * 4096 + 123;
    auto bytes = RandomBytes(total, 11);
    for (size_t i = 0; i < total; i += 97) {
        bytes[i] = 0xff;  // make sure high bytes (negative values) are rolled out and in
    }
    uint32_t sum = CUtil::WeakChecksum(bytes.data(), 4096);
    uint32_t s1 = sum & 0xffff, s2 = sum >> 16;
    size_t k = 4096;
    for (size_t off = 0; off + 1 < total; ++off) {
        uint32_t b = static_cast<uint32_t>(int32_t{static_cast<int8_t>(bytes[off])});
        s1 -= b;
        s2 -= static_cast<uint32_t>(k) * b;
        if (off + k < total) {
            s1 += static_cast<uint32_t>(int32_t{static_cast<int8_t>(bytes[off + k])});
            s2 += s1;
        } else {
            --k;
        }
        uint32_t rolled = (s1 & 0xffff) + ((s2 & 0xffff) << 16);
        ASSERT_EQ(rolled, CUtil::WeakChecksum(bytes.data() + off + 1, k)) << "offset " << off + 1;
    }
}

TEST(BlockSignatures, BlocksTextsAndCount) {
    struct Case {
        size_t len;
        int32_t blocks;
        size_t lastBlock;
    };
    for (Case c : {Case{1, 1, 1}, Case{4096, 1, 4096}, Case{4097, 2, 1}, Case{3 * 4096 + 10, 4, 10}}) {
        auto bytes = RandomBytes(c.len, static_cast<uint32_t>(c.len));
        std::string sums = "stale", hashes = "stale";
        int32_t count = -1;
        ASSERT_TRUE(CUtil::GetBlockSignatures(bytes.data(), c.len, &sums, &hashes, &count));
        EXPECT_EQ(count, c.blocks) << c.len;
        std::string wantSums, wantHashes;
        for (size_t off = 0; off < c.len; off += 4096) {
            size_t n = std::min<size_t>(4096, c.len - off);
            if (off + n == c.len) {
                EXPECT_EQ(n, c.lastBlock);
            }
            char text[16];
            std::snprintf(text, sizeof text, "%u,", ReferenceSum(bytes, off, n));
            wantSums += text;
            uint8_t digest[16];
            CMd5::Digest(bytes.data() + off, n, digest);
            for (uint8_t d : digest) {
                std::snprintf(text, sizeof text, "%02X", d);
                wantHashes += text;
            }
            wantHashes += ',';
        }
        EXPECT_EQ(sums, wantSums) << c.len;
        EXPECT_EQ(hashes, wantHashes) << c.len;
    }
}

TEST(BlockSignatures, EmptyAndNull) {
    std::string sums = "x", hashes = "y";
    int32_t count = 5;
    EXPECT_TRUE(CUtil::GetBlockSignatures(nullptr, 0, &sums, &hashes, &count));
    EXPECT_EQ(sums, "");
    EXPECT_EQ(hashes, "");
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(CUtil::GetBlockSignatures(nullptr, 10, &sums, &hashes, &count));
    EXPECT_EQ(count, 0);
}

}  // namespace
