// CWork: the upload phase of a pass. A fresh scan of the home folder is compared with the journal:
// new and changed files and folders are offered to the back server, which asks chunk by chunk for
// what it lacks (sent whole, or as deltas against the previous version), local deletions are
// passed on, and a shared folder renamed here is renamed on the service. A journal record changes
// only when the service has confirmed the item, so a pass that stops anywhere resumes from it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "journal/chunkjournal.h"
#include "journal/filejournal.h"
#include "platform/file.h"
#include "service/back.h"
#include "service/transmitter.h"
#include "store/filecache.h"
#include "sync/decide.h"
#include "sync/journalsession.h"
#include "sync/serverpath.h"
#include "sync/transferlanes.h"
#include "sync/uploadstep.h"
#include "sync/work.h"
#include "util/util.h"

namespace {

using serverpath::IsInside;
using serverpath::ParentOf;

// A changed file whose content is the journal's and whose time is this close is left alone.
constexpr int64_t kTimeTolerance = 10000000;  // 1 second in FILETIME units
constexpr int kStatusWaiting = 1;
constexpr int kStatusSending = 2;
constexpr int kStatusInStep = 3;
constexpr const char* kFailLoadChunk = "fail load chunk";
constexpr const char* kUploadTag = "CWork::UploadFile";

// The journal files `a` and `b` under one key (they differ at most in ASCII letter case).
bool SameJournalKey(const std::string& a, const std::string& b) {
    return CFileJournal::MakeKey(a) == CFileJournal::MakeKey(b);
}

// The MiB of a file before its chunk `key`: each entry of the chunk list is a key and its comma,
// and each chunk before it holds a full 4 MiB.
int64_t MiBBeforeChunk(const std::string& chunkList, const std::string& key) {
    constexpr size_t kListEntryChars = CFileInfo::kKeyLength + 1;
    constexpr int64_t kChunkMiB = CFileInfo::kChunkSize / (1024 * 1024);
    const size_t at = chunkList.find(key);
    return at == std::string::npos ? 0 : static_cast<int64_t>(at / kListEntryChars) * kChunkMiB;
}

// The journal's current half of a record: what is on the disk, or the pending version.
const CFileInfo& CurrentHalf(const CJournalItem& item) {
    return item.onDisk ? item.active : item.updated;
}

}  // namespace

void CWork::LeaveFolder(std::string* current, const std::string& next) {
    if (!current->empty() && !IsInside(next, *current))
        fileCache_->SetPathStateUpTo(*current, kStatusInStep, ParentOf(next));
}

int CWork::Upload() {
    const char* tag = "CWork::Upload";
    // Renames the watcher saw while the pass ran go first.
    DrainRenames();
    CJournalSession session(fileJournal_.get(), tag);
    if (!session.IsOpen())
        return 0;
    if (!LoadJournalMaps(tag, "Fail to laod map of FileJournaler", "Fail to laod map of ShareFolder"))
        return 0;
    // An old path that vanished while a new one of the same identity appeared is a rename: it
    // goes to the service as one before the walks below could take it for a deletion. Renames
    // inside a renamed folder show in the next round.
    const bool scanned = ScanLocal();
    if (scanned) {
        for (int round = 0; round < 3 && DetectRenames() > 0; ++round) {
            if (!LoadJournalMaps(tag, "Fail to laod map of FileJournaler",
                                 "Fail to laod map of ShareFolder") ||
                !ScanLocal())
                return 0;
        }
    }
    Log(kLogInfo, tag, "---- upload local add ----");
    CheckLocalAdd(!scanned);
    if (StopRequested()) {
        Log(kLogInfo, tag, "User request logout");
        return 0;
    }
    // The additions changed the journal; the deletion walk reads it afresh.
    if (!LoadJournalMaps(tag, "Fail to laod map of FileJournaler", "Fail to laod map of ShareFolder"))
        return 0;
    Log(kLogInfo, tag, "---- upload local deltele ----");
    CheckLocalDelete();
    RememberScanIds();
    return 1;
}

