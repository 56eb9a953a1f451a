// CWork: local deletions reach the service, taking only what this computer saw. Right before the
// service removes an entry the client looks at it again: a file goes only in the version the
// journal recorded, a folder only when everything the service holds under it is known to the
// journal as on the disk and unchanged. What the service holds beyond that stays there, and the
// journal forgets it, so the next pass brings it down. A pass that would remove most of the tree
// asks the user first.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "journal/filejournal.h"
#include "platform/file.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "service/back.h"
#include "store/filecache.h"
#include "sync/decide.h"
#include "sync/serverpath.h"
#include "sync/work.h"
#include "util/util.h"

namespace {

using serverpath::IsInside;
using serverpath::ParentOf;
using serverpath::Rebase;

constexpr int kStatusSending = 2;
constexpr int kStatusInStep = 3;
// Refusals that answer a fresh look.
constexpr int kReasonIsFolder = 5;
constexpr int kReasonNoFile = 7;
constexpr int kReasonNotFolder = 10;
// The mark of a name an entry steps aside to before its removal.
constexpr const char* kAsideMark = ".kestrine-removing-";

int Components(const std::string& rel) {
    return static_cast<int>(std::count(rel.begin(), rel.end(), '/'));
}

// What a refused or failed look means; `ack` is empty when no reply head was read.
decide::Fresh FromRefusal(CBack& back, const std::string& ack, int missing, int otherKind) {
    if (ack.empty() || ack == "OK")
        return decide::Fresh::kFailed;
    const int code = static_cast<int>(std::strtol(back.GetReason().c_str(), nullptr, 10));
    if (code == missing)
        return decide::Fresh::kMissing;
    return code == otherKind ? decide::Fresh::kOtherKind : decide::Fresh::kFailed;
}

// The hidden, unique name beside `path` that an entry takes on the service while it is looked at
// before its removal.
std::string AsideName(const std::string& path) {
    const size_t slash = path.rfind('/');
    std::string name = path.substr(slash + 1);
    if (name.size() > 160) {
        std::string digest;
        CUtil::GetMd5String(name.data(), name.size(), &digest);
        name = digest;
    }
    static std::mt19937_64 rng{std::random_device{}()};
    char tail[24];
    std::snprintf(tail, sizeof tail, "%016llx", static_cast<unsigned long long>(rng()));
    return path.substr(0, slash + 1) + "." + name + kAsideMark + tail;
}

}  // namespace

decide::Fresh CWork::LookAtFile(const std::string& path, CFileInfo* fresh) {
    std::string ack;
    if (back_->Download(path, &ack, fresh))
        return decide::Fresh::kEntry;
    return FromRefusal(*back_, ack, kReasonNoFile, kReasonIsFolder);
}

decide::Fresh CWork::LookAtFolder(const std::string& path, std::map<std::string, CFileInfo>* listing) {
    std::string ack;
    if (back_->GetList(path, &ack, listing))
        return decide::Fresh::kEntry;
    return FromRefusal(*back_, ack, kReasonNoFile, kReasonNotFolder);
}

// The rows of a folder and of everything the journal has under it (a shared folder's contents
// are keyed by its id).
void CWork::ForgetFolderRows(const CJournalItem& item) {
    fileJournal_->RemoveAll(item.key);
    if (item.active.dirFlag >= 2) {
        const std::string id = std::to_string(item.active.dirFlag);
        fileJournal_->RemoveAll(id);
        fileJournal_->RemoveDBShare(id);
    }
    fileJournal_->Remove(item.key);
}

bool CWork::StepAside(const std::string& path, std::string* aside, bool* gone) {
    *gone = false;
    *aside = AsideName(path);
    std::string ack;
    if (back_->Rename(path, *aside, &ack))
        return true;
    *gone = FromRefusal(*back_, ack, kReasonNoFile, -1) == decide::Fresh::kMissing;
    // Refused otherwise (a shared folder in the way, say): looked at where it is.
    *aside = path;
    return !ack.empty() && ack != "OK";
}

