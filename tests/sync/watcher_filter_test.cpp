// CWork::CheckFiles fed by hand, one record at a time, against files on disk: which records ask the
// worker for a pass or a rename, and which are dropped.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/dirwatch.h"
#include "platform/file.h"
#include "store/filecache.h"
#include "support/env.h"
#include "sync/filesystemwatcher.h"
#include "sync/watcher_fixture.h"
#include "util/util.h"

using namespace watchtest;
using platform::kDirAdded;
using platform::kDirModified;
using platform::kDirOverflow;
using platform::kDirRemoved;
using platform::kDirRenamedNew;
using platform::kDirRenamedOld;

namespace {

constexpr int kBatchEnd = CFileSystemWatcher::kActionBatchEnd;
constexpr int kFailed = CFileSystemWatcher::kActionFailed;

// One step of a case: a change on disk (may be empty), then the record the watcher reads for it
// (none when `action` is kNone).
constexpr int kNone = -100;
struct Step {
    std::function<void(WatcherTest&)> disk;
    int action;
    const char* name;
};

void Feed(WatchWork& w, int action, const char* name) {
    CWork::CheckFiles(action, name, &w);
}

class CheckFilesTest : public WatcherTest {
  public:
    void SetUp() override {
        WatcherTest::SetUp();
        if (!HiddenKept())
            GTEST_SKIP() << "no hidden attribute on this file system";
    }
    void Run(WatchWork& w, const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            if (s.disk)
                s.disk(*this);
            if (s.action != kNone)
                Feed(w, s.action, s.name);
        }
    }
};

std::function<void(WatcherTest&)> File(const char* rel) {
    return [rel](WatcherTest& t) { t.Write(rel); };
}
std::function<void(WatcherTest&)> Hidden(const char* rel) {
    return [rel](WatcherTest& t) { t.WriteHidden(rel); };
}
std::function<void(WatcherTest&)> Folder(const char* rel) {
    return [rel](WatcherTest& t) { t.tmp_.MakeDirs("home/" + std::string(rel)); };
}
std::function<void(WatcherTest&)> Gone(const char* rel) {
    return [rel](WatcherTest& t) { ASSERT_TRUE(platform::RemoveFile(t.Home(rel))); };
}
std::function<void(WatcherTest&)> Move(const char* from, const char* to) {
    return [from, to](WatcherTest& t) { ASSERT_TRUE(platform::MoveFile(t.Home(from), t.Home(to))); };
}

