// Chunking of local files (keys, list texts, signatures, memory or cache) and the chunk cache.
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <string>
#include <vector>

#include "filecache_fixture.h"
#include "platform/file.h"
#include "support/randombytes.h"
#include "util/util.h"

namespace {

using fctest::FileCacheFixture;
using testsupport::RandomBytes;

constexpr int64_t kChunk = 4194304;

std::string Md5(const std::string& bytes) {
    std::string key;
    CUtil::GetMd5String(bytes.data(), bytes.size(), &key);
    return key;
}

class ChunkTest : public FileCacheFixture {
  protected:
    // A record as the scan makes it for a file written now.
    CFileInfo Record(const std::string& rel) {
        platform::FileStat st;
        EXPECT_TRUE(platform::Stat(Abs(rel), &st));
        return CFileInfo(rel, 0, st.size);
    }
    std::string CacheFile(const std::string& key) { return t_.ReadFile("cache/" + key); }
    bool Cached(const std::string& key) { return t_.Exists("cache/" + key); }

    // Checks every chunk of `info` against the pieces of `data`.
    void ExpectChunks(const CFileInfo& info, const std::string& data, bool inMemory) {
        const size_t n = (data.size() + kChunk - 1) / kChunk;
        ASSERT_EQ(info.chunks.size(), n);
        EXPECT_EQ(info.chunkCount, static_cast<int32_t>(n));
        std::string text;
        for (size_t i = 0; i < n; ++i) {
            const std::string piece = data.substr(i * kChunk, kChunk);
            const CChunkInfo& c = info.chunks[i];
            EXPECT_EQ(c.key, Md5(piece)) << i;
            EXPECT_EQ(c.size, static_cast<int32_t>(piece.size()));
            EXPECT_TRUE(c.storageKey.empty());
            std::string sums, hashes;
            int32_t blocks = 0;
            CUtil::GetBlockSignatures(piece.data(), piece.size(), &sums, &hashes, &blocks);
            EXPECT_EQ(c.blockSums, sums);
            EXPECT_EQ(c.blockHashes, hashes);
            EXPECT_EQ(c.blockCount, blocks);
            text += c.key + (piece.size() == static_cast<size_t>(kChunk) ? "," : "");
            if (inMemory) {
                auto it = info.chunkBuffers.find(c.key);
                ASSERT_NE(it, info.chunkBuffers.end());
                EXPECT_EQ(
                    std::string(reinterpret_cast<const char*>(it->second->GetData()), it->second->GetSize()),
                    piece);
                EXPECT_FALSE(Cached(c.key));
            } else {
                EXPECT_EQ(CacheFile(c.key), piece) << i;
            }
        }
        EXPECT_EQ(info.chunkListText, text);
        if (!inMemory) {
            EXPECT_TRUE(info.chunkBuffers.empty());
        }
    }
};

TEST_F(ChunkTest, SizesAroundChunkAndBlockEdges) {
    const size_t sizes[] = {0, 1, 4096, 4097, kChunk, kChunk + 1};
    for (size_t size : sizes) {
        const std::string data = RandomBytes(size, static_cast<uint32_t>(size));
        Write("/f.bin", data);
        CFileInfo info = Record("/f.bin");
        ASSERT_TRUE(cache_.LoadChunk(&info)) << size;
        ExpectChunks(info, data, true);
    }
    // The list text of a whole chunk keeps its comma; a final short chunk has none.
    Write("/f.bin", std::string(kChunk, 'a'));
    CFileInfo whole = Record("/f.bin");
    ASSERT_TRUE(cache_.LoadChunk(&whole));
    EXPECT_EQ(whole.chunkListText, Md5(std::string(kChunk, 'a')) + ",");
    EXPECT_EQ(whole.chunks[0].blockCount, 1024);
}

// Below 20 MiB the chunks stay in the record; from 20 MiB on each goes to the cache.
TEST_F(ChunkTest, MemoryThreshold) {
    const std::string data = RandomBytes(CFileCache::kMemoryChunkLimit, 7);
    Write("/small.bin", data.substr(0, data.size() - 1));
    CFileInfo small = Record("/small.bin");
    ASSERT_TRUE(cache_.LoadChunk(&small));
    ExpectChunks(small, data.substr(0, data.size() - 1), true);
    EXPECT_EQ(small.chunkBuffers.size(), 5u);

    Write("/large.bin", data);
    CFileInfo large = Record("/large.bin");
    ASSERT_TRUE(cache_.LoadChunk(&large));
    ExpectChunks(large, data, false);
    // Nothing but whole chunk files in the cache folder.
    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::ListDir(t_.Sub("cache"), &entries));
    EXPECT_EQ(entries.size(), 5u);
}

