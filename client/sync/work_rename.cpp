// CWork::Rename: a rename the directory watcher saw in the home folder goes to the service at once,
// between passes, so the file's data does not travel again; the pass that follows checks the
// result. A rename the service refuses is left to that pass, which sees a deletion and a new entry.
#include <string>

#include "core/log.h"
#include "journal/filejournal.h"
#include "service/back.h"
#include "store/filecache.h"
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
    const char* tag = "CWork::Rename";
    if (!signedIn_.load() || !fileJournal_ || !fileCache_ || !back_) {
        // The first pass after the sign-in finds the new name in its scan.
        Log(kLogInfo, tag, "Rename \"%s\" to \"%s\" while signed out: left to the next pass", oldName.c_str(),
            newName.c_str());
        return 0;
    }
    const std::string oldRel = RootRelative(oldName);
    const std::string newRel = RootRelative(newName);
    if (oldRel.empty() || newRel.empty()) {
        Log(kLogError, tag, "Refuse the rename of \"%s\" to \"%s\"", oldName.c_str(), newName.c_str());
        CheckSync();
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
        CheckSync();
        return 0;
    }

    // 3. The journal, so that the pass finds both names in step.
    if (!fileJournal_->OpenDB()) {
        Log(kLogError, tag, "Fail to open DB of FileJournaler");
        CheckSync();
        return 0;
    }
    std::string abs = newRel;
    fileCache_->ToAbsolutePath(&abs);
    const int done = CUtil::IsDirectory(abs) ? fileJournal_->RenameFolder(oldServer, newServer)
                                             : fileJournal_->Rename(oldServer, newServer);
    if (!done)
        Log(kLogError, tag, "Fail to rename {%s} to {%s} in DB", oldServer.c_str(), newServer.c_str());
    fileJournal_->CloseDB();

    // 4. A pass checks the rest.
    CheckSync();
    return 1;
}
