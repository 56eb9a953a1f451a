// CFileCache: share markers, decoration removal and removal of local files and folders.
#include "store/filecache.h"

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "util/util.h"

namespace {

constexpr uint32_t kMarkerAttributes = platform::kAttrHidden | platform::kAttrSystem;

// The message box a failed file operation raises: the file and the system's reason.
void ShowFileError(const std::string& path, int err) {
    platform::ShowMessageBox(path + "\n" + platform::ErrorText(err), "Kestrine",
                             platform::MB_OK | platform::MB_ICONERROR);
}

}  // namespace

std::string CFileCache::MarkerPath(const std::string& folder) {
    if (!folder.empty() && folder.back() == '/')
        return folder + kShareMarkerName;
    return folder + "/" + kShareMarkerName;
}

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
        ShowFileError(marker, err);
        return false;
    }
    platform::FileStat st;
    if (platform::Stat(marker, &st) && st.kind == platform::EntryKind::File)
        platform::SetFileAttributes(marker, platform::kAttrNormal);
    platform::File file;
    if (!file.Open(marker, platform::File::Mode::CreateTrunc)) {
        const int err = platform::LastError();
        Log(kLogError, "CFileCache::_SetShareFolder", "Fail to creat file \"%s\"", marker.c_str());
        ShowFileError(marker, err);
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

bool CFileCache::Remove(const std::string& path) {
    if (CUtil::IsDirectory(path)) {
        Log(kLogInfo, "CFileCache::Remove", "Remove a local folder: %s", path.c_str());
        return CUtil::DeleteFolder(path);
    }
    Log(kLogInfo, "CFileCache::Remove", "Remove a local file: %s", path.c_str());
    platform::FileStat st;
    if (platform::Stat(path, &st) && st.kind == platform::EntryKind::File)
        platform::SetFileAttributes(path, platform::kAttrNormal);
    return platform::RemoveFile(path);
}

bool CFileCache::RemoveShareMarker(const std::string& folder) {
    Remove(MarkerPath(folder));
    return true;
}

bool CFileCache::RemoveFolderIcon(const std::string& folder) {
    const std::string ini =
        (!folder.empty() && folder.back() == '/') ? folder + kFolderIconFile : folder + "/" + kFolderIconFile;
    Remove(ini);
    Log(kLogDebug, "CFileCache::RemoveFolderIcon",
        "Icon of \"%s\" changed; file managers reload it themselves", folder.c_str());
    RefreshShellIcons();
    return true;
}

void CFileCache::RefreshShellIcons() {
    Log(kLogDebug, "CFileCache::RefreshShellIcons",
        "No icon refresh needed: file managers follow changes themselves");
}
