#include "sync/work.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/logger.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/frontends.h"
#include "platform/messages.h"
#include "support/env.h"
#include "support/logcapture.h"

using platform::WindowMessage;

namespace {

constexpr int kWaitMs = 30000;  // bound for waiting on the worker; never reached when it works

// A worker whose pass, sign-in and back-client reason are scripted.
class TestWork : public CWork {
  public:
    ~TestWork() override { Stop(-1); }

    std::vector<int> passResults;  // per pass; 1 when the script runs out
    std::function<void(TestWork&, int pass)> onPass;
    std::string reason;  // the back client's last reason; ClearReason empties it
    int loginResult = 1;
    bool cleanResult = true;
    bool realPause = false;

    std::vector<int> pauses, reported;
    int logins = 0, resets = 0, cleans = 0;

    int Passes() {
        std::lock_guard<std::mutex> lock(mu);
        return passes;
    }
    bool WaitForPasses(int n) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return passes >= n; });
    }
    void Pause(int ms) override {
        pauses.push_back(ms);
        if (realPause)
            CWork::Pause(ms);
    }
    using CWork::SetPassNote;
    using CWork::SetPassSucceeded;

  protected:
    int RunPass() override {
        int index;
        {
            std::lock_guard<std::mutex> lock(mu);
            index = passesStarted++;
        }
        if (onPass)
            onPass(*this, index);
        {
            std::lock_guard<std::mutex> lock(mu);
            ++passes;
        }
        cv.notify_all();
        return index < static_cast<int>(passResults.size()) ? passResults[index] : 1;
    }
    int RunLogin() override {
        ++logins;
        return loginResult;
    }
    std::string LastReason() override { return reason; }
    void ClearReason() override { reason.clear(); }
    void ResetChannels() override { ++resets; }
    void ReportPassResult(int ok) override { reported.push_back(ok); }
    bool CleanChunkCache() override {
        ++cleans;
        return cleanResult;
    }

  private:
    std::mutex mu;
    std::condition_variable cv;
    int passes = 0, passesStarted = 0;
};

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1))
        ++n;
    return n;
}

// A reply window that collects what the worker posts to it.
class ReplyWindow {
  public:
    ReplyWindow() {
        handle_ = platform::RegisterWindow([this](const WindowMessage& m) {
            std::lock_guard<std::mutex> lock(mu_);
            got_.push_back(m);
            cv_.notify_all();
        });
    }
    ~ReplyWindow() { platform::UnregisterWindow(handle_); }
    platform::WindowHandle Handle() const { return handle_; }
    // Waits for the n-th message (1-based) and returns it.
    bool WaitCount(size_t n, WindowMessage* out = nullptr) {
        std::unique_lock<std::mutex> lock(mu_);
        bool ok = cv_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return got_.size() >= n; });
        if (ok && out)
            *out = got_[n - 1];
        return ok;
    }

  private:
    platform::WindowHandle handle_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<WindowMessage> got_;
};

class WorkTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetMainWindow(&front_); }
    void TearDown() override { platform::SetMainWindow(nullptr); }

    // Returns once every request posted before it has been handled.
    void Flush(TestWork& w) {
        ReplyWindow reply;
        ASSERT_EQ(w.Request(platform::WM_WORK_LOGIN, reply.Handle()), 1);
        ASSERT_TRUE(reply.WaitCount(1));
    }
    std::vector<int64_t> TrayStates() {
        std::vector<int64_t> out;
        for (const WindowMessage& m : front_.MessagesWithCode(platform::WM_TRAY_STATE))
            out.push_back(m.wParam);
        return out;
    }

    platform::RecordingFrontEnd front_;
    testsupport::LogCapture log_;
};

// What the scripted first pass does, and the re-sign-in after it. Every member has an
// initializer, so a designated row leaves out whatever it does not change.
struct PassScript {
    std::vector<int> results{1};
    std::string reason{};  // the back client's reason after the first pass
    int loginResult = 1;   // of the re-sign-in
    bool itemFails = false, addsRecent = false, wantsMore = false, cleanFails = false;
    std::string note{};
};

