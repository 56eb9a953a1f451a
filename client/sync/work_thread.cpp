// CWork: the worker thread, the request protocol and the dispatch of requests.
#include <chrono>
#include <exception>

#include "core/log.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "sync/work.h"

namespace {

// Ends the worker loop at teardown. The loop ignores WM_QUIT on purpose, so a private code of our
// own stops it.
constexpr uint32_t kWorkStop = platform::WM_USER + 999;

}  // namespace

bool CWork::StartThread() {
    if (thread_.Joinable())
        return true;
    {
        std::lock_guard<std::mutex> lock(stopMu_);
        threadEnded_ = false;
    }
    stopping_.store(false);
    return thread_.Start([this] {
        WorkThreadProc(this);
        std::lock_guard<std::mutex> lock(stopMu_);
        threadEnded_ = true;
        stopCv_.notify_all();
    });
}

bool CWork::Stop(int timeoutMs) {
    if (!thread_.Joinable())
        return true;
    if (platform::CurrentThreadId() == thread_.Id() && thread_.Id() != 0)
        return false;  // the worker cannot wait for itself
    {
        std::lock_guard<std::mutex> lock(stopMu_);
        stopping_.store(true);
        stopCv_.notify_all();
    }
    platform::ThreadMessage stop;
    stop.code = kWorkStop;
    platform::PostThreadMessage(thread_.Id(), stop);
    {
        std::unique_lock<std::mutex> lock(stopMu_);
        if (timeoutMs < 0)
            stopCv_.wait(lock, [this] { return threadEnded_; });
        else
            stopCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return threadEnded_; });
        if (!threadEnded_)
            return false;
    }
    thread_.Join();
    return true;
}

void CWork::Pause(int ms) {
    std::unique_lock<std::mutex> lock(stopMu_);
    // A sign-in's wait to try again ends as soon as the user gives up on it.
    stopCv_.wait_for(lock, std::chrono::milliseconds(ms),
                     [this] { return stopping_.load() || (signingIn_ && SignInInterrupted()); });
}

int CWork::Request(uint32_t code, uintptr_t value, const std::string& text) {
    if (code == platform::WM_WORK_LOGOUT) {
        // One sign-out at a time: a second request while one is pending is not posted.
        int expected = 0;
        if (!logoutRequested_.compare_exchange_strong(expected, 1))
            return 0;
        // A sign-in waiting to try again gives up at once (its request in flight sees the flag).
        WakeSignInWait();
    }
    platform::ThreadMessage msg;
    msg.code = code;
    msg.wParam = value;
    msg.text = text;
    if (!platform::PostThreadMessage(thread_.Id(), msg)) {
        Log(kLogError, "CWork::Request", "Fail to post message %d to work thread", static_cast<int>(code));
        // Nothing would ever clear the flag, and every later sign-out would be refused.
        if (code == platform::WM_WORK_LOGOUT)
            logoutRequested_.store(0);
        return 0;
    }
    return 1;
}

int CWork::WorkThreadProc(CWork* work) {
    if (!work) {
        Log(kLogFatal, "CWork::WorkThreadProc", "Failed for getting a NULL param!");
        return -1;
    }
    platform::ThreadMessage msg;
    while (platform::GetMessage(&msg)) {
        if (msg.code == kWorkStop && work->stopping_.load())
            break;
        try {
            work->Dispatch(msg);
        } catch (const std::exception& e) {
            Log(kLogError, "CWork::WorkThreadProc", "Request %u failed: %s", msg.code, e.what());
        } catch (...) {
            Log(kLogError, "CWork::WorkThreadProc", "Request %u failed", msg.code);
        }
    }
    return 0;
}

void CWork::Dispatch(const platform::ThreadMessage& msg) {
    switch (msg.code) {
        case platform::WM_WORK_LOGIN: {
            int ok = RunLogin();
            // A reply window of 0 asks for no reply.
            if (msg.wParam) {
                platform::WindowMessage reply;
                reply.code = platform::WM_LOGIN_RESULT;
                reply.wParam = ok == 1 ? 1 : 0;
                platform::PostToWindow(msg.wParam, reply);
            }
            break;
        }
        case platform::WM_WORK_LOGOUT: {
            Logout();
            if (msg.wParam) {
                platform::WindowMessage reply;
                reply.code = platform::WM_LOGOUT_DONE;
                platform::PostToWindow(msg.wParam, reply);
            }
            break;
        }
        case platform::WM_WORK_SYNC:
            if (signedIn_.load()) {
                // A sync the user asked for tries the skipped items at once.
                if (msg.wParam)
                    skipped_.RetryAllNow();
                CheckSync();
            }
            break;
        case platform::WM_WORK_RENAME: {
            std::string oldName, newName;
            if (SplitRenameText(msg.text, &oldName, &newName))
                Rename(oldName, newName);
            else
                Log(kLogError, "CWork::WorkThreadProc", "Malformed rename request \"%s\"", msg.text.c_str());
            break;
        }
        case platform::WM_WORK_SYNC_WANTED: {
            // Coalesces heartbeat triggers: one queued pass is enough.
            int expected = 0;
            if (syncPending_.compare_exchange_strong(expected, 1))
                Request(platform::WM_WORK_SYNC, 0);
            break;
        }
        default:
            break;
    }
}

std::string CWork::MakeRenameText(const std::string& oldName, const std::string& newName) {
    bool bar = oldName.find('|') != std::string::npos || newName.find('|') != std::string::npos;
    return oldName + (bar ? std::string(1, '\0') : std::string("|")) + newName;
}

bool CWork::SplitRenameText(const std::string& text, std::string* oldName, std::string* newName) {
    // Linux names may hold "|" (never a NUL), so a NUL separator wins when present. The names
    // are kept as they are: "\" is an ordinary name character here, not a separator.
    size_t sep = text.find('\0');
    if (sep == std::string::npos)
        sep = text.find('|');
    if (sep == std::string::npos || sep == 0 || sep + 1 >= text.size())
        return false;
    *oldName = text.substr(0, sep);
    *newName = text.substr(sep + 1);
    return true;
}
