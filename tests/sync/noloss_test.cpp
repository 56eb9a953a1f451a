// The engine never loses a user's file: a save that lands at the last moment before the client
// replaces or removes a file is kept, whatever the client takes away goes to the trash, a newer
// server version is never overwritten by the older local one, a home folder that vanished, moved
// to another disk or was emptied removes nothing on the service, and a pass that would remove most
// of the tree asks first. Each window is made certain by a hook at the exact platform call.
#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "core/config.h"
#include "download_fixture.h"
#include "platform/fault.h"
#include "platform/system.h"

namespace {

using dltest::Bytes;
using dltest::kMiB;

constexpr int64_t kOld = 1600000000;
constexpr int64_t kNew = 1700000000;

class NoLossTest : public dltest::DownloadTest {
  public:
    void TearDown() override {
        platform::ClearFaults();
        DownloadTest::TearDown();
    }
    // Every file under `folder` whose name holds `part`, with its content.
    std::vector<std::pair<std::string, std::string>> Files(const std::string& folder,
                                                           const std::string& part) {
        std::vector<std::pair<std::string, std::string>> out;
        std::vector<platform::DirEntry> entries;
        platform::ListDir(folder, &entries);
        for (const auto& e : entries) {
            const std::string path = folder + "/" + e.name;
            if (e.stat.kind == platform::EntryKind::Directory) {
                for (const auto& f : Files(path, part))
                    out.push_back(f);
            } else if (e.name.find(part) != std::string::npos) {
                out.emplace_back(path, ReadPath(path));
            }
        }
        return out;
    }
    bool HoldsContent(const std::string& folder, const std::string& part, const std::string& content) {
        const auto files = Files(folder, part);
        return std::any_of(files.begin(), files.end(), [&](const auto& f) { return f.second == content; });
    }
    std::string Trash() const { return Root() + "/.trash"; }
    // Passes until one ends finished (a conflict asks for more).
    void SyncUntilFinished() {
        for (int pass = 0; pass < 4; ++pass) {
            ASSERT_TRUE(Sync());
            if (LastStatus() == "Sync finished")
                return;
        }
        FAIL() << "no finished pass; last status " << LastStatus();
    }
    std::string OnService(const std::string& rel) {
        const std::string local = staging_.Sub("fetched");
        std::remove(local.c_str());
        return server_.Get(testsupport::TestServer::kUser, rel, local) ? ReadPath(local) : "<none>";
    }
    // A save in place, as most editors make it; once, whichever hook comes first.
    std::function<void(const std::string&)> SaveOnce(const std::string& rel, const std::string& content) {
        return [this, rel, content, done = std::make_shared<std::atomic<bool>>(false)](const std::string&) {
            if (done->exchange(true))
                return;
            std::FILE* f = std::fopen(Local(rel).c_str(), "r+b");
            ASSERT_NE(f, nullptr);
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        };
    }
};

// A new server version replaces the local file only while it is still the version judged
// unchanged; a save at either last moment (before the swap, or racing it) stays as a conflict copy.
TEST_F(NoLossTest, ASaveAtTheLastMomentBeforeAReplacementIsKept) {
    struct Case {
        const char* what;
        platform::Op op;  // the call at whose start the user saves
        std::string pathPart;
    };
    const Case cases[] = {
        {"after the new version is built", platform::Op::Fsync, ".doc.bin.kestrine-part"},
        {"as the two are swapped", platform::Op::Exchange, "/doc.bin"},
    };
    Put("doc.bin", Bytes(2 * kMiB, 1), kOld);
    StartEngine();
    int version = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string old = ReadLocal("doc.bin");
        const std::string server = Bytes(2 * kMiB, ++version);
        const std::string edit = "the user's edit " + std::to_string(version);
        Put("doc.bin", server, kNew + version);
        auto save = SaveOnce("doc.bin", edit);
        platform::OnCall(c.op, save, c.pathPart);
        SyncUntilFinished();
        platform::ClearFaults();
        EXPECT_EQ(ReadLocal("doc.bin"), server);
        EXPECT_TRUE(HoldsContent(HomeFolder(), "doc.bin.conflict(", edit + old.substr(edit.size())))
            << "the edit, saved over the old version's first bytes, is a conflict copy";
        EXPECT_EQ(OnService("doc.bin"), server);
    }
}

