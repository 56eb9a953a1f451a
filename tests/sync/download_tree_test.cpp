// The download path against the reference service: the first full download of a tree, the
// incremental passes that follow server changes, and where the chunks of a file come from (an
// identical local file, the local version, the chunk cache, the transmitter).
#include <string>
#include <vector>

#include "core/config.h"
#include "download_fixture.h"
#include "store/filecache.h"
#include "store/sharedfilestatus.h"

namespace {

using dltest::Bytes;
using dltest::kMiB;

class DownloadTreeTest : public dltest::DownloadTest {};

struct Entry {
    std::string path;  // below the account root
    std::string content;
};

TEST_F(DownloadTreeTest, FirstSignInBringsTheWholeTreeAndLaterPassesFollowTheService) {
    const std::vector<Entry> files = {
        {"docs/a.txt", "alpha"},
        {"docs/deep/er/still/leaf.txt", "leaf"},
        {"empty.bin", ""},
        {"four.bin", Bytes(4 * kMiB, 1)},              // one chunk, the list ends with ","
        {"twenty.bin", Bytes(20 * kMiB, 2)},           // built from the chunk cache
        {"twenty-less.bin", Bytes(20 * kMiB - 1, 3)},  // built in memory
        {"文档/报告 2024.txt", "非 ASCII"},
        {"it's here/o'brien.txt", "apostrophes"},
        {"R&D/a&b.txt", "ampersands"},
    };
    for (size_t i = 0; i < files.size(); ++i)
        Put(files[i].path, files[i].content, 1600000000 + static_cast<int64_t>(i) * 7);
    PutFolder("empty folder");

    StartEngine();

    EXPECT_TRUE(log_.Contains("---- download all ----"));
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(front_.Texts(platform::WM_TRAY_TIP).back(), "同步完成");
    EXPECT_EQ(work_->GetConfig()->Get(CConfig::kServerRoot), "alice");
    size_t announced = 0;
    for (const Entry& f : files) {
        SCOPED_TRACE(f.path);
        ASSERT_TRUE(IsFile(f.path));
        EXPECT_TRUE(ReadLocal(f.path) == f.content) << "content of " << f.path;
        EXPECT_EQ(LocalTime(f.path), ServerTime(f.path)) << "the server's time";
        const dltest::Row row = Journal(Key(f.path));
        EXPECT_TRUE(row.exists);
        EXPECT_EQ(row.onDisk, 1);
        EXPECT_EQ(row.activeSize, static_cast<int64_t>(f.content.size()));
        EXPECT_TRUE(row.updatedPath.empty());
        // Announced; the newest names (folders too) may have pushed it out of the ten kept since.
        announced += HasRecent("下载 " + Local(f.path)) ? 1 : 0;
    }
    EXPECT_GE(work_->GetRecentCount(), files.size());
    EXPECT_GE(announced, 1u);
    EXPECT_EQ(Recent().back().rfind("下载 ", 0), 0u);
    EXPECT_TRUE(IsDir("empty folder"));
    // What the user saw while it came down, and the overlay states it left.
    const std::string aText =
        "下载新文件: alice/docs/a.txt(5, " + std::to_string(ServerTime("docs/a.txt")) + ")";
    EXPECT_TRUE(HasText(platform::WM_SETMESSAGESTRING, aText));
    EXPECT_TRUE(HasText(platform::WM_TRAY_TIP, "下载新文件: /docs/a.txt"));
    auto overlay = [&](const std::string& rel) {
        SharedStatusValues v;
        return work_->GetFileCache()->SharedStatus().GetStatus(Local(rel), &v) ? v.state : -1;
    };
    EXPECT_EQ(overlay("docs/deep/er/still/leaf.txt"), 3);
    EXPECT_EQ(overlay("docs/deep"), 3) << "in step, and so are the folders above it";
    EXPECT_EQ(overlay("文档/报告 2024.txt"), 3);
    EXPECT_EQ(Journal(Key("empty folder")).activeDir, 1);
    EXPECT_EQ(Journal(Key("docs/deep/er")).onDisk, 1);
    const std::vector<platform::WindowMessage> balloons = front_.MessagesWithCode(platform::WM_TRAY_BALLOON);
    ASSERT_FALSE(balloons.empty());
    EXPECT_EQ(balloons.back().text, "同步完成: " + Recent().back() + "...");
    // Nothing half-built is left behind, and the cache was emptied after the pass.
    std::vector<platform::DirEntry> cache;
    platform::ListDir(Root() + "/.cache", &cache);
    EXPECT_TRUE(cache.empty());

    // Changes on the service: added, changed, deleted (a file and a folder with contents).
    Put("docs/new.txt", "new one", 1600001000);
    Put("docs/a.txt", "alpha, second version", 1600002000);
    Rm("empty.bin");
    Rm("docs/deep");
    const int chunksBefore = Requests("download_chunk");
    ASSERT_TRUE(Sync());

    EXPECT_TRUE(log_.Contains("---- get job ----"));
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(ReadLocal("docs/new.txt"), "new one");
    EXPECT_EQ(ReadLocal("docs/a.txt"), "alpha, second version");
    EXPECT_EQ(LocalTime("docs/a.txt"), ServerTime("docs/a.txt"));
    EXPECT_FALSE(Exists("empty.bin"));
    EXPECT_FALSE(Exists("docs/deep"));
    EXPECT_FALSE(Journal(Key("empty.bin")).exists);
    EXPECT_FALSE(Journal(Key("docs/deep")).exists);
    EXPECT_FALSE(Journal(Key("docs/deep/er/still/leaf.txt")).exists);
    EXPECT_TRUE(HasRecent("下载 " + Local("docs/new.txt")));
    EXPECT_TRUE(HasRecent("修改 " + Local("docs/a.txt")));
    EXPECT_TRUE(HasRecent("删除 " + Local("empty.bin")));
    EXPECT_TRUE(HasRecent("删除 " + Local("docs/deep")));
    EXPECT_TRUE(HasText(platform::WM_TRAY_TIP, "更新文件: " + Local("docs/a.txt")));
    EXPECT_EQ(Requests("download_chunk") - chunksBefore, 2) << "one chunk per new or changed file";
    EXPECT_EQ(ReadLocal("twenty.bin"), files[4].content) << "untouched";

    // A pass with nothing new fetches nothing.
    const int describesBefore = Requests("download_specific_file");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(Requests("download_chunk") - chunksBefore, 2);
    EXPECT_EQ(Requests("download_specific_file"), describesBefore);
}

TEST_F(DownloadTreeTest, ChunksComeFromTheLocalVersionBeforeTheTransmitter) {
    // The last chunk changes; the size class of the file decides memory or cache assembly, and the
    // growing file crosses from one to the other.
    struct Case {
        std::string path;
        std::string before, after;
        int downloads;  // chunks fetched for the new version
    };
    const std::string small = Bytes(12 * kMiB, 10);
    const std::string large = Bytes(24 * kMiB, 11);
    const std::string growing = Bytes(16 * kMiB, 12);
    const std::vector<Case> cases = {
        {"small.bin", small, small.substr(0, 8 * kMiB) + Bytes(4 * kMiB, 13), 1},
        {"large.bin", large, large.substr(0, 20 * kMiB) + Bytes(4 * kMiB, 14), 1},
        {"growing.bin", growing, growing + Bytes(8 * kMiB, 15), 2},
        {"shrinking.bin", large + "x", large.substr(0, 18 * kMiB), 1},
    };
    for (const Case& c : cases)
        Put(c.path, c.before, 1600000000);
    StartEngine();
    ASSERT_EQ(LastStatus(), "Sync finished");

    int expected = 0;
    for (const Case& c : cases) {
        Put(c.path, c.after, 1600003000);
        expected += c.downloads;
    }
    const int before = Requests("download_chunk");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_TRUE(ReadLocal(c.path) == c.after);
        EXPECT_TRUE(HasRecent("修改 " + Local(c.path)));
    }
    EXPECT_EQ(Requests("download_chunk") - before, expected);
}

