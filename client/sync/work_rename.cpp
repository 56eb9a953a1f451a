// CWork::Rename: a rename the directory watcher saw in the home folder goes to the service at once,
// between passes, so the file's data does not travel again; the pass that follows checks the
// result. A rename the service refuses is left to that pass, which sees a deletion and a new entry.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "core/log.h"
#include "journal/filejournal.h"
#include "platform/file.h"
#include "platform/messages.h"
#include "platform/thread.h"
#include "service/back.h"
#include "store/filecache.h"
#include "sync/journalsession.h"
#include "sync/serverpath.h"
#include "sync/work.h"
#include "util/util.h"

namespace {

// "/a/b" from "a/b" or "/a/b"; empty when a component is empty, "." or "..", or holds a NUL:
// such a name cannot come from the file system and must not reach the service or the journal.
std::string RootRelative(const std::string& name) {
    std::string rel = name.empty() || name[0] != '/' ? "/" + name : name;
    if (rel.size() < 2 || rel.find('\0') != std::string::npos)
        return std::string();
    for (size_t start = 1; start <= rel.size();) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos)
            end = rel.size();
        const std::string part = rel.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return std::string();
        start = end + 1;
    }
    return rel;
}

}  // namespace

int CWork::Rename(const std::string& oldName, const std::string& newName) {
    if (!signedIn_.load() || !fileJournal_ || !fileCache_ || !back_) {
        // The first pass after the sign-in finds the new name in its scan.
        Log(kLogInfo, "CWork::Rename", "Rename \"%s\" to \"%s\" while signed out: left to the next pass",
            oldName.c_str(), newName.c_str());
        return 0;
    }
    const int done = RenameOnService(oldName, newName);
    // A pass checks the rest, and takes up what a refused rename left.
    CheckSync();
    return done;
}

void CWork::DrainRenames() {
    if (!signedIn_.load() || !fileJournal_ || !fileCache_ || !back_)
        return;
    for (const platform::ThreadMessage& msg : platform::TakeMessagesOfCode(platform::WM_WORK_RENAME)) {
        std::string oldName, newName;
        if (SplitRenameText(msg.text, &oldName, &newName))
            RenameOnService(oldName, newName);
        else
            Log(kLogError, "CWork::WorkThreadProc", "Malformed rename request \"%s\"", msg.text.c_str());
    }
}

int CWork::RenameOnService(const std::string& oldName, const std::string& newName) {
    const char* tag = "CWork::Rename";
    const std::string oldRel = RootRelative(oldName);
    const std::string newRel = RootRelative(newName);
    if (oldRel.empty() || newRel.empty()) {
        Log(kLogError, tag, "Refuse the rename of \"%s\" to \"%s\"", oldName.c_str(), newName.c_str());
        return 0;
    }

    // 1. Both names as the service knows them (the shares of the last listing).
    std::string oldServer = oldRel, newServer = newRel;
    fileJournal_->ToServerSharePath(oldServer);
    fileJournal_->ToServerSharePath(newServer);
    Log(kLogInfo, tag, "Rename %s to %s", oldServer.c_str(), newServer.c_str());

    // 2. The service.
    std::string ack;
    if (!back_->Rename(oldServer, newServer, &ack)) {
        Log(kLogError, tag, "Fail to rename a folder");
        return 0;
    }

    // 3. The journal, so that the pass finds both names in step.
    CJournalSession session(fileJournal_.get(), tag);
    if (!session.IsOpen())
        return 0;
    // The new name may be gone already (renamed again, or deleted): only a file there is known
    // to be one; anything else moves with what the journal has under it.
    std::string abs = newRel;
    fileCache_->ToAbsolutePath(&abs);
    const int done = platform::IsRegularFile(abs) ? fileJournal_->Rename(oldServer, newServer)
                                                  : fileJournal_->RenameFolder(oldServer, newServer);
    if (!done)
        Log(kLogError, tag, "Fail to rename {%s} to {%s} in DB", oldServer.c_str(), newServer.c_str());
    return 1;
}

namespace {

// A shared folder's contents are keyed by its id: "17/x".
bool InsideShare(const std::string& key) {
    const size_t slash = key.find('/');
    return slash != std::string::npos && slash > 0 && key.find_first_not_of("0123456789") == slash;
}

std::string LowerParent(const std::string& rel, std::string* name) {
    const size_t slash = rel.rfind('/');
    *name = CFileJournal::MakeKey(rel.substr(slash + 1));
    return CFileJournal::MakeKey(rel.substr(0, slash));
}

}  // namespace

