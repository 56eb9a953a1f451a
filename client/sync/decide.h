// The decisions of a pass, apart from their effects: given what the disk holds, what the journal
// remembers and what the service lists, what must happen to one path. Pure functions of plain
// records, without I/O or state; CWork gathers the facts, asks here, and carries the answer out,
// and the tests check the rules by tables and by a model of two computers and a service.
//
// The rules share one promise: no content that a side holds is lost unless that side or another
// replaced or deleted it on purpose. A local edit the journal did not expect is kept under its
// conflict name, a removal on the service takes only the version this computer saw, and a path
// whose newer server version has not reached the disk is never sent up.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "store/fileinfo.h"

struct CJournalItem;

namespace decide {

// What the disk holds at a path, as a fresh look found it.
enum class Local { kNone, kFile, kFolder, kOther };

bool IsFolder(const CFileInfo& info);
// Two descriptions of the same content: both folders, or files of one size whose chunk keys are
// equal (hexadecimal keys: letter case does not count).
bool SameContent(const CFileInfo& a, const CFileInfo& b);

// ---- Snapshot.

// Whether a listed entry becomes a pending version: not when the journal has it on the disk in
// this very version (a shared folder's contents listed in this pass are always taken).
bool NeedsFetch(const CJournalItem* record, const CFileInfo& listed, bool listedShare);

// ---- Download phase.

// A path new on the service (the journal has no version of it on the disk).
enum class NewPath {
    kFetch,           // nothing is there: the service's version is written
    kKeep,            // a folder for a folder: nothing to write
    kMarkShare,       // a folder for a shared folder: the local folder becomes it
    kSetTime,         // the file holds the service's content already: only its time is set
    kAsideThenFetch,  // something else is there: it goes to its conflict name first
};
// True when the answer depends on whether the local file holds U's content (it must be read).
bool NewPathNeedsContent(Local local, const CFileInfo& U);
NewPath OnNewPath(Local local, const CFileInfo& U, bool sameContent);

// A changed server version U of a path whose version A is on the disk. `unchanged`: the local
// entry is still A (CFileInfo::IsUnchanged); `sameAsU`: it holds U's content already.
enum class Changed {
    kFetchAsConflict,  // deleted here: U comes down under the conflict name, the path goes
    kSetTime,          // the disk has U's content: only the time is set
    kReplace,          // the disk has A: U replaces it (A goes to the trash)
    kAsideThenFetch,   // edited here as well: the edit goes to its conflict name, then U comes
};
Changed OnChangedVersion(Local local, bool unchanged, bool sameAsU);

// A path the service deleted; T is the tombstone (the version that was on the disk).
enum class ServerDeleted {
    kNothing,         // nothing (or a link, never synced) is there
    kRemove,          // the disk still holds T: it goes to the trash
    kClearFolder,     // a folder: what the journal knows unchanged goes, the rest stays
    kKeepAsConflict,  // edited (or replaced by another kind) since: kept under its conflict name
};
// True when the answer depends on whether the local file holds T's content.
bool ServerDeletedNeedsContent(Local local, const CFileInfo& L, const CFileInfo& T);
ServerDeleted OnServerDeletion(Local local, const CFileInfo& L, const CFileInfo& T, bool sameContent);

// ---- Upload phase.

// What a scanned local entry asks for, against the journal's record of its path (null: none).
enum class LocalEntry {
    kInStep,          // the journal's version on the disk is this one
    kNew,             // the journal does not know the path: it goes up as new
    kModified,        // changed since the last pass: it goes up against the journal's version
    kReplaceKind,     // a file became a folder or the other way: the service's entry goes first
    kWaitForService,  // the service has a version the disk has not received yet (or deleted the
                      // path): nothing goes up until the download phase settled it
};
LocalEntry OnLocalEntry(const CJournalItem* record, const CFileInfo& scanned);

// A path deleted here. Before the service removes its entry, the client looks at that entry again
// (one request): only the version this computer saw may go.
enum class Fresh {
    kEntry,      // the service describes the path: `fresh` holds its entry
    kMissing,    // the service no longer has the path
    kOtherKind,  // the service holds another kind of entry there
    kFailed,     // the look failed (network, refusal): nothing is decided
};
enum class Removal {
    kRemove,  // the service holds what this computer saw: remove it
    kLeave,   // the service holds another version: it stays, and the journal forgets the path so
              // that the next pass brings it down
    kGone,    // nothing left to remove: the journal forgets the path
    kRetry,   // unknown: the record stays for a later pass
};
Removal OnLocalDeletion(const CFileInfo& seen, Fresh look, const CFileInfo& fresh);

// A folder deleted here, against the service's recursive listing of it (lower-cased server path
// -> entry) and the journal (null when the key has no record). The listing names the contents
// of a shared folder by its id: `contentsKey` is that id for a shared folder, else `folderKey`.
struct FolderRemoval {
    bool whole = false;               // one removal of the folder takes only what was seen
    std::vector<std::string> remove;  // server paths removed one by one, parents before children
    std::vector<std::string> forget;  // journal keys dropped: kept on the service, they come down
};
using JournalLookup = std::function<const CJournalItem*(const std::string& key)>;
FolderRemoval PlanFolderRemoval(const std::string& folderKey, const std::string& contentsKey,
                                const std::map<std::string, CFileInfo>& listing,
                                const JournalLookup& journal);
// Whether the journal's record of a listed entry says it was on the disk in this very version.
bool SeenAsListed(const CJournalItem* record, const CFileInfo& listed);

// ---- Renames found in the scan: a path the journal had on the disk vanished while another path
// of the same identity appeared. Sent as renames, never as a removal plus a new upload.
struct Vanished {
    std::string key;  // journal key (lower-cased server path)
    std::string rel;  // root-relative path
    CFileInfo seen;   // the journal's version on the disk; fileDevice/fileInode when known
    // A folder's children as the journal had them: lower-cased name -> version.
    std::map<std::string, CFileInfo> children;
};
struct Appeared {
    std::string rel;                            // root-relative path
    CFileInfo entry;                            // the scan's record; a file's chunk list when it was read
    std::map<std::string, CFileInfo> children;  // a folder's children as the scan found them
};
struct RenamePair {
    size_t vanished = 0;  // indexes into the inputs
    size_t appeared = 0;
};
// True when `a` could be `v` renamed, before any file is read: same kind, and for a file the same
// size and time. Only such candidates need their chunk lists.
bool MayBeRenameOf(const Vanished& v, const Appeared& a);
// Pairs that are renames beyond doubt: one candidate each way, the same file by device and inode
// (with size and time), or, where the old identity is not known, the same content (a file's chunk
// list; a folder's children, at least one). A pair inside a folder that moved as a whole is left
// out: the folder's rename carries it.
std::vector<RenamePair> MatchRenames(const std::vector<Vanished>& vanished,
                                     const std::vector<Appeared>& appeared);

// ---- The whole pass.

// A pass that would remove on the service more than this share of the journal, and more than
// this many entries, asks the user first.
constexpr int kMassRemovalMinimum = 100;
bool IsMassRemoval(size_t removals, size_t journalEntries);

// The wait before an item that failed `failures` times (1 or more) is tried again: `baseMs`,
// doubled with every further failure, never more than `capMs`.
int64_t RetryDelayMs(int failures, int64_t baseMs, int64_t capMs);

}  // namespace decide
