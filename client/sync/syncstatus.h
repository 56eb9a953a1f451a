// CSyncStatus: what the engine is doing, for `kestrine status`: the tray's state, the item a pass
// is carrying out and how far it got, the last pass's end and result, and the conflict copies
// made since the start. The worker writes it as it reports to the window; any thread reads a
// copy. Thread rule: every member function may be called from any thread (one mutex).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CSyncStatus {
  public:
    // The result of the last pass that ended.
    enum class PassResult { kNone, kSucceeded, kUnfinished, kFailed };

    struct Snapshot {
        int trayState = 0;          // platform::kTray*
        bool passRunning = false;   // between PassStarted and PassEnded
        std::string currentAction;  // "upload", "download", "delete"; empty between items
        std::string currentItem;    // the item's path as the window shows it
        int64_t doneBytes = 0;      // of the current item; 0 when not known
        int64_t totalBytes = 0;
        int64_t lastPassEnd = 0;  // seconds since the epoch; 0 before the first pass ended
        PassResult lastPassResult = PassResult::kNone;
        std::vector<std::string> conflictCopies;  // oldest first, at most kConflictsKept
    };

    // Only the newest conflict copies are kept (a status answer must stay small).
    static constexpr size_t kConflictsKept = 100;

    void SetTrayState(int state);
    void PassStarted();
    // The pass is over: the current item is cleared and the end time taken from the clock.
    void PassEnded(PassResult result);
    void SetCurrent(const std::string& action, const std::string& item, int64_t totalBytes = 0);
    void SetProgress(int64_t doneBytes, int64_t totalBytes);
    void AddConflictCopy(const std::string& path);
    Snapshot Get() const;

  private:
    mutable std::mutex mu_;
    Snapshot s_;
};
