#include "sync/syncstatus.h"

#include <ctime>

void CSyncStatus::SetTrayState(int state) {
    std::lock_guard<std::mutex> lock(mu_);
    s_.trayState = state;
}

void CSyncStatus::PassStarted() {
    std::lock_guard<std::mutex> lock(mu_);
    s_.passRunning = true;
    s_.currentAction.clear();
    s_.currentItem.clear();
    s_.doneBytes = s_.totalBytes = 0;
}

void CSyncStatus::PassEnded(PassResult result) {
    std::lock_guard<std::mutex> lock(mu_);
    s_.passRunning = false;
    s_.currentAction.clear();
    s_.currentItem.clear();
    s_.doneBytes = s_.totalBytes = 0;
    s_.lastPassEnd = static_cast<int64_t>(std::time(nullptr));
    s_.lastPassResult = result;
}

void CSyncStatus::SetCurrent(const std::string& action, const std::string& item, int64_t totalBytes) {
    std::lock_guard<std::mutex> lock(mu_);
    s_.currentAction = action;
    s_.currentItem = item;
    s_.doneBytes = 0;
    s_.totalBytes = totalBytes;
}

void CSyncStatus::SetProgress(int64_t doneBytes, int64_t totalBytes) {
    std::lock_guard<std::mutex> lock(mu_);
    s_.totalBytes = totalBytes;
    // A chunk's place in the list can overshoot the last, shorter chunk.
    s_.doneBytes = doneBytes > totalBytes ? totalBytes : doneBytes;
}

void CSyncStatus::AddConflictCopy(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    s_.conflictCopies.push_back(path);
    if (s_.conflictCopies.size() > kConflictsKept)
        s_.conflictCopies.erase(s_.conflictCopies.begin());
}

CSyncStatus::Snapshot CSyncStatus::Get() const {
    std::lock_guard<std::mutex> lock(mu_);
    return s_;
}
