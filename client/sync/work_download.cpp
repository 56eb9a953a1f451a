// CWork: the download phase of a pass. Pending server versions become local files and folders,
// built from an identical file already on disk, the local version's chunks, the chunk cache or
// the transmitter; paths the service deleted are removed. Local data the journal did not expect
// is never overwritten: it is kept under its conflict name (or, for a deleted folder, in place)
// and the upload phase sends it back.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "journal/chunkjournal.h"
#include "journal/filejournal.h"
#include "platform/file.h"
#include "service/transmitter.h"
#include "store/filecache.h"
#include "sync/decide.h"
#include "sync/journalsession.h"
#include "sync/serverpath.h"
#include "sync/transferlanes.h"
#include "sync/work.h"
#include "util/util.h"

namespace {

constexpr int64_t kAssemblyLimit = CFileCache::kMemoryChunkLimit;  // 20 MiB
constexpr int kStateBusy = 2;
constexpr int kStateInStep = 3;
constexpr const char* kLabelDownload = KESTRINE_TR_NOOP("Work", "下载");
constexpr const char* kLabelChange = KESTRINE_TR_NOOP("Work", "修改");
constexpr const char* kLabelDelete = KESTRINE_TR_NOOP("Work", "删除");

// A recent name's label in the user's language; the tray reads the path after the label's first
// space, so a translated label is one word.
std::string Label(const char* label) {
    return CUtil::TrShown("Work", label);
}

enum class LocalKind { kNone, kFile, kFolder, kOther };

bool IsFolder(const CFileInfo& info) {
    return info.dirFlag != 0;
}

decide::Local ToDecide(LocalKind kind) {
    switch (kind) {
        case LocalKind::kNone:
            return decide::Local::kNone;
        case LocalKind::kFile:
            return decide::Local::kFile;
        case LocalKind::kFolder:
            return decide::Local::kFolder;
        case LocalKind::kOther:
            break;
    }
    return decide::Local::kOther;
}

// The local entry at `rel` as the disk holds it now (the user may have changed it since the last
// scan). The scan still finds a name that differs only in letter case. `out->path` is absolute;
// *seen (when given) is what the look found, so that the entry can be checked again before it is
// replaced or removed.
LocalKind FindLocal(CFileCache& cache, const std::string& rel, CFileInfo* out,
                    platform::FileStat* seen = nullptr) {
    CFileInfo scanned;
    const bool inScan = cache.Find(rel, &scanned);
    std::vector<std::string> names{rel};
    if (inScan && scanned.path != rel)
        names.push_back(scanned.path);
    for (const std::string& name : names) {
        const std::string abs = cache.GetRoot() + name;
        platform::FileStat st;
        if (!platform::Stat(abs, &st))
            continue;
        if (seen)
            *seen = st;
        if (st.kind == platform::EntryKind::File) {
            *out = CFileInfo(abs, 0, st.size);
            out->modifyTime = st.writeTime;
        } else if (st.kind == platform::EntryKind::Directory) {
            const bool known = inScan && scanned.path == name && IsFolder(scanned);
            *out = CFileInfo(abs, known ? scanned.dirFlag : cache.KnownShareAt(name), 0);
            out->modifyTime = 1;
        } else {
            *out = CFileInfo(abs, 0, 0);
            return LocalKind::kOther;
        }
        out->creationTime = st.creationTime;
        out->writeTime = st.writeTime;
        out->accessTime = st.accessTime;
        out->syncState = cache.GetState(name);
        return st.kind == platform::EntryKind::File ? LocalKind::kFile : LocalKind::kFolder;
    }
    return LocalKind::kNone;
}

// Room in a path for the name of a file being built beside the target.
constexpr size_t kPartSlack = 64;

// The root-relative form of a server path, refused (logged, *why the reason the user sees) when
// it could name anything outside the home folder: a name that climbs, or (with `onDisk`) a link
// or file on the way down; when it names one of the client's own files (serverpath::IsReservedName);
// or when this computer cannot hold it (a name or path too long).
bool LocalRel(CFileJournal& journal, CFileCache& cache, const std::string& serverPath, std::string* rel,
              const char* tag, bool onDisk = true, std::string* why = nullptr) {
    std::string r = serverPath;
    const char* reason = serverpath::RefusalOf(serverPath);
    if (reason == nullptr) {
        if (!journal.TrimDBServerPah(r) || !serverpath::IsSafeRelativePath(r))
            reason = notsynced::kUnsafeName;
        else if (serverpath::HasReservedName(r))
            reason = notsynced::kReservedName;  // a share's own path named so
        else if (!serverpath::FitsLocalLimits(cache.GetRoot() + r, kPartSlack))
            reason = notsynced::kTooLong;
        else if (onDisk && !serverpath::StaysUnderRoot(cache.GetRoot(), r))
            reason = notsynced::kInTheWay;
    }
    if (reason) {
        Log(kLogError, tag, "Refuse the server path \"%s\"", serverPath.c_str());
        if (why)
            *why = reason;
        return false;
    }
    *rel = r;
    return true;
}

// Creates the missing folders above `rel` (the user may have deleted one since the last pass).
bool MakeParents(CFileCache& cache, const std::string& rel) {
    for (size_t slash = rel.find('/', 1); slash != std::string::npos; slash = rel.find('/', slash + 1)) {
        const std::string abs = cache.GetRoot() + rel.substr(0, slash);
        if (CUtil::IsDirectory(abs))
            continue;
        if (platform::Exists(abs) || !cache.MkDir(abs))
            return false;
    }
    return true;
}

// Moves the entry at `abs` aside under its conflict name; the new name, or empty on failure.
std::string MoveAside(CFileCache& cache, const std::string& abs) {
    const std::string conflict = CUtil::GetConflictName(abs);
    return cache.Rename(abs, conflict) ? conflict : std::string();
}

// The client's own files inside the folder `abs`: decoration, share marker, a file being built,
// a hidden-name list that holds only the client's line.
bool IsOwnFile(const std::string& abs, const std::string& name) {
    const std::string part = CFileCache::kPartSuffix;
    if (name == CFileCache::kHiddenListName)
        return CFileCache::IsOwnHiddenList(abs + "/" + name);
    return name == CFileCache::kShareMarkerName || name == CFileCache::kFolderIconFile ||
           (name.size() > part.size() + 1 && name[0] == '.' &&
            name.compare(name.size() - part.size(), part.size(), part) == 0);
}

// True when the journal knows the file at `rel` and the disk still holds that version.
bool KnownUnchanged(CFileJournal& journal, const std::string& rel, const platform::FileStat& st) {
    std::string server = rel;
    journal.ToDBSharePath(server);
    CJournalItem item;
    if (!journal.Lookup(server, &item))
        return false;
    const CFileInfo& a = item.active;
    return !a.path.empty() && a.dirFlag == 0 && a.size == st.size && a.modifyTime > 0 &&
           a.modifyTime == st.writeTime;
}

// Empties the local folder `rel` of what the journal knows unchanged, and removes it when nothing
// else is left, deepest folders first. Files created or edited since the last pass, links and
// anything else stay, with the folders that hold them. False when a removal failed; *gone says
// whether the folder itself is gone.
bool ClearFolder(CFileCache& cache, CFileJournal& journal, const std::string& rel, bool* gone) {
    const char* tag = "CWork::ServerDeleteFile";
    *gone = false;
    const std::string abs = cache.GetRoot() + rel;
    std::vector<platform::DirEntry> entries;
    if (!platform::ListDir(abs, &entries)) {
        Log(kLogError, tag, "Fail to list the local folder %s", abs.c_str());
        return false;
    }
    bool ok = true;
    bool keep = false;
    std::vector<std::string> own;
    for (const platform::DirEntry& e : entries) {
        const std::string childRel = rel + "/" + e.name;
        if (e.stat.kind == platform::EntryKind::Directory) {
            bool childGone = false;
            ok = ClearFolder(cache, journal, childRel, &childGone) && ok;
            keep = keep || !childGone;
        } else if (e.stat.kind == platform::EntryKind::File && IsOwnFile(abs, e.name)) {
            own.push_back(abs + "/" + e.name);
        } else if (e.stat.kind == platform::EntryKind::File && KnownUnchanged(journal, childRel, e.stat)) {
            // Still the version that was listed when the folder was looked at, or it stays.
            switch (cache.MoveToTrash(abs + "/" + e.name, &e.stat)) {
                case CFileCache::Trashed::kTrashed:
                case CFileCache::Trashed::kMissing:
                    break;
                case CFileCache::Trashed::kChanged:
                    keep = true;
                    break;
                case CFileCache::Trashed::kFailed:
                    ok = false;
                    keep = true;
                    break;
            }
        } else {
            Log(kLogInfo, tag, "Keep %s: changed or created since the last pass",
                (abs + "/" + e.name).c_str());
            keep = true;
        }
    }
    if (keep)
        return ok;
    for (const std::string& path : own)
        cache.Remove(path);
    // A folder that gained an entry meanwhile cannot be removed, and stays.
    *gone = platform::RemoveDir(abs) || !platform::Exists(abs);
    return ok;
}

// A chunk's block signatures, for deltas against this version later.
void SignBlocks(CChunkInfo* c, const CChunkBuffer& bytes) {
    CUtil::GetBlockSignatures(bytes.GetData(), bytes.GetSize(), &c->blockSums, &c->blockHashes,
                              &c->blockCount);
}

// A folder that is no longer shared loses the share's marker and icon.
void DropShareDecoration(CFileCache& cache, const std::string& abs) {
    cache.RemoveShareMarker(abs);
    cache.RemoveFolderIcon(abs);
}

// Two chunk keys (hexadecimal digests) name the same chunk whatever the letter case of their digits.
bool SameChunkKey(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char c, char d) { return (c | 0x20) == (d | 0x20); });  // hexadecimal digits only
}

