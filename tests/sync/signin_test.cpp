// The sign-in against a service that does not answer: the schedule of its waits, retries of each
// step after a silence or a time-out (refusals are not retried), the dialog's Cancel and a
// sign-out ending a request in flight or a wait at once, the "connecting" tray state, and the
// client left visibly signed out when the re-sign-in a pass asks for fails.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "platform/messages.h"
#include "service/back.h"
#include "support/loginwork.h"

using platform::WindowMessage;
using testsupport::LoginWork;

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(SignInRetry, DelayDoublesFromItsBaseUpToSixtyTimesIt) {
    struct Case {
        int attempt, baseMs, delayMs;
    };
    const Case cases[] = {
        {0, 5000, 5000},   {1, 5000, 10000},  {2, 5000, 20000},     {5, 5000, 160000},
        {6, 5000, 300000}, {7, 5000, 300000}, {1000, 5000, 300000}, {-1, 5000, 5000},
        {0, 100, 100},     {3, 100, 800},     {9, 100, 6000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CWork::SignInRetryDelayMs(c.attempt, c.baseMs), c.delayMs) << c.attempt << " " << c.baseMs;
    EXPECT_EQ(CWork::kSignInRetryBaseMs, 5000);
}

class SignInTest : public testsupport::LoginFixture {
  protected:
    std::vector<int64_t> TrayStates() {
        std::vector<int64_t> out;
        for (const WindowMessage& m : front_.MessagesWithCode(platform::WM_TRAY_STATE))
            out.push_back(m.wParam);
        return out;
    }
    // The tray states sent before the first WM_TRAY_ICON (the sign-in's, not the pass's or the
    // sign-out's after it), and that icon's wParam (-1 when none was sent).
    std::vector<int64_t> StatesBeforeIcon(int64_t* icon) {
        std::vector<int64_t> out;
        *icon = -1;
        for (const WindowMessage& m : front_.Messages()) {
            if (m.code == platform::WM_TRAY_ICON) {
                *icon = m.wParam;
                break;
            }
            if (m.code == platform::WM_TRAY_STATE)
                out.push_back(m.wParam);
        }
        return out;
    }
    // The wParam of the last WM_TRAY_ICON, -1 when none was sent.
    int64_t LastTrayIcon() {
        std::vector<WindowMessage> icons = front_.MessagesWithCode(platform::WM_TRAY_ICON);
        return icons.empty() ? -1 : icons.back().wParam;
    }
    // True once the service has taken every armed fault (the faulted request reached it).
    bool FaultsTaken() {
        for (int i = 0; i < 2000; ++i) {
            if (server_.Faults().find_first_not_of(" \r\n") == std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

// Each sign-in step that goes unanswered is tried again after the schedule's waits, with the tray
// showing "connecting", until the service answers.
TEST_F(SignInTest, SilentStepsAreRetriedWithGrowingWaits) {
    struct Case {
        const char* name;
        const char* op;
        const char* action;
        bool registers;  // the computer has no host id yet
        int backDeadlineMs;
    };
    const Case cases[] = {
        {"portal drops", "portal_login", "drop", false, 0},
        {"endpoint servlet drops", "portal_servers", "drop", false, 0},
        {"registration drops", "obtain_host_id", "drop", true, 0},
        {"back sign-in drops", "login", "drop", false, 0},
        {"back sign-in times out", "login", "stall", false, 1000},
    };
    const std::vector<int> schedule = {CWork::SignInRetryDelayMs(0, CWork::kSignInRetryBaseMs),
                                       CWork::SignInRetryDelayMs(1, CWork::kSignInRetryBaseMs)};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        front_.Clear();
        ASSERT_TRUE(server_.ResetFaults());
        auto w = NewWork();
        if (c.registers)
            w->GetConfig()->Set(CConfig::kHostId, "");
        if (c.backDeadlineMs)
            w->GetBack()->Channel().SetDeadlineMs(c.backDeadlineMs);
        // The sign-in's waits, not the rest after the first pass.
        std::vector<int> pauses;
        w->onPause = [&pauses](LoginWork& self, int ms) {
            if (!self.IsSignedIn())
                pauses.push_back(ms);
        };
        ASSERT_TRUE(server_.Fault(c.op, c.action, 2, -1, c.backDeadlineMs ? 5000 : -1));
        ASSERT_EQ(w->SignIn(), 1);
        EXPECT_TRUE(FaultsTaken());
        // A dropped request on a kept connection is sent again on a fresh one by the transfer
        // itself, so two drops may cost one attempt or two.
        ASSERT_GE(pauses.size(), 1u);
        ASSERT_LE(pauses.size(), 2u);
        EXPECT_EQ(pauses, std::vector<int>(schedule.begin(), schedule.begin() + pauses.size()));
        int64_t icon = -1;
        EXPECT_EQ(StatesBeforeIcon(&icon), std::vector<int64_t>(pauses.size(), platform::kTrayConnecting));
        EXPECT_EQ(icon, 1) << "signed in";
        EXPECT_EQ(w->IsSignedIn(), 1);
        ASSERT_TRUE(w->WaitForPasses(1));
    }
}

// Refusals are answers: the sign-in ends at once, without a wait or a "connecting" state.
TEST_F(SignInTest, RefusalsAreNotRetried) {
    struct Case {
        const char* name;
        const char* op;
        const char* password;
        int reason;
    };
    const Case cases[] = {
        {"wrong password", "", "wrong", -1},
        {"portal refuses", "portal_login", testsupport::TestServer::kPassword, -1},
        {"back server refuses", "login", testsupport::TestServer::kPassword, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        front_.Clear();
        ASSERT_TRUE(server_.ResetFaults());
        if (*c.op) {
            ASSERT_TRUE(server_.Fault(c.op, "refuse", 1, c.reason));
        }
        auto w = NewWork(testsupport::TestServer::kUser, c.password);
        EXPECT_EQ(w->SignIn(), 0);
        EXPECT_TRUE(w->Pauses().empty());
        EXPECT_TRUE(TrayStates().empty());
        EXPECT_EQ(w->IsSignedIn(), 0);
    }
}

// The dialog's Cancel and a sign-out (posted as the tray menu does, from another thread) end the
// sign-in at once, whether a request hangs on a silent service or the sign-in waits to try again.
TEST_F(SignInTest, CancelOrSignOutEndsTheSignInAtOnce) {
    enum class Interrupt { kCancel, kSignOut };
    struct Case {
        const char* name;
        const char* op;
        const char* action;  // "stall": a request in flight; "drop": a wait to try again
        bool registers;
        Interrupt how;
    };
    const Case cases[] = {
        {"portal silent, cancelled", "portal_login", "stall", false, Interrupt::kCancel},
        {"portal silent, signed out", "portal_login", "stall", false, Interrupt::kSignOut},
        {"endpoint servlet silent, cancelled", "portal_servers", "stall", false, Interrupt::kCancel},
        {"registration silent, signed out", "obtain_host_id", "stall", true, Interrupt::kSignOut},
        {"back sign-in silent, cancelled", "login", "stall", false, Interrupt::kCancel},
        {"waiting to try the portal again, cancelled", "portal_login", "drop", false, Interrupt::kCancel},
        {"waiting to try the back server again, signed out", "login", "drop", false, Interrupt::kSignOut},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        front_.Clear();
        ASSERT_TRUE(server_.ResetFaults());
        const bool stall = std::string(c.action) == "stall";
        ASSERT_TRUE(server_.Fault(c.op, c.action, stall ? 1 : 1000, -1, stall ? 120000 : -1));
        auto w = NewWork();
        if (c.registers)
            w->GetConfig()->Set(CConfig::kHostId, "");
        w->realPause = true;
        w->SetSignInRetryBaseMs(120000);

        std::atomic<int> result{-2};
        std::atomic<long long> endedMs{-1};
        const Clock::time_point start = Clock::now();
        std::thread signIn([&] {
            result = w->SignIn(180000);
            endedMs = MsSince(start);
        });
        if (stall) {
            EXPECT_TRUE(FaultsTaken()) << "the request reached the silent service";
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        } else {
            for (int i = 0; i < 3000 && w->Pauses().empty(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_EQ(w->Pauses().size(), 1u) << "the sign-in waits to try again";
        }
        const long long interruptedMs = MsSince(start);
        if (c.how == Interrupt::kCancel) {
            w->SetLoginCancel(1);
        } else {
            EXPECT_EQ(w->Request(platform::WM_WORK_LOGOUT, 0), 1);
        }
        signIn.join();
        EXPECT_EQ(result.load(), 0);
        const long long tookMs = endedMs.load() - interruptedMs;
        std::printf("[ measured ] %s: the sign-in ended %lld ms after the interruption\n", c.name, tookMs);
        EXPECT_LT(tookMs, 3000) << "within about a second";
        EXPECT_TRUE(log_.Contains(c.how == Interrupt::kCancel ? "login cancel" : "User request logout"));
        EXPECT_EQ(w->IsSignedIn(), 0);
        if (!stall) {
            int64_t icon = -1;
            EXPECT_EQ(StatesBeforeIcon(&icon), std::vector<int64_t>{platform::kTrayConnecting});
            EXPECT_EQ(icon, 0) << "no longer connecting: signed out";
        }
        EXPECT_EQ(w->IsLoginCancel(), 0) << "the cancel is used up";
        ASSERT_TRUE(server_.ResetFaults());  // ends the service's stall
    }
}

// Once signed in, the clients' calls are no longer the sign-in's: a Cancel that comes late (the
// dialog's answer was already on its way) does not end a pass's request.
TEST_F(SignInTest, LateCancelDoesNotEndThePassesRequests) {
    auto w = NewWork();
    std::atomic<int> listed{-1};
    w->pass = [&listed](LoginWork& self, int index) {
        if (index > 0)
            return 1;
        self.SetLoginCancel(1);
        std::string ack;
        std::vector<CFileInfo> list;
        listed = self.GetBack()->DownloadAll(&ack, &list) ? 1 : 0;
        self.SetLoginCancel(0);
        return listed.load();
    };
    ASSERT_EQ(w->SignIn(), 1);
    ASSERT_TRUE(w->WaitForPasses(1));
    EXPECT_EQ(listed.load(), 1);
}

// The re-sign-in a pass asks for (passport invalid) is refused: the client is signed out as after
// a sign-out, and shows it.
TEST_F(SignInTest, FailedReSignInLeavesTheClientVisiblySignedOut) {
    {
        auto first = NewWork();
        ASSERT_EQ(first->SignIn(), 1);
        ASSERT_TRUE(first->WaitForPasses(1));
    }
    auto w = NewWork();
    w->pass = [&](LoginWork& self, int index) {
        if (index > 0)
            return 1;
        EXPECT_TRUE(server_.InvalidatePassportOfUser(testsupport::TestServer::kUser));
        EXPECT_TRUE(server_.Fault("portal_login", "refuse"));
        std::string ack;
        std::vector<CFileInfo> list;
        return self.GetBack()->DownloadAll(&ack, &list) ? 1 : 0;
    };
    ASSERT_EQ(w->SignIn(), 1);
    ASSERT_TRUE(w->WaitForPasses(1));
    for (int i = 0; i < 3000 && (w->IsSignedIn() || LastTrayIcon() != 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(w->IsSignedIn(), 0);
    EXPECT_EQ(w->IsReady(), 0);
    EXPECT_EQ(LastTrayIcon(), 0) << "the tray shows the signed-out icon";
    EXPECT_EQ(w->GetHeartBeat(), nullptr);
    ASSERT_NE(w->GetWatcher(), nullptr);
    EXPECT_FALSE(w->GetWatcher()->IsRunning());
    // Nothing after the signed-out icon claims otherwise.
    std::vector<WindowMessage> all = front_.Messages();
    size_t lastIcon = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].code == platform::WM_TRAY_ICON)
            lastIcon = i;
    }
    for (size_t i = lastIcon + 1; i < all.size(); ++i)
        EXPECT_NE(all[i].code, platform::WM_TRAY_STATE)
            << "tray state " << all[i].wParam << " " << all[i].text;
}

}  // namespace