TEST_F(CheckFilesTest, WhatEachBatchAsksFor) {
    const std::string kConflict = CUtil::GetConflictName("doc.txt");
    struct Case {
        const char* what;
        std::vector<Step> steps;  // one batch
        std::vector<Posted> expected;
        size_t filteredAfter;  // temporary files remembered as dropped and still there
    };
    const Case cases[] = {
        {"a new file", {{File("a.txt"), kDirAdded, "a.txt"}, {nullptr, kDirModified, "a.txt"}}, {kSync}, 0},
        {"a removed file", {{nullptr, kDirRemoved, "gone.txt"}}, {kSync}, 0},
        {"a new folder", {{Folder("d"), kDirAdded, "d"}}, {kSync}, 0},
        {"a folder's own times", {{Folder("d"), kDirModified, "d"}}, {}, 0},
        {"a visible ~ name is the user's", {{File("~$plan.docx"), kDirAdded, "~$plan.docx"}}, {kSync}, 0},
        {"a hidden office owner file", {{Hidden("~$plan.docx"), kDirAdded, "~$plan.docx"}}, {}, 1},
        {"its extension inside the list: ls in xlsx", {{Hidden("~data.ls"), kDirAdded, "~data.ls"}}, {}, 1},
        {"doc inside docx", {{Hidden("~tmp1.doc"), kDirAdded, "~tmp1.doc"}}, {}, 1},
        {"the extension keeps its case", {{Hidden("~data.DOCX"), kDirAdded, "~data.DOCX"}}, {kSync}, 0},
        {"no dot: the whole name is looked for", {{Hidden("~vsd"), kDirAdded, "~vsd"}}, {}, 1},
        {"no dot, not in the list", {{Hidden("~WRL0001"), kDirAdded, "~WRL0001"}}, {kSync}, 0},
        {"a hidden ~ name in a subfolder",
         {{Folder("d"), kNone, ""}, {Hidden("d/~$a.xlsx"), kDirAdded, "d/~$a.xlsx"}},
         {},
         1},
        {"hidden Thumbs.db", {{Hidden("Thumbs.db"), kDirAdded, "Thumbs.db"}}, {}, 1},
        {"visible Thumbs.db", {{File("Thumbs.db"), kDirAdded, "Thumbs.db"}}, {kSync}, 0},
        {"a LibreOffice lock", {{File(".~lock.report.odt#"), kDirAdded, ".~lock.report.odt#"}}, {}, 1},
        {"a vim swap file in a subfolder",
         {{Folder("d"), kNone, ""}, {File("d/.a.txt.swp"), kDirAdded, "d/.a.txt.swp"}},
         {},
         1},
        {"a backup copy", {{File("notes.txt~"), kDirAdded, "notes.txt~"}}, {}, 1},
        {"a lone ~ is the user's", {{File("~"), kDirAdded, "~"}}, {kSync}, 0},
        {"a part in the middle of a name",
         {{File("report.part.txt"), kDirAdded, "report.part.txt"}},
         {kSync},
         0},
        {"a browser download finished by a rename",
         {{File("movie.mkv.part"), kDirAdded, "movie.mkv.part"},
          {nullptr, kDirModified, "movie.mkv.part"},
          {Move("movie.mkv.part", "movie.mkv"), kDirRenamedOld, "movie.mkv.part"},
          {nullptr, kDirRenamedNew, "movie.mkv"}},
         {kSync},
         0},
        {"a GTK safe save over a synced file",
         {{File("report.txt"), kNone, ""},
          {File(".goutputstream-Q7"), kDirAdded, ".goutputstream-Q7"},
          {[](WatcherTest& t) {
               ASSERT_TRUE(platform::ReplaceFile(t.Home(".goutputstream-Q7"), t.Home("report.txt")));
           },
           kDirRenamedOld, ".goutputstream-Q7"},
          {nullptr, kDirRenamedNew, "report.txt"}},
         {kSync},
         0},
        {"a synced file renamed to a backup name: its old name is gone",
         {{File("plan.txt"), kNone, ""},
          {Move("plan.txt", "plan.txt~"), kDirRenamedOld, "plan.txt"},
          {nullptr, kDirRenamedNew, "plan.txt~"}},
         {kSync},
         1},
        {"folder decoration",
         {{Folder("d"), kNone, ""}, {File("d/desktop.ini"), kDirAdded, "d/desktop.ini"}},
         {},
         0},
        {"share marker",
         {{Folder("d"), kNone, ""}, {File("d/.peltashare"), kDirModified, "d/.peltashare"}},
         {},
         0},
        {"a temporary file made and removed",
         {{Hidden("~$a.docx"), kDirAdded, "~$a.docx"},
          {nullptr, kDirModified, "~$a.docx"},
          {Gone("~$a.docx"), kDirRemoved, "~$a.docx"}},
         {},
         0},
        {"the client's own download: built under a part name, renamed into place",
         {{File(".r.txt.kestrine-part"), kDirAdded, ".r.txt.kestrine-part"},
          {nullptr, kDirModified, ".r.txt.kestrine-part"},
          {Move(".r.txt.kestrine-part", "r.txt"), kDirRenamedOld, ".r.txt.kestrine-part"},
          {nullptr, kDirRenamedNew, "r.txt"}},
         {},
         0},
        {"a rename",
         {{File("old.txt"), kNone, ""},
          {Move("old.txt", "new.txt"), kDirRenamedOld, "old.txt"},
          {nullptr, kDirRenamedNew, "new.txt"}},
         {RenameOf("old.txt", "new.txt")},
         0},
        {"a rename in a subfolder, a bar in the new name",
         {{Folder("d"), kNone, ""},
          {File("d/a"), kNone, ""},
          {Move("d/a", "d/b|c"), kDirRenamedOld, "d/a"},
          {nullptr, kDirRenamedNew, "d/b|c"}},
         {RenameOf("d/a", "d/b|c")},
         0},
        {"a local edit moved aside under a conflict name by a pass is no rename",
         {{File("doc.txt"), kNone, ""},
          {Move("doc.txt", kConflict.c_str()), kDirRenamedOld, "doc.txt"},
          {nullptr, kDirRenamedNew, kConflict.c_str()}},
         {kSync},
         0},
        {"a name that only looks like one is the user's rename",
         {{File("doc.txt"), kNone, ""},
          {Move("doc.txt", "doc.txt.conflict(draft)"), kDirRenamedOld, "doc.txt"},
          {nullptr, kDirRenamedNew, "doc.txt.conflict(draft)"}},
         {RenameOf("doc.txt", "doc.txt.conflict(draft)")},
         0},
        {"a rename, then more changes in the same batch: the rename's own pass covers them",
         {{File("old.txt"), kNone, ""},
          {Move("old.txt", "new.txt"), kDirRenamedOld, "old.txt"},
          {nullptr, kDirRenamedNew, "new.txt"},
          {File("more.txt"), kDirAdded, "more.txt"}},
         {RenameOf("old.txt", "new.txt")},
         0},
        {"a file renamed to a hidden temporary name is gone",
         {{File("doc.docx"), kNone, ""},
          {[](WatcherTest& t) {
               ASSERT_TRUE(platform::MoveFile(t.Home("doc.docx"), t.Home("~WRL0001.tmp")));
               ASSERT_TRUE(platform::SetFileAttributes(t.Home("~WRL0001.tmp"), platform::kAttrHidden));
           },
           kDirRenamedOld, "doc.docx"},
          {nullptr, kDirRenamedNew, "~WRL0001.tmp"}},
         {kSync},
         1},
        {"a document saved through temporary files asks for one pass, no rename",
         {{File("doc.docx"), kNone, ""},
          {Hidden("~WRD0000.tmp"), kDirAdded, "~WRD0000.tmp"},
          {nullptr, kDirModified, "~WRD0000.tmp"},
          {[](WatcherTest& t) {
               ASSERT_TRUE(platform::MoveFile(t.Home("doc.docx"), t.Home("~WRL0001.tmp")));
               ASSERT_TRUE(platform::SetFileAttributes(t.Home("~WRL0001.tmp"), platform::kAttrHidden));
           },
           kDirRenamedOld, "doc.docx"},
          {nullptr, kDirRenamedNew, "~WRL0001.tmp"},
          {[](WatcherTest& t) {
               ASSERT_TRUE(platform::MoveFile(t.Home("~WRD0000.tmp"), t.Home("doc.docx")));
               ASSERT_TRUE(platform::SetFileAttributes(t.Home("doc.docx"), 0));
           },
           kDirRenamedOld, "~WRD0000.tmp"},
          {nullptr, kDirRenamedNew, "doc.docx"},
          {Gone("~WRL0001.tmp"), kDirRemoved, "~WRL0001.tmp"}},
         {kSync},
         0},
        {"the temporary file renamed into the document's place is the document",
         {{Hidden("~WRD0000.tmp"), kDirAdded, "~WRD0000.tmp"},
          {[](WatcherTest& t) {
               ASSERT_TRUE(platform::MoveFile(t.Home("~WRD0000.tmp"), t.Home("doc.docx")));
               ASSERT_TRUE(platform::SetFileAttributes(t.Home("doc.docx"), 0));
           },
           kDirRenamedOld, "~WRD0000.tmp"},
          {nullptr, kDirRenamedNew, "doc.docx"}},
         {kSync},
         0},
        {"records were lost", {{nullptr, kDirOverflow, ""}}, {kSync}, 0},
        {"the watch ended", {{nullptr, kFailed, nullptr}}, {kSync}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(testsupport::RemoveTree(Home()));
        tmp_.MakeDirs("home");
        WatchWork w;
        w.Aim(Home());
        w.SetReady(1);
        Run(w, c.steps);
        Feed(w, kBatchEnd, nullptr);
        EXPECT_EQ(w.Posts(), c.expected);
        EXPECT_EQ(w.GetFilteredPaths().size(), c.filteredAfter);
        EXPECT_EQ(w.IsSyncPending(), 0);
    }
}

TEST_F(CheckFilesTest, OnePassRequestPerBatch) {
    WatchWork w;
    w.Aim(Home());
    w.SetReady(1);
    for (int batch = 0; batch < 3; ++batch) {
        for (int i = 0; i < 20; ++i) {
            const std::string name = "f" + std::to_string(batch) + "-" + std::to_string(i);
            Write(name);
            Feed(w, kDirAdded, name.c_str());
        }
        Feed(w, kBatchEnd, nullptr);
    }
    EXPECT_EQ(w.Posts(), (std::vector<Posted>{kSync, kSync, kSync}));
}

TEST_F(CheckFilesTest, WhileAPassRunsOnlyOneMorePassIsWanted) {
    // The ready flag is clear while a pass runs and while signed out. A rename is still queued as
    // one: the pass carries it out before its upload phase could read the old name as deleted.
    struct Batch {
        std::vector<Step> steps;
        std::vector<Posted> posts;
    };
    const std::vector<Batch> batches = {
        {{{File("a.txt"), kDirAdded, "a.txt"}}, {}},
        {{{File("old.txt"), kNone, ""},
          {Move("old.txt", "new.txt"), kDirRenamedOld, "old.txt"},
          {nullptr, kDirRenamedNew, "new.txt"}},
         {RenameOf("old.txt", "new.txt")}},
        {{{nullptr, kDirOverflow, ""}}, {}},
    };
    for (const Batch& batch : batches) {
        WatchWork w;
        w.Aim(Home());
        w.SetReady(0);
        Run(w, batch.steps);
        Feed(w, kBatchEnd, nullptr);
        EXPECT_EQ(w.Posts(), batch.posts);
        EXPECT_EQ(w.IsSyncPending(), 1);
    }
    // Dropped records want nothing, even then.
    WatchWork w;
    w.Aim(Home());
    w.SetReady(0);
    Run(w, {{Hidden("~$x.pptx"), kDirAdded, "~$x.pptx"}, {File("desktop.ini"), kDirAdded, "desktop.ini"}});
    EXPECT_EQ(w.IsSyncPending(), 0);
}

TEST_F(CheckFilesTest, FilteredPathsAreForgottenAtEachStart) {
    WatchWork w;
    w.Aim(Home());
    WriteHidden("~$a.docx");
    Feed(w, kDirAdded, "~$a.docx");
    ASSERT_EQ(w.GetFilteredPaths(), std::vector<std::string>{Home("~$a.docx")});
    // Seen again (modified): kept once.
    Feed(w, kDirModified, "~$a.docx");
    EXPECT_EQ(w.GetFilteredPaths().size(), 1u);
    w.Aim(Home());
    EXPECT_TRUE(w.GetFilteredPaths().empty());
}

// The kernel folds a user's rename onto a name into the client's own rename onto it while both
// are queued: the record of the client's download is then all the watcher hears of the save.
TEST_F(CheckFilesTest, AUserSaveFoldedIntoTheClientsOwnRenameAsksForAPass) {
    testsupport::FakeHome home;
    for (const bool saved : {false, true}) {
        SCOPED_TRACE(saved ? "the user saved over it" : "only the client's download");
        WatchWork w;
        ASSERT_EQ(w.Init(), 1);
        CFileCache* cache = w.GetFileCache();
        ASSERT_TRUE(cache->SetRoot(Home()));
        w.Aim(Home());
        w.SetReady(1);
        CFileInfo f("/r.txt", 0, 0);
        f.modifyTime = 132000000000000000;
        ASSERT_TRUE(cache->MakeFile(&f));
        if (saved) {
            Write("outside-save", "the user's");
            ASSERT_TRUE(platform::ReplaceFile(Home("outside-save"), Home("r.txt")));
        }
        Feed(w, kDirRenamedOld, ".r.txt.kestrine-part");
        Feed(w, kDirRenamedNew, "r.txt");
        Feed(w, kBatchEnd, nullptr);
        EXPECT_EQ(w.Posts(), saved ? std::vector<Posted>{kSync} : std::vector<Posted>{});
    }
}

}  // namespace
