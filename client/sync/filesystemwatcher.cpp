#include "sync/filesystemwatcher.h"

#include <chrono>
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

bool CFileSystemWatcher::Rest() {
    std::unique_lock<std::mutex> lock(mu_);
    return !cv_.wait_for(lock, std::chrono::milliseconds(pauseMs_.load()), [this] { return stop_; });
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
            if (callback_)
                callback_(kActionFailed, nullptr, context_);
            break;
        }
        if (result != platform::DirWatch::ReadResult::kChanges)
            continue;
        if (callback_) {
            for (const platform::DirChange& change : batch)
                callback_(change.action, change.name.c_str(), context_);
            callback_(kActionBatchEnd, nullptr, context_);
        }
        // Changes made meanwhile queue up in the kernel and come as the next batch.
        if (!Rest())
            break;
    }
    running_.store(false);
    std::lock_guard<std::mutex> lock(mu_);
    ended_ = true;
    cv_.notify_all();
}