bool CWork::IsLocalChanged(CFileInfo* F) {
    std::string server = F->path;
    fileJournal_->ToDBSharePath(server);
    CJournalItem item;
    const bool known = fileJournal_->Lookup(server, &item);
    switch (decide::OnLocalEntry(known ? &item : nullptr, *F)) {
        case decide::LocalEntry::kNew:
            F->changeKind = CFileInfo::kChangeNew;
            return true;
        case decide::LocalEntry::kModified:
        case decide::LocalEntry::kReplaceKind:
            F->changeKind = CFileInfo::kChangeModified;
            return true;
        case decide::LocalEntry::kWaitForService:
            // A newer server version (or its deletion) has not reached the disk: what the disk
            // holds is older and must not replace it on the service.
            Log(kLogInfo, "CWork::IsLocalChanged", "Wait for the service's version of %s", F->path.c_str());
            return false;
        case decide::LocalEntry::kInStep:
            break;
    }
    return false;
}

void CWork::CheckLocalAdd(bool rescan) {
    const char* tag = "CWork::CheckLocalAdd";
    if (rescan && !ScanLocal()) {
        Log(kLogError, tag, "Fail to scan local file system");
        passSucceeded_.store(0);
        return;
    }
    passNote_.clear();

    // Classification: everything that must go up shows as waiting.
    CFileInfo* ref = nullptr;
    for (bool ok = fileCache_->GetFirstRef(&ref); ok; ok = fileCache_->GetNextRef(&ref)) {
        ref->changeKind = 0;
        fileCache_->SetPathState(ref->path, IsLocalChanged(ref) ? kStatusWaiting : kStatusInStep);
    }

    // Names the scan left out stay on this computer: the user is told.
    for (const CFileCache::LeftOut& out : fileCache_->ScanLeftOut())
        SkipItem(
            out.path,
            out.why == CFileCache::Unsyncable::kCaseClash ? notsynced::kCaseClash : notsynced::kBackslash,
            false);

    // The walk, folders before their contents. An item that fails is skipped; the rest go on.
    // New small files wait in `pending` for the lanes until a batch is full or another kind of
    // entry comes (a folder is made on the service before anything inside it).
    std::string lastPath, currentFolder;
    std::vector<CFileInfo> pending;
    CFileInfo F;
    for (bool ok = fileCache_->GetFirst(&F); ok; ok = fileCache_->GetNext(&F)) {
        if (StopRequested()) {
            Log(kLogInfo, tag, "User request logout");
            passSucceeded_.store(0);
            return;
        }
        if (F.changeKind != CFileInfo::kChangeNew && F.changeKind != CFileInfo::kChangeModified)
            continue;
        // A shared folder renamed earlier in this walk brings its contents back under its id:
        // what the journal knows there is no longer new.
        F.changeKind = 0;
        if (!IsLocalChanged(&F)) {
            fileCache_->SetPathState(F.path, kStatusInStep);
            continue;
        }
        const std::string rel = F.path;
        if (!MayTryItem(rel))
            continue;
        lastPath = rel;
        if (LaneMayTake(F)) {
            pending.push_back(F);
            if (pending.size() < CTransferLanes::kMaxBatch || FlushNewFiles(&pending, &currentFolder))
                continue;
            passSucceeded_.store(0);
            return;
        }
        if (!FlushNewFiles(&pending, &currentFolder) ||
            !RunItem(rel, notsynced::kUpload, [&] { return UploadEntry(&F, &currentFolder); })) {
            passSucceeded_.store(0);
            return;
        }
    }
    if (!FlushNewFiles(&pending, &currentFolder)) {
        passSucceeded_.store(0);
        return;
    }
    if (!lastPath.empty() && passSucceeded_.load())
        fileCache_->SetPathStateUpTo(lastPath, kStatusInStep, "");
}

bool CWork::LaneMayTake(const CFileInfo& entry) const {
    return !lanesFailed_ && entry.changeKind == CFileInfo::kChangeNew && entry.dirFlag == 0 &&
           entry.size <= CTransferLanes::kMaxFileBytes;
}

CTransferLanes* CWork::Lanes() {
    if (!lanes_ && !lanesFailed_) {
        const CConfig::Proxy proxy = config_->GetProxy();
        TransferLaneSetup setup{config_->Get(CConfig::kBackServer),
                                config_->Get(CConfig::kTransmiterServer),
                                GetUser(),
                                GetPassword(),
                                config_->Get(CConfig::kHostId),
                                config_->Get(CConfig::kPassport),
                                config_->Get(CConfig::kInstallPath),
                                proxy.type,
                                proxy.addr,
                                proxy.user,
                                proxy.passwd};
        auto lanes = std::make_unique<CTransferLanes>();
        if (lanes->Init(setup))
            lanes_ = std::move(lanes);
        else
            lanesFailed_ = true;  // this pass goes one by one
    }
    return lanes_.get();
}

