// The local trash and the careful replacement: what the passes take away lands in
// <trash>/<day>/<path>, and only while it is still the version that was judged; a save that
// lands at the last moment stays in the tree under its conflict name.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "filecache_fixture.h"
#include "platform/file.h"
#include "platform/system.h"
#include "support/randombytes.h"
#include "util/util.h"

namespace {

using fctest::FileCacheFixture;

class TrashTest : public FileCacheFixture {
  protected:
    void SetUp() override {
        FileCacheFixture::SetUp();
        ASSERT_TRUE(cache_.SetTrash(t_.Sub("trash")));
    }
    std::string Day() const {
        const platform::LocalTime t = platform::GetLocalTime();
        char day[16];
        std::snprintf(day, sizeof day, "%04d-%02d-%02d", t.year, t.month, t.day);
        return day;
    }
    static std::string ReadPath(const std::string& path) {
        std::string s;
        return platform::ReadFileToString(path, &s) ? s : std::string("<missing>");
    }
    std::string Trashed(const std::string& rel) const { return t_.Sub("trash") + "/" + Day() + rel; }
    platform::FileStat Look(const std::string& rel) {
        platform::FileStat st;
        EXPECT_TRUE(platform::Stat(Abs(rel), &st)) << rel;
        return st;
    }
    // The entries of `rel`'s folder that are conflict copies of it.
    std::vector<std::string> Conflicts(const std::string& rel) {
        std::vector<platform::DirEntry> entries;
        const size_t slash = rel.rfind('/');
        platform::ListDir(Abs(rel.substr(0, slash)), &entries);
        std::vector<std::string> out;
        for (const auto& e : entries)
            if (e.name.rfind(rel.substr(slash + 1) + ".conflict(", 0) == 0)
                out.push_back(rel.substr(0, slash + 1) + e.name);
        return out;
    }
    void SaveInPlace(const std::string& rel, const std::string& data) {
        std::FILE* f = std::fopen(Abs(rel).c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
};

TEST_F(TrashTest, EntriesGoUnderTheDayAndTheirPath) {
    Write("/docs/a.txt", "first");
    EXPECT_EQ(cache_.MoveToTrash("/docs/a.txt"), CFileCache::Trashed::kTrashed);
    Write("/docs/a.txt", "second");
    EXPECT_EQ(cache_.MoveToTrash(Abs("/docs/a.txt")), CFileCache::Trashed::kTrashed);
    EXPECT_FALSE(Exists("/docs/a.txt"));
    EXPECT_EQ(ReadPath(Trashed("/docs/a.txt")), "first");
    EXPECT_EQ(ReadPath(Trashed("/docs/a.txt (2)")), "second") << "both kept";

    MakeDirs("/old/deep");
    Write("/old/deep/b.txt", "b");
    EXPECT_EQ(cache_.MoveToTrash("/old"), CFileCache::Trashed::kTrashed);
    EXPECT_EQ(ReadPath(Trashed("/old/deep/b.txt")), "b");
    EXPECT_EQ(cache_.MoveToTrash("/never.txt"), CFileCache::Trashed::kMissing);
    EXPECT_EQ(cache_.MoveToTrash(""), CFileCache::Trashed::kFailed) << "never the root";
    EXPECT_TRUE(platform::IsDirectory(Root()));
}

// A file trashed where the path of a later entry needs a folder (a file replaced by a folder of
// the same name, both removed in one day): the later entry goes beside it instead of failing
// for ever.
TEST_F(TrashTest, AFileTrashedEarlierDoesNotBlockAFolderOfTheSameName) {
    Write("/docs", "a file named docs");
    ASSERT_EQ(cache_.MoveToTrash("/docs"), CFileCache::Trashed::kTrashed);
    MakeDirs("/docs/deep");
    Write("/docs/deep/a.txt", "a");
    EXPECT_EQ(cache_.MoveToTrash("/docs/deep/a.txt"), CFileCache::Trashed::kTrashed);
    Write("/docs/deep/a.txt", "again");
    EXPECT_EQ(cache_.MoveToTrash("/docs/deep/a.txt"), CFileCache::Trashed::kTrashed);
    EXPECT_EQ(cache_.MoveToTrash("/docs"), CFileCache::Trashed::kTrashed);
    EXPECT_EQ(ReadPath(Trashed("/docs")), "a file named docs");
    EXPECT_EQ(ReadPath(Trashed("/docs (2)/deep/a.txt")), "a");
    EXPECT_EQ(ReadPath(Trashed("/docs (2)/deep/a.txt (2)")), "again");
    EXPECT_TRUE(platform::IsDirectory(Trashed("/docs (3)/deep"))) << "the folder itself, beside both";
}

// The judged version goes; a save before the move, or one racing it, stays in the tree.
TEST_F(TrashTest, OnlyTheJudgedVersionGoes) {
    struct Case {
        const char* what;
        bool saveBefore;      // between the judgement and the call
        platform::Op during;  // at the start of this call inside the move (Stat: none)
    };
    const Case cases[] = {
        {"as judged", false, platform::Op::Stat},
        {"saved before", true, platform::Op::Stat},
        {"saved as it moves", false, platform::Op::Rename},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::RemoveTree(t_.Sub("trash"));
        Write("/f.txt", "judged words");
        const platform::FileStat judged = Look("/f.txt");
        if (c.saveBefore)
            SaveInPlace("/f.txt", "edited");
        if (c.during != platform::Op::Stat)
            platform::OnCall(
                c.during, [&](const std::string&) { SaveInPlace("/f.txt", "edited"); }, "/f.txt");
        std::string keptAs;
        const bool changed = c.saveBefore || c.during != platform::Op::Stat;
        EXPECT_EQ(cache_.MoveToTrash("/f.txt", &judged, &keptAs),
                  changed ? CFileCache::Trashed::kChanged : CFileCache::Trashed::kTrashed);
        platform::ClearFaults();
        EXPECT_FALSE(Exists("/f.txt"));
        if (changed) {
            ASSERT_EQ(Conflicts("/f.txt"), std::vector<std::string>{keptAs.substr(Root().size())});
            EXPECT_EQ(ReadPath(keptAs), "edited words");
            EXPECT_TRUE(platform::RemoveFile(keptAs));
        } else {
            EXPECT_TRUE(keptAs.empty());
            EXPECT_EQ(ReadPath(Trashed("/f.txt")), "judged words");
        }
    }
}

// The trash on another file system than the tree: the entry is copied there, times and all, and
// is not taken for a changed one.
TEST_F(TrashTest, AnotherFileSystemCopiesAndStillChecks) {
    Write("/big.bin", testsupport::RandomBytes(100000, 3));
    const platform::FileStat judged = Look("/big.bin");
    platform::FailCall(platform::Op::CrossDevice, 1);
    std::string keptAs;
    EXPECT_EQ(cache_.MoveToTrash("/big.bin", &judged, &keptAs), CFileCache::Trashed::kTrashed);
    EXPECT_TRUE(keptAs.empty());
    EXPECT_FALSE(Exists("/big.bin"));
    EXPECT_TRUE(ReadPath(Trashed("/big.bin")) == testsupport::RandomBytes(100000, 3));
}

// A bare store (a tool) has no trash: the entry is deleted.
TEST_F(TrashTest, WithoutATrashTheEntryIsDeleted) {
    ASSERT_TRUE(cache_.SetTrash(""));
    Write("/x.txt", "x");
    EXPECT_EQ(cache_.MoveToTrash("/x.txt"), CFileCache::Trashed::kTrashed);
    EXPECT_FALSE(Exists("/x.txt"));
    EXPECT_FALSE(t_.Exists("trash/" + Day()));
}

TEST_F(TrashTest, PruningKeepsThirtyDays) {
    const int64_t now = 1765324800;  // 2025-12-10 00:00:00 UTC
    for (const char* day : {"2025-12-10", "2025-11-10", "2025-11-09", "2024-01-01"})
        t_.WriteFile(std::string("trash/") + day + "/a.txt", day);
    t_.WriteFile("trash/notes/kept.txt", "not a day");
    EXPECT_EQ(cache_.PruneTrash(CFileCache::kTrashDays, now), 2);
    EXPECT_TRUE(t_.Exists("trash/2025-12-10/a.txt"));
    EXPECT_TRUE(t_.Exists("trash/2025-11-10/a.txt")) << "30 days old";
    EXPECT_FALSE(t_.Exists("trash/2025-11-09"));
    EXPECT_FALSE(t_.Exists("trash/2024-01-01"));
    EXPECT_TRUE(t_.Exists("trash/notes/kept.txt"));
}

// A file system that cannot swap two files: the old version steps aside and the new one moves in
// only where nothing appeared meanwhile.
TEST_F(TrashTest, ReplacementWithoutASwap) {
    auto record = [&](const std::string& data) {
        CFileInfo info("/doc.txt", 0, static_cast<int64_t>(data.size()));
        std::string key;
        CUtil::GetMd5String(data.data(), data.size(), &key);
        info.AddChunk(key, static_cast<int32_t>(data.size()), "", "", 0);
        auto b = std::make_unique<CChunkBuffer>(data.size());
        std::copy(data.begin(), data.end(), b->GetData());
        b->SetSize(data.size());
        info.chunkBuffers[key] = std::move(b);
        info.modifyTime = platform::UnixToFileTime(1700000000, 0);
        return info;
    };
    Write("/doc.txt", "old version");
    platform::FileStat judged = Look("/doc.txt");
    CFileInfo v2 = record("new version");
    platform::FailCall(platform::Op::Exchange, 1, 22 /* EINVAL */);
    std::string keptAs;
    ASSERT_TRUE(cache_.MakeFile(&v2, &judged, &keptAs));
    EXPECT_EQ(Read("/doc.txt"), "new version");
    EXPECT_TRUE(keptAs.empty());
    EXPECT_EQ(ReadPath(Trashed("/doc.txt")), "old version");

    // A save that makes a new file at the path once the old version stepped aside wins: the hook
    // at the step aside arms the one at the move in.
    judged = Look("/doc.txt");
    CFileInfo v3 = record("third version");
    platform::FailCall(platform::Op::Exchange, 1, 22);
    platform::OnCall(
        platform::Op::Rename,
        [&](const std::string&) {
            platform::OnCall(
                platform::Op::Rename,
                [&](const std::string&) { ASSERT_TRUE(platform::WriteFileAtomic(Abs("/doc.txt"), "saved")); },
                ".doc.txt.kestrine-part");
        },
        ".doc.txt.old.kestrine-part");
    EXPECT_FALSE(cache_.MakeFile(&v3, &judged, &keptAs));
    EXPECT_EQ(Read("/doc.txt"), "saved");
    EXPECT_EQ(ReadPath(Trashed("/doc.txt (2)")), "new version") << "the judged one";
}

}  // namespace