// Two chunk lists (keys joined by ",") name the same chunks in the same order.
bool SameChunkLists(const std::string& a, const std::string& b) {
    CFileInfo x, y;
    x.chunkListText = a;
    y.chunkListText = b;
    if (!x.SplitChunkList() || !y.SplitChunkList() || x.chunks.size() != y.chunks.size())
        return false;
    for (size_t i = 0; i < x.chunks.size(); ++i) {
        if (!SameChunkKey(x.chunks[i].key, y.chunks[i].key))
            return false;
    }
    return true;
}

}  // namespace

void CWork::MarkShareFolder(const std::string& abs, int dirFlag) {
    const std::string id = std::to_string(dirFlag);
    std::string owner;
    fileJournal_->GetShareOwner(id, &owner);
    fileCache_->SetShareFolder(abs, id);
    fileCache_->SetShareFolderIcon(abs, owner == GetUser(), owner);
}

int CWork::RecordOnDisk(const CFileInfo& U, const char* tag) {
    if (U.timeAdjusted && !fileJournal_->Modify(U)) {
        Log(kLogError, tag, "Fail to modify a file {%s} from DB", U.path.c_str());
        return 0;
    }
    if (!fileJournal_->OnDisk(U.path)) {
        Log(kLogError, tag, "Fail to ondisk file {%s} to DB", U.path.c_str());
        return 0;
    }
    return 1;
}

