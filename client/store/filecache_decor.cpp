// CFileCache: folder decoration (desktop.ini with the product's icons) and the sync states of
// paths and their parents in the shared status area.
#include <cstdio>
#include <string>

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/system.h"
#include "store/filecache.h"
#include "util/ascii.h"
#include "util/util.h"

namespace {

constexpr int32_t kStateSynced = 3;

std::string InstallFolder() {
    std::string path;
    if (!CUtil::GetInstallPath(&path) || path.empty())
        path = platform::InstallResourceDir();
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// True when `path` is `stop` or one of its parents (letter case ignored).
bool IsSelfOrParentOf(const std::string& path, const std::string& stop) {
    if (!ascii::StartsWithNoCase(stop, path))
        return false;
    return stop.size() == path.size() || stop[path.size()] == '/';
}

// A user's list is read whole up to this size; a larger one is left as it is.
constexpr int64_t kHiddenListReadLimit = 1 << 20;

// True when one line of the list (a "\r" before its end tolerated) is exactly `name`.
bool ListsName(const std::string& text, const char* name) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        size_t last = end;
        if (last > start && text[last - 1] == '\r')
            --last;
        if (text.compare(start, last - start, name) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

bool CFileCache::_SetFolderIcon(const std::string& folder, const std::string& icon,
                                const std::string& owner) {
    if (!CUtil::IsDirectory(folder))
        return false;
    // The folder is marked read-only; on Linux that is only the attribute, it stays writable.
    uint32_t attrs = platform::GetFileAttributes(folder);
    if (attrs == platform::kInvalidAttributes)
        attrs = 0;
    platform::SetFileAttributes(folder, (attrs & ~platform::kAttrDirectory) | platform::kAttrReadOnly);

    const std::string ini = JoinName(folder, kFolderIconFile);
    platform::FileStat st;
    if (platform::Stat(ini, &st) && st.kind == platform::EntryKind::File)
        platform::SetFileAttributes(ini, platform::kAttrNormal);
    platform::File file;
    if (!file.Open(ini, platform::File::Mode::CreateTrunc)) {
        const int err = platform::LastError();
        Log(kLogError, "CFileCache::_SetFolderIcon", "Fail to creat file \"%s\"", ini.c_str());
        _ShowFileError(ini, err);
        return false;
    }
    std::string text = "[.ShellClassInfo]\r\nIconFile=" + icon + "\r\nIconIndex=0\r\n";
    if (owner.empty())
        text += "InfoTip=Kestrine\r\n";
    else
        text += "InfoTip=share from " + owner + "\r\n";
    if (!file.WriteAll(text.data(), text.size()))
        Log(kLogWarn, "CFileCache::_SetFolderIcon", "Fail to write file \"%s\"", ini.c_str());
    file.Close();
    platform::SetFileAttributes(ini, platform::kAttrHidden | platform::kAttrSystem);
    _ListIconFileAsHidden(folder);
    _NotifyShell(folder);
    RefreshShellIcons();
    return true;
}

bool CFileCache::IsOwnHiddenList(const std::string& path) {
    platform::FileStat st;
    std::string text;
    const size_t own = std::char_traits<char>::length(kHiddenListLine);
    return platform::Stat(path, &st) && st.kind == platform::EntryKind::File &&
           st.size == static_cast<int64_t>(own) && platform::ReadFileToString(path, &text, own + 1) &&
           text == kHiddenListLine;
}

bool CFileCache::_ListIconFileAsHidden(const std::string& folder) {
    const char* tag = "CFileCache::_ListIconFileAsHidden";
    const std::string list = JoinName(folder, kHiddenListName);
    platform::FileStat st;
    std::string text;
    if (platform::Stat(list, &st)) {
        if (st.kind != platform::EntryKind::File || st.size > kHiddenListReadLimit) {
            Log(kLogWarn, tag, "Leave \"%s\" as it is: not a regular file of a list's size", list.c_str());
            return false;
        }
        if (!platform::ReadFileToString(list, &text, kHiddenListReadLimit + 1)) {
            Log(kLogWarn, tag, "Fail to read \"%s\": %s", list.c_str(),
                platform::ErrorText(platform::LastError()).c_str());
            return false;
        }
        if (ListsName(text, kFolderIconFile))
            return true;
    }
    // Appended, never rewritten: whatever the user listed stays, even if this write fails halfway.
    std::string add = text.empty() || text.back() == '\n' ? "" : "\n";
    add += kHiddenListLine;
    platform::File file;
    if (!file.Open(list, platform::File::Mode::Append) || !file.WriteAll(add.data(), add.size())) {
        Log(kLogWarn, tag, "Fail to write \"%s\": %s", list.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
        return false;
    }
    return true;
}

bool CFileCache::SetHomeFolderIcon(const std::string& folder) {
    std::string abs;
    if (!_LocalPath(folder, &abs, "CFileCache::SetHomeFolderIcon"))
        return false;
    return _SetFolderIcon(abs, InstallFolder() + "/res/Home.ico", "");
}

bool CFileCache::SetShareFolderIcon(const std::string& folder, bool sharedTo, const std::string& owner) {
    std::string abs;
    if (!_LocalPath(folder, &abs, "CFileCache::SetShareFolderIcon"))
        return false;
    const char* icon = sharedTo ? "/res/ShareTo.ico" : "/res/ShareFrom.ico";
    return _SetFolderIcon(abs, InstallFolder() + icon, owner);
}

void CFileCache::_StoreUpToRoot(const std::string& abs, int32_t state) {
    if (!_UnderRoot(abs, false)) {
        sharedStatus_.SetState(abs, state);
        return;
    }
    for (std::string p = abs; _UnderRoot(p, false); p = ParentOf(p))
        sharedStatus_.SetState(p, state);
}

void CFileCache::SetPathState(const std::string& path, int32_t state) {
    if (path.empty())
        return;
    std::string abs = ascii::Lowered(path);
    ToAbsolutePath(&abs);
    if (state == kStateSynced)
        sharedStatus_.SetState(abs, state);
    else
        _StoreUpToRoot(abs, state);
    _NotifyShell(abs);
}

void CFileCache::SetPathStateUpTo(const std::string& path, int32_t state, const std::string& stopPath) {
    std::string abs = ascii::Lowered(path);
    ToAbsolutePath(&abs);
    std::string stop = stopPath;
    if (!stop.empty())
        ToAbsolutePath(&stop);
    // The nearest common ancestor with the stop path and everything above it stay as they are.
    for (std::string p = abs; _UnderRoot(p, false); p = ParentOf(p)) {
        if (!stop.empty() && IsSelfOrParentOf(p, stop))
            break;
        sharedStatus_.SetState(p, state);
        _NotifyShell(p);
    }
}

void CFileCache::SetPathProgress(const std::string& path, const SharedStatusValues& values) {
    std::string abs = ascii::Lowered(path);
    ToAbsolutePath(&abs);
    sharedStatus_.SetStatus(abs, values.state, values.progress1, values.progress2);
    // Leaving a folder: the folder just finished shows as synced.
    if (!lastStatusPath_.empty() && abs != lastStatusPath_) {
        const std::string lastParent = ParentOf(lastStatusPath_);
        if (lastParent != ParentOf(abs) && _UnderRoot(lastParent, false))
            sharedStatus_.SetState(lastParent, kStateSynced);
    }
    lastStatusPath_ = abs;
    _StoreUpToRoot(abs, values.state);
    _NotifyShell(abs);
}
