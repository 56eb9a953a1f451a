// Message codes shared by the worker, the watcher, the heartbeat and the front ends.
#pragma once

#include <cstdint>

namespace platform {

constexpr uint32_t WM_USER = 1024;
constexpr uint32_t WM_QUIT = 0x12;

// Requests posted to the worker thread.
constexpr uint32_t WM_WORK_LOGIN = WM_USER + 101;        // 1125
constexpr uint32_t WM_WORK_LOGOUT = WM_USER + 102;       // 1126
constexpr uint32_t WM_WORK_SYNC = WM_USER + 105;         // 1129
constexpr uint32_t WM_WORK_RENAME = WM_USER + 108;       // 1132
constexpr uint32_t WM_WORK_SYNC_WANTED = WM_USER + 301;  // 1325

// Window messages from the worker to the main window and dialogs.
constexpr uint32_t WM_LOGIN_RESULT = WM_USER + 201;  // 1225
constexpr uint32_t WM_LOGOUT_DONE = WM_USER + 202;   // 1226
constexpr uint32_t WM_SETMESSAGESTRING = 866;        // status-bar text
constexpr uint32_t WM_TRAY_TIP = WM_USER + 250;      // 1274
constexpr uint32_t WM_TRAY_STATE = WM_USER + 251;    // 1275
constexpr uint32_t WM_TRAY_BALLOON = WM_USER + 253;  // 1277
constexpr uint32_t WM_TRAY_ICON = WM_USER + 254;     // tray icon: wParam 0 signed out, 1 signed in
// An item a pass skipped, told once when it is first listed: text the path, text2 the reason.
constexpr uint32_t WM_ITEM_NOT_SYNCED = WM_USER + 256;
// What the main window shows beside the tray's state. At sign-in: text the computer name.
constexpr uint32_t WM_HOST_NAME = WM_USER + 257;
// A pass takes up an item (posted): wParam the items it finished so far, text the item's path.
constexpr uint32_t WM_SYNC_PROGRESS = WM_USER + 258;
// A pass ended short of up to date: wParam kSyncError or kSyncPaused, text why.
constexpr uint32_t WM_SYNC_HALTED = WM_USER + 259;
constexpr int kSyncError = 1;
constexpr int kSyncPaused = 2;  // the home folder is missing; sync waits for it

// Tray icon states carried by WM_TRAY_STATE.
constexpr int kTrayIdle = 0;
constexpr int kTrayBusy = 1;
constexpr int kTrayDone = 2;
constexpr int kTrayConnecting = 3;  // a sign-in waits to try a silent service again

// Message box flags (a button set, an icon and the default button, combined with |) and the
// answers a box returns.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr unsigned MB_DEFBUTTON2 = 0x100;  // the second button (No, Cancel) answers Enter
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

}  // namespace platform