void CWork::PutBack(const std::string& aside, const std::string& path) {
    const char* tag = "CWork::CheckLocalDelete";
    if (aside == path)
        return;
    std::string ack;
    if (back_->Rename(aside, path, &ack))
        return;
    // Something took the name meanwhile: what was set aside stays beside it.
    const std::string conflict = CUtil::GetConflictName(path);
    if (back_->Rename(aside, conflict, &ack)) {
        Log(kLogWarn, tag, "%s is back on the service as %s", path.c_str(), conflict.c_str());
        return;
    }
    // Kept on the service under the name it stepped aside to; the next pass brings it down.
    Log(kLogError, tag, "Fail to put %s back from %s", path.c_str(), aside.c_str());
}

CWork::Removed CWork::RemoveFileSeen(const CJournalItem& item) {
    const char* tag = "CWork::CheckLocalDelete";
    const CFileInfo& seen = item.active;
    // Set aside under a name no other computer writes to, the entry can change no more between
    // the look and the removal.
    std::string where;
    bool gone = false;
    if (!StepAside(seen.path, &where, &gone) && !gone) {
        Log(kLogError, tag, "Fail to look at {%s} on the service before its removal", seen.path.c_str());
        return Removed::kFailed;
    }
    CFileInfo fresh;
    const decide::Fresh look = gone ? decide::Fresh::kMissing : LookAtFile(where, &fresh);
    Removed result = Removed::kDone;
    switch (decide::OnLocalDeletion(seen, look, fresh)) {
        case decide::Removal::kRetry:
            Log(kLogError, tag, "Fail to look at {%s} on the service before its removal", seen.path.c_str());
            PutBack(where, seen.path);
            return Removed::kFailed;
        case decide::Removal::kGone:
            Log(kLogInfo, tag, "%s is gone from the service already", seen.path.c_str());
            break;
        case decide::Removal::kLeave:
            // Another computer changed it since this one saw it: that version comes down again.
            Log(kLogWarn, tag, "Keep %s on the service: it holds another version than this computer saw",
                seen.path.c_str());
            PutBack(where, seen.path);
            syncPending_.store(1);
            result = Removed::kLeft;
            break;
        case decide::Removal::kRemove: {
            std::string ack;
            if (!back_->Remove(where, &ack)) {
                Log(kLogError, tag, "Fail to request Back Server for delete file {%s}", seen.path.c_str());
                PutBack(where, seen.path);
                return Removed::kFailed;
            }
            break;
        }
    }
    if (!fileJournal_->Remove(item.key)) {
        Log(kLogError, tag, "Fail to delete file {%s} from DB", item.key.c_str());
        return Removed::kFailed;
    }
    return result;
}

CWork::Removed CWork::RemoveFolderSeen(const CJournalItem& item) {
    const char* tag = "CWork::CheckLocalDelete";
    const CFileInfo& seen = item.active;
    const bool share = seen.dirFlag >= 2;
    const std::string id = std::to_string(seen.dirFlag);
    // A plain folder steps aside first (see RemoveFileSeen); a shared folder is looked at in place.
    std::string where = seen.path;
    bool gone = false;
    if (!share && !StepAside(seen.path, &where, &gone) && !gone) {
        Log(kLogError, tag, "Fail to look at {%s} on the service before its removal", seen.path.c_str());
        return Removed::kFailed;
    }
    std::map<std::string, CFileInfo> listed;
    switch (gone ? decide::Fresh::kMissing : LookAtFolder(where, &listed)) {
        case decide::Fresh::kFailed:
            Log(kLogError, tag, "Fail to look at {%s} on the service before its removal", seen.path.c_str());
            PutBack(where, seen.path);
            return Removed::kFailed;
        case decide::Fresh::kMissing:
            Log(kLogInfo, tag, "%s is gone from the service already", seen.path.c_str());
            ForgetFolderRows(item);
            return Removed::kDone;
        case decide::Fresh::kOtherKind:
            Log(kLogWarn, tag, "Keep %s on the service: it is no longer a folder", seen.path.c_str());
            PutBack(where, seen.path);
            ForgetFolderRows(item);
            syncPending_.store(1);
            return Removed::kLeft;
        case decide::Fresh::kEntry:
            break;
    }
    // The listing under the names the journal knows.
    std::map<std::string, CFileInfo> listing;
    for (auto& [key, entry] : listed) {
        entry.path = Rebase(entry.path, where, seen.path);
        listing[CFileJournal::MakeKey(entry.path)] = std::move(entry);
    }
    CJournalItem holder;
    const decide::JournalLookup lookup = [this, &holder](const std::string& key) -> const CJournalItem* {
        return fileJournal_->Lookup(key, &holder) ? &holder : nullptr;
    };
    const decide::FolderRemoval plan =
        decide::PlanFolderRemoval(item.key, share ? id : item.key, listing, lookup);
    if (plan.whole) {
        std::string ack;
        const std::string target = share ? id : where;
        if (!back_->Remove(target, &ack)) {
            Log(kLogError, tag, "Fail to request Back Server for delete file {%s}", target.c_str());
            PutBack(where, seen.path);
            return Removed::kFailed;
        }
        if (share)
            Log(kLogInfo, tag, " remove a share folder(%s): %s", id.c_str(), seen.path.c_str());
        ForgetFolderRows(item);
        return Removed::kDone;
    }
    Log(kLogWarn, tag, "Keep %s on the service: it holds entries this computer has not seen",
        seen.path.c_str());
    const Removed result = RemovePlanned(plan, where, seen.path);
    PutBack(where, seen.path);
    // Rows under the folder that the service no longer lists are gone there already.
    CJournalItem row;
    std::vector<std::string> rows;
    const std::string contents = share ? id : item.key;
    for (int more = fileJournal_->GetFirst(&row); more; more = fileJournal_->GetNext(&row)) {
        if (IsInside(row.key, contents) && row.key != contents && !listing.count(row.key))
            rows.push_back(row.key);
    }
    for (const std::string& key : rows)
        fileJournal_->Remove(key);
    syncPending_.store(1);
    return result;
}

