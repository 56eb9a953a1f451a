// The command ids of the tray menu and the main window's menu, and the rule that enables each
// command from the application's state. Header only and free of Qt, so the application object
// applies the same rules under every front end.
#pragma once

#include "sync/recentnames.h"

namespace ui {

constexpr int ID_RECENT_FIRST = 32900;  // 32900 + i: entry i of "文件更新(&U)"; 32900 is also "None"
// Every name the worker keeps.
constexpr int kRecentMax = recent::kKept;
constexpr int ID_WEB_FOLDER = 32813;
constexpr int ID_LOCAL_FOLDER = 32804;
// What the client deleted or replaced on the service's behalf, kept for 30 days.
constexpr int ID_TRASH = 32830;
constexpr int ID_SYNC = 32798;
constexpr int ID_LOGIN = 32800;
constexpr int ID_LOGOUT = 32799;
constexpr int ID_OPTIONS = 32805;
constexpr int ID_ABOUT = 32811;
constexpr int ID_HELP = 32818;
constexpr int ID_EXIT = 32801;
// Opens the main window; the frame handles it itself.
constexpr int ID_SHOW_WINDOW = 32840;
// The main window's own menu: the same handlers as the tray's login, logout and sync.
constexpr int ID_MAIN_LOGIN = 32779;
constexpr int ID_MAIN_LOGOUT = 32780;
constexpr int ID_MAIN_SYNC = 32782;

// This client's build, as the about box and the update check name it.
constexpr const char* kClientBuild = "120401";
// The product's title: the hidden window's caption and the signed-out tooltip.
constexpr const char* kProductTitle = "Kestrine - Velmora搜索云存储服务客户端";

struct CommandState {
    bool hasWorker = false;
    bool initComplete = false;
    bool signedIn = false;  // the worker's signed-in flag
    bool ready = false;     // the worker's ready flag
};

// The main window's commands map onto the tray's.
inline int TrayCommandOf(int id) {
    switch (id) {
        case ID_MAIN_LOGIN:
            return ID_LOGIN;
        case ID_MAIN_LOGOUT:
            return ID_LOGOUT;
        case ID_MAIN_SYNC:
            return ID_SYNC;
        default:
            return id;
    }
}

inline bool IsCommandEnabled(int id, const CommandState& s) {
    const bool signedIn = s.hasWorker && s.signedIn;
    switch (TrayCommandOf(id)) {
        case ID_WEB_FOLDER:
        case ID_LOCAL_FOLDER:
        case ID_TRASH:
        case ID_LOGOUT:
        case ID_OPTIONS:
            return signedIn;
        case ID_SYNC:
            return s.hasWorker && s.initComplete && s.ready;
        case ID_LOGIN:
            return !signedIn;
        case ID_ABOUT:
        case ID_HELP:
        case ID_EXIT:
        case ID_SHOW_WINDOW:
            return true;
        default:
            // The recent entries are always enabled; unknown ids never are.
            return id >= ID_RECENT_FIRST && id < ID_RECENT_FIRST + kRecentMax;
    }
}

}  // namespace ui
