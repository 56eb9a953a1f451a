// The watcher thread on a real folder: changes made on disk reach the worker as the requests they
// call for, and starting and stopping the watch behave.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/fault.h"
#include "platform/file.h"
#include "support/wait.h"
#include "sync/filesystemwatcher.h"
#include "sync/watcher_fixture.h"

using namespace watchtest;

namespace {

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1))
        ++n;
    return n;
}

// At least one pass request and nothing else: a write can span two batches (the file made, then
// filled), and each batch asks for its pass.
bool OnlyPasses(const std::vector<Posted>& posts) {
    if (posts.empty())
        return false;
    for (const Posted& p : posts) {
        if (!(p == kSync))
            return false;
    }
    return true;
}

class LiveWatcherTest : public WatcherTest {
  public:
    void SetUp() override {
        WatcherTest::SetUp();
        w_.SetWatchPauseMs(1);
    }
    void Start() {
        w_.StartFileMonitor(Home());
        ASSERT_NE(w_.GetWatcher(), nullptr);
        ASSERT_TRUE(w_.GetWatcher()->IsRunning());
        w_.SetReady(1);
    }
    // Returns once every change made before it has been through CheckFiles: a change to the folder
    // decoration file is logged and dropped, and records arrive in the order they were made.
    void Settle() {
        const std::string line = "File filter: desktop.ini";
        const size_t before = Count(log_.Text(), line);
        Write("desktop.ini", std::to_string(++marks_));
        ASSERT_TRUE(testsupport::WaitUntil([&] { return Count(log_.Text(), line) > before; }, kBoundMs, 5))
            << "the watcher never saw the marker";
    }
    bool WaitForLog(const std::string& needle) {
        return testsupport::WaitUntil([&] { return log_.Contains(needle); }, kBoundMs, 5);
    }

    WatchWork w_;
    int marks_ = 0;
};

TEST_F(LiveWatcherTest, ARenameIsOneRequestWithBothNames) {
    tmp_.MakeDirs("home/d");
    Write("d/old.txt");
    Start();
    ASSERT_TRUE(platform::MoveFile(Home("d/old.txt"), Home("d/new.txt")));
    Settle();
    EXPECT_EQ(w_.Posts(), std::vector<Posted>{RenameOf("d/old.txt", "d/new.txt")});
    EXPECT_TRUE(log_.Contains("Rename(O)   - d/old.txt"));
    EXPECT_TRUE(log_.Contains("Rename(N)   - d/new.txt"));

    // A folder rename: one request, and the folder's files report under its new name afterwards.
    w_.ClearPosts();
    ASSERT_TRUE(platform::MoveFile(Home("d"), Home("e")));
    Settle();
    EXPECT_EQ(w_.Posts(), std::vector<Posted>{RenameOf("d", "e")});
    w_.ClearPosts();
    Write("e/new.txt", "changed");
    Settle();
    EXPECT_TRUE(OnlyPasses(w_.Posts())) << ::testing::PrintToString(w_.Posts());
    EXPECT_TRUE(log_.Contains("Modified   - e/new.txt"));
}

TEST_F(LiveWatcherTest, OfficeTemporaryFilesAskForNothingTheSavedDocumentDoes) {
    if (!HiddenKept())
        GTEST_SKIP() << "no hidden attribute on this file system";
    Write("report.docx", "v1");
    Start();
    WriteHidden("~$report.docx");
    Write("~$report.docx", "owner");  // written again while open
    Settle();
    EXPECT_TRUE(w_.Posts().empty());
    EXPECT_EQ(w_.GetFilteredPaths(), std::vector<std::string>{Home("~$report.docx")});
    ASSERT_TRUE(platform::RemoveFile(Home("~$report.docx")));
    Settle();
    EXPECT_TRUE(w_.Posts().empty());
    EXPECT_TRUE(w_.GetFilteredPaths().empty());  // gone, so forgotten

    Write("report.docx", "v2");
    ASSERT_TRUE(w_.WaitForPosts(1));
    Settle();
    EXPECT_TRUE(OnlyPasses(w_.Posts())) << ::testing::PrintToString(w_.Posts());
}

TEST_F(LiveWatcherTest, ChangesDuringAPassOnlyWantOneMore) {
    Start();
    w_.SetReady(0);  // a pass runs
    Write("a.txt");
    Write("b.txt");
    ASSERT_TRUE(platform::MoveFile(Home("a.txt"), Home("c.txt")));
    Settle();
    // Only the rename is queued, for the pass to carry out before its upload phase.
    EXPECT_EQ(w_.Posts(), std::vector<Posted>{RenameOf("a.txt", "c.txt")});
    EXPECT_EQ(w_.IsSyncPending(), 1);
}