bool CWork::FlushNewFiles(std::vector<CFileInfo>* pending, std::string* currentFolder) {
    std::vector<CFileInfo> entries = std::move(*pending);
    pending->clear();
    // A lone file, or no lanes, goes one by one: its bytes are read once, there.
    CTransferLanes* lanes = entries.size() > 1 ? Lanes() : nullptr;
    // What goes to the lanes: each entry's bytes read now, under its server path.
    std::vector<CFileInfo> batch;
    std::vector<size_t> batchOf(entries.size(), SIZE_MAX);
    for (size_t i = 0; lanes && i < entries.size(); ++i) {
        CFileInfo F = entries[i];
        if (!fileCache_->LoadChunk(&F))
            continue;  // the one-by-one path reports what it cannot read
        fileJournal_->ToDBSharePath(F.path);
        batchOf[i] = batch.size();
        batch.push_back(std::move(F));
    }
    std::vector<CTransferLanes::Result> results(batch.size());
    if (batch.size() > 1) {
        ShowStatus(CUtil::TrShown("Work", "上载文件: ") + entries[0].path);
        lanes->Run(&batch, &results, [this] { return StopRequested(); });
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string rel = entries[i].path;
        const size_t k = batchOf[i];
        const CTransferLanes::Outcome outcome =
            k == SIZE_MAX ? CTransferLanes::Outcome::kOther : results[k].outcome;
        std::function<int()> item = [&] { return UploadEntry(&entries[i], currentFolder); };
        if (outcome == CTransferLanes::Outcome::kSent) {
            item = [&] { return RecordSentFile(&batch[k], rel, currentFolder); };
        } else if (outcome == CTransferLanes::Outcome::kRefused && !SessionRefused(results[k].reason)) {
            // Refused as the one-by-one path would have been: the item waits its turn.
            item = [&] {
                Log(kLogError, kUploadTag, "Fail to upload a file %s (reason %s)", rel.c_str(),
                    results[k].reason.c_str());
                return 0;
            };
        }
        if (!RunItem(rel, notsynced::kUpload, item))
            return false;
    }
    return true;
}

int CWork::RecordSentFile(CFileInfo* sent, const std::string& rel, std::string* currentFolder) {
    const char* tag = "CWork::CheckLocalAdd";
    Log(kLogInfo, tag, "上载文件: %s", rel.c_str());
    LeaveFolder(currentFolder, rel);
    *currentFolder = ParentOf(rel);
    if (sent->size > 0 && !chunkJournal_->AddFileChunk(*sent)) {
        Log(kLogError, tag, "Fail to add a chunk info to DB");
        return 0;
    }
    if (!fileJournal_->AddActive(*sent)) {
        Log(kLogError, tag, "Fail to add a file to DB");
        return 0;
    }
    fileCache_->SetState(rel, 1);
    fileCache_->SetPathState(rel, kStatusInStep);
    return 1;
}