int CWork::Download() {
    const char* tag = "CWork::Download";
    CJournalSession session(fileJournal_.get(), tag);
    if (!session.IsOpen())
        return 0;
    if (!LoadJournalMaps(tag, "Fail to load map of FileJournaler",
                         "Fail to load share folder map of FileJournaler"))
        return 0;
    sameContent_.clear();
    sameContentBuilt_ = false;
    // A failed item is skipped (listed for the user), so the deletions still run after one.
    const bool downloaded = CheckDownload() == 1;
    const bool deleted = !StopRequested() && !sessionLost_ && CheckDelete() == 1;
    sameContent_.clear();
    return downloaded && deleted ? 1 : 0;
}

int CWork::CheckDownload() {
    const char* tag = "CWork::CheckDownload";
    // Pending versions in root-relative order, so that every folder comes before what it holds,
    // also the contents of a shared folder (keyed by its id) before or after its own entry.
    std::vector<std::pair<std::string, CJournalItem>> pending;
    CJournalItem item;
    for (int ok = fileJournal_->GetFirst(&item); ok; ok = fileJournal_->GetNext(&item)) {
        if (item.onDisk || item.updated.modifyTime < 0)
            continue;
        if (item.updated.path.empty()) {
            Log(kLogError, tag, "Fail to get a updated file");
            passSucceeded_.store(0);
            continue;
        }
        std::string order = item.updated.path;
        order = fileJournal_->TrimDBServerPah(order) ? CFileJournal::MakeKey(order) : "\xff" + item.key;
        pending.emplace_back(std::move(order), std::move(item));
    }
    if (pending.empty())
        return passSucceeded_.load();
    std::stable_sort(pending.begin(), pending.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    // One scan finds names in any letter case; each item then looks at the disk again.
    if (!ScanLocal()) {
        Log(kLogError, tag, "Fail to scan local file system");
        passSucceeded_.store(0);
        return 0;
    }
    // The chunks of the next new small files come down on the lanes while the walk works.
    struct DropPrefetched {
        std::map<std::string, std::unique_ptr<CChunkBuffer>>* chunks;
        ~DropPrefetched() { chunks->clear(); }
    } dropPrefetched{&prefetched_};
    size_t lookedAhead = 0;
    for (size_t n = 0; n < pending.size(); ++n) {
        const CJournalItem& record = pending[n].second;  // named, not bound: the lambda below captures it
        if (StopRequested()) {
            fileJournal_->CloseDB();
            Log(kLogInfo, tag, "User request logout");
            return 0;
        }
        if (n >= lookedAhead) {
            std::vector<CFileInfo> upcoming;
            for (lookedAhead = n; lookedAhead < pending.size() && upcoming.size() < CTransferLanes::kMaxBatch;
                 ++lookedAhead) {
                const CJournalItem& next = pending[lookedAhead].second;
                if (next.active.path.empty() && next.updated.dirFlag == 0 && next.updated.size > 0 &&
                    next.updated.size <= CTransferLanes::kMaxFileBytes)
                    upcoming.push_back(next.updated);
            }
            PrefetchChunks(&upcoming);
        }
        const std::string path = ItemPathOf(record.updated.path);
        if (!MayTryItem(path))
            continue;  // still pending: the upload phase leaves the path alone
        const bool goOn = RunItem(path, notsynced::kDownload, [&] {
            return record.active.path.empty() ? CheckNew(record.updated)
                                              : CheckUpdated(record.active, record.updated);
        });
        if (!goOn)
            return 0;
    }
    return passSucceeded_.load();
}

int CWork::CheckNew(CFileInfo U) {
    const char* tag = "CWork::CheckNew";
    std::string rel, why;
    if (!LocalRel(*fileJournal_, *fileCache_, U.path, &rel, tag, true, &why)) {
        SetItemReason(why, false);
        return 0;
    }
    const std::string abs = fileCache_->GetRoot() + rel;

    CFileInfo L;
    const LocalKind kind = FindLocal(*fileCache_, rel, &L);
    bool same = false;
    if (decide::NewPathNeedsContent(ToDecide(kind), U)) {
        if (!fileCache_->LoadChunk(&L)) {
            Log(kLogError, tag, "Fail to load chunk from file: %s", L.path.c_str());
            return 0;
        }
        L.FreeChunkBuffers();
        same = decide::SameContent(L, U);
    }
    bool fetch = false;
    switch (decide::OnNewPath(ToDecide(kind), U, same)) {
        case decide::NewPath::kFetch:
            fetch = true;
            break;
        case decide::NewPath::kKeep:
            break;
        case decide::NewPath::kMarkShare:
            MarkShareFolder(L.path, U.dirFlag);
            break;
        case decide::NewPath::kSetTime:
            Log(kLogInfo, tag, "file {%s} exisits on local", L.path.c_str());
            L.modifyTime = U.modifyTime;
            if (!fileCache_->SetFileTime(&L) && L.modifyTime != U.modifyTime) {
                U.modifyTime = L.modifyTime;  // the journal records what the disk keeps
                U.timeAdjusted = 1;
            }
            break;
        case decide::NewPath::kAsideThenFetch: {
            const std::string conflict = MoveAside(*fileCache_, L.path);
            if (conflict.empty()) {
                Log(kLogError, tag, IsFolder(L) ? "Fail to rename to {%s}" : "Fail to rename {%s}",
                    L.path.c_str());
                return 0;
            }
            Log(kLogInfo, tag, "Keep the local %s as %s", L.path.c_str(), conflict.c_str());
            syncPending_.store(1);
            fetch = true;
            break;
        }
    }

    fileCache_->SetPathState(abs, kStateBusy);
    if (fetch && !GetbyLocal(&U) && !DownloadNewFile(&U)) {
        Log(kLogInfo, tag, "Fail to download file {%s}", U.path.c_str());
        return 0;
    }
    if (!RecordOnDisk(U, tag))
        return 0;
    fileCache_->SetState(rel, 1);
    fileCache_->SetPathStateUpTo(abs, kStateInStep, "");
    AddRecentName(Label(kLabelDownload) + " " + abs);
    return 1;
}

int CWork::CheckUpdated(const CFileInfo& A, CFileInfo U) {
    const char* tag = "CWork::CheckUpdated";
    std::string rel, relU, why;
    if (!LocalRel(*fileJournal_, *fileCache_, A.path, &rel, tag, true, &why) ||
        !LocalRel(*fileJournal_, *fileCache_, U.path, &relU, tag, true, &why)) {
        SetItemReason(why, false);
        return 0;
    }
    const std::string abs = fileCache_->GetRoot() + rel;
    fileCache_->SetPathState(abs, kStateBusy);

    CFileInfo L;
    platform::FileStat seen;
    const LocalKind kind = FindLocal(*fileCache_, rel, &L, &seen);
    bool unchanged = false;
    bool same = false;
    if (kind == LocalKind::kFile && !fileCache_->LoadChunk(&L)) {
        Log(kLogError, tag, "Fail to load chunk from file: %s", L.path.c_str());
        return 0;
    }
    if ((kind == LocalKind::kFile || kind == LocalKind::kFolder) && IsFolder(L) == IsFolder(A)) {
        unchanged = L.IsUnchanged(A);
        // An empty file and a folder describe no content: only the same kind can be the same.
        same = IsFolder(L) == IsFolder(U) && decide::SameContent(L, U);
    }

    switch (decide::OnChangedVersion(ToDecide(kind), unchanged, same)) {
        case decide::Changed::kFetchAsConflict:
            return FetchAsConflict(A, U, relU);
        case decide::Changed::kSetTime:
            L.FreeChunkBuffers();
            L.modifyTime = U.modifyTime;
            if (!IsFolder(L) && !fileCache_->SetFileTime(&L) && L.modifyTime != U.modifyTime) {
                U.modifyTime = L.modifyTime;
                U.timeAdjusted = 1;
            }
            break;
        case decide::Changed::kReplace:
            if (!DownloadUpdatedFile(A, &U, &L, &seen)) {
                Log(kLogError, tag, "Fail to download updated file {%s}", A.path.c_str());
                return 0;
            }
            break;
        case decide::Changed::kAsideThenFetch: {
            // Edited here and on the service: the edit is kept under its conflict name.
            L.FreeChunkBuffers();
            const std::string conflict = MoveAside(*fileCache_, L.path);
            if (conflict.empty()) {
                Log(kLogError, tag, "Fail to rename to confict file {%s}", L.path.c_str());
                return 0;
            }
            Log(kLogInfo, tag, "Keep the local %s as %s", L.path.c_str(), conflict.c_str());
            if (!fileJournal_->RemoveActive(A.path)) {
                Log(kLogError, tag, "Fail to remove file {%s} active from DB", A.path.c_str());
                return 0;
            }
            syncPending_.store(1);
            if (!GetbyLocal(&U) && !DownloadNewFile(&U)) {
                Log(kLogInfo, tag, "Fail to download file {%s}", U.path.c_str());
                return 0;
            }
            break;
        }
    }
    if (!RecordOnDisk(U, tag))
        return 0;
    fileCache_->SetState(rel, 1);
    if (unchanged)
        fileCache_->SetPathStateUpTo(abs, kStateInStep, "");
    else
        fileCache_->SetPathState(abs, kStateInStep);
    AddRecentName(Label(kLabelChange) + " " + abs);
    return 1;
}

int CWork::FetchAsConflict(const CFileInfo& A, CFileInfo U, const std::string& relU) {
    const char* tag = "CWork::CheckUpdated";
    // Deleted here while the service changed it: the server version comes down as the conflict
    // copy, and the journal holds it at a path that is empty on the disk, so the upload phase
    // deletes the path on the service.
    if (!fileJournal_->RemoveActive(A.path)) {
        Log(kLogError, tag, "Fail to remove file {%s} active from DB", A.path.c_str());
        return 0;
    }
    if (!GetbyLocal(&U) && !DownloadNewFile(&U)) {
        Log(kLogInfo, tag, "Fail to download file {%s}", U.path.c_str());
        return 0;
    }
    if (!RecordOnDisk(U, tag))
        return 0;
    const std::string fetched = fileCache_->GetRoot() + relU;
    const std::string conflict = MoveAside(*fileCache_, fetched);
    if (conflict.empty()) {
        Log(kLogError, tag, "Fail to rename confict file {%s}", fetched.c_str());
        return 0;
    }
    AddRecentName(Label(kLabelDownload) + " " + conflict);
    status_.AddConflictCopy(conflict);
    syncPending_.store(1);
    return 1;
}

std::map<std::string, std::string>::const_iterator CWork::SameContentOnDisk(const CFileInfo& U) {
    // One walk of the journal per phase instead of one per file: the first file in key order of
    // each size and chunk list, as the journal's own search would find it.
    auto indexKey = [](const CFileInfo& f) { return std::to_string(f.size) + ":" + f.chunkListText; };
    if (!sameContentBuilt_) {
        sameContentBuilt_ = true;
        CJournalItem item;
        for (int ok = fileJournal_->GetFirst(&item); ok; ok = fileJournal_->GetNext(&item)) {
            const CFileInfo& a = item.active;
            if (item.onDisk && a.dirFlag == 0 && a.size > 0)
                sameContent_.emplace(indexKey(a), item.key);
        }
    }
    return sameContent_.find(indexKey(U));
}

int CWork::GetbyLocal(CFileInfo* U) {
    const char* tag = "CWork::GetbyLocal";
    if (IsFolder(*U) || U->size <= 0)
        return 0;
    auto hit = SameContentOnDisk(*U);
    CJournalItem found;
    if (hit == sameContent_.end() || !fileJournal_->Lookup(hit->second, &found))
        return 0;
    Log(kLogInfo, tag, "Get copy from local file: %s(%lld)", U->path.c_str(),
        static_cast<long long>(U->size));
    std::string srcRel, dstRel;
    if (!LocalRel(*fileJournal_, *fileCache_, found.active.path, &srcRel, tag) ||
        !LocalRel(*fileJournal_, *fileCache_, U->path, &dstRel, tag))
        return 0;
    const std::string src = fileCache_->GetRoot() + srcRel;
    const std::string dst = fileCache_->GetRoot() + dstRel;
    auto failed = [&]() {
        Log(kLogInfo, tag, "Fail to get copy from local: %s(%lld)", U->path.c_str(),
            static_cast<long long>(U->size));
        return 0;
    };

    // The source must still be the version the journal knows, and nothing may be in the way.
    CFileInfo source;
    CFileInfo other;
    if (FindLocal(*fileCache_, srcRel, &source) != LocalKind::kFile || !source.IsSameVersion(found.active) ||
        FindLocal(*fileCache_, dstRel, &other) != LocalKind::kNone || !MakeParents(*fileCache_, dstRel))
        return failed();

    // Copied beside the target and checked there, so the target is whole or absent.
    const size_t slash = dst.rfind('/');
    const std::string part = dst.substr(0, slash + 1) + "." + dst.substr(slash + 1) + CFileCache::kPartSuffix;
    CFileInfo copy;
    if (!fileCache_->Copy(src, part))
        return failed();
    bool good = fileCache_->GetFileInfo(part, &copy) && copy.size == U->size &&
                fileCache_->LoadChunk(&copy) && SameChunkLists(copy.chunkListText, U->chunkListText);
    copy.FreeChunkBuffers();
    if (good) {
        copy.modifyTime = U->modifyTime;
        if (!fileCache_->SetFileTime(&copy) && copy.modifyTime != U->modifyTime) {
            U->modifyTime = copy.modifyTime;
            U->timeAdjusted = 1;
        }
        good = fileCache_->Rename(part, dst);
    }
    if (!good) {
        fileCache_->Remove(part);
        return failed();
    }
    return 1;
}

int CWork::DownloadNewFile(CFileInfo* U) {
    const char* tag = "CWork::DownloadNewFile";
    std::string rel;
    if (!LocalRel(*fileJournal_, *fileCache_, U->path, &rel, tag))
        return 0;
    const std::string abs = fileCache_->GetRoot() + rel;
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "(%lld, %lld)", static_cast<long long>(U->size),
                  static_cast<long long>(U->modifyTime));
    const std::string text = "下载新文件: " + U->path + numbers;  // the log line keeps its text
    LogText(kLogInfo, tag, text);
    const std::string shown = CUtil::TrShown("Work", "下载新文件: ");
    ShowStatus(shown + U->path + numbers);
    ShowTip(shown + rel);
    status_.SetCurrent("download", rel, U->size);
    if (!MakeParents(*fileCache_, rel)) {
        Log(kLogError, tag, "Fail to make folder: %s", abs.c_str());
        return 0;
    }

    if (U->dirFlag == 1) {
        if (!fileCache_->MkDir(abs)) {
            Log(kLogError, tag, "Fail to make folder: %s", abs.c_str());
            return 0;
        }
        return 1;
    }
    if (U->dirFlag >= 2)
        return PlaceShareFolder(*U, abs, tag);

    if (!chunkJournal_->GetFileChunk(U)) {
        Log(kLogError, tag, "Fail to get chunk of file {%s} from DB", U->path.c_str());
        return 0;
    }
    const bool inMemory = U->size < kAssemblyLimit;
    bool missing = U->size > 0 && U->chunks.empty();
    const bool filled = ForEachFirstChunk(U, tag, [&](CChunkInfo& c) {
        auto buffer = std::make_unique<CChunkBuffer>();
        if (!GetChunkBuffer(c, buffer.get())) {
            missing = true;  // the other chunks still go to the cache for the next pass
            return true;
        }
        SignBlocks(&c, *buffer);
        if (inMemory)
            U->chunkBuffers[c.key] = std::move(buffer);
        return true;
    });
    if (!filled)
        return 0;
    if (!chunkJournal_->AddFileChunk(*U)) {
        Log(kLogError, tag, "Fail to add a chunk info to DB");
        return 0;
    }

    // A new path: whatever appeared there since the decision is not overwritten.
    const std::string serverPath = U->path;
    U->path = abs;
    const bool inTheWay = platform::Exists(abs);
    const bool made = !missing && !inTheWay && fileCache_->MakeFile(U);
    U->path = serverPath;
    U->FreeChunkBuffers();
    if (!made) {
        Log(kLogError, tag, "Fail to make a file {%s}", abs.c_str());
        return 0;
    }
    return 1;
}

