// CWork: the watcher of local changes. StartFileMonitor and StopFileMonitor run on the worker;
// CheckFiles runs on the watcher thread, drops the records of decoration, temporary and
// half-built files, and turns the rest into a pass request, a rename request, or (while a pass
// runs) one more pass.
#include <algorithm>
#include <cstring>
#include <string>

#include "core/log.h"
#include "platform/dirwatch.h"
#include "platform/file.h"
#include "platform/messages.h"
#include "store/filecache.h"
#include "sync/filesystemwatcher.h"
#include "sync/work.h"
#include "util/util.h"

namespace {

constexpr int kStopWaitMs = 100;

// What the previous record was, so a rename's new name knows what its old name became.
enum PrevKind {
    kPrevOther = 0,
    kPrevRenameOld,  // an old name that was reported
    kPrevDropped,    // an old name that was a temporary file
    kPrevOwn,        // an old name that was a file the client was building
};

std::string BaseName(const std::string& rel) {
    const size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

// A file the client builds beside its target and renames into place (CFileCache::MakeFile).
bool IsPartName(const std::string& name) {
    const size_t n = std::strlen(CFileCache::kPartSuffix);
    return name.size() > n + 1 && name[0] == '.' &&
           name.compare(name.size() - n, n, CFileCache::kPartSuffix) == 0;
}

// A conflict copy's name ("<name>.conflict(2024-01-31-23-59-59-999)"): only the client makes one,
// by moving a local edit aside during a pass.
bool IsConflictName(const std::string& name) {
    static const char kForm[] = "dddd-dd-dd-dd-dd-dd-ddd)";
    const std::string mark = ".conflict(";
    const size_t at = name.rfind(mark);
    if (at == std::string::npos || name.size() - at - mark.size() != sizeof(kForm) - 1)
        return false;
    for (size_t i = 0; kForm[i]; ++i) {
        const char c = name[at + mark.size() + i];
        if (kForm[i] == 'd' ? (c < '0' || c > '9') && c != ' ' : c != kForm[i])
            return false;
    }
    return true;
}

// One line in the log for each change record the watcher passes on.
void LogWatchRecord(int action, const std::string& rel) {
    const char* tag = "CWork::CheckFiles";
    switch (action) {
        case platform::kDirAdded:
            Log(kLogInfo, tag, "Added     - %s", rel.c_str());
            break;
        case platform::kDirRemoved:
            Log(kLogInfo, tag, "Removed   - %s", rel.c_str());
            break;
        case platform::kDirModified:
            Log(kLogInfo, tag, "Modified   - %s", rel.c_str());
            break;
        case platform::kDirRenamedOld:
            Log(kLogInfo, tag, "Rename(O)   - %s", rel.c_str());
            break;
        case platform::kDirRenamedNew:
            Log(kLogInfo, tag, "Rename(N)   - %s", rel.c_str());
            break;
        default:
            Log(kLogInfo, tag, "Monitor---ERROR---   - %s", rel.c_str());
            break;
    }
}

}  // namespace

void CWork::StartFileMonitor(const std::string& root) {
    if (!watcher_)
        watcher_ = std::make_unique<CFileSystemWatcher>();
    // The callback's state belongs to the watcher thread: it is reset while no thread runs.
    watcher_->Stop(kStopWaitMs);
    ClearFilteredPaths();
    watchRoot_ = root;
    while (watchRoot_.size() > 1 && watchRoot_.back() == '/')
        watchRoot_.pop_back();
    watchPrevName_.clear();
    watchPrevKind_ = kPrevOther;
    watchLastFiltered_.clear();
    watchSyncPosted_ = false;
    watcherFailed_.store(false);
    watcher_->SetPauseMs(watchPauseMs_);
    if (!watcher_->Run(watchRoot_, true, CFileSystemWatcher::kClientFilter, &CWork::CheckFiles, this))
        Log(kLogError, "CWork::StartFileMonitor", "Fail to monitor %s: local changes wait for the next pass",
            watchRoot_.c_str());
    Log(kLogInfo, "CWork::StartFileMonitor", "Mointor root: %s", root.c_str());
}

void CWork::StopFileMonitor() {
    if (watcher_)
        watcher_->Stop(kStopWaitMs);
    ClearFilteredPaths();
}

std::string CWork::WithWatchNote(const std::string& tip) const {
    if (tip.empty() || !watcherFailed_.load())
        return tip;
    return tip + CUtil::TrShown("Work", kWatchDownNote);
}

void CWork::KeepFilteredPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    if (std::find(filteredPaths_.begin(), filteredPaths_.end(), path) == filteredPaths_.end())
        filteredPaths_.push_back(path);
}

