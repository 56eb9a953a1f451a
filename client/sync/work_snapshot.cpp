// CWork: the first phase of a pass, the server snapshot. The service's tree (the full download
// after an account change, else the recursive listing of the root) is compared with the file
// journal: new and changed entries become pending versions, paths the service no longer lists
// become tombstones. Nothing on the disk changes here apart from folder decoration and the
// overlay states.
#include <string>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "journal/chunkjournal.h"
#include "journal/filejournal.h"
#include "service/back.h"
#include "store/filecache.h"
#include "sync/decide.h"
#include "sync/journalsession.h"
#include "sync/serverpath.h"
#include "sync/transferlanes.h"
#include "sync/work.h"

namespace {

// The account's root is one plain name: it becomes the first component of every server path and
// the configuration's server_root.
bool IsPlainRoot(const std::string& root) {
    return !root.empty() && root != "." && root != ".." &&
           root.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace

int CWork::GetAll() {
    const char* tag = "CWork::GetAll";
    std::string ack;
    std::vector<CFileInfo> list;
    if (!back_->DownloadAll(&ack, &list)) {
        Log(kLogError, tag, "Fail to download the list of all files from Server");
        return 0;
    }
    // One line per entry only at debug level: at every pass it would fill the log of a large tree.
    Log(kLogInfo, tag, "Server FS: %zu entries", list.size());
    if (LogWanted(kLogDebug)) {
        for (const CFileInfo& e : list)
            Log(kLogDebug, tag, "Server FS: %s(%d, %lld)", e.path.c_str(), e.dirFlag,
                static_cast<long long>(e.size));
    }

    CJournalSession session(fileJournal_.get(), tag, "Fail to open fileJournal DB");
    if (!session.IsOpen())
        return 0;
    if (list.empty() || list[0].dirFlag == 0 || !IsPlainRoot(list[0].path)) {
        Log(kLogInfo, tag, "Fail to get server root: %s(%d)", list.empty() ? "" : list[0].path.c_str(),
            list.empty() ? 0 : list[0].dirFlag);
        return 0;
    }
    // The shares of this listing, as an incremental one records them: a rename made before the
    // next pass must name a shared folder's contents by its id, as the journal does.
    fileJournal_->ClearServerShares();
    for (size_t i = 0; i < list.size(); ++i) {
        const CFileInfo& entry = list[i];
        if (entry.dirFlag >= 2) {
            fileJournal_->AddShareOwner(std::to_string(entry.dirFlag), entry.ownerName);
            if (i > 0 && !serverpath::RefusalOf(entry.path))
                fileJournal_->AddServerShare(std::to_string(entry.dirFlag), entry.path);
        }
        if (i == 0) {
            serverRoot_ = entry.path;
            config_->Set(CConfig::kServerRoot, entry.path);
            if (!config_->Store())
                Log(kLogError, tag, "Fail to store server_root \"%s\"", entry.path.c_str());
            fileJournal_->SetRoot(entry.path);
        } else if (const char* refused = serverpath::RefusalOf(entry.path)) {
            // Written nowhere; listed as not synced while the service lists it.
            Log(kLogError, tag, "Refuse the server path \"%s\": %s", entry.path.c_str(), refused);
            SkipItem(ItemPathOf(entry.path), refused, false);
        } else if (!RunItem(
                       ItemPathOf(entry.path), notsynced::kNoEntry,
                       [&] {
                           if (GetFile(entry))
                               return 1;
                           Log(kLogError, tag, "Fail to get file from server");
                           return 0;
                       },
                       false)) {
            return 0;
        }
        if (StopRequested()) {
            Log(kLogInfo, tag, "User request logout");
            return 0;
        }
    }
    return 1;
}

int CWork::GetServerList() {
    const char* tag = "CWork::GetServerList";
    fileJournal_->SetRoot(serverRoot_);
    std::string ack;
    ServerListing listing;
    if (serverRoot_.empty() || !back_->GetList(serverRoot_, &ack, &listing)) {
        Log(kLogError, tag, "fail to get server file system list");
        return 0;
    }
    Log(kLogInfo, tag, "get server files counts: %d", static_cast<int>(listing.size()));
    if (StopRequested()) {
        Log(kLogInfo, tag, "User request logout");
        return 0;
    }

    // Shared folders: their decoration and the share maps the path conversions use.
    fileJournal_->ClearServerShares();
    const std::string user = GetUser();
    for (const auto& [key, entry] : listing) {
        if (entry.dirFlag < 2)
            continue;
        const std::string id = std::to_string(entry.dirFlag);
        Log(kLogInfo, tag, "share folder(%d) owner(%s): %s", entry.dirFlag, entry.ownerName.c_str(),
            entry.path.c_str());
        if (serverpath::RefusalOf(entry.path))
            continue;  // refused by GetServerAdd
        std::string rel = entry.path;
        if (fileJournal_->TrimDBServerPah(rel) && serverpath::IsSafeRelativePath(rel) &&
            serverpath::StaysUnderRoot(fileCache_->GetRoot(), rel))
            fileCache_->SetShareFolderIcon(fileCache_->GetRoot() + rel, entry.ownerName == user,
                                           entry.ownerName);
        fileJournal_->AddServerShare(id, entry.path);
        fileJournal_->AddShareOwner(id, entry.ownerName);
    }
    if (StopRequested()) {
        Log(kLogInfo, tag, "User request logout");
        return 0;
    }

    // An empty listing never turns the whole tree into tombstones.
    if (listing.empty())
        return 1;
    CJournalSession session(fileJournal_.get(), tag);
    if (!session.IsOpen())
        return 0;
    if (!LoadJournalMaps(tag, "Fail to load map of FileJournaler",
                         "Fail to load share folder map of FileJournaler"))
        return 0;
    GetServerAdd(listing);
    GetServerDelete(listing);
    return 1;
}

void CWork::GetServerAdd(const ServerListing& listing) {
    const char* tag = "CWork::GetServerAdd";
    fileJournal_->ClearListedShares();
    const std::string& root = fileCache_->GetRoot();
    struct DropDescriptions {
        std::map<std::string, CFileInfo>* found;
        ~DropDescriptions() { found->clear(); }
    } dropDescriptions{&descriptions_};
    auto ahead = listing.begin();
    for (auto at = listing.begin(); at != listing.end(); ++at) {
        const std::string& key = at->first;
        const CFileInfo& entry = at->second;  // named, not bound: lambdas below capture it
        if (at == ahead)
            ahead = PrefetchDescriptions(listing, at);
        if (const char* refused = serverpath::RefusalOf(entry.path)) {
            Log(kLogError, tag, "Refuse the server path \"%s\": %s", entry.path.c_str(), refused);
            SkipItem(ItemPathOf(entry.path), refused, false);
            continue;
        }
        std::string rel = entry.path;
        if (fileJournal_->TrimDBServerPah(rel))
            fileCache_->SetPathState(root + rel, 3);
        if (entry.dirFlag != 0)
            Log(kLogDebug, tag, "server  dir: %s >>>>>>>>>>>>>>>>>>>>>>>", entry.path.c_str());
        else
            Log(kLogDebug, tag, "server file: %s (%lld)", entry.path.c_str(),
                static_cast<long long>(entry.size));

        CJournalItem item;
        const bool known = fileJournal_->Lookup(key, &item);
        const bool fetch = decide::NeedsFetch(known ? &item : nullptr, entry,
                                              known && fileJournal_->IsListedShare(entry.path));
        if (!fetch)
            continue;
        const std::string path = ItemPathOf(entry.path);
        if (MayTryItem(path) && !RunItem(
                                    path, notsynced::kNoEntry, [&] { return GetFile(entry); }, false))
            return;
    }
}

CWork::ServerListing::const_iterator CWork::PrefetchDescriptions(const ServerListing& listing,
                                                                 ServerListing::const_iterator from) {
    descriptions_.clear();
    // A look-ahead of a few batches' entries at most, so a listing with nothing new costs little.
    constexpr size_t kLookAhead = 4 * CTransferLanes::kMaxBatch;
    std::vector<std::string> paths;
    auto at = from;
    for (size_t seen = 0;
         at != listing.end() && seen < kLookAhead && paths.size() < CTransferLanes::kMaxBatch; ++at, ++seen) {
        const CFileInfo& e = at->second;
        if (e.dirFlag != 0 || e.size <= 0 || e.size > CTransferLanes::kMaxFileBytes || e.chunks.empty() ||
            !e.chunks[0].storageKey.empty() || serverpath::RefusalOf(e.path) ||
            !MayTryItem(ItemPathOf(e.path)))
            continue;
        CJournalItem item;
        const bool known = fileJournal_->Lookup(at->first, &item);
        if (decide::NeedsFetch(known ? &item : nullptr, e, known && fileJournal_->IsListedShare(e.path)))
            paths.push_back(e.path);
    }
    CTransferLanes* lanes = paths.size() > 1 ? Lanes() : nullptr;
    if (!lanes)
        return at;
    std::vector<CFileInfo> found;
    std::vector<char> answered;
    lanes->FetchDescriptions(paths, &found, &answered, [this] { return StopRequested(); });
    for (size_t i = 0; i < paths.size(); ++i) {
        if (answered[i])
            descriptions_[paths[i]] = std::move(found[i]);
    }
    return at;
}

std::string CWork::ItemPathOf(const std::string& serverPath) {
    std::string rel = serverPath;
    return fileJournal_->TrimDBServerPah(rel) ? rel : serverPath;
}

void CWork::GetServerDelete(const ServerListing& listing) {
    const char* tag = "CWork::GetServerDelete";
    if (!ScanLocal()) {
        Log(kLogError, tag, "Fail to scan local file system");
        passSucceeded_.store(0);
        return;
    }
    // Reverse key order: a folder's contents before the folder.
    CJournalItem item;
    for (int ok = fileJournal_->GetLast(&item); ok; ok = fileJournal_->GetPrev(&item)) {
        if (listing.count(item.key))
            continue;
        // A record kept in root form while the service lists it inside a shared folder (or the
        // other way round) is still listed. The record's own spelling is used, as the share
        // prefixes are compared with their letter case.
        std::string form = item.onDisk ? item.active.path : item.updated.path;
        if (form.empty())
            form = item.key;
        if (fileJournal_->TrimDBServerPah(form)) {
            fileJournal_->ToServerSharePath(form);
            if (listing.count(CFileJournal::MakeKey(form)))
                continue;
        }
        if (!fileJournal_->MarkRemove(item.key))
            passSucceeded_.store(0);
    }
}

int CWork::GetFile(const CFileInfo& entry) {
    const char* tag = "CWork::GetFile";
    Log(kLogInfo, tag, "get a file %s(%lld) from server to local DB...", entry.path.c_str(),
        static_cast<long long>(entry.size));
    if (entry.dirFlag == 0 && entry.size > 0) {
        if (entry.chunks.empty()) {
            Log(kLogError, tag, "Fail to get chunk for file {%s}", entry.path.c_str());
            return 0;
        }
        const CChunkInfo& first = entry.chunks[0];
        if (first.key.empty() || first.storageKey.empty()) {
            // A listing names the chunks by key only: their storage keys and sizes come from the
            // file's own description.
            std::string ack;
            CFileInfo fetched;
            auto early = descriptions_.find(entry.path);
            if (early != descriptions_.end()) {
                fetched = std::move(early->second);
                descriptions_.erase(early);
            } else if (!back_->Download(entry.path, &ack, &fetched)) {
                Log(kLogError, tag, "Fail to download file {%s}", entry.path.c_str());
                return 0;
            }
            if (!fetched.IsUnchanged(entry)) {
                Log(kLogError, tag, "dismatched file {%s}", entry.path.c_str());
                return 0;
            }
            if (!chunkJournal_->AddFileChunk(fetched)) {
                Log(kLogError, tag, "Fail to add file {%s} chunk to DB", entry.path.c_str());
                return 0;
            }
        } else if (!chunkJournal_->AddFileChunk(entry)) {
            Log(kLogError, tag, "Fail to add file {%s} chunk to DB", entry.path.c_str());
            return 0;
        }
    }
    if (!fileJournal_->AddUpdated(entry)) {
        Log(kLogError, tag, "Fail to add updated {%s} to DB", entry.path.c_str());
        return 0;
    }
    if (entry.dirFlag >= 2)
        fileJournal_->AddListedShare(entry.dirFlag);
    return 1;
}