CWork::Removed CWork::RemovePlanned(const decide::FolderRemoval& plan, const std::string& where,
                                    const std::string& folder) {
    Removed result = Removed::kLeft;
    for (const std::string& path : plan.remove) {
        std::string ack;
        const std::string target = Rebase(path, folder, where);
        if (!back_->Remove(target, &ack)) {
            Log(kLogError, "CWork::CheckLocalDelete", "Fail to request Back Server for delete file {%s}",
                path.c_str());
            result = Removed::kFailed;
            continue;
        }
        const std::string key = CFileJournal::MakeKey(path);
        fileJournal_->RemoveAll(key);
        fileJournal_->Remove(key);
    }
    for (const std::string& key : plan.forget)
        fileJournal_->Remove(key);
    return result;
}

CWork::Removed CWork::RemoveSeen(const CJournalItem& item) {
    const CFileInfo& seen = item.active;
    if (seen.dirFlag >= 2) {
        std::string owner;
        fileJournal_->GetShareOwner(std::to_string(seen.dirFlag), &owner);
        if (!owner.empty() && owner != GetUser()) {
            // A member's removal only leaves the shared folder: nothing of it is deleted.
            const std::string id = std::to_string(seen.dirFlag);
            std::string ack;
            if (!back_->Remove(id, &ack)) {
                Log(kLogError, "CWork::CheckLocalDelete", "Fail to request Back Server for delete file {%s}",
                    id.c_str());
                return Removed::kFailed;
            }
            Log(kLogInfo, "CWork::CheckLocalDelete", " remove a share folder(%s): %s", id.c_str(),
                seen.path.c_str());
            ForgetFolderRows(item);
            return Removed::kDone;
        }
    }
    return seen.dirFlag != 0 ? RemoveFolderSeen(item) : RemoveFileSeen(item);
}

CWork::Removed CWork::ReplaceKind(const CJournalItem& known) {
    Log(kLogInfo, "CWork::ReplaceKind", "%s changed its kind here: the service's entry goes first",
        known.active.path.c_str());
    // Only what this computer saw goes; what is left comes down again and meets the new entry as
    // a conflict, so the new entry waits for that pass.
    return RemoveSeen(known);
}