// A signed-in worker of "alice" runs CheckSync with `script`.
void RunScripted(TestWork& w, const PassScript& script) {
    w.SetUser("alice");
    w.SetSignedIn(1);
    w.passResults = script.results;
    w.loginResult = script.loginResult;
    w.cleanResult = !script.cleanFails;
    w.onPass = [&script](TestWork& self, int pass) {
        if (pass != 0)
            return;
        self.reason = script.reason;
        if (script.itemFails)
            self.SetPassSucceeded(0);
        if (script.addsRecent)
            self.AddRecentName("下载 /h/a.txt");
        if (script.wantsMore)
            self.SetSyncPending(1);
        if (!script.note.empty())
            self.SetPassNote(script.note);
    };
    w.CheckSync();
}

}  // namespace

TEST_F(WorkTest, CheckSyncOutcomes) {
    // The expectations default to one pass that ends up to date.
    struct Case {
        const char* name;
        PassScript script{};
        int passes = 1, logins = 0, resets = 0;
        std::vector<std::string> statuses{"Sync...", "Sync finished"}, tips{"同步...", "同步完成"};
        std::vector<int64_t> tray{1, 2};
        std::vector<std::string> balloons{};
        int ready = 1, signedIn = 1;
        std::vector<int> pauses{1000}, reported{1};
    };
    const Case cases[] = {
        {.name = "success"},
        {.name = "success adds a recent name",
         .script = {.addsRecent = true},
         .balloons = {"同步完成: 下载 /h/a.txt..."}},
        {.name = "cache cleaning fails", .script = {.cleanFails = true}},
        {.name = "failed without reason",
         .script = {.results = {0}, .addsRecent = true},
         .statuses = {"Sync...", "同步未完成"},
         .tips = {"同步...", "同步未完成"},
         .tray = {1, 0},
         .pauses = {},
         .reported = {0}},
        {.name = "failed with a server reason",
         .script = {.results = {0}, .reason = "7"},
         .statuses = {"Sync...", "服务器信息: 文件不存在"},
         .tips = {"同步...", "服务器信息: 文件不存在"},
         .tray = {1, 0},
         .pauses = {},
         .reported = {0}},
        {.name = "non-numeric reason",
         .script = {.results = {0}, .reason = "oops"},
         .statuses = {"Sync...", "服务器信息: "},
         .tips = {"同步...", "服务器信息: "},
         .tray = {1, 0},
         .pauses = {},
         .reported = {0}},
        {.name = "passport invalid, signed in again",
         .script = {.results = {0}, .reason = "29"},
         .logins = 1,
         .resets = 1,
         .statuses = {"Sync...", "Sync unfinished"},
         .tips = {"同步...", "同步未完成"},
         .tray = {1, 0},
         .reported = {0, 0}},
        {.name = "host id mismatch, sign-in fails",
         .script = {.results = {0}, .reason = "28", .loginResult = 0},
         .logins = 1,
         .resets = 2,
         .statuses = {"Sync..."},
         .tips = {"同步...", "Kestrine云存储服务"},
         .tray = {1, 0},
         .ready = 0,
         .signedIn = 0,
         .pauses = {},
         .reported = {0}},
        {.name = "an item failed with a reason",
         .script = {.reason = "3", .itemFails = true},
         .statuses = {"Sync...", "Sync unfinished"},
         .tips = {"同步...", "服务器信息: 旧文件不存在"},
         .tray = {1, 0},
         .reported = {0}},
        {.name = "an item failed without reason",
         .script = {.itemFails = true, .addsRecent = true},
         .statuses = {"Sync...", "Sync unfinished"},
         .tips = {"同步...", "同步未完成"},
         .tray = {1, 0},
         .reported = {0}},
        {.name = "a chunk could not be read", .script = {.note = "fail load chunk"}, .pauses = {1000, 5000}},
        {.name = "more work wanted during the pass",
         .script = {.results = {1, 1}, .addsRecent = true, .wantsMore = true},
         .passes = 2,
         .statuses = {"Sync...", "Sync...", "Sync finished"},
         .tips = {"同步...", "同步...", "同步完成"},
         .tray = {1, 1, 2},
         .balloons = {"同步完成: 下载 /h/a.txt..."},
         .pauses = {1000, 1000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        front_.Clear();
        const size_t warningsBefore =
            Count(log_.Text(), "<warn >[CWork::CheckSync]: Fail to clean local cache");
        TestWork w;
        RunScripted(w, c.script);

        EXPECT_EQ(w.Passes(), c.passes);
        EXPECT_EQ(w.logins, c.logins);
        EXPECT_EQ(w.resets, c.resets);
        EXPECT_EQ(front_.Texts(platform::WM_SETMESSAGESTRING), c.statuses);
        EXPECT_EQ(front_.Texts(platform::WM_TRAY_TIP), c.tips);
        EXPECT_EQ(TrayStates(), c.tray);
        // Every state names the user, but the one a sign-out leaves (the signed-out icon after it).
        const std::vector<WindowMessage> states = front_.MessagesWithCode(platform::WM_TRAY_STATE);
        for (size_t i = 0; i < states.size(); ++i)
            EXPECT_EQ(states[i].text, !c.signedIn && i + 1 == states.size() ? "Kestrine云存储服务" : "alice");
        const std::vector<WindowMessage> icons = front_.MessagesWithCode(platform::WM_TRAY_ICON);
        EXPECT_EQ(icons.empty() ? -1 : icons.back().wParam, c.signedIn ? -1 : 0);
        EXPECT_EQ(front_.Texts(platform::WM_TRAY_BALLOON), c.balloons);
        for (const WindowMessage& m : front_.MessagesWithCode(platform::WM_TRAY_BALLOON))
            EXPECT_EQ(m.text2, "alice");
        EXPECT_EQ(w.IsReady(), c.ready);
        EXPECT_EQ(w.IsSignedIn(), c.signedIn);
        EXPECT_EQ(w.pauses, c.pauses);
        EXPECT_EQ(w.reported, c.reported);
        EXPECT_EQ(w.cleans, c.statuses.back() == "Sync finished" ? 1 : 0);
        const size_t warnings = Count(log_.Text(), "<warn >[CWork::CheckSync]: Fail to clean local cache");
        EXPECT_EQ(warnings - warningsBefore, c.script.cleanFails ? 1u : 0u);
    }
}

// The main window tells an error from up to date by WM_SYNC_HALTED, sent before the tray's idle.
TEST_F(WorkTest, APassThatStopsShortTellsTheWindowWhy) {
    struct Case {
        const char* name;
        PassScript script;
        std::vector<std::string> halts;  // texts of kSyncError; none when up to date or signed out
    };
    const Case cases[] = {
        {"up to date", {}, {}},
        {"failed without reason", {.results = {0}}, {"同步未完成"}},
        {"failed with a server reason", {.results = {0}, .reason = "7"}, {"服务器信息: 文件不存在"}},
        {"an item failed with a reason", {.reason = "3", .itemFails = true}, {"服务器信息: 旧文件不存在"}},
        {"signed in again: the pass still counts as unfinished",
         {.results = {0}, .reason = "29"},
         {"同步未完成"}},
        {"the sign-in fails: signed out, no error", {.results = {0}, .reason = "28", .loginResult = 0}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        front_.Clear();
        TestWork w;
        RunScripted(w, c.script);
        std::vector<std::string> halts;
        for (const WindowMessage& m : front_.MessagesWithCode(platform::WM_SYNC_HALTED)) {
            EXPECT_EQ(m.wParam, platform::kSyncError);
            halts.push_back(m.text);
        }
        EXPECT_EQ(halts, c.halts);
    }
}

TEST_F(WorkTest, PassNoteIsClearedAfterItsWait) {
    TestWork w;
    w.SetSignedIn(1);
    w.onPass = [](TestWork& self, int pass) {
        if (pass == 0)
            self.SetPassNote("fail load chunk");
    };
    w.CheckSync();
    w.CheckSync();
    EXPECT_EQ(w.pauses, (std::vector<int>{1000, 5000, 1000}));
}

TEST_F(WorkTest, SyncIsIgnoredWhileSignedOutAndHeartbeatTriggersCoalesce) {
    TestWork w;
    ASSERT_TRUE(w.StartThread());
    ASSERT_EQ(w.Request(platform::WM_WORK_SYNC), 1);
    ASSERT_EQ(w.Request(platform::WM_WORK_SYNC_WANTED), 1);
    Flush(w);
    Flush(w);
    EXPECT_EQ(w.Passes(), 0);
    // Signed out, the queued pass did nothing, so the trigger stays marked and later ones are dropped.
    EXPECT_EQ(w.IsSyncPending(), 1);

    w.SetSignedIn(1);
    // Three triggers arrive while the first pass runs: exactly one more pass follows.
    w.onPass = [](TestWork& self, int pass) {
        if (pass == 0) {
            for (int i = 0; i < 3; ++i)
                self.Request(platform::WM_WORK_SYNC_WANTED);
        }
    };
    ASSERT_EQ(w.Request(platform::WM_WORK_SYNC), 1);
    ASSERT_TRUE(w.WaitForPasses(2));
    Flush(w);
    Flush(w);
    EXPECT_EQ(w.Passes(), 2);
    EXPECT_EQ(w.IsSyncPending(), 0);
}

// A pass that fails ends the loop; a change seen while it ran must not leave the trigger marked,
// or the heartbeat's later triggers (its retry after a failure) would all be dropped.
TEST_F(WorkTest, AFailedPassLeavesLaterTriggersWorking) {
    TestWork w;
    w.SetSignedIn(1);
    ASSERT_TRUE(w.StartThread());
    w.passResults = {0};
    w.onPass = [](TestWork& self, int pass) {
        if (pass == 0)
            self.SetSyncPending(1);  // as the watcher does while a pass runs
    };
    ASSERT_EQ(w.Request(platform::WM_WORK_SYNC), 1);
    ASSERT_TRUE(w.WaitForPasses(1));
    Flush(w);
    ASSERT_EQ(w.Request(platform::WM_WORK_SYNC_WANTED), 1);
    EXPECT_TRUE(w.WaitForPasses(2));
}

// A change the watcher marks after the pass loop's last look (here: while the finished pass
// cleans the chunk cache), before the worker is ready again, still gets its pass.
TEST_F(WorkTest, AChangeMarkedAsThePassEndsGetsItsPass) {
    struct LateWork : TestWork {
        bool CleanChunkCache() override {
            if (TestWork::CleanChunkCache() && cleans == 1)
                SetSyncPending(1);  // what the watcher does while the worker is not ready
            return true;
        }
    } w;
    w.SetSignedIn(1);
    ASSERT_TRUE(w.StartThread());
    ASSERT_EQ(w.Request(platform::WM_WORK_SYNC), 1);
    EXPECT_TRUE(w.WaitForPasses(2));
    Flush(w);
    EXPECT_EQ(w.IsSyncPending(), 0);
}

TEST_F(WorkTest, SignOutIsRequestedOnceAndStopsTheRunningPass) {
    TestWork w;
    ASSERT_TRUE(w.StartThread());
    w.SetSignedIn(1);
    w.SetUser("bob");
    std::mutex m;
    std::condition_variable cv;
    bool inPass = false, release = false;
    int sawLogout = -1;
    w.onPass = [&](TestWork& self, int) {
        std::unique_lock<std::mutex> lock(m);
        inPass = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        sawLogout = self.CheckLogOut();
    };
    ASSERT_EQ(w.Request(platform::WM_WORK_SYNC), 1);
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return inPass; }));
    }
    ReplyWindow reply;
    EXPECT_EQ(w.Request(platform::WM_WORK_LOGOUT, reply.Handle()), 1);
    EXPECT_EQ(w.Request(platform::WM_WORK_LOGOUT, reply.Handle()), 0);  // second click: not posted
    EXPECT_EQ(w.IsLogoutRequested(), 1);
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    WindowMessage done;
    ASSERT_TRUE(reply.WaitCount(1, &done));
    EXPECT_EQ(done.code, platform::WM_LOGOUT_DONE);
    EXPECT_EQ(sawLogout, 1);
    EXPECT_TRUE(log_.Contains("<info >[CWork::CheckLogOut]: User request logout"));
    EXPECT_EQ(front_.Texts(platform::WM_SETMESSAGESTRING).back(), "Sync unfinished");
    EXPECT_EQ(w.IsLogoutRequested(), 0);
    EXPECT_EQ(w.IsSignedIn(), 0);
    // Signed out again, a new sign-out request is accepted.
    EXPECT_EQ(w.Request(platform::WM_WORK_LOGOUT), 1);
    Flush(w);
    EXPECT_EQ(w.Passes(), 1);
}