// A file the service deleted goes to the trash, unless the user saved it at the last moment.
TEST_F(NoLossTest, AServerDeletionTrashesTheFileOrKeepsASaveMadeMeanwhile) {
    Put("gone.txt", "deleted on the other computer", kOld);
    Put("saved.txt", "old words", kOld);
    Put("stays.txt", "an empty listing would say nothing", kOld);
    StartEngine();
    Rm("gone.txt");
    Rm("saved.txt");
    // The removal looks once more as it moves the file: the save lands just before.
    auto save = SaveOnce("saved.txt", "new words");
    platform::OnCall(platform::Op::Rename, save, "/saved.txt");
    platform::OnCall(platform::Op::Remove, save, "/saved.txt");
    SyncUntilFinished();
    EXPECT_FALSE(Exists("gone.txt"));
    EXPECT_TRUE(HoldsContent(Trash(), "gone.txt", "deleted on the other computer"));
    EXPECT_FALSE(Exists("saved.txt"));
    EXPECT_TRUE(HoldsContent(HomeFolder(), "saved.txt.conflict(", "new words"));
    EXPECT_EQ(OnService("saved.txt"), "<none>");
}

// What a download replaces goes to the trash, under the date and the path it had.
TEST_F(NoLossTest, AReplacedVersionGoesToTheTrash) {
    Put("docs/plan.txt", "version one", kOld);
    StartEngine();
    Put("docs/plan.txt", "version two", kNew);
    SyncUntilFinished();
    EXPECT_EQ(ReadLocal("docs/plan.txt"), "version two");
    const auto trashed = Files(Trash(), "plan.txt");
    ASSERT_EQ(trashed.size(), 1u);
    EXPECT_EQ(trashed[0].second, "version one");
    const platform::LocalTime t = platform::GetLocalTime();
    char day[16];
    std::snprintf(day, sizeof day, "%04d-%02d-%02d", t.year, t.month, t.day);
    EXPECT_EQ(trashed[0].first, Trash() + "/" + day + "/docs/plan.txt");
}

// A removal takes the version it looked at even when another computer writes a new one at the
// last moment: the entry steps aside under a name of its own before the look, so the new version
// lands beside it and stays. The removal request is held while the new version arrives.
TEST_F(NoLossTest, ANewVersionArrivingAsTheRemovalGoesStays) {
    Put("data.csv", "1,2,3", kOld);
    Put("keep.txt", "so the home folder is not emptied", kOld);
    StartEngine();
    ASSERT_TRUE(testsupport::RemoveTree(Local("data.csv")));
    ASSERT_TRUE(server_.Fault("remove", "stall", 1, -1, 3000));
    const int ends = PassEnds();
    ASSERT_EQ(work_->Request(platform::WM_WORK_SYNC, 0), 1);
    ASSERT_TRUE(WaitUntil([&] { return server_.Faults().find("remove") == std::string::npos; }));
    Put("data.csv", "1,2,3,4 from the other computer", kNew);
    ASSERT_TRUE(WaitForPassEnd(ends));
    SyncUntilFinished();
    EXPECT_EQ(OnService("data.csv"), "1,2,3,4 from the other computer");
    EXPECT_EQ(ReadLocal("data.csv"), "1,2,3,4 from the other computer");
}

// A download that does not come through leaves the older version on the disk: it must not go up
// over the service's newer one, in this pass (which goes on to its upload phase once failed items
// no longer stop it) or in any later one while the newer version waits.
TEST_F(NoLossTest, TheOlderLocalVersionNeverReplacesAPendingServerVersion) {
    Put("data.csv", "1,2,3", kOld);
    StartEngine();
    Put("data.csv", "1,2,3,4 from the other computer", kNew);
    ASSERT_TRUE(server_.Fault("download_chunk", "refuse", 1000));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(ReadLocal("data.csv"), "1,2,3");
    ASSERT_TRUE(Sync());  // the record still waits: nothing goes up
    EXPECT_EQ(OnService("data.csv"), "1,2,3,4 from the other computer");
    ASSERT_TRUE(ResetFaults());
    SyncUntilFinished();
    EXPECT_EQ(ReadLocal("data.csv"), "1,2,3,4 from the other computer");
}