int CWork::UploadEntry(CFileInfo* entry, std::string* currentFolder) {
    const char* tag = "CWork::CheckLocalAdd";
    CFileInfo& F = *entry;
    const std::string rel = F.path;
    Log(kLogInfo, tag, "上载文件: %s", rel.c_str());
    ShowStatus(CUtil::TrShown("Work", "上载文件: ") + rel);
    ShowTip(CUtil::TrShown("Work", "上载文件: ") + rel);
    status_.SetCurrent("upload", rel, F.dirFlag == 0 ? F.size : 0);
    fileCache_->SetState(rel, 0);

    if (F.dirFlag >= 2)
        return UploadShareFolder(F);
    LeaveFolder(currentFolder, rel);
    *currentFolder = F.dirFlag != 0 ? rel : ParentOf(rel);

    // The journal's record when the path is known; an entry of the other kind replaces it.
    CJournalItem known;
    std::string server = rel;
    fileJournal_->ToDBSharePath(server);
    const bool haveKnown = F.changeKind == CFileInfo::kChangeModified && fileJournal_->Lookup(server, &known);
    const bool otherKind = haveKnown && (F.dirFlag != 0) != (CurrentHalf(known).dirFlag != 0);
    if (otherKind) {
        const Removed replaced = ReplaceKind(known);
        if (replaced != Removed::kDone)
            return replaced == Removed::kFailed ? 0 : 1;
        F.changeKind = CFileInfo::kChangeNew;
    }

    if (F.dirFlag != 0) {
        F.path = server;
        if (!UploadFolder(F))
            return 0;
        fileCache_->SetState(rel, 1);
        fileCache_->SetPathState(rel, kStatusInStep);
        return 1;
    }
    if (F.changeKind == CFileInfo::kChangeModified && !haveKnown)
        return 1;
    if (!fileCache_->LoadChunk(&F)) {
        // Another program may hold the file: it waits, and the pass after the longer rest or a
        // later one tries again.
        Log(kLogError, tag, "Fail to load a file chunk");
        passNote_ = kFailLoadChunk;
        SetItemReason(notsynced::kRead);
        return 0;
    }
    CFileInfo P;
    if (F.changeKind == CFileInfo::kChangeModified) {
        P = CurrentHalf(known);
        if (F.IsSameContent(P)) {
            Log(kLogInfo, tag, "the file contents are same . don't need upload ");
            const int64_t drift = F.modifyTime - P.modifyTime;
            if (P.modifyTime > 0 && (drift > kTimeTolerance || drift < -kTimeTolerance)) {
                F.modifyTime = P.modifyTime;
                fileCache_->SetFileTime(&F);
            }
            fileCache_->SetState(rel, 1);
            fileCache_->SetPathState(rel, kStatusInStep);
            return 1;
        }
    }
    if (!UploadFile(&F, F.changeKind == CFileInfo::kChangeModified ? &P : nullptr) || !passSucceeded_.load())
        return 0;
    fileCache_->SetState(rel, 1);
    fileCache_->SetPathState(rel, kStatusInStep);
    return 1;
}

int CWork::GetFileChunk(CFileInfo& F, std::unique_ptr<CChunkBuffer>* buffer, const CChunkInfo& c) {
    const char* tag = "CWork::GetFileChunk";
    buffer->reset();
    if (F.size < CFileCache::kMemoryChunkLimit) {
        *buffer = F.TakeChunkBuffer(c.key);
        return 1;
    }
    CChunkInfo cached;
    if (!fileCache_->FindCachedChunk(c.key, &cached))
        return 1;
    auto read = std::make_unique<CChunkBuffer>(CChunkBuffer::kChunkSize);
    if (!read->GetData() || !fileCache_->GetChunkCache(c, read.get())) {
        Log(kLogError, tag, "Fail to get chunk of file: %s", F.path.c_str());
        return 0;
    }
    *buffer = std::move(read);
    return 1;
}

// One file's upload exchange: the service's latest instruction, the chunk it names, and what the
// steps share.
struct CWork::UploadExchange {
    CFileInfo* file = nullptr;      // server path; its chunks loaded
    CFileInfo* previous = nullptr;  // the version the service holds, or null for a new file
    std::string rel;                // the file's root-relative path
    std::string ack;                // the service's next instruction
    CChunkInfo named;               // the chunk the instruction concerns
    SharedStatusValues progress;    // as the overlay shows it
    bool deltas = false;            // chunks may go as deltas against the previous version
};

int CWork::UploadFile(CFileInfo* F, CFileInfo* P) {
    const char* tag = kUploadTag;
    if (P) {
        if (!chunkJournal_->GetFileChunk(P)) {
            Log(kLogError, tag, "Fail to get chunk info of file %s from DB", P->path.c_str());
            passSucceeded_.store(0);
            return 0;
        }
        if (!P->chunks.empty() && P->signaturesComplete)
            P->BuildBlockTable();
    }
    Log(kLogInfo, tag, "上载文件: %s", F->path.c_str());
    UploadExchange x;
    x.file = F;
    x.previous = P;
    x.rel = F->path;
    fileJournal_->ToDBSharePath(F->path);

    if (!back_->Upload(*F, P, &x.ack, &x.named)) {
        Log(kLogError, tag, "Fail to upload a file");
        passSucceeded_.store(0);
        return 0;
    }
    if (F->size > 0 && !chunkJournal_->AddFileChunk(*F)) {
        Log(kLogError, tag, "Fail to add a chunk info to DB");
        passSucceeded_.store(0);
        return 0;
    }
    fileCache_->SetPathState(x.rel, kStatusSending);
    x.progress.state = kStatusSending;
    x.progress.progress1 = static_cast<int32_t>(static_cast<uint32_t>(F->size & 0xffffffff));
    x.progress.progress2 = 0;
    // Deltas need the old version's blocks; a new file has none.
    x.deltas = F->changeKind != CFileInfo::kChangeNew && P && P->signaturesComplete && !P->blockTable.Empty();

    // A sound service asks for each chunk once; the bound keeps a confused one from looping.
    const size_t maxSteps = 4 * F->chunks.size() + 16;
    for (size_t step = 0; !CheckLogOut(); ++step) {
        if (step >= maxSteps) {
            Log(kLogError, tag, "Too many steps in the upload of %s", F->path.c_str());
            passSucceeded_.store(0);
            break;
        }
        if (!TakeUploadStep(x))
            break;
    }
    return 1;
}