bool CWork::TakeFilteredPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = std::find(filteredPaths_.begin(), filteredPaths_.end(), path);
    if (it == filteredPaths_.end())
        return false;
    filteredPaths_.erase(it);
    return true;
}

int CWork::PostFromWatcher(uint32_t code, const std::string& text) {
    return Request(code, 0, text);
}

void CWork::RequestFromWatcher(int action, const std::string& renameText) {
    if (stopping_.load())
        return;
    const bool rename = action == platform::kDirRenamedNew && !renameText.empty();
    if (!ready_.load()) {
        // Queued even while a pass runs: the next pass (or this one, before its upload phase)
        // carries it out as a rename, never as a removal of the old name and a new upload.
        if (rename)
            PostFromWatcher(platform::WM_WORK_RENAME, renameText);
        // A pass runs (or the client is signed out): the pass loop runs once more.
        syncPending_.store(1);
        if (!ready_.load())
            return;
        // The pass ended meanwhile: unless its end took the mark, ask for a pass here.
        if (syncPending_.exchange(0))
            watchSyncPosted_ = PostFromWatcher(platform::WM_WORK_SYNC, std::string()) == 1;
        return;
    }
    if (action == platform::kDirRenamedOld)
        return;  // its new name comes next
    if (rename) {
        // The rename ends with a pass of its own, which covers the rest of this batch.
        if (PostFromWatcher(platform::WM_WORK_RENAME, renameText) == 1)
            watchSyncPosted_ = true;
        return;
    }
    // One queued pass sees every change made before it starts: one request per batch.
    if (!watchSyncPosted_)
        watchSyncPosted_ = PostFromWatcher(platform::WM_WORK_SYNC, std::string()) == 1;
}

void CWork::CheckFiles(int action, const char* name, void* context) {
    CWork* work = static_cast<CWork*>(context);
    if (work == nullptr)
        return;
    if (action == CFileSystemWatcher::kActionBatchEnd) {
        work->watchSyncPosted_ = false;
        return;
    }
    WatchRecord record;
    record.action = action;
    record.rel = name ? name : "";
    record.full = record.rel.empty() ? work->watchRoot_ : work->watchRoot_ + "/" + record.rel;
    record.base = BaseName(record.rel);
    record.prevKind = work->watchPrevKind_;
    record.prevName = work->watchPrevName_;
    work->watchPrevKind_ = kPrevOther;
    work->watchPrevName_ = record.rel;

    if (work->WatchInterrupted(action, record.rel) || work->DropWatchRecord(&record))
        return;
    work->watchLastFiltered_.clear();
    LogWatchRecord(action, record.rel);
    work->ForwardWatchRecord(record);
}