int CWork::PlaceShareFolder(const CFileInfo& U, const std::string& abs, const char* tag) {
    // A shared folder that was moved here keeps its content.
    const std::string id = std::to_string(U.dirFlag);
    std::string found;
    if (fileCache_->FindShareFolder(id, &found) && found != abs && CUtil::IsDirectory(found)) {
        if (!fileCache_->Rename(found, abs)) {
            Log(kLogError, tag, "Fail to rename (%s) from local FS", found.c_str());
            return 0;
        }
    } else if (!fileCache_->MkDir(abs)) {
        Log(kLogError, tag, "Fail to make folder: %s", abs.c_str());
        return 0;
    }
    MarkShareFolder(abs, U.dirFlag);
    fileJournal_->SetDBShare(id, U.path);
    return 1;
}

int CWork::DownloadUpdatedFile(const CFileInfo& A, CFileInfo* U, CFileInfo* local,
                               const platform::FileStat* judged) {
    const char* tag = "CWork::DownloadUpdatedFile";
    std::string relA, relU;
    if (!LocalRel(*fileJournal_, *fileCache_, A.path, &relA, tag) ||
        !LocalRel(*fileJournal_, *fileCache_, U->path, &relU, tag))
        return 0;
    const std::string absA = fileCache_->GetRoot() + relA;
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, "(%lld, %lld -> %lld, %lld)", static_cast<long long>(U->size),
                  static_cast<long long>(U->modifyTime), static_cast<long long>(A.size),
                  static_cast<long long>(A.modifyTime));
    const std::string text = "更新文件: " + A.path + numbers;  // the log line keeps its text
    LogText(kLogInfo, tag, text);
    const std::string shown = CUtil::TrShown("Work", "更新文件: ");
    ShowStatus(shown + A.path + numbers);
    ShowTip(shown + absA);
    status_.SetCurrent("download", relA, U->size);

    auto fetchNew = [&]() {
        if (GetbyLocal(U) || DownloadNewFile(U))
            return 1;
        Log(kLogError, tag, "Fail to download a file {%s}", U->path.c_str());
        return 0;
    };
    if (A.dirFlag >= 2)
        DropShareDecoration(*fileCache_, absA);
    if (IsFolder(A) && IsFolder(*U)) {
        if (U->dirFlag >= 2)
            MarkShareFolder(absA, U->dirFlag);
        return 1;
    }
    if (IsFolder(A))
        return ClearFolderForFile(relA, absA, tag) ? fetchNew() : 0;
    if (IsFolder(*U)) {
        // The file goes to the trash while it is still the version judged unchanged; a save
        // made since stays beside the new folder under its conflict name.
        std::string keptAs;
        if (fileCache_->MoveToTrash(absA, judged, &keptAs) == CFileCache::Trashed::kFailed) {
            Log(kLogError, tag, "Fail to remove a file {%s}", absA.c_str());
            return 0;
        }
        if (!keptAs.empty()) {
            status_.AddConflictCopy(keptAs);
            syncPending_.store(1);
        }
        return fetchNew();
    }
    return ReplaceLocalFile(A, U, local, judged);
}

