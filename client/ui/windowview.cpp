#include "ui/windowview.h"

#include "platform/messages.h"

namespace ui {

WindowFacts Fold(WindowFacts facts, const platform::WindowMessage& msg) {
    switch (msg.code) {
        case platform::WM_TRAY_ICON:
            // Signed in or out, the state starts afresh; the computer stays what it was.
            facts.signedIn = msg.wParam != 0;
            facts.account = facts.signedIn ? msg.text : std::string();
            facts.trayState = platform::kTrayIdle;
            facts.item.clear();
            facts.done = 0;
            facts.halted = 0;
            facts.haltText.clear();
            break;
        case platform::WM_HOST_NAME:
            facts.computer = msg.text;
            break;
        case platform::WM_TRAY_STATE:
            facts.trayState = static_cast<int>(msg.wParam);
            if (facts.trayState == platform::kTrayBusy || facts.trayState == platform::kTrayDone) {
                // A new pass, or one that ended up to date: what stopped the last one is over.
                facts.halted = 0;
                facts.haltText.clear();
                facts.item.clear();
                facts.done = 0;
            }
            break;
        case platform::WM_SYNC_PROGRESS:
            facts.item = msg.text;
            facts.done = msg.wParam;
            break;
        case platform::WM_SYNC_HALTED:
            facts.halted = static_cast<int>(msg.wParam);
            facts.haltText = msg.text;
            break;
        case platform::WM_TRAY_TIP:
            facts.tip = msg.text;
            break;
        case platform::WM_LOGOUT_DONE:
            facts.signedIn = false;
            facts.account.clear();
            facts.halted = 0;
            facts.haltText.clear();
            break;
        default:
            break;
    }
    return facts;
}

WindowView ViewOf(const WindowFacts& facts) {
    WindowView view;
    // Connecting is told while no sign-in has succeeded yet, and again when a session is renewed.
    if (facts.trayState == platform::kTrayConnecting) {
        view.state = WindowState::kConnecting;
        return view;
    }
    if (!facts.signedIn)
        return view;
    switch (facts.trayState) {
        case platform::kTrayBusy:
            view.state = WindowState::kSyncing;
            view.item = facts.item;
            view.done = facts.done;
            return view;
        case platform::kTrayDone:
            view.state = WindowState::kUpToDate;
            return view;
        default:
            break;
    }
    if (facts.halted == platform::kSyncPaused || facts.halted == platform::kSyncError) {
        view.state = facts.halted == platform::kSyncPaused ? WindowState::kPaused : WindowState::kError;
        view.reason = facts.haltText.empty() ? facts.tip : facts.haltText;
        return view;
    }
    view.state = WindowState::kSignedIn;
    return view;
}

}  // namespace ui
