// CFileCache: the local trash and the careful replacement of a file. Whatever the client deletes
// or overwrites in the home folder on the service's behalf goes to <trash>/<YYYY-MM-DD>/<path>,
// so a race that remains can be undone by the user; and an entry is only taken away while it is
// still the version that was judged: a save that lands meanwhile stays, under its conflict name.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/system.h"
#include "store/filecache.h"
#include "util/util.h"

namespace {

bool IsDayName(const std::string& name, int* y, int* m, int* d) {
    if (name.size() != 10 || name[4] != '-' || name[7] != '-')
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (name[i] < '0' || name[i] > '9')
            return false;
    }
    *y = std::atoi(name.substr(0, 4).c_str());
    *m = std::atoi(name.substr(5, 2).c_str());
    *d = std::atoi(name.substr(8, 2).c_str());
    return *m >= 1 && *m <= 12 && *d >= 1 && *d <= 31;
}

// Days since 1970-01-01 of a calendar date (proleptic Gregorian).
int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// A save between the judgement and now changed the file, its size, its time or its status.
bool ChangedSince(const platform::FileStat& now, const platform::FileStat& judged, bool withChangeTime) {
    if (judged.kind != platform::EntryKind::File)
        return now.kind != judged.kind;
    return !platform::SameFileVersion(now, judged) ||
           (withChangeTime && now.changeTimeNs != judged.changeTimeNs);
}

}  // namespace

bool CFileCache::SetTrash(const std::string& folder) {
    trash_ = folder;
    while (trash_.size() > 1 && trash_.back() == '/')
        trash_.pop_back();
    trashBoundary_.Set(trash_);
    return trash_.empty() || SetFolder(trash_);
}

std::string CFileCache::_TrashPathFor(const std::string& abs) const {
    std::string rel = abs;
    ToRelativePath(&rel);
    if (rel.empty() || rel[0] != '/')
        rel = "/" + rel;
    const platform::LocalTime t = platform::GetLocalTime();
    char day[16];
    std::snprintf(day, sizeof day, "/%04d-%02d-%02d", t.year, t.month, t.day);
    // A file trashed earlier that day may sit where this path needs a folder: the folder level
    // then takes the first free "<name> (n)" beside it.
    std::string base = trash_ + day;
    for (size_t at = 1, slash; (slash = rel.find('/', at)) != std::string::npos; at = slash + 1) {
        const std::string folder = base + rel.substr(at - 1, slash - at + 1);
        std::string free = folder;
        for (int n = 2; platform::Exists(free) && !platform::IsDirectory(free) && n < 10000; ++n)
            free = folder + " (" + std::to_string(n) + ")";
        base = free;
    }
    base += rel.substr(rel.rfind('/'));
    // The same path trashed twice in a day keeps both.
    std::string candidate = base;
    for (int n = 2; platform::Exists(candidate) && n < 10000; ++n)
        candidate = base + " (" + std::to_string(n) + ")";
    return candidate;
}

bool CFileCache::_MakeParents(const std::string& abs) {
    std::vector<std::string> missing;
    for (size_t slash = abs.rfind('/'); slash != std::string::npos && slash > 0;
         slash = abs.rfind('/', slash - 1)) {
        const std::string dir = abs.substr(0, slash);
        if (platform::IsDirectory(dir))
            break;
        missing.push_back(dir);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!platform::MakeDir(*it) && !platform::IsDirectory(*it))
            return false;
    }
    return true;
}

bool CFileCache::_KeepAsConflict(const std::string& from, const std::string& abs, std::string* keptAs) {
    const std::string conflict = CUtil::GetConflictName(abs);
    if (!platform::MoveFile(from, conflict)) {
        Log(kLogError, "CFileCache::MoveToTrash", "Fail to keep the changed %s as %s: %s", abs.c_str(),
            conflict.c_str(), platform::ErrorText(platform::LastError()).c_str());
        return false;
    }
    Log(kLogWarn, "CFileCache::MoveToTrash", "%s changed since it was judged: kept as %s", abs.c_str(),
        conflict.c_str());
    if (keptAs)
        *keptAs = conflict;
    return true;
}