bool CWork::ClearFolderForFile(const std::string& relA, const std::string& absA, const char* tag) {
    // What the folder holds that the journal does not know as unchanged stays, in the folder
    // under its conflict name.
    bool gone = false;
    if (!ClearFolder(*fileCache_, *fileJournal_, relA, &gone)) {
        Log(kLogError, tag, "Fail to remove a file {%s}", absA.c_str());
        return false;
    }
    if (!gone) {
        const std::string conflict = MoveAside(*fileCache_, absA);
        if (conflict.empty()) {
            Log(kLogError, tag, "Fail to remove a file {%s}", absA.c_str());
            return false;
        }
        Log(kLogInfo, tag, "Keep the local folder %s as %s", absA.c_str(), conflict.c_str());
        syncPending_.store(1);
    }
    return true;
}

int CWork::ReplaceLocalFile(const CFileInfo& A, CFileInfo* U, CFileInfo* local,
                            const platform::FileStat* judged) {
    const char* tag = "CWork::DownloadUpdatedFile";
    // Chunks the local version holds are not fetched again.
    if (!chunkJournal_->GetFileChunk(U)) {
        Log(kLogError, tag, "Fail to get chunk of file {%s} from DB", U->path.c_str());
        return 0;
    }
    const bool inMemory = A.size < kAssemblyLimit && U->size < kAssemblyLimit;
    if (U->size > 0 && U->chunks.empty()) {
        Log(kLogError, tag, "Fail to get chunk of file {%s} from DB", U->path.c_str());
        return 0;
    }
    const bool filled = ForEachFirstChunk(U, tag, [&](CChunkInfo& c) {
        std::unique_ptr<CChunkBuffer> buffer = local->TakeChunkBuffer(c.key);
        const bool fromLocal = buffer != nullptr;
        if (!buffer) {
            buffer = std::make_unique<CChunkBuffer>();
            if (!GetChunkBuffer(c, buffer.get()))
                return false;
        }
        SignBlocks(&c, *buffer);
        if (inMemory) {
            U->chunkBuffers[c.key] = std::move(buffer);
        } else if (fromLocal && !fileCache_->CacheChunk(c.key, buffer.get())) {
            // A large file is built from the cache, which a chunk held in memory is not in yet.
            Log(kLogError, tag, "Fail to cache a chunk {%s}", c.key.c_str());
            return false;
        }
        return true;
    });
    if (!filled) {
        U->FreeChunkBuffers();
        return 0;
    }
    local->FreeChunkBuffers();
    if (!chunkJournal_->AddFileChunk(*U)) {
        Log(kLogError, tag, "Fail to add a chunk info to DB");
        U->FreeChunkBuffers();
        return 0;
    }

    // Written over the local file's own name, so a name that differs only in letter case does
    // not leave the old version beside the new one. The local file must still be the one judged
    // unchanged: an edit made before the swap is refused or kept under its conflict name.
    const std::string serverPath = U->path;
    U->path = local->path;
    std::string keptAs;
    const bool made = fileCache_->MakeFile(U, judged, &keptAs);
    U->path = serverPath;
    U->FreeChunkBuffers();
    if (!made) {
        Log(kLogError, tag, "Fail to make a file {%s}", local->path.c_str());
        return 0;
    }
    if (!keptAs.empty()) {
        Log(kLogInfo, tag, "Keep the local %s as %s", local->path.c_str(), keptAs.c_str());
        status_.AddConflictCopy(keptAs);
        syncPending_.store(1);
    }
    return 1;
}

