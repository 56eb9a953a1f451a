// ui::Fold and ui::ViewOf: the state the main window shows after a sequence of the worker's
// messages, as the worker sends them through a sign-in, passes, failures and a sign-out.
#include "ui/windowview.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/messages.h"

namespace {

using platform::WindowMessage;
using ui::WindowState;

WindowMessage M(uint32_t code, int64_t wParam = 0, const std::string& text = "") {
    WindowMessage m;
    m.code = code;
    m.wParam = wParam;
    m.text = text;
    return m;
}

const WindowMessage kSignedIn = M(platform::WM_TRAY_ICON, 1, "alice");
const WindowMessage kBusy = M(platform::WM_TRAY_STATE, platform::kTrayBusy, "alice");
const WindowMessage kDone = M(platform::WM_TRAY_STATE, platform::kTrayDone, "alice");
const WindowMessage kIdle = M(platform::WM_TRAY_STATE, platform::kTrayIdle, "alice");

}  // namespace

TEST(WindowView, StateAfterEachSequenceOfMessages) {
    struct Case {
        const char* name;
        std::vector<WindowMessage> messages;
        WindowState state;
        std::string item;
        int64_t done;
        std::string reason;
    };
    const Case cases[] = {
        {"nothing heard yet", {}, WindowState::kSignedOut, "", -1, ""},
        {"connecting before the sign-in",
         {M(platform::WM_TRAY_STATE, platform::kTrayConnecting, "")},
         WindowState::kConnecting,
         "",
         -1,
         ""},
        {"signed in, no pass yet", {kSignedIn}, WindowState::kSignedIn, "", -1, ""},
        {"a pass runs: the last item taken up and the count",
         {kSignedIn, kBusy, M(platform::WM_SYNC_PROGRESS, 0, "/k/a.txt"),
          M(platform::WM_SYNC_PROGRESS, 1, "/k/b.txt")},
         WindowState::kSyncing,
         "/k/b.txt",
         1,
         ""},
        {"a new pass starts its count afresh",
         {kSignedIn, kBusy, M(platform::WM_SYNC_PROGRESS, 5, "/k/a.txt"), kBusy},
         WindowState::kSyncing,
         "",
         0,
         ""},
        {"up to date", {kSignedIn, kBusy, kDone}, WindowState::kUpToDate, "", -1, ""},
        {"a failed pass is an error with its reason",
         {kSignedIn, kBusy, M(platform::WM_SYNC_HALTED, platform::kSyncError, "服务器忙"), kIdle},
         WindowState::kError,
         "",
         -1,
         "服务器忙"},
        {"the error holds after the tray's idle and a tooltip",
         {kSignedIn, kBusy, kIdle, M(platform::WM_SYNC_HALTED, platform::kSyncError, "同步未完成"),
          M(platform::WM_TRAY_TIP, 0, "x")},
         WindowState::kError,
         "",
         -1,
         "同步未完成"},
        {"paused without a text of its own takes the tooltip's",
         {kSignedIn, M(platform::WM_TRAY_TIP, 0, "同步已暂停：主文件夹不见了"),
          M(platform::WM_SYNC_HALTED, platform::kSyncPaused, ""), kIdle},
         WindowState::kPaused,
         "",
         -1,
         "同步已暂停：主文件夹不见了"},
        {"the next pass ends the pause",
         {kSignedIn, M(platform::WM_SYNC_HALTED, platform::kSyncPaused, "p"), kIdle, kBusy, kDone},
         WindowState::kUpToDate,
         "",
         -1,
         ""},
        {"an error, then a good pass",
         {kSignedIn, M(platform::WM_SYNC_HALTED, platform::kSyncError, "e"), kBusy, kDone},
         WindowState::kUpToDate,
         "",
         -1,
         ""},
        {"renewing a session shows connecting while signed in",
         {kSignedIn, kDone, M(platform::WM_TRAY_STATE, platform::kTrayConnecting, "")},
         WindowState::kConnecting,
         "",
         -1,
         ""},
        // The sign-out's last messages: idle with the signed-out tip, then the signed-out icon.
        {"signed out after a pass",
         {kSignedIn, kBusy, kDone, M(platform::WM_TRAY_STATE, platform::kTrayIdle, "Kestrine"),
          M(platform::WM_TRAY_ICON, 0)},
         WindowState::kSignedOut,
         "",
         -1,
         ""},
        {"the sign-out's reply alone signs out",
         {kSignedIn, kDone, M(platform::WM_LOGOUT_DONE)},
         WindowState::kSignedOut,
         "",
         -1,
         ""},
        {"a pass's state without a sign-in stays signed out", {kBusy}, WindowState::kSignedOut, "", -1, ""},
        {"an error from before a sign-in is forgotten",
         {M(platform::WM_SYNC_HALTED, platform::kSyncError, "e"), kSignedIn},
         WindowState::kSignedIn,
         "",
         -1,
         ""},
        {"an unknown halt code is no error",
         {kSignedIn, M(platform::WM_SYNC_HALTED, 9, "?"), kIdle},
         WindowState::kSignedIn,
         "",
         -1,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ui::WindowFacts facts;
        for (const WindowMessage& m : c.messages)
            facts = ui::Fold(facts, m);
        const ui::WindowView view = ui::ViewOf(facts);
        EXPECT_EQ(view.state, c.state);
        EXPECT_EQ(view.item, c.item);
        EXPECT_EQ(view.done, c.done);
        EXPECT_EQ(view.reason, c.reason);
    }
}

TEST(WindowView, AccountAndComputerFollowTheSignInAndSignOut) {
    ui::WindowFacts facts;
    facts = ui::Fold(facts, M(platform::WM_HOST_NAME, 0, "demo-pc"));
    facts = ui::Fold(facts, kSignedIn);
    EXPECT_EQ(facts.account, "alice");
    EXPECT_EQ(facts.computer, "demo-pc");
    facts = ui::Fold(facts, M(platform::WM_TRAY_ICON, 0));
    EXPECT_EQ(facts.account, "");
    EXPECT_EQ(facts.computer, "demo-pc") << "the computer does not change with the account";
    facts = ui::Fold(facts, M(platform::WM_TRAY_ICON, 1, "bob"));
    EXPECT_EQ(facts.account, "bob");
}