TEST_F(DownloadTreeTest, AnIdenticalFileOnDiskIsCopiedOnlyWhileItHoldsTheJournalsVersion) {
    const std::string content = Bytes(3 * kMiB, 20);
    Put("orig/a.bin", content, 1600000000);
    Put("orig/b.bin", content, 1600000000);
    StartEngine();
    ASSERT_EQ(LastStatus(), "Sync finished");

    // A copy of a.bin appears on the service: taken from the disk, not downloaded.
    int before = Requests("download_chunk");
    Put("copy/a.bin", content, 1600004000);
    ASSERT_TRUE(Sync());
    EXPECT_TRUE(ReadLocal("copy/a.bin") == content);
    EXPECT_EQ(LocalTime("copy/a.bin"), ServerTime("copy/a.bin"));
    EXPECT_EQ(Requests("download_chunk"), before);
    EXPECT_TRUE(log_.Contains("Get copy from local file: alice/copy/a.bin"));

    // b.bin was edited in place with its time put back: copying it would spread the edit. The
    // copy is checked, thrown away, and the chunk comes from the service.
    std::string edited = content;
    edited[100] = static_cast<char>(edited[100] ^ 0x55);
    const int64_t oldTime = LocalTime("orig/b.bin");
    WriteLocal("orig/b.bin", edited);
    ASSERT_TRUE(platform::SetFileWriteTime(Local("orig/b.bin"), oldTime));
    Rm("orig/a.bin");  // only b.bin is left to copy from
    Rm("copy/a.bin");
    ASSERT_TRUE(Sync());
    Put("copy2/b.bin", content, 1600005000);
    before = Requests("download_chunk");
    ASSERT_TRUE(Sync());
    EXPECT_TRUE(ReadLocal("copy2/b.bin") == content) << "the service's bytes, not the local edit";
    EXPECT_TRUE(log_.Contains("Fail to get copy from local: alice/copy2/b.bin"));
    EXPECT_EQ(Requests("download_chunk") - before, 1);
    EXPECT_TRUE(Conflicts("copy2/b.bin").empty());
    std::vector<platform::DirEntry> entries;
    platform::ListDir(Local("copy2"), &entries);
    EXPECT_EQ(entries.size(), 1u) << "no partial copy left";
}