bool CWork::ForEachFirstChunk(CFileInfo* U, const char* tag, const std::function<bool(CChunkInfo&)>& take) {
    std::map<std::string, size_t> first;
    for (size_t i = 0; i < U->chunks.size(); ++i) {
        if (StopRequested()) {
            Log(kLogInfo, tag, "User request logout");
            return false;
        }
        CChunkInfo& c = U->chunks[i];
        auto seen = first.emplace(c.key, i);
        if (!seen.second) {
            const CChunkInfo& earlier = U->chunks[seen.first->second];
            c.blockSums = earlier.blockSums;
            c.blockHashes = earlier.blockHashes;
            c.blockCount = earlier.blockCount;
            continue;
        }
        if (!take(c))
            return false;
    }
    return true;
}

void CWork::PrefetchChunks(std::vector<CFileInfo>* upcoming) {
    prefetched_.clear();
    CTransferLanes* lanes = upcoming->size() > 1 ? Lanes() : nullptr;
    if (!lanes)
        return;
    std::vector<CChunkInfo> wanted;
    std::set<std::string> listed;
    for (CFileInfo& U : *upcoming) {
        // Chunks already on disk are never fetched: a file at the path (the walk looks at it
        // first) or one of the same content elsewhere (the walk copies it) leaves U out.
        std::string rel;
        CFileInfo there;
        if (!LocalRel(*fileJournal_, *fileCache_, U.path, &rel, "CWork::PrefetchChunks") ||
            FindLocal(*fileCache_, rel, &there) != LocalKind::kNone ||
            SameContentOnDisk(U) != sameContent_.end() || !chunkJournal_->GetFileChunk(&U))
            continue;
        for (const CChunkInfo& c : U.chunks) {
            CChunkInfo cached;
            if (c.storageKey.empty() || c.size <= 0 || !listed.insert(c.key).second ||
                (fileCache_->FindCachedChunk(c.key, &cached) && cached.size == c.size))
                continue;
            wanted.push_back(c);
        }
    }
    if (wanted.size() < 2)
        return;  // one chunk gains nothing from company
    std::vector<std::unique_ptr<CChunkBuffer>> buffers;
    lanes->FetchChunks(wanted, &buffers, [this] { return StopRequested(); });
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (buffers[i])
            prefetched_[wanted[i].key] = std::move(buffers[i]);
    }
}