TEST_F(WorkTest, FailedPostIsReportedAndDoesNotBlockLaterSignOuts) {
    TestWork w;  // no thread: nothing can be posted
    EXPECT_EQ(w.Request(platform::WM_WORK_LOGOUT), 0);
    EXPECT_TRUE(log_.Contains("<error>[CWork::Request]: Fail to post message 1126 to work thread"));
    EXPECT_EQ(w.IsLogoutRequested(), 0);
    EXPECT_EQ(w.Request(platform::WM_WORK_SYNC), 0);
    EXPECT_TRUE(log_.Contains("Fail to post message 1129 to work thread"));
    ASSERT_TRUE(w.StartThread());
    EXPECT_EQ(w.Request(platform::WM_WORK_LOGOUT), 1);
}

TEST_F(WorkTest, LogoutResetsStateAndTray) {
    TestWork w;
    w.SetSignedIn(1);
    w.SetReady(1);
    w.SetUser("carol");
    w.AddRecentName("下载 /h/x");
    w.AddFilteredPath("/h/~tmp");
    w.Logout();
    EXPECT_EQ(w.IsSignedIn(), 0);
    EXPECT_EQ(w.IsReady(), 0);
    EXPECT_EQ(w.IsLogoutRequested(), 0);
    EXPECT_EQ(w.GetRecentCount(), 0u);
    EXPECT_TRUE(w.GetFilteredPaths().empty());
    EXPECT_EQ(w.resets, 1);
    std::vector<WindowMessage> msgs = front_.Messages();
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].code, platform::WM_TRAY_STATE);
    EXPECT_EQ(msgs[0].wParam, platform::kTrayIdle);
    EXPECT_EQ(msgs[0].text, "Kestrine云存储服务");
    EXPECT_EQ(msgs[1].code, platform::WM_TRAY_TIP);
    EXPECT_EQ(msgs[1].text, "Kestrine云存储服务");
    EXPECT_EQ(msgs[2].code, platform::WM_TRAY_ICON);
    EXPECT_EQ(msgs[2].wParam, 0);
}