bool CWork::WatchInterrupted(int action, const std::string& rel) {
    const char* tag = "CWork::CheckFiles";
    if (action == CFileSystemWatcher::kActionRestarted) {
        // Nothing was seen while no watch ran: a pass looks at every file.
        watchLastFiltered_.clear();
        watchSyncPosted_ = false;
        watcherFailed_.store(false);
        Log(kLogInfo, tag, "Monitor restarted: the next pass looks at every file");
        RequestFromWatcher(action, std::string());
        return true;
    }
    if (action != CFileSystemWatcher::kActionFailed && action != platform::kDirOverflow)
        return false;
    // No single path to look at: the whole tree needs a pass.
    watchLastFiltered_.clear();
    if (action == platform::kDirOverflow) {
        Log(kLogWarn, tag, "Monitor overflow: changes were lost, the next pass looks at every file");
    } else {
        Log(kLogInfo, tag, "Monitor---ERROR---   - %s", rel.c_str());
        watcherFailed_.store(true);
    }
    RequestFromWatcher(action, std::string());
    return true;
}

bool CWork::DropWatchRecord(WatchRecord* record) {
    const char* tag = "CWork::CheckFiles";
    const int action = record->action;
    const std::string& full = record->full;
    const std::string& base = record->base;
    // A dropped record; a rename whose new name is dropped took its old name away.
    auto dropped = [&](int kind) {
        if (action == platform::kDirRenamedOld)
            watchPrevKind_ = kind;
        else if (action == platform::kDirRenamedNew && record->prevKind == kPrevRenameOld)
            RequestFromWatcher(platform::kDirRemoved, std::string());
        return true;
    };

    // The client's own writes: a file being built, and its rename into place, ask for nothing.
    if (IsPartName(base))
        return dropped(kPrevOwn);
    if (action == platform::kDirRenamedNew && record->prevKind == kPrevOwn) {
        // A user's save by rename onto the same name may be folded into this record.
        if (fileCache_ && fileCache_->CheckOwnWrite(full) == 0) {
            Log(kLogInfo, tag, "Modified   - %s", record->rel.c_str());
            RequestFromWatcher(platform::kDirModified, std::string());
        }
        return true;
    }

    platform::FileStat st;
    const bool exists = platform::Stat(full, &st);
    record->isDir = exists && st.kind == platform::EntryKind::Directory;
    if (record->isDir) {
        if (!watchLastFiltered_.empty() && watchLastFiltered_.find(full) != std::string::npos) {
            watchLastFiltered_.clear();
            return dropped(kPrevDropped);
        }
    } else if (exists && st.kind == platform::EntryKind::File) {
        // The home folder's hidden-name list is the client's; a shared folder's asks for a pass
        // whose scan leaves it out (the watcher cannot look at the shares from its thread).
        if (base == CFileCache::kFolderIconFile || base == CFileCache::kShareMarkerName ||
            record->rel == CFileCache::kHiddenListName) {
            Log(kLogInfo, tag, "File filter: %s %s", base.c_str(), full.c_str());
            return dropped(kPrevDropped);
        }
        if (CFileCache::IsTemporaryFile(full, base)) {
            watchLastFiltered_ = full;
            KeepFilteredPath(full);
            Log(kLogInfo, tag, "File filter: %s %s", base.c_str(), full.c_str());
            return dropped(kPrevDropped);
        }
    } else if (!exists && TakeFilteredPath(full)) {
        return dropped(kPrevDropped);
    }
    return false;
}

void CWork::ForwardWatchRecord(const WatchRecord& record) {
    const int action = record.action;
    if (action == platform::kDirModified && record.isDir)
        return;  // a folder's own times say nothing the pass needs
    if (action == platform::kDirRenamedOld) {
        watchPrevKind_ = kPrevRenameOld;
        RequestFromWatcher(action, std::string());
        return;
    }
    if (action == platform::kDirRenamedNew) {
        // Without its reported old name the new name is only a new entry. A move aside under a
        // conflict name is the client's own, and its records can arrive after the pass that made
        // it: renamed on the service it would take the version just brought down away with it.
        if (record.prevKind == kPrevRenameOld && !IsConflictName(BaseName(record.rel)))
            RequestFromWatcher(action, MakeRenameText(record.prevName, record.rel));
        else
            RequestFromWatcher(platform::kDirAdded, std::string());
        return;
    }
    RequestFromWatcher(action, std::string());
}
