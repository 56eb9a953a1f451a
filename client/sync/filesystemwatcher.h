// CFileSystemWatcher: the thread that watches the home folder for changes made by the user and
// hands every change record to a callback (CWork::CheckFiles), in batches at most once per pause
// (a second). The worker creates it at the first sign-in and keeps it; Run starts a watch at each
// sign-in, Stop ends it at sign-out. The callback runs on the watcher thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/dirwatch.h"
#include "platform/thread.h"

class CFileSystemWatcher {
  public:
    // `action` is a record's action (1 added .. 5 new name of a rename, 6 records were lost), or
    // kActionBatchEnd after the records of one read, or kActionFailed once when the watch has
    // ended by itself; `name` (relative to the folder, "/"-separated) is null for the last two.
    using Callback = void (*)(int action, const char* name, void* context);
    static constexpr int kActionFailed = -1;
    static constexpr int kActionBatchEnd = 0;
    static constexpr uint32_t kClientFilter = platform::kNotifyFileName | platform::kNotifyDirName |
                                              platform::kNotifySize | platform::kNotifyLastWrite;

    CFileSystemWatcher() = default;
    ~CFileSystemWatcher();  // stops a running watch
    CFileSystemWatcher(const CFileSystemWatcher&) = delete;
    CFileSystemWatcher& operator=(const CFileSystemWatcher&) = delete;

    // Stops a previous run, watches `folder` and starts the thread. False when the folder cannot be
    // watched or the thread cannot start.
    bool Run(const std::string& folder, bool subtree, uint32_t filter, Callback callback, void* context);
    // Ends the thread; true when it ended within `waitMs` (it is joined in any case).
    bool Stop(int waitMs);
    bool IsRunning() const { return running_.load(); }

    // The rest between two reads (1 s); tests shorten it.
    void SetPauseMs(int ms) { pauseMs_.store(ms); }
    const platform::DirWatch& Watch() const { return watch_; }

  private:
    void Routine();
    bool Rest();  // the pause; false when a stop ended it

    platform::DirWatch watch_;
    platform::Thread thread_;
    Callback callback_ = nullptr;
    void* context_ = nullptr;
    std::atomic<bool> running_{false};
    std::atomic<int> pauseMs_{1000};

    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool ended_ = true;
};
