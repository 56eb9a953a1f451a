// The main window's view model: what the worker's window messages said so far (account,
// computer, tray state, the running pass's item and progress, why a pass stopped short) and the
// state the window shows from it. Pure and free of Qt, so a table of message sequences tests it;
// the frame folds every message in and draws the view. Values only: no thread rule of its own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/mainwindow.h"

namespace ui {

enum class WindowState { kSignedOut, kConnecting, kSignedIn, kSyncing, kUpToDate, kPaused, kError };

// The facts the messages carried; start from a default one (signed out).
struct WindowFacts {
    bool signedIn = false;
    std::string account;
    std::string computer;
    int trayState = 0;     // platform::kTray*
    std::string item;      // the item the running pass took up last
    int64_t done = 0;      // items the running pass finished
    int halted = 0;        // platform::kSyncError or kSyncPaused after a pass stopped short; 0 none
    std::string haltText;  // why, as the worker said it (or its last tooltip)
    std::string tip;       // the last tooltip
};

struct WindowView {
    WindowState state = WindowState::kSignedOut;
    std::string item;    // syncing only
    int64_t done = -1;   // syncing only; -1 otherwise
    std::string reason;  // error and paused only
};

// `facts` with `msg` taken in; messages the window does not show leave it as it was.
WindowFacts Fold(WindowFacts facts, const platform::WindowMessage& msg);
WindowView ViewOf(const WindowFacts& facts);

}  // namespace ui