TEST_F(ChunkTest, PublicFormSkipsFoldersAndChunkedRecords) {
    MakeDirs("/dir");
    CFileInfo dir("/dir", 1, 0);
    EXPECT_TRUE(cache_.LoadChunk(&dir));
    EXPECT_TRUE(dir.chunks.empty());
    EXPECT_TRUE(log_.Contains("Can't load chunk from /dir"));

    Write("/f.txt", "hello");
    CFileInfo info = Record("/f.txt");
    ASSERT_TRUE(cache_.LoadChunk(&info));
    ASSERT_EQ(info.chunkBuffers.size(), 1u);
    ASSERT_TRUE(testsupport::RemoveTree(Abs("/f.txt")));
    EXPECT_TRUE(cache_.LoadChunk(&info));  // chunked already: the file is not read again
    EXPECT_EQ(info.chunks.size(), 1u);
    EXPECT_FALSE(cache_.LoadChunk(info.path, &info));  // the inner form reads it
    EXPECT_EQ(log_.LastError(), "Fail to open a localfile {" + Abs("/f.txt") + "}");
}

// A file that changed size since the scan fails and leaves no chunks in the record.
TEST_F(ChunkTest, SizeChangedSinceScan) {
    struct Case {
        int64_t onDisk;
        int64_t scanned;
    };
    const Case cases[] = {
        {10, 9},                                                                  // grew
        {9, 10},                                                                  // shrank
        {0, 1},                                                                   // emptied
        {kChunk + 5, kChunk},                                                     // grew past a chunk
        {CFileCache::kMemoryChunkLimit + kChunk, CFileCache::kMemoryChunkLimit},  // large, grew
        {CFileCache::kMemoryChunkLimit, CFileCache::kMemoryChunkLimit + 1},       // large, shrank
    };
    for (const Case& c : cases) {
        Write("/f.bin", std::string(static_cast<size_t>(c.onDisk), 'z'));
        CFileInfo info("/f.bin", 0, c.scanned);
        EXPECT_FALSE(cache_.LoadChunk(&info)) << c.onDisk << " " << c.scanned;
        EXPECT_TRUE(info.chunks.empty());
        EXPECT_TRUE(info.chunkBuffers.empty());
        EXPECT_TRUE(info.chunkListText.empty());
        EXPECT_EQ(info.chunkCount, 0);
        EXPECT_NE(log_.LastError().find("Mismatched filesize "), std::string::npos) << log_.LastError();
        EXPECT_NE(log_.LastError().find(" with " + std::to_string(c.scanned) + " of file: " + Abs("/f.bin")),
                  std::string::npos);
    }
}