TEST_F(WorkTest, DispatchRepliesAndRenames) {
    TestWork w;
    ASSERT_TRUE(w.StartThread());
    ReplyWindow reply;
    w.loginResult = 0;
    ASSERT_EQ(w.Request(platform::WM_WORK_LOGIN, reply.Handle()), 1);
    WindowMessage m;
    ASSERT_TRUE(reply.WaitCount(1, &m));
    EXPECT_EQ(m.code, platform::WM_LOGIN_RESULT);
    EXPECT_EQ(m.wParam, 0);
    w.loginResult = 1;
    ASSERT_EQ(w.Request(platform::WM_WORK_LOGIN, reply.Handle()), 1);
    ASSERT_TRUE(reply.WaitCount(2, &m));
    EXPECT_EQ(m.wParam, 1);

    w.Request(platform::WM_WORK_RENAME, 0, CWork::MakeRenameText("/a/old.txt", "/a/new.txt"));
    w.Request(platform::WM_WORK_RENAME, 0, "no separator");
    w.Request(platform::WM_QUIT);  // ignored: the loop keeps running
    w.Request(4242);
    Flush(w);
    EXPECT_TRUE(log_.Contains("[CWork::Rename]: Rename \"/a/old.txt\" to \"/a/new.txt\""));
    EXPECT_TRUE(log_.Contains("<error>[CWork::WorkThreadProc]: Malformed rename request \"no separator\""));
}

