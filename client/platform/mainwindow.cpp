#include "platform/mainwindow.h"

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "platform/error.h"
#include "platform/messages.h"
#include "platform/plog.h"

namespace platform {

namespace {

std::atomic<IMainWindow*> gMain{nullptr};

std::mutex gWindowsMu;
std::map<WindowHandle, std::shared_ptr<WindowReceiver>> gWindows;
WindowHandle gNextHandle = kMainWindowHandle + 1;

bool IsPlainOkBox(unsigned flags) {
    return (flags & 0xF) == MB_OK;
}

}  // namespace

void SetMainWindow(IMainWindow* window) {
    gMain.store(window, std::memory_order_release);
}

IMainWindow* GetMainWindow() {
    return gMain.load(std::memory_order_acquire);
}

int64_t SendToMain(uint32_t code, int64_t wParam, const std::string& text, const std::string& text2,
                   int64_t lParam) {
    IMainWindow* w = GetMainWindow();
    if (!w) {
        Log(5, "platform::SendToMain", "No main window; message " + std::to_string(code) + " dropped");
        return 0;
    }
    WindowMessage msg;
    msg.code = code;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.text = text;
    msg.text2 = text2;
    return w->Send(msg);
}

bool PostToMain(uint32_t code, int64_t wParam, const std::string& text, const std::string& text2) {
    IMainWindow* w = GetMainWindow();
    if (!w) {
        Log(5, "platform::PostToMain", "No main window; message " + std::to_string(code) + " dropped");
        return false;
    }
    WindowMessage msg;
    msg.code = code;
    msg.wParam = wParam;
    msg.text = text;
    msg.text2 = text2;
    return w->Post(msg);
}

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    IMainWindow* w = GetMainWindow();
    if (w) {
        return w->MessageBox(text, caption, flags);
    }
    int answer = IsPlainOkBox(flags) ? IDOK : IDCANCEL;
    Log(4, "platform::ShowMessageBox",
        "No front end for the message box \"" + caption + ": " + text + "\"; answered " +
            (answer == IDOK ? "OK" : "Cancel"));
    return answer;
}

WindowHandle RegisterWindow(WindowReceiver receiver) {
    std::lock_guard<std::mutex> lock(gWindowsMu);
    WindowHandle h = gNextHandle++;
    gWindows[h] = std::make_shared<WindowReceiver>(std::move(receiver));
    return h;
}

void UnregisterWindow(WindowHandle handle) {
    std::lock_guard<std::mutex> lock(gWindowsMu);
    gWindows.erase(handle);
}

bool PostToWindow(WindowHandle handle, const WindowMessage& msg) {
    if (handle == kMainWindowHandle) {
        IMainWindow* w = GetMainWindow();
        if (!w) {
            SetLastError(ESRCH);
            return false;
        }
        return w->Post(msg);
    }
    std::shared_ptr<WindowReceiver> receiver;
    {
        std::lock_guard<std::mutex> lock(gWindowsMu);
        auto it = gWindows.find(handle);
        if (it != gWindows.end()) {
            receiver = it->second;
        }
    }
    if (!receiver || !*receiver) {
        SetLastError(ESRCH);
        return false;
    }
    // The receiver runs on the posting thread, outside the registry lock; it must only hand the
    // message over to its own window's loop.
    (*receiver)(msg);
    return true;
}

}  // namespace platform