bool CWork::ConfirmMassRemoval(size_t count) {
    if (removalAgreed_)
        return true;  // asked already in this pass
    const std::string text = platform::WithArg(
        CUtil::TrShown("Work",
                       "本次同步将在服务器上删除 %1 个文件和文件夹，超过 Kestrine "
                       "文件夹的一半。\n确定要删除吗？选“否”则保留它们，并从服务器取回本地已删除的文件。"),
        std::to_string(count));
    const int answer = platform::ShowMessageBox(
        text, "Kestrine", platform::MB_YESNO | platform::MB_ICONWARNING | platform::MB_DEFBUTTON2);
    Log(kLogWarn, "CWork::CheckLocalDelete", "%zu removals on the service: %s", count,
        answer == platform::IDYES ? "the user agreed" : "kept, they come down again");
    return answer == platform::IDYES;
}

void CWork::CheckLocalDelete() {
    const char* tag = "CWork::CheckLocalDelete";
    if (!ScanLocal()) {
        Log(kLogError, tag, "Fail to scan local file system");
        passSucceeded_.store(0);
        return;
    }

    // Records on the disk, in root-relative order: a shared folder's contents, keyed by its id,
    // then follow the folder itself, so one removal of the folder covers them.
    struct Entry {
        std::string order;  // the lower-cased root-relative path
        std::string rel;
        CJournalItem item;
    };
    std::vector<Entry> entries;
    CJournalItem item;
    for (int ok = fileJournal_->GetFirst(&item); ok; ok = fileJournal_->GetNext(&item)) {
        if (item.onDisk != 1)
            continue;
        std::string rel = item.active.path.empty() ? item.key : item.active.path;
        if (!fileJournal_->TrimDBServerPah(rel)) {
            Log(kLogInfo, tag, "Fail to trim server path for file {%s}", item.key.c_str());
            continue;
        }
        std::string order = CFileJournal::MakeKey(rel);
        entries.push_back({std::move(order), std::move(rel), std::move(item)});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.order < b.order; });

    // The deletions: the top-most missing paths (a folder's removal covers what it held).
    std::vector<const Entry*> deleted;
    size_t missing = 0;
    std::string lastDeleted;  // lower case
    for (const Entry& e : entries) {
        CFileInfo local;
        if (fileCache_->Find(e.rel, &local))
            continue;
        // The scan leaves out links, filtered names and folders nested too deep: what is still on
        // the disk was not deleted, and the service keeps it.
        if (Components(e.rel) > CFileCache::kMaxScanDepth ||
            platform::Exists(fileCache_->GetRoot() + e.rel)) {
            Log(kLogInfo, tag, "Keep %s: it is on the disk but not synced", e.rel.c_str());
            continue;
        }
        ++missing;
        if (!lastDeleted.empty() && IsInside(e.order, lastDeleted))
            continue;
        lastDeleted = e.order;
        deleted.push_back(&e);
    }
    if (decide::IsMassRemoval(missing, fileJournal_->MapSize()) && !ConfirmMassRemoval(missing)) {
        // Kept: the journal forgets them, and the next pass brings them down again.
        for (const Entry* e : deleted)
            ForgetFolderRows(e->item);
        syncPending_.store(1);
        return;
    }

    std::string currentFolder, markedParent;
    for (const Entry* e : deleted) {
        if (StopRequested()) {
            Log(kLogInfo, tag, "User request logout");
            passSucceeded_.store(0);
            return;
        }
        const CFileInfo& active = e->item.active;
        Log(kLogInfo, tag, "删除文件: %s", active.path.c_str());
        ShowStatus(CUtil::TrShown("Work", "删除文件: ") + active.path);
        std::string abs = e->rel;
        fileCache_->ToAbsolutePath(&abs);
        ShowTip(CUtil::TrShown("Work", "删除文件: ") + abs);
        status_.SetCurrent("delete", e->rel);
        LeaveFolder(&currentFolder, e->rel);
        currentFolder = ParentOf(e->rel);
        if (!currentFolder.empty()) {
            fileCache_->SetPathState(currentFolder, kStatusSending);
            markedParent = currentFolder;
        }
        if (!MayTryItem(e->rel))
            continue;
        if (!RunItem(e->rel, notsynced::kRemove,
                     [&] { return RemoveSeen(e->item) == Removed::kFailed ? 0 : 1; })) {
            passSucceeded_.store(0);
            return;
        }
    }
    if (!markedParent.empty() && passSucceeded_.load())
        fileCache_->SetPathStateUpTo(markedParent, kStatusInStep, "");
}