TEST(WorkRename, TextSplitsIntoOldAndNew) {
    struct Case {
        std::string oldName, newName;
    };
    const Case cases[] = {{"/a.txt", "/b.txt"}, {"/d|1/x", "/d|1/y"}, {"/a\\b", "/c\\d"}, {"/中文", "/新"}};
    for (const Case& c : cases) {
        std::string o, n;
        ASSERT_TRUE(CWork::SplitRenameText(CWork::MakeRenameText(c.oldName, c.newName), &o, &n)) << c.oldName;
        EXPECT_EQ(o, c.oldName);
        EXPECT_EQ(n, c.newName);
    }
    std::string o, n;
    EXPECT_TRUE(CWork::SplitRenameText("/x|/y", &o, &n));
    EXPECT_EQ(o, "/x");
    EXPECT_EQ(n, "/y");
    for (const std::string bad : {"", "|", "/x|", "|/y", "/x"})
        EXPECT_FALSE(CWork::SplitRenameText(bad, &o, &n)) << bad;
}

TEST_F(WorkTest, NullThreadParameterAndPlainWorker) {
    EXPECT_EQ(CWork::WorkThreadProc(nullptr), -1);
    EXPECT_TRUE(log_.Contains("<fatal>[CWork::WorkThreadProc]: Failed for getting a NULL param!"));

    // A worker that was never initialised refuses to sign in instead of failing half-way.
    CWork w;
    ASSERT_TRUE(w.StartThread());
    ReplyWindow reply;
    ASSERT_EQ(w.Request(platform::WM_WORK_LOGIN, reply.Handle()), 1);
    WindowMessage m;
    ASSERT_TRUE(reply.WaitCount(1, &m));
    EXPECT_EQ(m.wParam, 0);
    EXPECT_TRUE(log_.Contains("<error>[CWork::Login]: The worker is not initialised"));
    EXPECT_TRUE(w.Stop(kWaitMs));
    EXPECT_TRUE(w.Stop(kWaitMs));  // again: nothing left to stop
}

