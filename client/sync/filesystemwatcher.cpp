#include "sync/filesystemwatcher.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "core/log.h"
#include "platform/error.h"

CFileSystemWatcher::~CFileSystemWatcher() {
    Stop(100);
}

bool CFileSystemWatcher::Run(const std::string& folder, bool subtree, uint32_t filter, Callback callback,
                             void* context) {
    const char* tag = "CFileSystemWatcher::Run";
    Stop(-1);
    if (!watch_.Open(folder, subtree, filter)) {
        Log(kLogError, tag, "Fail to open a folder to monitor: %s (%s)", folder.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
        return false;
    }
    callback_ = callback;
    context_ = context;
    folder_ = folder;
    subtree_ = subtree;
    filter_ = filter;
    restarts_.store(0);
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = false;
        ended_ = false;
    }
    running_.store(true);
    if (!thread_.Start([this] { Routine(); })) {
        running_.store(false);
        {
            std::lock_guard<std::mutex> lock(mu_);
            ended_ = true;
        }
        watch_.Close();
        Log(kLogError, tag, "Fail to start the monitor thread: %s",
            platform::ErrorText(platform::LastError()).c_str());
        return false;
    }
    Log(kLogInfo, tag, "Monitor Local: %s", folder.c_str());
    return true;
}

bool CFileSystemWatcher::Stop(int waitMs) {
    bool inTime = true;
    if (thread_.Joinable()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
            cv_.notify_all();
        }
        watch_.Wake();
        if (waitMs >= 0) {
            std::unique_lock<std::mutex> lock(mu_);
            inTime = cv_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return ended_; });
        }
        if (!inTime) {
            // A thread cannot be cut off safely: it is inside the callback, which never blocks for
            // long, and is waited for.
            Log(kLogWarn, "CFileSystemWatcher::Stop", "The monitor thread did not end within %d ms", waitMs);
        }
        thread_.Join();
    }
    running_.store(false);
    watch_.Close();
    return inTime;
}

int CFileSystemWatcher::RestartDelayMs(int attempt, int firstMs, int capMs) {
    const int64_t cap = std::max(capMs, 0);
    int64_t delay = std::min<int64_t>(std::max(firstMs, 0), cap);
    for (int i = 1; i < attempt && delay < cap; ++i)
        delay = std::min(delay * 2, cap);
    return static_cast<int>(delay);
}

bool CFileSystemWatcher::Rest(int ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
}

bool CFileSystemWatcher::Restart() {
    const char* tag = "CFileSystemWatcher::Restart";
    watch_.Close();
    for (int attempt = 1;; ++attempt) {
        const int delay = RestartDelayMs(attempt, restartFirstMs_.load(), restartCapMs_.load());
        if (!Rest(delay))
            return false;
        // Open drains a pending wake; a Stop that sent it has set the stop flag first, which the
        // read loop looks at before it reads.
        if (watch_.Open(folder_, subtree_, filter_))
            break;
        Log(kLogWarn, tag, "Fail to monitor %s again (attempt %d): %s", folder_.c_str(), attempt,
            platform::ErrorText(platform::LastError()).c_str());
    }
    restarts_.fetch_add(1);
    running_.store(true);
    Log(kLogInfo, tag, "Monitor Local again: %s", folder_.c_str());
    if (callback_)
        callback_(kActionRestarted, nullptr, context_);
    return true;
}

void CFileSystemWatcher::Routine() {
    const char* tag = "CFileSystemWatcher::Routine";
    auto stopping = [this] {
        std::lock_guard<std::mutex> lock(mu_);
        return stop_;
    };
    std::vector<platform::DirChange> batch;
    while (!stopping()) {
        Log(kLogInfo, tag, "Monitor Local Files...");
        const platform::DirWatch::ReadResult result = watch_.Read(&batch);
        if (stopping())
            break;
        if (result == platform::DirWatch::ReadResult::kFailed) {
            Log(kLogInfo, tag, "Cancel Monitor");
            running_.store(false);
            if (callback_)
                callback_(kActionFailed, nullptr, context_);
            if (!Restart())
                break;
            continue;
        }
        if (result != platform::DirWatch::ReadResult::kChanges)
            continue;
        if (callback_) {
            for (const platform::DirChange& change : batch)
                callback_(change.action, change.name.c_str(), context_);
            callback_(kActionBatchEnd, nullptr, context_);
        }
        // Changes made meanwhile queue up in the kernel and come as the next batch.
        if (!Rest(pauseMs_.load()))
            break;
    }
    running_.store(false);
    std::lock_guard<std::mutex> lock(mu_);
    ended_ = true;
    cv_.notify_all();
}
