// CWork: the home folder as a pass needs it. A home folder that is missing (a disk not mounted, a
// folder moved away), on another file system than when it was last seen, or empty while the
// journal remembers files on the disk would read as "everything deleted here", and the upload
// phase would remove it all on the service. Sync pauses instead, tells the user, and resumes
// when the folder is back or when the user chooses to start over (a merge that deletes nothing).
#include <string>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "journal/filejournal.h"
#include "platform/file.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "store/filecache.h"
#include "sync/work.h"
#include "util/util.h"

namespace {

// The configuration row that remembers the home folder's file system.
constexpr const char* kHomeFileSystemKey = "home_fs_id";

// Entries of the user's, apart from the client's own decoration and half-built files.
bool HoldsUserEntries(const std::string& home) {
    std::vector<platform::DirEntry> entries;
    if (!platform::ListDir(home, &entries))
        return true;  // unknown: not taken for empty
    const std::string part = CFileCache::kPartSuffix;
    for (const platform::DirEntry& e : entries) {
        const std::string& n = e.name;
        if (n == CFileCache::kFolderIconFile || n == CFileCache::kShareMarkerName)
            continue;
        if (n == CFileCache::kHiddenListName &&
            CFileCache::IsOwnHiddenList(std::string(home).append("/").append(n)))
            continue;
        if (n.size() > part.size() && n[0] == '.' &&
            n.compare(n.size() - part.size(), part.size(), part) == 0)
            continue;
        return true;
    }
    return false;
}

}  // namespace

std::string CWork::StoredHomeFileSystem() {
    std::string value;
    if (!config_ || !config_->ReadStoredValue(kHomeFileSystemKey, &value))
        return std::string();
    return value;
}

void CWork::StoreHomeFileSystem(const std::string& id) {
    if (!config_ || !config_->OpenDB())
        return;
    if (!config_->SetValueByKey(kHomeFileSystemKey, id))
        Log(kLogWarn, "CWork::CheckHome", "Fail to store the home folder's file system");
    config_->CloseDB();
}

int64_t CWork::OnDiskRows() {
    int64_t rows = -1;
    if (fileJournal_ && fileJournal_->OpenDB()) {
        if (!fileJournal_->CountOnDisk(&rows))
            rows = -1;
        fileJournal_->CloseDB();
    }
    return rows;
}

bool CWork::HomeVanished(const std::string& home) {
    return !platform::IsDirectory(home) && OnDiskRows() != 0;
}

CWork::HomeState CWork::CheckHome() {
    if (!fileCache_ || !fileJournal_ || fileCache_->GetRoot().empty())
        return HomeState::kReady;
    const std::string home = fileCache_->GetRoot();
    const int64_t rows = OnDiskRows();
    if (!platform::IsDirectory(home)) {
        // Nothing remembered, nothing to lose: a fresh home folder is made.
        if (rows == 0 && fileCache_->SetFolder(home))
            return HomeState::kReady;
        return HomeState::kMissing;
    }
    std::string now;
    if (platform::FileSystemId(home, &now)) {
        const std::string stored = StoredHomeFileSystem();
        if (!stored.empty() && stored != now && rows != 0)
            return HomeState::kOtherFileSystem;
        if (stored != now)
            StoreHomeFileSystem(now);
    }
    if (rows != 0 && !HoldsUserEntries(home))
        return HomeState::kEmptied;
    return HomeState::kReady;
}

bool CWork::HomeReady() {
    const char* tag = "CWork::CheckHome";
    const HomeState state = CheckHome();
    const std::string home = fileCache_ ? fileCache_->GetRoot() : std::string();
    if (state == HomeState::kReady) {
        if (homePaused_) {
            homePaused_ = false;
            Log(kLogInfo, tag, "The home folder %s is back: sync resumes", home.c_str());
            ShowBalloon(CUtil::TrShown("Work", "主文件夹已恢复，继续同步。"), GetUser());
            // The watch ended with the folder; a watch that the sign-in left off stays off.
            if (watcherFailed_.load())
                StartFileMonitor(home);
        }
        return true;
    }
    if (state == HomeState::kEmptied)
        return AskAboutEmptiedHome(home);
    const std::string text = platform::WithArg(
        state == HomeState::kMissing
            ? CUtil::TrShown("Work", "同步已暂停：主文件夹 %1 不见了。把它放回原处，同步会自动继续。")
            : CUtil::TrShown("Work", "同步已暂停：主文件夹 %1 不在原来的磁盘上（磁盘可能没有挂载）。"),
        home);
    ShowStatus(text);
    ShowTip(text);
    if (homePaused_)
        return false;
    homePaused_ = true;
    LogText(kLogWarn, tag, "Sync paused, nothing is removed on the service: " + text);
    ShowBalloon(text, GetUser());
    const std::string question =
        text +
        CUtil::TrShown("Work",
                       "\n要重新开始同步吗？服务器上的文件会重新下载到主文件夹，任何一边都不会删除文件。"
                       "选“否”则等待主文件夹恢复。");
    if (platform::ShowMessageBox(question, "Kestrine",
                                 platform::MB_YESNO | platform::MB_ICONWARNING | platform::MB_DEFBUTTON2) !=
        platform::IDYES)
        return false;
    StartOver();
    return true;
}

bool CWork::AskAboutEmptiedHome(const std::string& home) {
    // Emptied on purpose, or by a mistake: the service keeps everything unless the user says so.
    const std::string text = platform::WithArg(
        CUtil::TrShown("Work",
                       "主文件夹 %1 是空的，而上次同步时它有文件。\n要在服务器上也删除这些文件吗？"
                       "选“否”则从服务器取回它们，任何一边都不会删除文件。"),
        home);
    const int answer = platform::ShowMessageBox(
        text, "Kestrine", platform::MB_YESNO | platform::MB_ICONWARNING | platform::MB_DEFBUTTON2);
    if (answer == platform::IDYES) {
        Log(kLogWarn, "CWork::CheckHome",
            "The home folder %s is empty: the user removes everything on the service", home.c_str());
        removalAgreed_ = true;
        return true;
    }
    Log(kLogWarn, "CWork::CheckHome", "The home folder %s is empty: everything comes down again",
        home.c_str());
    ShowBalloon(CUtil::TrShown("Work", "主文件夹是空的：服务器上的文件会重新下载，没有删除任何文件。"),
                GetUser());
    StartOver();
    return true;
}

void CWork::StartOver() {
    const std::string home = fileCache_->GetRoot();
    Log(kLogWarn, "CWork::StartOver", "Start over with the home folder %s: a full download, nothing removed",
        home.c_str());
    fileCache_->SetFolder(home);
    std::string now;
    if (platform::FileSystemId(home, &now))
        StoreHomeFileSystem(now);
    homePaused_ = false;
    startOver_ = true;
    if (watcherFailed_.load())
        StartFileMonitor(home);
}