TEST_F(DownloadTreeTest, ASharedFolderComesDownMarkedAndFollowsItsOwner) {
    constexpr int64_t kOld = 1600000000, kNew = 1650000000;
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    Put("Team/plan.doc", "plan v1", kOld, "bob");
    Put("Team/sub/notes.txt", "notes", kOld, "bob");
    const std::string id = server_.Share("bob", "Team", "alice");
    ASSERT_FALSE(id.empty());
    Put("mine.txt", "mine", kOld);
    StartEngine();

    // Everything in one pass: the folder comes before its contents, which are keyed by its id.
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(ReadLocal("Team/plan.doc"), "plan v1");
    EXPECT_EQ(ReadLocal("Team/sub/notes.txt"), "notes");
    EXPECT_EQ(ReadLocal("Team/.peltashare").rfind(id, 0), 0u) << "the share marker names the id";
    EXPECT_EQ(Journal(Key("Team")).activeDir, std::stoi(id));
    EXPECT_EQ(Journal(id + "/plan.doc").onDisk, 1);

    // The owner changes and deletes files in it.
    Put("Team/plan.doc", "plan v2", kNew, "bob");
    ASSERT_TRUE(server_.Rm("bob", "Team/sub/notes.txt"));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(ReadLocal("Team/plan.doc"), "plan v2");
    EXPECT_TRUE(HasRecent("修改 " + Local("Team/plan.doc")));
    EXPECT_FALSE(Exists("Team/sub/notes.txt"));
    EXPECT_FALSE(Journal(id + "/sub/notes.txt").exists);
    EXPECT_TRUE(Journal(Key("Team")).exists) << "listed in share form, not removed in root form";
    EXPECT_EQ(ReadLocal("mine.txt"), "mine");
}