TEST_F(LiveWatcherTest, NewFoldersAreWatchedRemovedOnesDropped) {
    Start();
    tmp_.MakeDirs("home/a/b");
    Write("a/b/first.txt");  // possibly before its folder has a watch
    Settle();
    EXPECT_TRUE(log_.Contains("Added     - a/b/first.txt"));
    EXPECT_TRUE(w_.GetWatcher()->Watch().IsWatched("a/b"));
    w_.ClearPosts();
    Write("a/b/second.txt");
    Settle();
    EXPECT_TRUE(OnlyPasses(w_.Posts())) << ::testing::PrintToString(w_.Posts());
    EXPECT_TRUE(log_.Contains("Added     - a/b/second.txt"));

    ASSERT_TRUE(testsupport::RemoveTree(Home("a")));
    Settle();
    EXPECT_TRUE(log_.Contains("Removed   - a"));
    EXPECT_FALSE(w_.GetWatcher()->Watch().IsWatched("a/b"));
    EXPECT_EQ(w_.GetWatcher()->Watch().WatchCount(), 1u);
}

TEST_F(LiveWatcherTest, TheWorkerGetsWhatTheWatcherAsksFor) {
    w_.forward = true;
    ASSERT_TRUE(w_.StartThread());
    w_.SetSignedIn(1);
    Write("a.txt");
    Start();
    // The rename reaches the worker's Rename with both names (signed in without a service, it
    // goes no further).
    ASSERT_TRUE(platform::MoveFile(Home("a.txt"), Home("b.txt")));
    EXPECT_TRUE(WaitForLog("Rename \"a.txt\" to \"b.txt\""));
    EXPECT_EQ(w_.Passes(), 0);
    Write("c.txt");
    EXPECT_TRUE(w_.WaitForPasses(1));
}

TEST_F(LiveWatcherTest, StopIsPromptWhetherReadingOrResting) {
    w_.SetWatchPauseMs(600000);  // a rest that a stop must cut short
    for (bool resting : {false, true}) {
        SCOPED_TRACE(resting ? "resting" : "reading");
        w_.ClearPosts();
        Start();
        if (resting) {
            Write("f" + std::to_string(marks_++));
            ASSERT_TRUE(w_.WaitForPosts(1));
        }
        // Well under the rest, and the read has no timeout of its own.
        EXPECT_TRUE(w_.GetWatcher()->Stop(10000));
        EXPECT_FALSE(w_.GetWatcher()->IsRunning());
    }
    // Stopped, it reports nothing more.
    w_.ClearPosts();
    Write("late.txt");
    w_.StartFileMonitor(Home());  // and a new start works on the same object
    Write("after.txt");
    ASSERT_TRUE(w_.WaitForPosts(1));
    EXPECT_FALSE(log_.Contains("late.txt"));
}

TEST_F(LiveWatcherTest, ALostHomeEndsTheWatchWithAPassRequest) {
    Start();
    ASSERT_TRUE(testsupport::RemoveTree(Home()));
    ASSERT_TRUE(WaitForLog("Cancel Monitor"));
    ASSERT_TRUE(w_.WaitForPosts(1));
    EXPECT_EQ(w_.Posts().back(), kSync);
    for (int i = 0; i < 2000 && w_.GetWatcher()->IsRunning(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(w_.GetWatcher()->IsRunning());
}

TEST_F(LiveWatcherTest, OutOfWatchesTheClientGoesOn) {
    platform::FaultScope faults;
    tmp_.MakeDirs("home/a");
    // Not even the home folder: nothing is watched, the sign-in goes on and passes come from the
    // heartbeat.
    platform::FailCall(platform::Op::Watch, 1, ENOSPC);
    w_.StartFileMonitor(Home());
    EXPECT_FALSE(w_.GetWatcher()->IsRunning());
    EXPECT_TRUE(log_.Contains("/proc/sys/fs/inotify/max_user_watches"));
    EXPECT_TRUE(log_.Contains("Fail to monitor " + Home()));
    EXPECT_TRUE(log_.Contains("Mointor root: " + Home()));

    // The home folder but not the folder below it: changes at the top still count.
    platform::ClearFaults();
    platform::FailCall(platform::Op::Watch, 1, ENOSPC, "home/a");
    Start();
    EXPECT_TRUE(w_.GetWatcher()->Watch().Incomplete());
    Write("top.txt");
    ASSERT_TRUE(w_.WaitForPosts(1));
    EXPECT_EQ(Count(log_.Text(), "/proc/sys/fs/inotify/max_user_watches"), 2u);  // once per start
}

}  // namespace