bool CWork::TakeUploadStep(UploadExchange& x) {
    const uploadstep::Step step = uploadstep::Parse(x.ack);
    switch (step) {
        case uploadstep::Step::kAllChunksExist:
            RecordUploadedFile(x);
            return false;
        case uploadstep::Step::kUploadChunk:
            return SendNamedChunk(x);
        case uploadstep::Step::kRemoveChunk:
            return RemoveNamedChunk(x);
        case uploadstep::Step::kMoveConflict:
        case uploadstep::Step::kCopyConflict:
            KeepLocalAsConflict(x, step == uploadstep::Step::kMoveConflict);
            return false;
        case uploadstep::Step::kUnknown:
            break;
    }
    Log(kLogFatal, kUploadTag, "Fail to get a valid ack: %s", x.ack.c_str());
    passSucceeded_.store(0);
    return false;
}

bool CWork::UploadFailed(const char* message) {
    Log(kLogError, kUploadTag, "%s", message);
    passSucceeded_.store(0);
    return false;
}

void CWork::RecordUploadedFile(const UploadExchange& x) {
    if (!fileJournal_->AddActive(*x.file))
        UploadFailed("Fail to add a file to DB");
}

bool CWork::SendNamedChunk(UploadExchange& x) {
    CFileInfo* F = x.file;
    // The chunk must be one of this file's: its size and bytes come from the file.
    auto own = uploadstep::FindOwnChunk(F->chunks, x.named.key);
    if (own == F->chunks.end())
        return UploadFailed("Fail to get designed chunk");
    CChunkInfo chunk = *own;
    chunk.storageKey = x.named.storageKey;

    const int64_t sentMiB = MiBBeforeChunk(F->chunkListText, own->key);
    x.progress.progress2 = static_cast<int32_t>(sentMiB);
    fileCache_->SetPathProgress(x.rel, x.progress);
    char tip[64];
    std::snprintf(tip, sizeof tip, "  %lldKB/%lldKB", static_cast<long long>(sentMiB) * 1024,
                  static_cast<long long>(F->size) / 1024 + 1);
    ShowTip(CUtil::TrShown("Work", "上传文件: ") + x.rel + tip);
    status_.SetProgress(sentMiB * 1024 * 1024, F->size);

    std::unique_ptr<CChunkBuffer> bytes;
    if (!GetFileChunk(*F, &bytes, chunk) || !bytes)
        return UploadFailed("Fail to get designed chunk");
    if (!SendChunkBytes(x, chunk, *bytes))
        return UploadFailed("Fail to upload a chunk to transmiter");
    // Kept for a second request of the same key (a file may repeat a chunk).
    if (F->size < CFileCache::kMemoryChunkLimit)
        F->chunkBuffers[own->key] = std::move(bytes);
    bytes.reset();
    if (!chunkJournal_->UpdateStorageKey(own->key, chunk.storageKey))
        return UploadFailed("Fail to add a chunk info to DB");
    if (!back_->ChunkDone(*F, chunk, &x.ack, &x.named))
        return UploadFailed("Fail to upload a file");
    return true;
}

bool CWork::SendChunkBytes(const UploadExchange& x, const CChunkInfo& chunk, const CChunkBuffer& bytes) {
    std::string trsAck;
    if (x.deltas) {
        CChunkBuffer delta;
        // A delta no smaller than the chunk saves nothing: the chunk goes whole.
        if (x.previous->DeltaEncode(bytes, &delta) && delta.GetSize() > 0 &&
            delta.GetSize() < bytes.GetSize()) {
            if (transmitter_->UploadChunk(chunk, delta, &trsAck, true))
                return true;
            Log(kLogError, kUploadTag, "Fail to upload a chunk to transmiter");
        }
    }
    return transmitter_->UploadChunk(chunk, bytes, &trsAck, false);
}

