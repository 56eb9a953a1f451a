// CFileSystemWatcher: the thread that watches the home folder for changes made by the user and
// hands every change record to a callback (CWork::CheckFiles), in batches at most once per pause
// (a second). The worker creates it at the first sign-in and keeps it; Run starts a watch at each
// sign-in, Stop ends it at sign-out. A watch that ends by itself (its folder went, inotify
// failed) is opened again by the same thread after a growing rest, until it works or Stop is
// called. The callback runs on the watcher thread.
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
    // kActionBatchEnd after the records of one read, or kActionFailed each time the watch has
    // ended by itself, or kActionRestarted when a failed watch works again (changes made
    // meanwhile were not seen); `name` (relative to the folder, "/"-separated) is null for the
    // last three.
    using Callback = void (*)(int action, const char* name, void* context);
    static constexpr int kActionFailed = -1;
    static constexpr int kActionBatchEnd = 0;
    static constexpr int kActionRestarted = -2;
    // The rest before restart attempt `attempt` (1 the first): `firstMs`, doubled at each further
    // attempt, never above `capMs`.
    static int RestartDelayMs(int attempt, int firstMs, int capMs);
    static constexpr int kRestartFirstMs = 1000;
    static constexpr int kRestartCapMs = 5 * 60 * 1000;
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
    // True while a watch is open and read; false when stopped, and while a failed watch waits
    // for its restart.
    bool IsRunning() const { return running_.load(); }

    // The rest between two reads (1 s); tests shorten it.
    void SetPauseMs(int ms) { pauseMs_.store(ms); }
    // The restart rests (1 s doubling up to 5 min); tests shorten them.
    void SetRestartDelays(int firstMs, int capMs) {
        restartFirstMs_.store(firstMs);
        restartCapMs_.store(capMs);
    }
    int RestartCount() const { return restarts_.load(); }  // watches opened again since Run
    const platform::DirWatch& Watch() const { return watch_; }

  private:
    void Routine();
    bool Rest(int ms);  // false when a stop ended it
    bool Restart();     // after a failure: rests and opens again; false when a stop came first

    platform::DirWatch watch_;
    platform::Thread thread_;
    Callback callback_ = nullptr;
    void* context_ = nullptr;
    std::atomic<bool> running_{false};
    std::atomic<int> pauseMs_{1000};
    std::atomic<int> restartFirstMs_{kRestartFirstMs};
    std::atomic<int> restartCapMs_{kRestartCapMs};
    std::atomic<int> restarts_{0};
    // What Run was given, for a restart; set while no thread runs.
    std::string folder_;
    bool subtree_ = true;
    uint32_t filter_ = 0;

    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool ended_ = true;
};