// A folder of alice's that she shares on the web becomes a shared folder here: the pass marks it
// with the id, nothing of it is fetched again, and later changes inside it go by the id.
TEST_F(DownloadTreeTest, AFolderThatBecomesSharedIsMarkedInPlace) {
    constexpr int64_t kOld = 1600000000;
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    Put("Proj/x.txt", "x", kOld);
    Put("Proj/sub/y.txt", "y", kOld);
    StartEngine();
    ASSERT_EQ(Journal(Key("Proj")).activeDir, 1);

    const std::string id = server_.Share(testsupport::TestServer::kUser, "Proj", "bob");
    ASSERT_FALSE(id.empty());
    const int chunks = Requests("download_chunk");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
    EXPECT_EQ(ReadLocal("Proj/.peltashare").rfind(id, 0), 0u) << "marked with the id";
    EXPECT_TRUE(platform::IsRegularFile(Local("Proj/desktop.ini"))) << "and the shared-folder icon";
    EXPECT_EQ(Journal(Key("Proj")).activeDir, std::stoi(id));
    EXPECT_TRUE(log_.Contains("更新文件: alice/Proj(")) << "fetched again as a changed entry";
    EXPECT_EQ(ReadLocal("Proj/x.txt"), "x");
    EXPECT_EQ(ReadLocal("Proj/sub/y.txt"), "y");
    EXPECT_EQ(Requests("download_chunk"), chunks) << "the contents are on the disk already";
    EXPECT_EQ(Journal(id + "/x.txt").onDisk, 1);

    // Deleted here: the removal reaches bob's view, and the passes that follow stay finished.
    ASSERT_TRUE(platform::RemoveFile(Local("Proj/x.txt")));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
    EXPECT_FALSE(server_.Get("bob", "Proj/x.txt", staging_.Sub("bob-x")));
    EXPECT_TRUE(ServerLine("Proj/x.txt").empty());
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
    EXPECT_FALSE(Exists("Proj/x.txt"));
    EXPECT_EQ(ReadLocal("Proj/sub/y.txt"), "y");
}

// The mount of a shared folder renamed elsewhere: the local folder, found by its marker, moves to
// the new name with everything in it, files not yet sent included; nothing is fetched again.
TEST_F(DownloadTreeTest, ASharedFolderRenamedElsewhereMovesWithItsContents) {
    constexpr int64_t kOld = 1600000000;
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    Put("Team/plan.txt", "bob's plan", kOld, "bob");
    const std::string id = server_.Share("bob", "Team", testsupport::TestServer::kUser);
    ASSERT_FALSE(id.empty());
    StartEngine();
    ASSERT_EQ(ReadLocal("Team/plan.txt"), "bob's plan");

    WriteLocal("Team/draft.txt", "alice's draft, not sent yet");
    std::string ack;
    ASSERT_TRUE(work_->GetBack()->Rename(id, "alice/Ours", &ack)) << "as another computer of alice's";
    const int chunks = Requests("download_chunk");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
    EXPECT_FALSE(Exists("Team"));
    EXPECT_EQ(ReadLocal("Ours/plan.txt"), "bob's plan");
    EXPECT_EQ(ReadLocal("Ours/draft.txt"), "alice's draft, not sent yet");
    EXPECT_EQ(ReadLocal("Ours/.peltashare").rfind(id, 0), 0u);
    EXPECT_EQ(Requests("download_chunk"), chunks);
    EXPECT_EQ(Journal(Key("Ours")).activeDir, std::stoi(id));
    EXPECT_FALSE(Journal(Key("Team")).exists);
    ASSERT_TRUE(server_.Get("bob", "Team/draft.txt", staging_.Sub("bob-draft")));
    EXPECT_EQ(ReadPath(staging_.Sub("bob-draft")), "alice's draft, not sent yet");
}

// A folder of the same name as a new shared folder is already here: it becomes the shared folder,
// marked in place, with what it holds kept and sent into the share.
TEST_F(DownloadTreeTest, ALocalFolderMeetingANewSharedFolderBecomesIt) {
    constexpr int64_t kOld = 1600000000;
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    Put("other.txt", "keeps the listing from being empty", kOld);
    Put("Team/plan.txt", "bob's plan", kOld, "bob");
    StartEngine();

    WriteLocal("Team/mine.txt", "alice's own");
    const std::string id = server_.Share("bob", "Team", testsupport::TestServer::kUser);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
    EXPECT_TRUE(Conflicts("Team").empty()) << "not set aside";
    EXPECT_EQ(ReadLocal("Team/.peltashare").rfind(id, 0), 0u);
    EXPECT_TRUE(platform::IsRegularFile(Local("Team/desktop.ini")));
    EXPECT_EQ(ReadLocal("Team/plan.txt"), "bob's plan");
    EXPECT_EQ(ReadLocal("Team/mine.txt"), "alice's own");
    EXPECT_EQ(Journal(Key("Team")).activeDir, std::stoi(id));
    ASSERT_TRUE(server_.Get("bob", "Team/mine.txt", staging_.Sub("bob-mine")));
    EXPECT_EQ(ReadPath(staging_.Sub("bob-mine")), "alice's own");
}

}  // namespace