bool CWork::RemoveNamedChunk(UploadExchange& x) {
    Log(kLogInfo, kUploadTag, "Remove a chunk");
    std::string trsAck;
    // The file did not go up: the pass must not read as finished.
    if (x.named.key.empty() || !transmitter_->RemoveChunk(x.named, &trsAck))
        return UploadFailed("Fail to remove a chunk to transmiter");
    if (!chunkJournal_->Delete(x.named.key))
        return UploadFailed("Fail to delete a chunk info from DB");
    // The removal answers with the transmitter's "OK": the next step comes from the back server,
    // asked again about the same file.
    if (!back_->Upload(*x.file, x.previous, &x.ack, &x.named))
        return UploadFailed("Fail to upload a file");
    // The dropped chunk may be one of this file's, asked for again.
    if (x.file->size > 0 && !chunkJournal_->AddFileChunk(*x.file))
        return UploadFailed("Fail to add a chunk info to DB");
    return true;
}

void CWork::KeepLocalAsConflict(const UploadExchange& x, bool moved) {
    const char* tag = kUploadTag;
    if (moved)
        Log(kLogInfo, tag, "!!!Move a conflict file");
    else
        Log(kLogWarn, tag, "!!!Copy a conflict file");
    // The service holds a newer version: the local edit stays beside it under its conflict name,
    // and the next pass brings the service's version down to the path.
    const std::string conflict = CUtil::GetConflictName(x.rel);
    if (!fileCache_->Rename(x.rel, conflict)) {
        Log(kLogError, tag, "Fail to rename {%s} to its conflict name", x.rel.c_str());
        passSucceeded_.store(0);
        return;
    }
    status_.AddConflictCopy(fileCache_->GetRoot() + conflict);
    const std::string& server = x.file->path;
    CJournalItem record;
    if (fileJournal_->Lookup(server, &record) && !fileJournal_->Remove(server)) {
        Log(kLogError, tag, "Fail to delete file {%s} from DB", server.c_str());
        passSucceeded_.store(0);
    }
    syncPending_.store(1);
}

int CWork::UploadFolder(const CFileInfo& D) {
    const char* tag = "CWork::UploadFolder";
    std::string ack;
    CChunkInfo none;
    if (!back_->Upload(D, nullptr, &ack, &none)) {
        Log(kLogError, tag, "Fail to upload a folder");
        passSucceeded_.store(0);
        return 0;
    }
    if (uploadstep::Parse(ack) != uploadstep::Step::kAllChunksExist) {
        Log(kLogFatal, tag, "Fail to get a valid ack: %s", ack.c_str());
        passSucceeded_.store(0);
        return 0;
    }
    if (!fileJournal_->AddActive(D)) {
        Log(kLogError, tag, "Fail to add a folder to DB");
        passSucceeded_.store(0);
        return 0;
    }
    return 1;
}

int CWork::UploadShareFolder(const CFileInfo& S) {
    const char* tag = "CWork::UploadShareFolder";
    std::string newPath = S.path;
    fileJournal_->ToDBSharePath(newPath);  // a shared folder's own path stays in root form
    const std::string id = std::to_string(S.dirFlag);
    std::string old;
    if (!fileJournal_->GetDBShare(id, &old)) {
        passSucceeded_.store(0);
        fileCache_->RemoveShareMarker(S.path);
        fileCache_->RemoveFolderIcon(S.path);
        Log(kLogError, tag, "Fail to find a shared folder(id: %s)", id.c_str());
        return 0;
    }
    if (SameJournalKey(old, newPath)) {
        // Nothing moved: a rename onto itself would only be refused.
        fileCache_->SetPathState(S.path, kStatusInStep);
        return 1;
    }
    std::string ack;
    if (!back_->Rename(id, newPath, &ack)) {
        Log(kLogError, tag, "Fail to rename a folder");
        passSucceeded_.store(0);
        return 0;
    }
    fileCache_->SetPathState(S.path, kStatusInStep);
    fileJournal_->SetDBShare(id, newPath);
    // Only the folder's own row moves: its contents are keyed by the folder id.
    if (!fileJournal_->Rename(old, newPath)) {
        Log(kLogError, tag, "Fail to rename {%s} in DB", old.c_str());
        passSucceeded_.store(0);
        return 0;
    }
    return 1;
}