TEST_F(WorkTest, StopInterruptsAPausingPass) {
    TestWork w;
    w.realPause = true;
    w.SetSignedIn(1);
    std::mutex m;
    std::condition_variable cv;
    bool inPass = false;
    // A pass in a long wait (a retry delay) must notice the stop instead of running it out.
    w.onPass = [&](TestWork& self, int) {
        {
            std::lock_guard<std::mutex> lock(m);
            inPass = true;
        }
        cv.notify_all();
        self.Pause(3600 * 1000);
    };
    ASSERT_TRUE(w.StartThread());
    ASSERT_EQ(w.Request(platform::WM_WORK_SYNC), 1);
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return inPass; }));
    }
    EXPECT_TRUE(w.Stop(kWaitMs));
    EXPECT_EQ(w.Passes(), 1);
}

// CWork::Init against a fresh home: the folders, the database and its defaults, and failures.
class WorkInitTest : public WorkTest {
  protected:
    std::string Root() const { return home_.Home() + "/Kestrine"; }
    std::string DbFile() const { return Root() + "/.db/client.db"; }
    std::string Stored(const std::string& key) {
        sqlite3* db = nullptr;
        sqlite3_open(DbFile().c_str(), &db);
        sqlite3_stmt* st = nullptr;
        std::string out = "<none>";
        std::string sql = "SELECT value FROM config_table WHERE key='" + key + "'";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        sqlite3_close(db);
        return out;
    }
    testsupport::FakeHome home_;
};