TEST_F(ChunkTest, LockedUnreadableAndSpecialFiles) {
    Write("/locked.txt", "data");
    const int fd = ::open(Abs("/locked.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // another program holds it
    CFileInfo locked = Record("/locked.txt");
    EXPECT_FALSE(cache_.LoadChunk(&locked));
    EXPECT_EQ(log_.LastError(), "Fail to open a localfile {" + Abs("/locked.txt") + "}");
    ::close(fd);
    EXPECT_TRUE(cache_.LoadChunk(&locked));  // a later pass gets it

    // A read error part-way fails the file and keeps nothing of it.
    const std::string data = RandomBytes(kChunk + 100, 3);
    Write("/broken.bin", data);
    CFileInfo broken = Record("/broken.bin");
    platform::FailCall(platform::Op::Read, 1, 5 /* EIO */, "broken.bin", 1);
    EXPECT_FALSE(cache_.LoadChunk(&broken));
    EXPECT_TRUE(broken.chunks.empty());
    EXPECT_TRUE(broken.chunkBuffers.empty());
    EXPECT_NE(log_.LastError().find("Fail to read a localfile {" + Abs("/broken.bin") + "}"),
              std::string::npos);

    // A fifo in a file's place is not opened (it would block).
    ASSERT_EQ(::mkfifo(Abs("/fifo").c_str(), 0600), 0);
    CFileInfo fifo("/fifo", 0, 0);
    EXPECT_FALSE(cache_.LoadChunk(&fifo));
}

// A cached chunk is a piece of a user's file: its folder and file are private.
TEST_F(ChunkTest, CachedChunksArePrivate) {
    const mode_t oldMask = ::umask(022);
    const std::string data = RandomBytes(100, 4);
    const std::string key = Md5(data);
    CChunkBuffer in(data.size());
    std::copy(data.begin(), data.end(), in.GetData());
    in.SetSize(data.size());
    ASSERT_TRUE(cache_.CacheChunk(key, &in));
    ASSERT_TRUE(cache_.CacheChunk(key, &in));  // a second copy over the first
    CFileCache other;
    ASSERT_TRUE(other.SetCache(t_.Sub("fresh/cache")));
    ::umask(oldMask);
    struct stat st;
    ASSERT_EQ(::stat(t_.Sub("cache/" + key).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat(t_.Sub("fresh/cache").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(t_.Sub("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);  // only the folder asked for is the client's own
}

TEST_F(ChunkTest, CacheRoundTrip) {
    const std::string data = RandomBytes(5000, 9);
    const std::string key = Md5(data);
    CChunkBuffer in(data.size());
    std::copy(data.begin(), data.end(), in.GetData());
    in.SetSize(data.size());
    ASSERT_TRUE(cache_.CacheChunk(key, &in));
    EXPECT_EQ(CacheFile(key), data);

    CChunkInfo found;
    ASSERT_TRUE(cache_.FindCachedChunk(key, &found));
    EXPECT_EQ(found.key, key);
    EXPECT_EQ(found.size, 5000);
    CChunkBuffer out;
    ASSERT_TRUE(cache_.GetChunkCache(found, &out));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.GetData()), out.GetSize()), data);
    EXPECT_FALSE(cache_.FindCachedChunk(Md5("other"), &found));
}

// A cache file is taken only with exactly the length the chunk record expects.
TEST_F(ChunkTest, CacheFilesOfWrongLength) {
    const std::string key = Md5("k");
    struct Case {
        std::string content;
        int32_t expected;
        std::string error;
    };
    const Case cases[] = {
        {"short", 10, "Mismated chunk size: " + key + "(5, 10)"},
        {"longer than expected", 4, "Mismated chunk size: " + key + "(20, 4)"},
        {std::string(kChunk + 1, 'x'), static_cast<int32_t>(kChunk),
         "Mismated chunk size: " + key + "(" + std::to_string(kChunk + 1) + ", 4194304)"},
        {"", 0, "Fail to read a localfile {" + t_.Sub("cache/" + key) + "}"},
    };
    for (const Case& c : cases) {
        t_.WriteFile("cache/" + key, c.content);
        CChunkInfo chunk(key);
        chunk.size = c.expected;
        CChunkBuffer buffer;
        EXPECT_FALSE(cache_.GetChunkCache(chunk, &buffer)) << c.error;
        EXPECT_EQ(log_.LastError(), c.error);
    }
    ASSERT_TRUE(testsupport::RemoveTree(t_.Sub("cache/" + key)));
    CChunkInfo missing(key);
    missing.size = 1;
    CChunkBuffer buffer;
    EXPECT_FALSE(cache_.GetChunkCache(missing, &buffer));
    EXPECT_EQ(log_.LastError(), "Fail to open a chunk localfile {" + t_.Sub("cache/" + key) + "}");
    EXPECT_FALSE(cache_.GetChunkCache(CChunkInfo(""), &buffer));
    EXPECT_EQ(log_.LastError(), "Fail to process chunk: (0)");
}

// Keys name files in the cache folder: only 32 hex digits may, whatever the service sends.
TEST_F(ChunkTest, MalformedKeysNameNoFile) {
    t_.WriteFile("victim.txt", "precious");
    const std::string keys[] = {"../victim.txt",
                                "../../etc/passwd",
                                std::string(31, 'a'),
                                std::string(33, 'a'),
                                "0123456789abcdef0123456789abcdeg",
                                "/0123456789abcdef0123456789abcde"};
    CChunkBuffer buffer(4);
    buffer.SetSize(4);
    for (const std::string& key : keys) {
        EXPECT_FALSE(cache_.CacheChunk(key, &buffer)) << key;
        CChunkInfo chunk(key);
        chunk.size = 8;
        CChunkBuffer out;
        EXPECT_FALSE(cache_.GetChunkCache(chunk, &out)) << key;
        EXPECT_FALSE(cache_.FindCachedChunk(key, &chunk)) << key;
    }
    EXPECT_EQ(t_.ReadFile("victim.txt"), "precious");
    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::ListDir(t_.Sub("cache"), &entries));
    EXPECT_TRUE(entries.empty());
}

// A failed cache write leaves neither a short chunk under the key nor a temporary file.
TEST_F(ChunkTest, FailedCacheWriteLeavesNothing) {
    const std::string data = RandomBytes(100, 4);
    const std::string key = Md5(data);
    CChunkBuffer in(data.size());
    std::copy(data.begin(), data.end(), in.GetData());
    in.SetSize(data.size());
    for (platform::Op op : {platform::Op::Open, platform::Op::Write, platform::Op::Rename}) {
        platform::FailCall(op, 1, 28 /* ENOSPC */, key);
        EXPECT_FALSE(cache_.CacheChunk(key, &in));
        std::vector<platform::DirEntry> entries;
        ASSERT_TRUE(platform::ListDir(t_.Sub("cache"), &entries));
        EXPECT_TRUE(entries.empty());
        EXPECT_TRUE(log_.Contains("[CFileCache::CacheChunk]"));
    }
    // A large file whose chunk cannot be cached fails as a whole.
    Write("/large.bin", std::string(CFileCache::kMemoryChunkLimit, 'q'));
    CFileInfo large = Record("/large.bin");
    platform::FailCall(platform::Op::Write, 1, 28 /* ENOSPC */, t_.Sub("cache"), 2);
    EXPECT_FALSE(cache_.LoadChunk(&large));
    EXPECT_TRUE(large.chunks.empty());
}

TEST_F(ChunkTest, UpperCaseDigestSwitch) {
    Write("/f.txt", "abc");
    CFileInfo info = Record("/f.txt");
    CUtil::SetDigestUpperCase(true);
    const bool ok = cache_.LoadChunk(&info);
    CUtil::SetDigestUpperCase(false);
    ASSERT_TRUE(ok);
    EXPECT_EQ(info.chunkListText, "900150983CD24FB0D6963F7D28E17F72");
}

}  // namespace
