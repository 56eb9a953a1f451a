// A watch that ends by itself comes back: its thread rests a growing while and opens the folder
// again, the worker is asked for a pass (nothing was seen meanwhile), and the tray says so while
// the watch is down.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "platform/fault.h"
#include "platform/messages.h"
#include "support/wait.h"
#include "sync/filesystemwatcher.h"
#include "sync/watcher_fixture.h"

using namespace watchtest;

namespace {

TEST(WatchRestartDelay, DoublesFromTheFirstRestUpToTheCap) {
    constexpr int kFirst = CFileSystemWatcher::kRestartFirstMs;
    constexpr int kCap = CFileSystemWatcher::kRestartCapMs;
    struct Case {
        int attempt, firstMs, capMs, want;
    } cases[] = {
        {1, kFirst, kCap, 1000},   {2, kFirst, kCap, 2000},         {3, kFirst, kCap, 4000},
        {9, kFirst, kCap, 256000}, {10, kFirst, kCap, kCap},        {1000000, kFirst, kCap, kCap},
        {0, kFirst, kCap, kFirst}, {-3, kFirst, kCap, kFirst},      {1, 5000, 3000, 3000},
        {2, 1, 2147483647, 2},     {40, 1, 2147483647, 2147483647},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CFileSystemWatcher::RestartDelayMs(c.attempt, c.firstMs, c.capMs), c.want)
            << "attempt " << c.attempt << ", first " << c.firstMs << ", cap " << c.capMs;
    }
}

// The worker's tray report, reachable from the test.
class TrayWork : public WatchWork {
  public:
    using CWork::ShowTrayState;
};

class WatchRestartTest : public WatcherTest {
  public:
    void SetUp() override {
        WatcherTest::SetUp();
        w_.SetWatchPauseMs(1);
    }
    void Start(int firstMs, int capMs) {
        w_.StartFileMonitor(Home());
        ASSERT_NE(w_.GetWatcher(), nullptr);
        ASSERT_TRUE(w_.GetWatcher()->IsRunning());
        w_.GetWatcher()->SetRestartDelays(firstMs, capMs);
        w_.SetReady(1);
    }
    bool WaitFor(const std::function<bool()>& done) { return testsupport::WaitUntil(done, kBoundMs, 5); }
    bool WaitForLog(const std::string& needle) {
        return WaitFor([&] { return log_.Contains(needle); });
    }
    // The home folder goes, and the watch with it.
    void LoseHome() {
        ASSERT_TRUE(testsupport::RemoveTree(Home()));
        ASSERT_TRUE(WaitForLog("Cancel Monitor"));
        ASSERT_TRUE(WaitFor([&] { return w_.IsWatcherDown(); }));
    }
    // A change made now reaches CheckFiles.
    void ExpectSeen(const std::string& name) {
        Write(name);
        EXPECT_TRUE(WaitForLog("Added     - " + name)) << name << " was not seen";
    }

    TrayWork w_;
};

TEST_F(WatchRestartTest, ALostHomeThatComesBackIsWatchedAgainAndAPassLooks) {
    Start(5, 40);
    LoseHome();
    EXPECT_FALSE(w_.GetWatcher()->IsRunning());
    w_.ClearPosts();
    tmp_.MakeDirs("home/sub");
    ASSERT_TRUE(WaitForLog("Monitor restarted"));
    EXPECT_FALSE(w_.IsWatcherDown());
    EXPECT_TRUE(w_.GetWatcher()->IsRunning());
    EXPECT_EQ(w_.GetWatcher()->RestartCount(), 1);
    // The restart asks for a pass: what changed while no watch ran is found by its scan.
    ASSERT_TRUE(w_.WaitForPosts(1));
    EXPECT_EQ(w_.Posts().front(), kSync);
    ExpectSeen("after.txt");
    ExpectSeen("sub/deep.txt");  // the folders below the root are watched again as well
}

TEST_F(WatchRestartTest, AWatchThatCannotBeOpenedIsTriedAgainUntilItCan) {
    platform::FaultScope faults;
    Start(5, 20);
    LoseHome();
    // The folder is back at once, but inotify refuses it three times.
    platform::FailCall(platform::Op::Watch, 3, ENOSPC, "home");
    tmp_.MakeDirs("home");
    ASSERT_TRUE(WaitForLog("Monitor restarted"));
    EXPECT_EQ(log_.Count("inotify watches are all in use"), 3u);
    EXPECT_EQ(w_.GetWatcher()->RestartCount(), 1);
    ExpectSeen("back.txt");

    // Lost again later: restarted again, from the first rest.
    LoseHome();
    tmp_.MakeDirs("home");
    ASSERT_TRUE(WaitFor([&] { return w_.GetWatcher()->RestartCount() == 2; }));
    ExpectSeen("again.txt");
}

TEST_F(WatchRestartTest, StopEndsTheRestBeforeARestart) {
    Start(600000, 600000);  // a rest that only a stop can cut short
    LoseHome();
    tmp_.MakeDirs("home");
    EXPECT_TRUE(w_.GetWatcher()->Stop(10000));
    EXPECT_FALSE(w_.GetWatcher()->IsRunning());
    EXPECT_EQ(w_.GetWatcher()->RestartCount(), 0);
    // A new start is a fresh watch.
    Start(600000, 600000);
    ExpectSeen("fresh.txt");
}

TEST_F(WatchRestartTest, TheTrayTipSaysTheWatchIsDownUntilItIsBack) {
    Start(5, 40);
    w_.ShowTrayState(platform::kTrayIdle, "user");
    LoseHome();
    w_.ShowTrayState(platform::kTrayIdle, "user");
    w_.ShowTrayState(platform::kTrayIdle, "");  // no tip: the tray keeps its own
    tmp_.MakeDirs("home");
    ASSERT_TRUE(WaitForLog("Monitor restarted"));
    w_.ShowTrayState(platform::kTrayDone, "user");
    EXPECT_EQ(front_.Texts(platform::WM_TRAY_STATE),
              (std::vector<std::string>{"user", std::string("user") + CWork::kWatchDownNote, "", "user"}));
}

}  // namespace
