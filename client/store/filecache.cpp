// CFileCache: set-up, path conversions, the scan's lookups and state table, share markers and
// removal of local files and folders.
#include "store/filecache.h"

#include <cstring>

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/filemode.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "util/ascii.h"
#include "util/util.h"

namespace {

constexpr uint32_t kMarkerAttributes = platform::kAttrHidden | platform::kAttrSystem;

void ToSlashes(std::string* path) {
    for (char& c : *path)
        if (c == '\\')
            c = '/';
}

// Stored paths carry no trailing separator ("/" alone stays).
void TrimTrailingSlashes(std::string* path) {
    while (path->size() > 1 && path->back() == '/')
        path->pop_back();
}

}  // namespace

// ---- Helpers ----

std::string CFileCache::JoinName(const std::string& folder, const char* name) {
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

std::string CFileCache::MarkerPath(const std::string& folder) {
    return JoinName(folder, kShareMarkerName);
}

int CFileCache::_ShowFileError(const std::string& path, int err) {
    return platform::ShowMessageBox(path + "\n" + platform::ErrorText(err), "Kestrine",
                                    platform::MB_OK | platform::MB_ICONERROR);
}

bool CFileCache::_UnderRoot(const std::string& path, bool allowRoot) const {
    const size_t n = root_.size();
    if (n == 0 || path.size() < n)
        return false;
    if (!ascii::StartsWithNoCase(path, root_))
        return false;
    if (path.size() == n)
        return allowRoot;
    return root_.back() == '/' || path[n] == '/';
}

bool CFileCache::_LocalPath(const std::string& path, std::string* abs, const char* tag) const {
    *abs = path;
    ToAbsolutePath(abs);
    // One spelling per path: no doubled or trailing separators, so "root/" is the root itself.
    std::string clean;
    clean.reserve(abs->size());
    for (char c : *abs)
        if (c != '/' || clean.empty() || clean.back() != '/')
            clean.push_back(c);
    TrimTrailingSlashes(&clean);
    abs->swap(clean);
    bool bad = abs->find('\0') != std::string::npos;
    // The part below the root must not climb out of it: no "." or ".." component.
    size_t pos = _UnderRoot(*abs, true) ? root_.size() : 0;
    while (!bad && pos <= abs->size()) {
        size_t end = abs->find('/', pos);
        if (end == std::string::npos)
            end = abs->size();
        const size_t len = end - pos;
        if ((len == 1 && (*abs)[pos] == '.') || (len == 2 && (*abs)[pos] == '.' && (*abs)[pos + 1] == '.'))
            bad = true;
        pos = end + 1;
    }
    if (bad) {
        Log(kLogError, tag, "Refuse a path that leaves the sync root: %s", path.c_str());
        return false;
    }
    return true;
}

// ---- Set-up ----

bool CFileCache::SetFolder(const std::string& folder) {
    if (CUtil::IsDirectory(folder))
        return true;
    // Create the missing folders from the top down; only the one asked for is hidden.
    bool ok = !folder.empty();
    for (size_t pos = 1; ok && pos <= folder.size(); ++pos) {
        if (pos < folder.size() && folder[pos] != '/')
            continue;
        const std::string part = folder.substr(0, pos);
        if (part.back() == '/' || CUtil::IsDirectory(part))
            continue;
        // The folder asked for is one of the data root's own (home, cache, trash): private.
        ok = pos == folder.size() ? platform::MakeDirPrivate(part)
                                  : platform::MakeDir(part) || CUtil::IsDirectory(part);
    }
    if (!ok) {
        Log(kLogError, "CFileCache::SetFolder", "Fail to creat directory \"%s\"", folder.c_str());
        return false;
    }
    platform::SetFileAttributes(folder, platform::kAttrHidden);
    return true;
}

bool CFileCache::SetRoot(const std::string& root, bool create) {
    std::string path = root;
    ToSlashes(&path);
    TrimTrailingSlashes(&path);
    if (path.empty()) {
        Log(kLogError, "CFileCache::SetRoot", "Fail to creat a path NULL");
        return false;
    }
    root_ = path;
    rootBoundary_.Set(root_);
    return create ? SetFolder(root_) : true;
}

bool CFileCache::SetCache(const std::string& cache) {
    std::string path = cache;
    ToSlashes(&path);
    TrimTrailingSlashes(&path);
    if (path.empty()) {
        Log(kLogError, "CFileCache::SetCache", "Fail to creat a path NULL");
        return false;
    }
    cache_ = path;
    cacheBoundary_.Set(cache_);
    return SetFolder(cache_);
}

bool CFileCache::CleanCache() {
    if (cache_.empty()) {
        Log(kLogError, "CFileCache::CleanCache", "NULL cache folder");
        return false;
    }
    if (platform::Exists(cache_) && !CUtil::DeleteFolder(cache_))
        return false;
    return SetFolder(cache_);
}

bool CFileCache::Init(const std::string& root) {
    if (!SetRoot(root)) {
        Log(kLogError, "CFileCache::Init", "Fail to creat a local direcotry");
        return false;
    }
    if (!sharedStatus_.Open(CSharedFileStatus::kAreaName)) {
        Log(kLogError, "CFileCache::Init", "Fail to creat a shared memory");
        return false;
    }
    sharedStatus_.Reset();
    localFiles_.clear();
    cursor_ = localFiles_.end();
    return true;
}

// ---- Paths ----

bool CFileCache::ToAbsolutePath(std::string* path) const {
    ToSlashes(path);
    if (root_.empty())
        return false;
    if (_UnderRoot(*path, true)) {
        // Linux names are case-sensitive: the root is spelt as it is on disk.
        path->replace(0, root_.size(), root_);
        return false;
    }
    if (!path->empty() && path->front() == '/')
        path->insert(0, root_);
    else
        path->insert(0, root_ + "/");
    return true;
}

bool CFileCache::ToRelativePath(std::string* path) const {
    ToSlashes(path);
    if (!_UnderRoot(*path, true))
        return false;
    path->erase(0, root_.size());
    return true;
}

// ---- The scan's records and states ----

bool CFileCache::Find(const std::string& path, CFileInfo* out) const {
    auto it = localFiles_.find(ascii::Lowered(path));
    if (it == localFiles_.end())
        return false;
    if (out != nullptr)
        *out = it->second;
    return true;
}

bool CFileCache::GetFirst(CFileInfo* out) {
    cursor_ = localFiles_.begin();
    return GetNext(out);
}

bool CFileCache::GetNext(CFileInfo* out) {
    if (cursor_ == localFiles_.end())
        return false;
    if (out != nullptr)
        *out = cursor_->second;
    ++cursor_;
    return true;
}

bool CFileCache::GetFirstRef(CFileInfo** out) {
    cursor_ = localFiles_.begin();
    return GetNextRef(out);
}

bool CFileCache::GetNextRef(CFileInfo** out) {
    if (cursor_ == localFiles_.end())
        return false;
    if (out != nullptr)
        *out = &cursor_->second;
    ++cursor_;
    return true;
}

bool CFileCache::FindShareFolder(const std::string& id, std::string* folder) const {
    auto it = shareMap_.find(id);
    if (it == shareMap_.end())
        return false;
    if (folder != nullptr)
        *folder = it->second;
    return true;
}

void CFileCache::SetState(const std::string& path, int32_t state) {
    states_[ascii::Lowered(path)] = state;
}

int32_t CFileCache::GetState(const std::string& path) const {
    auto it = states_.find(ascii::Lowered(path));
    return it == states_.end() ? 0 : it->second;
}

// ---- Share markers ----

bool CFileCache::_GetShareFolder(const std::string& folder, std::string* id) {
    if (id == nullptr)
        return false;
    const std::string marker = MarkerPath(folder);
    platform::FileStat st;
    if (!platform::Stat(marker, &st))
        return false;
    if (st.kind != platform::EntryKind::File) {
        Log(kLogWarn, "CFileCache::_GetShareFolder", "Share marker \"%s\" is not a regular file, ignored",
            marker.c_str());
        return false;
    }
    platform::SetFileAttributes(marker, platform::kAttrNormal);
    platform::File file;
    if (!file.Open(marker, platform::File::Mode::Read)) {
        Log(kLogError, "CFileCache::_GetShareFolder", "Fail to open file \"%s\"", marker.c_str());
        platform::SetFileAttributes(marker, kMarkerAttributes);
        return false;
    }
    // Only the first 128 bytes count, however long the file has grown.
    char buf[kShareMarkerReadLimit];
    size_t got = 0;
    bool readOk = true;
    while (got < sizeof(buf)) {
        const int64_t n = file.Read(buf + got, sizeof(buf) - got);
        if (n < 0) {
            readOk = false;
            break;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    file.Close();
    platform::SetFileAttributes(marker, kMarkerAttributes);
    if (!readOk) {
        Log(kLogError, "CFileCache::_GetShareFolder", "Fail to read file \"%s\"", marker.c_str());
        return false;
    }
    id->assign(buf, got);
    return true;
}

bool CFileCache::_SetShareFolder(const std::string& folder, const std::string& id) {
    const std::string marker = MarkerPath(folder);
    // The marker goes into a real folder only: through a link it would land outside the tree.
    if (!platform::IsDirectory(folder)) {
        const int err = platform::Exists(folder) ? 20 /* ENOTDIR */ : 2 /* ENOENT */;
        Log(kLogError, "CFileCache::_SetShareFolder", "Fail to creat file \"%s\"", marker.c_str());
        _ShowFileError(marker, err);
        return false;
    }
    platform::FileStat st;
    if (platform::Stat(marker, &st) && st.kind == platform::EntryKind::File)
        platform::SetFileAttributes(marker, platform::kAttrNormal);
    platform::File file;
    if (!file.Open(marker, platform::File::Mode::CreateTrunc)) {
        const int err = platform::LastError();
        Log(kLogError, "CFileCache::_SetShareFolder", "Fail to creat file \"%s\"", marker.c_str());
        _ShowFileError(marker, err);
        return false;
    }
    if (!file.WriteAll(id.data(), id.size())) {
        // A cut-off id would name another share: leave no marker rather than a wrong one.
        Log(kLogError, "CFileCache::_SetShareFolder", "Fail to write file \"%s\"", marker.c_str());
        file.Close();
        platform::RemoveFile(marker);
        return false;
    }
    file.Close();
    platform::SetFileAttributes(marker, kMarkerAttributes);
    return true;
}

bool CFileCache::SetShareFolder(const std::string& path, const std::string& id) {
    std::string abs;
    if (!_LocalPath(path, &abs, "CFileCache::SetShareFolder"))
        return false;
    return _SetShareFolder(abs, id);
}

// ---- Removal ----

bool CFileCache::Remove(const std::string& path) {
    std::string abs;
    if (!_LocalPath(path, &abs, "CFileCache::Remove"))
        return false;
    // The passes remove entries below the root; the root itself goes only with the user.
    if (!root_.empty() && _UnderRoot(abs, true) && !_UnderRoot(abs, false)) {
        Log(kLogError, "CFileCache::Remove", "Refuse to remove the sync root: %s", abs.c_str());
        return false;
    }
    if (CUtil::IsDirectory(abs)) {
        Log(kLogInfo, "CFileCache::Remove", "Remove a local folder: %s", abs.c_str());
        return CUtil::DeleteFolder(abs);
    }
    Log(kLogInfo, "CFileCache::Remove", "Remove a local file: %s", abs.c_str());
    platform::FileStat st;
    if (platform::Stat(abs, &st) && st.kind == platform::EntryKind::File)
        platform::SetFileAttributes(abs, platform::kAttrNormal);
    return platform::RemoveFile(abs);
}

bool CFileCache::RemoveShareMarker(const std::string& folder) {
    Remove(MarkerPath(folder));
    return true;
}

bool CFileCache::RemoveFolderIcon(const std::string& folder) {
    Remove(JoinName(folder, kFolderIconFile));
    const std::string list = JoinName(folder, kHiddenListName);
    if (IsOwnHiddenList(list))
        Remove(list);
    _NotifyShell(folder);
    RefreshShellIcons();
    return true;
}

void CFileCache::RefreshShellIcons() {
    Log(kLogDebug, "CFileCache::RefreshShellIcons",
        "No icon refresh needed: file managers follow changes themselves");
}

void CFileCache::_NotifyShell(const std::string& path) const {
    Log(kLogDebug, "CFileCache::NotifyShell", "Item \"%s\" changed; file managers follow it themselves",
        path.c_str());
}