// Renamed while no watcher saw it: the same file or folder at a new path goes to the service as a
// rename, not as a removal and a new upload.
TEST_F(NoLossTest, ARenameTheScanFindsIsSentAsARename) {
    Put("music/live/a.mp3", Bytes(kMiB, 7), kOld);
    Put("music/live/b.mp3", Bytes(kMiB, 8), kOld);
    Put("notes.txt", "notes", kOld);
    StartEngine();
    ASSERT_TRUE(Sync());  // the scan that notes each entry's identity
    ASSERT_EQ(std::rename(Local("music/live").c_str(), Local("music/r24-live").c_str()), 0);
    ASSERT_EQ(std::rename(Local("notes.txt").c_str(), Local("music/notes.txt").c_str()), 0);
    const int renames = Requests("rename"), removals = Requests("remove"), offers = Requests("upload_file");
    SyncUntilFinished();
    EXPECT_EQ(Requests("rename") - renames, 2);
    EXPECT_EQ(Requests("remove"), removals);
    EXPECT_EQ(Requests("upload_file"), offers) << "no data travelled";
    EXPECT_EQ(OnService("music/r24-live/b.mp3"), Bytes(kMiB, 8));
    EXPECT_EQ(OnService("music/notes.txt"), "notes");
    EXPECT_EQ(OnService("music/live/a.mp3"), "<none>");
}

// A pass about to remove most of a large tree asks; the default answer keeps the files, which come
// back from the service.
TEST_F(NoLossTest, AMassRemovalAsksAndKeepsTheFilesByDefault) {
    const std::string bulk = staging_.Sub("bulk");
    staging_.MakeDirs("bulk/photos");
    for (int i = 0; i < 130; ++i)
        staging_.WriteFile("bulk/photos/p" + std::to_string(i) + ".jpg", "photo " + std::to_string(i));
    ASSERT_TRUE(server_.Put(testsupport::TestServer::kUser, staging_.Sub("bulk/photos"), "photos"));
    Put("keep.txt", "keep", kOld);
    StartEngine();
    ASSERT_TRUE(IsFile("photos/p129.jpg"));

    ASSERT_TRUE(testsupport::RemoveTree(Local("photos")));
    SyncUntilFinished();
    ASSERT_EQ(front_.Boxes().size(), 1u);
    EXPECT_NE(front_.Boxes()[0].text.find("131"), std::string::npos) << front_.Boxes()[0].text;
    EXPECT_EQ(OnService("photos/p0.jpg"), "photo 0");
    EXPECT_EQ(ReadLocal("photos/p129.jpg"), "photo 129") << "brought back";

    ASSERT_TRUE(testsupport::RemoveTree(Local("photos")));
    front_.ScriptAnswers({platform::IDYES});
    SyncUntilFinished();
    EXPECT_EQ(OnService("photos/p0.jpg"), "<none>");
    EXPECT_EQ(OnService("keep.txt"), "keep");
    EXPECT_FALSE(Exists("photos"));
}