CFileCache::Trashed CFileCache::_Dispose(const std::string& from, const std::string& abs,
                                         const platform::FileStat* judged, std::string* keptAs) {
    const char* tag = "CFileCache::MoveToTrash";
    platform::FileStat before;
    if (judged && platform::Stat(from, &before) && ChangedSince(before, *judged, false))
        return _KeepAsConflict(from, abs, keptAs) ? Trashed::kChanged : Trashed::kFailed;
    if (trash_.empty()) {
        // No trash set up (a bare store in a tool or test): the entry goes for good.
        const bool gone =
            platform::IsDirectory(from) ? CUtil::DeleteFolder(from) : platform::RemoveFile(from);
        return gone ? Trashed::kTrashed : Trashed::kFailed;
    }
    const std::string dst = _TrashPathFor(abs);
    if (!_MakeParents(dst) || !platform::MoveFile(from, dst)) {
        Log(kLogError, tag, "Fail to move %s to the trash %s: %s", from.c_str(), dst.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
        return Trashed::kFailed;
    }
    platform::FileStat moved;
    if (judged && platform::Stat(dst, &moved)) {
        // A move keeps the inode; a copy to another file system keeps size and time.
        const bool sameInode = moved.device == judged->device && moved.inode == judged->inode;
        const bool same = sameInode ? !ChangedSince(moved, *judged, false)
                                    : moved.size == judged->size && moved.writeTimeNs == judged->writeTimeNs;
        if (!same)
            return _KeepAsConflict(dst, abs, keptAs) ? Trashed::kChanged : Trashed::kFailed;
    }
    Log(kLogInfo, tag, "Move %s to the trash: %s", abs.c_str(), dst.c_str());
    return Trashed::kTrashed;
}

CFileCache::Trashed CFileCache::MoveToTrash(const std::string& path, const platform::FileStat* judged,
                                            std::string* keptAs) {
    std::string abs;
    if (!_LocalPath(path, &abs, "CFileCache::MoveToTrash"))
        return Trashed::kFailed;
    if (!root_.empty() && _UnderRoot(abs, true) && !_UnderRoot(abs, false)) {
        Log(kLogError, "CFileCache::MoveToTrash", "Refuse to remove the sync root: %s", abs.c_str());
        return Trashed::kFailed;
    }
    platform::FileStat now;
    if (!platform::Stat(abs, &now))
        return platform::LastError() == ENOENT ? Trashed::kMissing : Trashed::kFailed;
    if (judged && ChangedSince(now, *judged, true))
        return _KeepAsConflict(abs, abs, keptAs) ? Trashed::kChanged : Trashed::kFailed;
    return _Dispose(abs, abs, judged, keptAs);
}

int CFileCache::PruneTrash(int days, int64_t nowUnixSeconds) {
    if (trash_.empty())
        return 0;
    std::vector<platform::DirEntry> entries;
    if (!platform::ListDir(trash_, &entries))
        return 0;
    const int64_t today = nowUnixSeconds / 86400;
    int removed = 0;
    for (const platform::DirEntry& e : entries) {
        int y = 0, m = 0, d = 0;
        if (e.stat.kind != platform::EntryKind::Directory || !IsDayName(e.name, &y, &m, &d))
            continue;
        if (today - DaysFromCivil(y, m, d) <= days)
            continue;
        const std::string dir = trash_ + "/" + e.name;
        if (CUtil::DeleteFolder(dir)) {
            Log(kLogInfo, "CFileCache::PruneTrash", "Empty the trash of %s", e.name.c_str());
            ++removed;
        } else {
            Log(kLogWarn, "CFileCache::PruneTrash", "Fail to empty the trash of %s", e.name.c_str());
        }
    }
    return removed;
}
