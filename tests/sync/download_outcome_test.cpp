// The outcome of a whole pass for one path, by the server listing, the journal and what is on the
// disk: every case that the download phase decides, each on its own path of one tree, each in its
// own run of the pass loop, so that the passes a case asks for are its own. No local data is lost:
// each local edit survives at its path or as a conflict copy.
#include <functional>
#include <string>
#include <vector>

#include "download_fixture.h"
#include "platform/messages.h"

namespace {

constexpr const char* kPassStart = "sync start----";

class DownloadOutcomeTest : public dltest::DownloadTest {
  public:
    // The single conflict copy of `rel`, or "" when there is none or more than one.
    std::string OnlyConflict(const std::string& rel) {
        const std::vector<std::string> c = Conflicts(rel);
        return c.size() == 1 ? c[0] : std::string();
    }
    // Whether the service holds the entry at a local path of the home folder (the upload phase
    // of the same pass sends what the download phase kept).
    // Passes begun so far, by the pass's opening log line.
    int PassStarts() const {
        const std::string text = log_.Text();
        int n = 0;
        for (size_t pos = text.find(kPassStart); pos != std::string::npos;
             pos = text.find(kPassStart, pos + 1))
            ++n;
        return n;
    }
    bool OnServer(const std::string& localPath) {
        return localPath.size() > HomeFolder().size() &&
               !ServerLine(localPath.substr(HomeFolder().size() + 1)).empty();
    }
};

constexpr int64_t kOld = 1600000000;                       // time of the versions the first pass brings down
constexpr int64_t kNew = 1650000000;                       // time of the service's later versions
constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;  // 1970 in 100 ns steps since 1601

struct Case {
    std::string name;
    std::function<void(DownloadOutcomeTest&)> before;  // the service before the first pass
    std::function<void(DownloadOutcomeTest&)> change;  // local and server changes after it
    std::function<void(DownloadOutcomeTest&)> check;   // after one more pass
    int downloads;                                     // chunks the pass fetches for this case
    int passes;  // passes the loop runs: 2 when a conflict asks for another, 0 when not decided here
};

// Downloading a whole tree is covered elsewhere; these are the cases with something on both sides.
TEST_F(DownloadOutcomeTest, EachCaseOfTheTableEndsAsDecided) {
    using T = DownloadOutcomeTest;
    const std::vector<Case> cases = {
        // --- A path new on the service, unknown to the journal.
        {"new path, nothing local", [](T&) {}, [](T& t) { t.Put("n1.txt", "n1 server", kNew); },
         [](T& t) {
             EXPECT_EQ(t.ReadLocal("n1.txt"), "n1 server");
             EXPECT_EQ(t.Journal(t.Key("n1.txt")).onDisk, 1);
         },
         1, 1},
        {"new folder, a local folder with a file of its own", [](T&) {},
         [](T& t) {
             t.WriteLocal("n2/mine.txt", "n2 mine");
             t.PutFolder("n2");
         },
         [](T& t) {
             EXPECT_EQ(t.ReadLocal("n2/mine.txt"), "n2 mine");
             EXPECT_EQ(t.Journal(t.Key("n2")).onDisk, 1);
             EXPECT_TRUE(t.OnServer(t.Local("n2/mine.txt"))) << "the upload phase sends it";
         },
         0, 1},
        {"new file, a local file of the same content", [](T&) {},
         [](T& t) {
             t.WriteLocal("n3.txt", "n3 same", kOld - 5);
             t.Put("n3.txt", "n3 same", kNew);
         },
         [](T& t) {
             EXPECT_EQ(t.ReadLocal("n3.txt"), "n3 same");
             EXPECT_EQ(t.LocalTime("n3.txt"), t.ServerTime("n3.txt")) << "the server's time";
             EXPECT_TRUE(t.Conflicts("n3.txt").empty());
             EXPECT_EQ(t.Journal(t.Key("n3.txt")).onDisk, 1);
             EXPECT_TRUE(t.log_.Contains("exisits on local"));
         },
         0, 1},
        {"new file, a local file of other content", [](T&) {},
         [](T& t) {
             t.WriteLocal("n4.txt", "n4 mine");
             t.Put("n4.txt", "n4 server", kNew);
         },
         [](T& t) {
             EXPECT_EQ(t.ReadLocal("n4.txt"), "n4 server");
             EXPECT_EQ(t.ReadPath(t.OnlyConflict("n4.txt")), "n4 mine");
             EXPECT_TRUE(t.OnServer(t.OnlyConflict("n4.txt"))) << "uploaded as new";
         },
         1, 2},
        {"new folder, a local file", [](T&) {},
         [](T& t) {
             t.WriteLocal("n5", "n5 mine");
             t.PutFolder("n5");
         },
         [](T& t) {
             EXPECT_TRUE(t.IsDir("n5"));
             EXPECT_EQ(t.ReadPath(t.OnlyConflict("n5")), "n5 mine");
         },
         0, 2},
        {"new file, a local folder with contents", [](T&) {},
         [](T& t) {
             t.WriteLocal("n6.txt/inner.txt", "n6 inner");
             t.Put("n6.txt", "n6 server", kNew);
         },
         [](T& t) {
             EXPECT_EQ(t.ReadLocal("n6.txt"), "n6 server");
             EXPECT_EQ(t.ReadPath(t.OnlyConflict("n6.txt") + "/inner.txt"), "n6 inner");
         },
         1, 2},
        // --- A changed server version of a path on disk.
        {"changed, local unchanged", [](T& t) { t.Put("c1.txt", "c1 old", kOld); },
         [](T& t) { t.Put("c1.txt", "c1 new version", kNew); },
         [](T& t) {
             EXPECT_EQ(t.ReadLocal("c1.txt"), "c1 new version");
             EXPECT_EQ(t.LocalTime("c1.txt"), t.ServerTime("c1.txt"));
             EXPECT_TRUE(t.Conflicts("c1.txt").empty());
             const dltest::Row row = t.Journal(t.Key("c1.txt"));
             EXPECT_EQ(row.onDisk, 1);
             EXPECT_EQ(row.activeTime, t.ServerTime("c1.txt"));
             // The status line names the new version's size and time, then the old one's.
             EXPECT_TRUE(t.HasText(platform::WM_SETMESSAGESTRING,
                                   "更新文件: alice/c1.txt(14, " + std::to_string(t.ServerTime("c1.txt")) +
                                       " -> 6, " + std::to_string(kFileTimeOf1970 + kOld * 10000000) + ")"));
         },
         1, 1},
        {"changed, local changed to the same content", [](T& t) { t.Put("c2.txt", "c2 old", kOld); },
         [](T& t) {
             t.WriteLocal("c2.txt", "c2 both", kNew + 60);
             t.Put("c2.txt", "c2 both", kNew);
         },
         [](T& t) {
             EXPECT_EQ(t.ReadLocal("c2.txt"), "c2 both");
             EXPECT_EQ(t.LocalTime("c2.txt"), t.ServerTime("c2.txt"));
             EXPECT_TRUE(t.Conflicts("c2.txt").empty());
         },
         0, 1},
        {"changed, local changed otherwise: a conflict", [](T& t) { t.Put("c3.txt", "c3 old", kOld); },
         [](T& t) {
             t.WriteLocal("c3.txt", "c3 mine");
             t.Put("c3.txt", "c3 server", kNew);
         },
         [](T& t) {
             EXPECT_EQ(t.ReadLocal("c3.txt"), "c3 server");
             EXPECT_EQ(t.ReadPath(t.OnlyConflict("c3.txt")), "c3 mine");
             const dltest::Row row = t.Journal(t.Key("c3.txt"));
             EXPECT_EQ(row.onDisk, 1);
             EXPECT_EQ(row.activeTime, t.ServerTime("c3.txt")) << "the active half is replaced";
             EXPECT_TRUE(t.OnServer(t.OnlyConflict("c3.txt"))) << "the conflict copy goes up as new";
             EXPECT_EQ(t.ServerLine("c3.txt").rfind("c3.txt file 9 ", 0), 0u) << "the service keeps its own";
         },
         1, 2},
        {"changed, local deleted: the server version comes down as the conflict copy",
         [](T& t) { t.Put("c4.txt", "c4 old", kOld); },
         [](T& t) {
             ASSERT_TRUE(platform::RemoveFile(t.Local("c4.txt")));
             t.Put("c4.txt", "c4 server", kNew);
         },
         [](T& t) {
             EXPECT_FALSE(t.Exists("c4.txt"));
             EXPECT_EQ(t.ReadPath(t.OnlyConflict("c4.txt")), "c4 server");
             // The upload phase deletes the path on the service and sends the copy as new.
             EXPECT_FALSE(t.Journal(t.Key("c4.txt")).exists);
             EXPECT_TRUE(t.ServerLine("c4.txt").empty());
             EXPECT_TRUE(t.OnServer(t.OnlyConflict("c4.txt")));
         },
         1, 2},
        {"the same content at a new time is no change", [](T& t) { t.Put("c5.txt", "c5 same", kOld); },
         [](T& t) { t.Put("c5.txt", "c5 same", kNew); },
         [](T& t) {
             EXPECT_EQ(t.ReadLocal("c5.txt"), "c5 same");
             EXPECT_EQ(t.Journal(t.Key("c5.txt")).activeTime, t.LocalTime("c5.txt"));
             EXPECT_FALSE(t.HasRecent("修改 " + t.Local("c5.txt")));
         },
         0, 1},
        {"a folder replaced by a file: local contents stay",
         [](T& t) {
             t.Put("c6/known.txt", "c6 known", kOld);
             t.Put("c6/edited.txt", "c6 edited before", kOld);
         },
         [](T& t) {
             t.WriteLocal("c6/edited.txt", "c6 edited here");
             t.Rm("c6");
             t.Put("c6", "c6 is a file now", kNew);
         },
         [](T& t) {
             EXPECT_EQ(t.ReadLocal("c6"), "c6 is a file now");
             const std::string kept = t.OnlyConflict("c6");
             EXPECT_EQ(t.ReadPath(kept + "/edited.txt"), "c6 edited here");
             EXPECT_FALSE(platform::Exists(kept + "/known.txt")) << "unchanged: it goes as the service says";
         },
         1, 0},
        // --- A path the service no longer lists.
        {"absent, local unchanged", [](T& t) { t.Put("d1.txt", "d1", kOld); }, [](T& t) { t.Rm("d1.txt"); },
         [](T& t) {
             EXPECT_FALSE(t.Exists("d1.txt"));
             EXPECT_FALSE(t.Journal(t.Key("d1.txt")).exists);
             EXPECT_TRUE(t.HasRecent("删除 " + t.Local("d1.txt")));
         },
         0, 1},
        {"absent, local changed", [](T& t) { t.Put("d2.txt", "d2", kOld); },
         [](T& t) {
             t.WriteLocal("d2.txt", "d2 mine");
             t.Rm("d2.txt");
         },
         [](T& t) {
             EXPECT_FALSE(t.Exists("d2.txt"));
             EXPECT_EQ(t.ReadPath(t.OnlyConflict("d2.txt")), "d2 mine");
             EXPECT_FALSE(t.Journal(t.Key("d2.txt")).exists);
             EXPECT_TRUE(t.OnServer(t.OnlyConflict("d2.txt"))) << "the conflict copy goes up as new";
             EXPECT_TRUE(t.ServerLine("d2.txt").empty()) << "the service's deletion stands";
         },
         0, 2},
        {"absent, only the local time changed: the same content goes as unchanged",
         [](T& t) { t.Put("d6.txt", "d6 same", kOld); },
         [](T& t) {
             t.SetTime(t.Local("d6.txt"), kNew);
             t.Rm("d6.txt");
         },
         [](T& t) {
             EXPECT_FALSE(t.Exists("d6.txt"));
             EXPECT_TRUE(t.Conflicts("d6.txt").empty());
             EXPECT_FALSE(t.Journal(t.Key("d6.txt")).exists);
             EXPECT_TRUE(t.ServerLine("d6.txt").empty()) << "not uploaded again";
             EXPECT_TRUE(t.HasRecent("删除 " + t.Local("d6.txt")));
         },
         0, 1},
        {"absent, local deleted", [](T& t) { t.Put("d3.txt", "d3", kOld); },
         [](T& t) {
             ASSERT_TRUE(platform::RemoveFile(t.Local("d3.txt")));
             t.Rm("d3.txt");
         },
         [](T& t) {
             EXPECT_FALSE(t.Exists("d3.txt"));
             EXPECT_TRUE(t.Conflicts("d3.txt").empty());
             EXPECT_FALSE(t.Journal(t.Key("d3.txt")).exists);
         },
         0, 1},
        {"absent folder holding local changes: kept with them",
         [](T& t) {
             t.Put("d4/keep.txt", "d4 keep", kOld);
             t.Put("d4/edit.txt", "d4 edit", kOld);
             t.Put("d4/sub/deep.txt", "d4 deep", kOld);
         },
         [](T& t) {
             t.WriteLocal("d4/new.txt", "d4 new");
             t.WriteLocal("d4/edit.txt", "d4 edited here");
             t.Rm("d4");
         },
         [](T& t) {
             EXPECT_TRUE(t.IsDir("d4"));
             EXPECT_EQ(t.ReadLocal("d4/new.txt"), "d4 new");
             EXPECT_EQ(t.ReadPath(t.OnlyConflict("d4/edit.txt")), "d4 edited here");
             EXPECT_FALSE(t.Exists("d4/keep.txt"));
             EXPECT_FALSE(t.Exists("d4/sub")) << "a subfolder without changes goes";
             EXPECT_TRUE(t.OnServer(t.Local("d4/new.txt"))) << "the upload phase sends it back";
             EXPECT_TRUE(t.OnServer(t.OnlyConflict("d4/edit.txt")));
             EXPECT_FALSE(t.Journal(t.Key("d4/keep.txt")).exists);
             EXPECT_FALSE(t.Journal(t.Key("d4/edit.txt")).exists);
             EXPECT_FALSE(t.HasRecent("删除 " + t.Local("d4")));
         },
         0, 0},
        {"absent folder without local changes", [](T& t) { t.Put("d5/sub/a.txt", "d5 a", kOld); },
         [](T& t) { t.Rm("d5"); },
         [](T& t) {
             EXPECT_FALSE(t.Exists("d5"));
             EXPECT_FALSE(t.Journal(t.Key("d5/sub/a.txt")).exists);
             EXPECT_TRUE(t.HasRecent("删除 " + t.Local("d5")));
         },
         0, 1},
    };

    for (const Case& c : cases)
        c.before(*this);
    StartEngine();
    ASSERT_EQ(LastStatus(), "Sync finished");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.change(*this);
        const int chunks = Requests("download_chunk");
        const int passes = PassStarts();
        ASSERT_TRUE(Sync());
        EXPECT_EQ(LastStatus(), "Sync finished");
        c.check(*this);
        EXPECT_EQ(Requests("download_chunk") - chunks, c.downloads)
            << "identical content is never downloaded";
        if (c.passes != 0) {
            EXPECT_EQ(PassStarts() - passes, c.passes);
        }
    }
}

// A server version that never reached the disk and then vanished from the listing is forgotten;
// the local entry at its path is the user's, and goes up as new.
TEST_F(DownloadOutcomeTest, APendingVersionThatVanishedIsForgotten) {
    Put("other.txt", "keeps the listing from being empty", kOld);
    StartEngine();
    Put("p.txt", "p server", kNew);
    ASSERT_TRUE(server_.Fault("download_chunk", "refuse", 1, 8));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync unfinished");
    EXPECT_FALSE(Exists("p.txt"));
    const dltest::Row pending = Journal(Key("p.txt"));
    ASSERT_TRUE(pending.exists);
    EXPECT_EQ(pending.onDisk, 0);
    EXPECT_TRUE(pending.activePath.empty());

    WriteLocal("p.txt", "p mine");
    Rm("p.txt");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(ReadLocal("p.txt"), "p mine");
    EXPECT_TRUE(Conflicts("p.txt").empty());
    const dltest::Row row = Journal(Key("p.txt"));
    EXPECT_EQ(row.onDisk, 1);
    EXPECT_EQ(row.activeSize, 6) << "the local file's record, not the vanished version's";
    EXPECT_EQ(ServerLine("p.txt").rfind("p.txt file 6 ", 0), 0u);
}

}  // namespace