void CWork::RememberScanIds() {
    seenIds_.clear();
    CFileInfo* ref = nullptr;
    for (bool ok = fileCache_->GetFirstRef(&ref); ok; ok = fileCache_->GetNextRef(&ref)) {
        if (ref->fileInode != 0)
            seenIds_[CFileJournal::MakeKey(ref->path)] = {ref->fileDevice, ref->fileInode};
    }
}

int CWork::DetectRenames() {
    const char* tag = "CWork::DetectRenames";
    // What the journal had on the disk, by folder, and what of it is gone from the disk now.
    std::map<std::string, std::map<std::string, CFileInfo>> journalChildren, scanChildren;
    std::vector<decide::Vanished> vanished;
    CJournalItem item;
    for (int ok = fileJournal_->GetFirst(&item); ok; ok = fileJournal_->GetNext(&item)) {
        if (item.onDisk != 1)
            continue;
        std::string rel = item.active.path.empty() ? item.key : item.active.path;
        if (!fileJournal_->TrimDBServerPah(rel) || rel.size() < 2)
            continue;
        std::string name;
        journalChildren[LowerParent(rel, &name)][name] = item.active;
        CFileInfo local;
        // Shared folders move by their markers (UploadShareFolder), their contents with them.
        if (InsideShare(item.key) || item.active.dirFlag >= 2 || fileCache_->Find(rel, &local) ||
            platform::Exists(fileCache_->GetRoot() + rel))
            continue;
        decide::Vanished v{item.key, rel, item.active, {}};
        auto id = seenIds_.find(CFileJournal::MakeKey(rel));
        if (id != seenIds_.end()) {
            v.seen.fileDevice = id->second.first;
            v.seen.fileInode = id->second.second;
        }
        vanished.push_back(std::move(v));
    }
    if (vanished.empty())
        return 0;
    // What the scan found that the journal does not know.
    std::vector<decide::Appeared> appeared;
    std::vector<std::string> shares;
    CFileInfo F;
    for (bool ok = fileCache_->GetFirst(&F); ok; ok = fileCache_->GetNext(&F)) {
        std::string name;
        scanChildren[LowerParent(F.path, &name)][name] = F;
        if (F.dirFlag >= 2)
            shares.push_back(F.path);
        if (F.dirFlag >= 2 || std::any_of(shares.begin(), shares.end(), [&](const std::string& share) {
                return serverpath::IsBelow(F.path, share);
            }))
            continue;
        std::string server = F.path;
        fileJournal_->ToDBSharePath(server);
        CJournalItem known;
        if (!fileJournal_->Lookup(server, &known))
            appeared.push_back({F.path, F, {}});
    }
    if (appeared.empty())
        return 0;
    for (decide::Vanished& v : vanished)
        v.children = journalChildren[CFileJournal::MakeKey(v.rel)];
    for (decide::Appeared& a : appeared) {
        a.children = scanChildren[CFileJournal::MakeKey(a.rel)];
        // A file whose old identity is unknown is compared by content: read only the candidates.
        const bool candidate = std::any_of(vanished.begin(), vanished.end(), [&](const decide::Vanished& v) {
            return v.seen.fileInode == 0 && decide::MayBeRenameOf(v, a);
        });
        if (candidate && a.entry.dirFlag == 0 && a.entry.size > 0) {
            if (fileCache_->LoadChunk(&a.entry))
                a.entry.FreeChunkBuffers();
            else
                a.entry.chunkListText.clear();
        }
    }
    int renamed = 0;
    for (const decide::RenamePair& p : decide::MatchRenames(vanished, appeared)) {
        const decide::Vanished& v = vanished[p.vanished];
        const decide::Appeared& a = appeared[p.appeared];
        std::string oldServer = v.rel, newServer = a.rel;
        fileJournal_->ToServerSharePath(oldServer);
        fileJournal_->ToServerSharePath(newServer);
        Log(kLogInfo, tag, "Rename %s to %s: the same %s moved", oldServer.c_str(), newServer.c_str(),
            v.seen.dirFlag ? "folder" : "file");
        std::string ack;
        if (!back_->Rename(oldServer, newServer, &ack)) {
            // The pass goes on with a removal (of what this computer saw) and a new upload.
            Log(kLogError, tag, "Fail to rename a folder");
            continue;
        }
        const int done = v.seen.dirFlag ? fileJournal_->RenameFolder(oldServer, newServer)
                                        : fileJournal_->Rename(oldServer, newServer);
        if (!done)
            Log(kLogError, tag, "Fail to rename {%s} to {%s} in DB", oldServer.c_str(), newServer.c_str());
        ++renamed;
    }
    return renamed;
}