int CWork::GetChunkBuffer(const CChunkInfo& chunk, CChunkBuffer* buffer) {
    const char* tag = "CWork::GetChunkBuffer";
    auto early = prefetched_.find(chunk.key);
    if (early != prefetched_.end()) {
        std::unique_ptr<CChunkBuffer> bytes = std::move(early->second);
        prefetched_.erase(early);
        if (bytes && bytes->GetSize() == static_cast<size_t>(chunk.size)) {
            *buffer = std::move(*bytes);
            if (!fileCache_->CacheChunk(chunk.key, buffer)) {
                Log(kLogError, tag, "Fail to cache a chunk {%s} from transmitter", chunk.key.c_str());
                return 0;
            }
            return 1;
        }
    }
    CChunkInfo cached;
    if (fileCache_->FindCachedChunk(chunk.key, &cached) && cached.size == chunk.size && chunk.size > 0) {
        std::string key;
        if (!fileCache_->GetChunkCache(chunk, buffer)) {
            Log(kLogError, tag, "Fail to get a chunk {%s} from cache", chunk.key.c_str());
        } else if (CUtil::GetMd5String(buffer->GetData(), buffer->GetSize(), &key) &&
                   SameChunkKey(key, chunk.key)) {
            return 1;
        } else {
            // A damaged cache file is replaced by the transmitter's copy.
            Log(kLogWarn, tag, "Cached chunk {%s} does not match its key", chunk.key.c_str());
        }
    }
    std::string ack;
    if (!transmitter_->DownloadChunk(chunk, &ack, buffer)) {
        Log(kLogError, tag, "Fail to download a chunk {%s} from transmitter", chunk.key.c_str());
        return 0;
    }
    if (!fileCache_->CacheChunk(chunk.key, buffer)) {
        Log(kLogError, tag, "Fail to cache a chunk {%s} from transmitter", chunk.key.c_str());
        return 0;
    }
    return 1;
}