TEST_F(WorkInitTest, FreshStartWritesDefaults) {
    testsupport::ScopedEnv env;
    env.Unset("KESTRINE_SERVICE_HOST");
    {
        CWork w;
        ASSERT_EQ(w.Init(), 1);
        EXPECT_EQ(w.GetRootPath(), Root());
        EXPECT_EQ(w.GetDatabasePath(), DbFile());
        EXPECT_EQ(AppLogger()->GetLevel(), 4);
        EXPECT_TRUE(front_.Boxes().empty());
    }
    const std::pair<std::string, std::string> expected[] = {
        {"schema_version", "1001"},
        {"log_level", "4"},
        {"root_path", Root()},
        {"back_server", "http://127.0.0.1:8089/axis2/services/mirn_service_bs"},
        {"transmiter_server", "http://127.0.0.1:8089/axis2/services/mirn_service_trs"},
        {"heartbeat_server", "http://127.0.0.1:8089/axis2/services/mirn_service_hb"},
        {"auth_server", "http://127.0.0.1:8089"},
        {"domain", ".127.0.0.1"},
        {"host_id", ""},
    };
    for (const auto& [key, value] : expected)
        EXPECT_EQ(Stored(key), value) << key;
    EXPECT_FALSE(Stored("install_path").empty());
    EXPECT_TRUE(platform::GetFileAttributes(Root() + "/.db") & platform::kAttrHidden);
}

TEST_F(WorkInitTest, StoredAccountAndLevelAreTakenUp) {
    {
        CWork first;
        ASSERT_EQ(first.Init(), 1);
        CConfig* c = first.GetConfig();
        c->Set(CConfig::kLoginUser, "dave");
        c->Set(CConfig::kLoginPasswd, "pa'ss 密码");
        c->Set(CConfig::kLogLevel, "2");
        c->Set(CConfig::kAuthServer, "http://auth.example");
        c->Set(CConfig::kDomain, ".example");
        ASSERT_EQ(c->Store(), 1);
    }
    CWork w;
    ASSERT_EQ(w.Init(), 1);
    EXPECT_EQ(w.GetUser(), "dave");
    EXPECT_EQ(w.GetPassword(), "pa'ss 密码");
    EXPECT_EQ(AppLogger()->GetLevel(), 2);
    EXPECT_EQ(w.GetConfig()->Get(CConfig::kDomain), ".example");  // kept: auth_server was set
}

TEST_F(WorkInitTest, DatabaseThatCannotBeOpenedFailsWithABox) {
    platform::FaultScope faults;
    platform::FailCall(platform::Op::MakeDir, 1, 13 /* EACCES */, "/.db");
    CWork w;
    EXPECT_EQ(w.Init(), 0);
    std::vector<platform::RecordingFrontEnd::Box> boxes = front_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Fail to open DB \"" + DbFile() + "\"");
    EXPECT_EQ(boxes[0].caption, "Kestrine");
    EXPECT_TRUE(log_.Contains("{CConfig::OpenDB} Could not open database: "));
    EXPECT_TRUE(log_.Contains("<error>[CWork::Init]: Fail to open DB \"" + DbFile() + "\""));
}

TEST_F(WorkInitTest, DatabaseThatCannotBeWrittenFailsWithABox) {
    {
        CWork w;
        ASSERT_EQ(w.Init(), 1);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DbFile().c_str(), &db), SQLITE_OK);
    // Something else keeps the settings read-only: every write is refused.
    ASSERT_EQ(
        sqlite3_exec(
            db,
            "DELETE FROM config_table WHERE key='schema_version';"
            "CREATE TRIGGER ro BEFORE INSERT ON config_table BEGIN SELECT RAISE(ABORT, 'read-only'); END;",
            nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    CWork w;
    EXPECT_EQ(w.Init(), 0);
    std::vector<platform::RecordingFrontEnd::Box> boxes = front_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Fail to open \"" + DbFile() + "\"");
    EXPECT_TRUE(log_.Contains("{CConfig::SetValueByKey} SQL error: read-only"));
}

TEST_F(WorkInitTest, WorkerThreadThatCannotStart) {
    platform::FaultScope faults;
    platform::FailCall(platform::Op::ThreadStart);
    CWork w;
    EXPECT_EQ(w.Init(), 0);
    EXPECT_TRUE(log_.Contains("<error>[CWork::Init]: Fail to create thread worker"));
    EXPECT_FALSE(platform::Exists(DbFile()));
}
