#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "store/chunkbuffer.h"
#include "store/fileinfo.h"
#include "util/util.h"

namespace {

const std::string K1(32, 'a');
const std::string K2 = "0123456789abcdef0123456789ABCDEF";
const std::string K3(32, '7');

TEST(ChunkBuffer, CapacityLimits) {
    CChunkBuffer none;
    EXPECT_EQ(none.GetData(), nullptr);
    EXPECT_EQ(none.GetCapacity(), 0u);

    CChunkBuffer largest(CChunkBuffer::kMaxCapacity);
    ASSERT_NE(largest.GetData(), nullptr);
    EXPECT_EQ(largest.GetCapacity(), 4194368u);
    EXPECT_EQ(largest.GetSize(), 0u);

    CChunkBuffer tooLarge(CChunkBuffer::kMaxCapacity + 1);
    EXPECT_EQ(tooLarge.GetData(), nullptr);
    EXPECT_EQ(tooLarge.GetCapacity(), 0u);

    CChunkBuffer b(10);
    EXPECT_TRUE(b.SetSize(10));
    EXPECT_FALSE(b.SetSize(11));
    EXPECT_EQ(b.GetSize(), 10u);
    EXPECT_TRUE(b.Reallocate(4194304));
    EXPECT_EQ(b.GetCapacity(), 4194304u);
    EXPECT_EQ(b.GetSize(), 0u);
    EXPECT_FALSE(b.Reallocate(4194305));
    EXPECT_EQ(b.GetData(), nullptr);
    EXPECT_FALSE(b.SetSize(1));
}

TEST(ChunkBuffer, AttachTakesTheBlock) {
    CChunkBuffer b(16);
    EXPECT_FALSE(b.Attach(nullptr, 5));
    EXPECT_EQ(b.GetCapacity(), 16u);
    std::unique_ptr<uint8_t[]> block(new uint8_t[7]);
    std::memcpy(block.get(), "abcdefg", 7);
    ASSERT_TRUE(b.Attach(std::move(block), 7));
    EXPECT_EQ(b.GetSize(), 7u);
    EXPECT_EQ(b.GetCapacity(), 7u);
    EXPECT_EQ(std::memcmp(b.GetData(), "abcdefg", 7), 0);
}

// Whole-chunk blocks are reused: a block must never have two owners, a small block must never
// be handed out for a large one, and an attached block must never enter the pool.
TEST(ChunkBuffer, ReusedBlocksHaveOneOwner) {
    auto fill = [](CChunkBuffer& b, uint8_t mark) {
        std::memset(b.GetData(), mark, b.GetCapacity() + CChunkBuffer::kSlack);
        return b.SetSize(b.GetCapacity());
    };
    auto intact = [](const CChunkBuffer& b, uint8_t mark) {
        for (size_t i = 0; i < b.GetCapacity() + CChunkBuffer::kSlack; ++i) {
            if (b.GetData()[i] != mark)
                return false;
        }
        return true;
    };
    {
        CChunkBuffer small(100);
        std::unique_ptr<uint8_t[]> block(new uint8_t[8]);
        CChunkBuffer attached;
        ASSERT_TRUE(attached.Attach(std::move(block), 8));
    }  // both go back to the heap, not into the pool
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                const uint8_t mark = static_cast<uint8_t>(t * 32 + round);
                CChunkBuffer a(CChunkBuffer::kMaxCapacity), b;
                if (!b.Reallocate(CChunkBuffer::kChunkSize) || !fill(a, mark) || !fill(b, mark ^ 0xFF)) {
                    ++failures[t];
                    continue;
                }
                std::this_thread::yield();
                failures[t] += !intact(a, mark) + !intact(b, mark ^ 0xFF);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    for (size_t t = 0; t < failures.size(); ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
}

TEST(FileInfo, ConstructorsAndReset) {
    CFileInfo f("/docs/a.txt", 0, 42);
    EXPECT_EQ(f.path, "/docs/a.txt");
    EXPECT_EQ(f.size, 42);
    EXPECT_TRUE(f.signaturesComplete);
    f.dirFlag = 7;
    f.modifyTime = 5;
    f.creationTime = 6;
    f.ownerName = "bob";
    f.changeKind = 3;
    f.syncState = 1;
    f.timeAdjusted = 1;
    f.chunkListText = K1;
    f.chunkCount = 1;
    f.AddChunk(K1, 10, "1,", "X,", 1);
    f.chunkBuffers[K1] = std::make_unique<CChunkBuffer>(10);
    f.Reset();
    EXPECT_EQ(f.path, "");
    EXPECT_EQ(f.dirFlag, 0);
    EXPECT_EQ(f.size, 0);
    EXPECT_EQ(f.modifyTime, 0);
    EXPECT_EQ(f.chunkCount, 0);
    EXPECT_EQ(f.syncState, 0);
    EXPECT_EQ(f.timeAdjusted, 0);
    EXPECT_TRUE(f.chunkListText.empty());
    EXPECT_TRUE(f.chunks.empty());
    EXPECT_TRUE(f.chunkBuffers.empty());
    // What Reset keeps.
    EXPECT_EQ(f.creationTime, 6);
    EXPECT_EQ(f.ownerName, "bob");
    EXPECT_EQ(f.changeKind, 3);
}

TEST(FileInfo, AddChunkRefusesEmptyKey) {
    CFileInfo f;
    EXPECT_FALSE(f.AddChunk("", 1, "", "", 0));
    EXPECT_TRUE(f.AddChunk(K1, 5, "1,", "AB,", 1));
    ASSERT_EQ(f.chunks.size(), 1u);
    EXPECT_EQ(f.chunks[0].size, 5);
    EXPECT_EQ(f.chunks[0].storageKey, "");
    EXPECT_EQ(f.chunks[0].blockCount, 1);
}

TEST(FileInfo, CopyDropsBuffersTableAndSignatureFlag) {
    CFileInfo src("/a", 0, 8192);
    src.modifyTime = 99;
    src.ownerName = "o";
    src.chunkListText = K1;
    src.chunkCount = 1;
    src.AddChunk(K1, 8192, "1,2,", std::string(32, 'A') + "," + std::string(32, 'B') + ",", 2);
    src.chunks[0].storageKey = "sk";
    src.chunkBuffers[K1] = std::make_unique<CChunkBuffer>(8192);
    src.signaturesComplete = false;
    ASSERT_TRUE(src.BuildBlockTable());

    CFileInfo copy(src);
    EXPECT_EQ(copy.path, "/a");
    EXPECT_EQ(copy.modifyTime, 99);
    EXPECT_EQ(copy.ownerName, "o");
    EXPECT_EQ(copy.chunkListText, K1);
    ASSERT_EQ(copy.chunks.size(), 1u);
    EXPECT_EQ(copy.chunks[0].storageKey, "sk");
    EXPECT_TRUE(copy.chunkBuffers.empty());
    EXPECT_TRUE(copy.blockTable.Empty());
    EXPECT_TRUE(copy.signaturesComplete);

    CFileInfo target;
    target.signaturesComplete = false;
    target.chunkBuffers["old"] = std::make_unique<CChunkBuffer>(4);
    target = src;
    EXPECT_TRUE(target.chunkBuffers.empty());
    EXPECT_FALSE(target.signaturesComplete);  // the target keeps its own flag
    EXPECT_EQ(src.chunkBuffers.size(), 1u);   // the source keeps its buffers
    EXPECT_FALSE(src.blockTable.Empty());

    CFileInfo moved(std::move(src));
    EXPECT_EQ(moved.chunkBuffers.size(), 1u);  // moving keeps the contents
    EXPECT_FALSE(moved.blockTable.Empty());
}

TEST(FileInfo, TakeChunkBuffer) {
    CFileInfo f;
    f.chunkBuffers[K1] = std::make_unique<CChunkBuffer>(3);
    EXPECT_EQ(f.TakeChunkBuffer(K2), nullptr);
    auto b = f.TakeChunkBuffer(K1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->GetCapacity(), 3u);
    EXPECT_TRUE(f.chunkBuffers.empty());
}

TEST(ChunkList, JoinAndSplit) {
    CFileInfo f;
    f.JoinChunkList();
    EXPECT_EQ(f.chunkListText, "");
    EXPECT_EQ(f.chunkCount, 0);

    for (const auto& k : {K1, K2, K3}) {
        f.AddChunk(k, 1, "", "", 0);
    }
    f.JoinChunkList();
    EXPECT_EQ(f.chunkListText, K1 + "," + K2 + "," + K3);
    EXPECT_EQ(f.chunkCount, 3);

    struct Case {
        std::string text;
        int32_t count;
        std::vector<std::string> keys;
    };
    const std::vector<Case> cases = {
        {"", 0, {}},
        {K1, 0, {K1}},
        {K1 + ",", 0, {K1}},  // a file of exactly one full chunk
        {K1 + "," + K2 + "," + K3, 0, {K1, K2, K3}},
        {K1 + "," + K2 + "," + K3 + ",", 0, {K1, K2, K3}},
        {K1 + "," + K2 + ",", 2, {K1, K2}},
    };
    for (const auto& c : cases) {
        CFileInfo g;
        g.chunkListText = c.text;
        g.chunkCount = c.count;
        ASSERT_TRUE(g.SplitChunkList()) << c.text;
        ASSERT_EQ(g.chunks.size(), c.keys.size()) << c.text;
        for (size_t i = 0; i < c.keys.size(); ++i) {
            EXPECT_EQ(g.chunks[i].key, c.keys[i]);
            EXPECT_EQ(g.chunks[i].size, 0);
        }
    }
}

TEST(ChunkList, SplitRefusesMalformedText) {
    struct Case {
        std::string text;
        int32_t count;
    };
    const std::vector<Case> cases = {
        {K1.substr(1), 0},                              // 31 characters
        {K1 + "b", 0},                                  // 33 characters
        {K1 + "," + K2.substr(0, 20), 0},               // short last key
        {"abc," + K2, 0},                               // short first key
        {"," + K1, 0},                                  // leading comma
        {K1 + ",," + K2, 0},                            // empty key between
        {K1 + ",,", 0},                                 // two trailing commas
        {std::string(31, 'a') + "g," + K2, 0},          // not hexadecimal
        {"../../../../../../etc/passwd0000," + K1, 0},  // a path, not a key
        {K1 + "," + K2, 3},                             // count differs from the keys
    };
    for (const auto& c : cases) {
        CFileInfo g;
        g.chunkListText = c.text;
        g.chunkCount = c.count;
        g.chunks.emplace_back(K3);
        EXPECT_FALSE(g.SplitChunkList()) << c.text;
        EXPECT_TRUE(g.chunks.empty()) << c.text;
        EXPECT_EQ(g.chunkListText, c.text);
    }
}

TEST(ChunkList, GetChunkCount) {
    struct Case {
        std::string text;
        int32_t stored;
        int32_t expected;
    };
    const std::vector<Case> cases = {
        {"", 0, 0},
        {K1 + "," + K2 + "," + K3, 0, 3},
        {K1 + "," + K2 + ",", 0, 2},
        {K1 + "," + K2 + ",abc", 0, 2},  // a last part that is not a key is not counted
        {K1, 0, 1},
        {K1 + "," + K2, 5, 5},  // a stored count is returned as it is
    };
    for (const auto& c : cases) {
        CFileInfo g;
        g.chunkListText = c.text;
        g.chunkCount = c.stored;
        EXPECT_EQ(g.GetChunkCount(), c.expected) << c.text;
        EXPECT_EQ(g.chunkCount, c.expected);
    }
}

CFileInfo Rec(int32_t dir, int64_t size, int64_t time, const std::string& list = "") {
    CFileInfo f("/x", dir, size);
    f.modifyTime = time;
    f.chunkListText = list;
    return f;
}

TEST(Compare, ThreeComparisons) {
    struct Case {
        const char* what;
        CFileInfo a, b;
        bool sameContent, sameVersion, unchanged;
    };
    const int64_t T = 130000000000000000;
    const std::vector<Case> cases = {
        {"equal size and time, other lists", Rec(0, 5, T, K1), Rec(0, 5, T, K2), false, true, true},
        {"other time, equal lists", Rec(0, 5, T, K1), Rec(0, 5, T + 1, K1), true, false, true},
        {"other time, other lists", Rec(0, 5, T, K1), Rec(0, 5, T + 1, K2), false, false, false},
        {"other size", Rec(0, 5, T, K1), Rec(0, 6, T, K1), false, false, false},
        {"negated time", Rec(0, 5, -T, K1), Rec(0, 5, T, K2), false, true, true},
        {"zero time", Rec(0, 5, 0, K1), Rec(0, 5, T, K2), false, false, true},
        {"folder vs file", Rec(1, 0, 1), Rec(0, 0, 1), false, false, false},
        {"empty file vs folder", Rec(0, 0, T), Rec(1, 0, 1), true, false, false},
        {"two folders", Rec(1, 0, 1), Rec(1, 0, 5), true, true, true},
        {"folder became shared", Rec(1, 0, 1), Rec(123, 0, 1), false, false, false},
        {"most negative time", Rec(0, 5, INT64_MIN, K1), Rec(0, 5, 1, K1), true, false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a.IsSameContent(c.b), c.sameContent) << c.what;
        EXPECT_EQ(c.a.IsSameVersion(c.b), c.sameVersion) << c.what;
        EXPECT_EQ(c.a.IsUnchanged(c.b), c.unchanged) << c.what;
    }
}

// An old version's record as the chunk journal gives it back.
CFileInfo OldRecord(int64_t size, const std::vector<std::pair<int32_t, int32_t>>& chunks) {
    CFileInfo f("/old", 0, size);
    int n = 0;
    for (auto [chunkSize, blocks] : chunks) {
        std::string sums, hashes;
        for (int b = 0; b < blocks; ++b) {
            sums += std::to_string(1000u * n + b) + ",";
            hashes += std::string(32, "0123456789ABCDEF"[b % 16]) + ",";
        }
        f.AddChunk(std::string(32, 'a' + n), chunkSize, sums, hashes, blocks);
        f.chunks.back().storageKey = "storage-" + std::to_string(n);
        ++n;
    }
    return f;
}

TEST(BlockTable, BuiltFromChunkSignatures) {
    CFileInfo f = OldRecord(4194304 + 5000, {{4194304, 1024}, {5000, 2}});
    ASSERT_TRUE(f.BuildBlockTable());
    const CBlockTable& t = f.blockTable;
    EXPECT_EQ(t.totalLength, 4194304 + 5000);
    EXPECT_EQ(t.count, 1026);
    ASSERT_EQ(t.entries.size(), 1026u);
    EXPECT_EQ(t.blockLength, 4096);
    EXPECT_EQ(t.remainder, 5000 - 4096);
    EXPECT_EQ(t.strongLength, 16);
    EXPECT_STREQ(t.entries[1023].name, "storage-0");
    EXPECT_EQ(t.entries[1023].offset, 1023 * 4096);
    EXPECT_STREQ(t.entries[1024].name, "storage-1");
    EXPECT_EQ(t.entries[1024].offset, 0);
    EXPECT_EQ(t.entries[1025].offset, 4096);
    EXPECT_EQ(t.entries[1025].length, 904);
    EXPECT_EQ(t.entries[1025].weakSum, 1001u);
    EXPECT_EQ(t.entries[1025].strongSum[0], 0x11);
    EXPECT_EQ(t.entries[0].chain, -1);
    EXPECT_EQ(t.entries[0].flags, 0);

    CFileInfo empty("/e", 0, 0);
    EXPECT_TRUE(empty.BuildBlockTable());
    EXPECT_TRUE(empty.blockTable.Empty());
}

TEST(BlockTable, RefusesSignaturesThatDoNotDescribeTheFile) {
    struct Case {
        const char* what;
        CFileInfo f;
    };
    std::vector<Case> cases;
    cases.push_back({"size larger than the chunks", OldRecord(9000, {{8192, 2}})});
    cases.push_back({"fewer signatures than blocks", OldRecord(8192, {{8192, 1}})});
    cases.push_back({"more signatures than blocks", OldRecord(8192, {{8192, 3}})});
    cases.push_back({"inner chunk not whole blocks", OldRecord(10000, {{5000, 2}, {5000, 2}})});
    {
        CFileInfo f = OldRecord(8192, {{8192, 2}});
        f.chunks[0].storageKey.clear();
        cases.push_back({"no storage key", std::move(f)});
    }
    {
        CFileInfo f = OldRecord(8192, {{8192, 2}});
        f.chunks[0].storageKey = std::string(80, 's');
        cases.push_back({"storage key too long for a name", std::move(f)});
    }
    {
        CFileInfo f = OldRecord(8192, {{8192, 2}});
        f.chunks[0].blockHashes = "XYZ" + f.chunks[0].blockHashes.substr(3);
        cases.push_back({"hash not hexadecimal", std::move(f)});
    }
    {
        CFileInfo f = OldRecord(8192, {{8192, 2}});
        f.chunks[0].blockSums = "12a,3,";
        cases.push_back({"sum not a number", std::move(f)});
    }
    {
        CFileInfo f = OldRecord(8192, {{8192, 2}});
        f.chunks[0].blockSums = "4294967296,3,";
        cases.push_back({"sum above 32 bits", std::move(f)});
    }
    {
        CFileInfo f = OldRecord(8192, {{8192, 2}});
        f.chunks[0].blockSums = ",3,";
        cases.push_back({"empty token", std::move(f)});
    }
    for (auto& c : cases) {
        EXPECT_FALSE(c.f.BuildBlockTable()) << c.what;
        EXPECT_TRUE(c.f.blockTable.Empty()) << c.what;
    }
}

}  // namespace