// The home folder moved away: nothing is removed on the service and the folder is not made again;
// when it is back, sync goes on as before.
TEST_F(NoLossTest, AVanishedHomeFolderPausesUntilItIsBack) {
    Put("a.txt", "a", kOld);
    Put("docs/b.txt", "b", kOld);
    StartEngine();
    const std::string away = Root() + "/home.moved";
    ASSERT_EQ(std::rename(HomeFolder().c_str(), away.c_str()), 0);
    const int removals = Requests("remove");
    for (int pass = 0; pass < 2; ++pass)
        ASSERT_TRUE(Sync());
    EXPECT_FALSE(platform::Exists(HomeFolder()));
    EXPECT_EQ(Requests("remove"), removals);
    EXPECT_EQ(OnService("docs/b.txt"), "b");
    const std::vector<std::string> status = front_.Texts(platform::WM_SETMESSAGESTRING);
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.back().rfind("同步已暂停：主文件夹 " + HomeFolder() + " 不见了", 0), 0u)
        << status.back();
    EXPECT_EQ(front_.Boxes().size(), 1u) << "asked once whether to start over";
    // The main window shows the pause, not an error.
    const std::vector<platform::WindowMessage> halts = front_.MessagesWithCode(platform::WM_SYNC_HALTED);
    ASSERT_FALSE(halts.empty());
    EXPECT_EQ(halts.back().wParam, platform::kSyncPaused);

    ASSERT_EQ(std::rename(away.c_str(), HomeFolder().c_str()), 0);
    front_.Clear();
    SyncUntilFinished();
    EXPECT_TRUE(front_.MessagesWithCode(platform::WM_SYNC_HALTED).empty()) << "no longer paused";
    EXPECT_EQ(ReadLocal("docs/b.txt"), "b");
    EXPECT_EQ(OnService("a.txt"), "a");
}

// A home folder on another file system than the one last seen (a disk that is not mounted shows
// the empty folder under it): paused until it is back; starting over merges and removes nothing.
TEST_F(NoLossTest, AHomeFolderOnAnotherDiskPausesAndStartingOverRemovesNothing) {
    Put("a.txt", "a", kOld);
    StartEngine();
    auto storeDisk = [&](const std::string& id) {
        CConfig* config = work_->GetConfig();
        ASSERT_EQ(config->OpenDB(), 1);
        ASSERT_EQ(config->SetValueByKey("home_fs_id", id), 1);
        config->CloseDB();
    };
    std::string realDisk;
    ASSERT_TRUE(platform::FileSystemId(HomeFolder(), &realDisk));
    storeDisk("fsid:another-disk");
    ASSERT_TRUE(testsupport::RemoveTree(Local("a.txt")));
    WriteLocal("local only.txt", "made here");
    const int removals = Requests("remove"), offers = Requests("upload_file");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(Requests("remove"), removals);
    EXPECT_EQ(Requests("upload_file"), offers);
    EXPECT_EQ(OnService("a.txt"), "a");
    EXPECT_EQ(front_.Boxes().size(), 1u);

    // Back on its disk: what the user did meanwhile goes through.
    storeDisk(realDisk);
    SyncUntilFinished();
    EXPECT_EQ(OnService("a.txt"), "<none>");
    EXPECT_EQ(OnService("local only.txt"), "made here");

    // Another disk again, and the user starts over: a merge that removes nothing.
    storeDisk("fsid:another-disk");
    ASSERT_TRUE(testsupport::RemoveTree(Local("local only.txt")));
    WriteLocal("second.txt", "made later");
    front_.ScriptAnswers({platform::IDYES});
    SyncUntilFinished();
    EXPECT_EQ(front_.Boxes().size(), 2u);
    EXPECT_EQ(ReadLocal("local only.txt"), "made here") << "brought back, not removed";
    EXPECT_EQ(OnService("second.txt"), "made later");
}

// An emptied home folder asks; the default brings everything back, "yes" removes it on the service.
TEST_F(NoLossTest, AnEmptiedHomeFolderAsksFirst) {
    Put("a.txt", "a", kOld);
    Put("docs/b.txt", "b", kOld);
    StartEngine();
    for (const char* rel : {"a.txt", "docs"})
        ASSERT_TRUE(testsupport::RemoveTree(Local(rel)));
    SyncUntilFinished();
    EXPECT_EQ(front_.Boxes().size(), 1u);
    EXPECT_EQ(ReadLocal("docs/b.txt"), "b");
    EXPECT_EQ(OnService("a.txt"), "a");

    for (const char* rel : {"a.txt", "docs"})
        ASSERT_TRUE(testsupport::RemoveTree(Local(rel)));
    front_.ScriptAnswers({platform::IDYES});
    SyncUntilFinished();
    EXPECT_EQ(OnService("a.txt"), "<none>");
    EXPECT_EQ(OnService("docs/b.txt"), "<none>");
}

}  // namespace
