// The main-window interface: the only way the engine reaches the screen. The worker sends
// (blocking until the front end has handled the message) or posts window messages, and raises
// message boxes through it. Front ends: console (consolefrontend.h), recording (for tests), Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// A window message. wParam/lParam carry numbers only; texts travel as owned strings, so a posted
// message never points into its sender's memory: `text` for the status text, tooltip or balloon
// text, `text2` for the balloon title.
struct WindowMessage {
    uint32_t code = 0;
    int64_t wParam = 0;
    int64_t lParam = 0;
    std::string text;
    std::string text2;
};

class IMainWindow {
  public:
    virtual ~IMainWindow() = default;
    // Returns when the front end has handled the message (on its own thread); the result is the
    // handler's. Callable from any thread, including the front end's.
    virtual int64_t Send(const WindowMessage& msg) = 0;
    // Queues the message and returns at once; false when it cannot be queued.
    virtual bool Post(const WindowMessage& msg) = 0;
    // A modal message box; returns IDOK, IDCANCEL, IDYES or IDNO (messages.h). Blocks the caller.
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;
};

// The process's main window; null before a front end is installed (sends are then dropped and
// message boxes answer IDCANCEL, or IDOK for a plain OK box).
void SetMainWindow(IMainWindow* window);
IMainWindow* GetMainWindow();

// Convenience wrappers over GetMainWindow() used by the engine.
int64_t SendToMain(uint32_t code, int64_t wParam = 0, const std::string& text = "",
                   const std::string& text2 = "", int64_t lParam = 0);
bool PostToMain(uint32_t code, int64_t wParam = 0, const std::string& text = "",
                const std::string& text2 = "");
int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags);

// Reply windows: the worker answers WM_WORK_LOGIN / WM_WORK_LOGOUT by posting to the window whose
// handle came with the request. A dialog registers a receiver for the time it is open.
using WindowHandle = uintptr_t;
constexpr WindowHandle kMainWindowHandle = 1;
using WindowReceiver = std::function<void(const WindowMessage&)>;
WindowHandle RegisterWindow(WindowReceiver receiver);
void UnregisterWindow(WindowHandle handle);
// Handle kMainWindowHandle goes to GetMainWindow()->Post; 0 or an unknown handle fails.
bool PostToWindow(WindowHandle handle, const WindowMessage& msg);

}  // namespace platform