int CWork::CheckDelete() {
    const char* tag = "CWork::CheckDelete";
    CJournalItem item;
    for (int ok = fileJournal_->GetFirst(&item); ok; ok = fileJournal_->GetNext(&item)) {
        if (StopRequested()) {
            fileJournal_->CloseDB();
            Log(kLogInfo, tag, "User request logout");
            return 0;
        }
        if (item.onDisk) {
            std::string rel = item.active.path.empty() ? item.key : item.active.path;
            if (fileJournal_->TrimDBServerPah(rel))
                fileCache_->SetState(rel, 1);
            continue;
        }
        if (item.updated.modifyTime >= 0)
            continue;
        const std::string path = ItemPathOf(item.updated.path);
        if (!MayTryItem(path))
            continue;
        const bool goOn = RunItem(path, notsynced::kServerDeletion, [&] {
            std::string rel;
            std::string why;
            if (!LocalRel(*fileJournal_, *fileCache_, item.updated.path, &rel, tag, false, &why)) {
                SetItemReason(why, false);
                return 0;
            }
            Log(kLogInfo, tag, "Delete a file %s", rel.c_str());
            bool kept = false;
            if (!ServerDeleteFile(rel, item.updated, &kept))
                return 0;
            if (!fileJournal_->Remove(item.key)) {
                Log(kLogError, tag, "Fail to remove (%s) from local DB", item.key.c_str());
                return 0;
            }
            if (!kept)
                AddRecentName(Label(kLabelDelete) + " " + fileCache_->GetRoot() + rel);
            return 1;
        });
        if (!goOn)
            return 0;
    }
    return passSucceeded_.load();
}

int CWork::ServerDeleteFile(const std::string& rel, const CFileInfo& T, bool* kept) {
    const char* tag = "CWork::ServerDeleteFile";
    if (kept)
        *kept = false;
    // Below a link or a file there is nothing of the tree to delete (and a link is not followed).
    if (!serverpath::StaysUnderRoot(fileCache_->GetRoot(), rel))
        return 1;
    CFileInfo L;
    platform::FileStat seen;
    const LocalKind kind = FindLocal(*fileCache_, rel, &L, &seen);
    bool same = false;
    if (decide::ServerDeletedNeedsContent(ToDecide(kind), L, T)) {
        if (!fileCache_->LoadChunk(&L)) {
            Log(kLogError, tag, "Fail to load chunk from file: %s", L.path.c_str());
            return 0;
        }
        L.FreeChunkBuffers();
        same = decide::SameContent(T, L);
    }
    switch (decide::OnServerDeletion(ToDecide(kind), L, T, same)) {
        case decide::ServerDeleted::kNothing:
            return 1;  // nothing there, or never synced (links and special files): left as it is
        case decide::ServerDeleted::kClearFolder:
            return ClearDeletedFolder(L, T, kept);
        case decide::ServerDeleted::kKeepAsConflict: {
            // Edited (or replaced by another kind) since the last pass: kept under its conflict name.
            const std::string conflict = MoveAside(*fileCache_, L.path);
            if (conflict.empty()) {
                Log(kLogError, tag, "Fail to rename (%s) from local FS", L.path.c_str());
                return 0;
            }
            Log(kLogInfo, tag, "Keep the local %s as %s", L.path.c_str(), conflict.c_str());
            status_.AddConflictCopy(conflict);
            syncPending_.store(1);
            return 1;
        }
        case decide::ServerDeleted::kRemove:
            break;
    }
    // Looked at again as it goes: a save since the judgement keeps the file (conflict name).
    std::string keptAs;
    if (fileCache_->MoveToTrash(L.path, kind == LocalKind::kFile ? &seen : nullptr, &keptAs) ==
        CFileCache::Trashed::kFailed) {
        if (T.dirFlag >= 2)
            fileCache_->SetShareFolder(L.path, std::to_string(T.dirFlag));
        Log(kLogError, tag, "Fail to remove (%s) from local FS", L.path.c_str());
        return 0;
    }
    if (!keptAs.empty()) {
        status_.AddConflictCopy(keptAs);
        syncPending_.store(1);
        if (kept)
            *kept = true;
    }
    return 1;
}

int CWork::ClearDeletedFolder(const CFileInfo& L, const CFileInfo& T, bool* kept) {
    const char* tag = "CWork::ServerDeleteFile";
    // What the folder holds is looked at first: only what the journal knows unchanged goes.
    std::string relL = L.path;
    fileCache_->ToRelativePath(&relL);
    bool gone = false;
    if (!ClearFolder(*fileCache_, *fileJournal_, relL, &gone)) {
        Log(kLogError, tag, "Fail to remove (%s) from local FS", L.path.c_str());
        return 0;
    }
    if (!gone) {
        // Kept as an ordinary folder; the upload phase sends it and what it holds back.
        Log(kLogInfo, tag, "Keep the folder %s: it holds local changes", L.path.c_str());
        if (T.dirFlag >= 2 || L.dirFlag >= 2)
            DropShareDecoration(*fileCache_, L.path);
        if (kept)
            *kept = true;
    }
    return 1;
}
