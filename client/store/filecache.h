// CFileCache: the client's view of its local folders, the sync root and the chunk cache. It
// scans the root into CFileInfo records, cuts files into chunks (kept in the record below the
// memory threshold, else in the cache folder), builds files from chunks, moves, copies and
// removes entries, and decorates shared folders. The worker owns the one instance, which owns
// the scan's records, the per-path state table and the shared status area read by the desktop's
// overlay component. Worker thread only: nothing here takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/beneath.h"
#include "store/chunkbuffer.h"
#include "store/fileinfo.h"
#include "store/sharedfilestatus.h"

namespace platform {
class File;
struct FileStat;
}  // namespace platform

class CFileCache {
  public:
    // A shared folder carries its share id as decimal text in this hidden, system file.
    static constexpr const char* kShareMarkerName = ".peltashare";
    static constexpr const char* kFolderIconFile = "desktop.ini";
    // Beside the decoration, file managers (GNOME Files, Nemo, Caja, Dolphin) hide the names this
    // file lists, one a line. The home folder's and each shared folder's is kept by the client and
    // never synced; one elsewhere is an ordinary file.
    static constexpr const char* kHiddenListName = ".hidden";
    // What the client writes into such a file, and the whole of one it made by itself.
    static constexpr const char* kHiddenListLine = "desktop.ini\n";
    static constexpr size_t kShareMarkerReadLimit = 128;
    // Files of this size and more keep no chunk in memory: each goes to the cache as it is cut.
    static constexpr int64_t kMemoryChunkLimit = 20971520;
    static constexpr int kMaxScanDepth = 32;
    // Files being built are hidden names ending so; the scan never lists them.
    static constexpr const char* kPartSuffix = ".kestrine-part";
    // An earlier version stepping aside for a new one, where the file system cannot swap two files.
    static constexpr const char* kAsideSuffix = ".old.kestrine-part";
    // Days a trashed entry is kept.
    static constexpr int kTrashDays = 30;
    // Names that programs make for a moment and that stay on this computer: office owner and
    // temporary files and "Thumbs.db" (only when hidden, as those programs make them), editors'
    // locks, swap and backup files, safe-save temporaries and browsers' unfinished downloads
    // (whatever their attribute). One table, in filecache_scan.cpp; the scan and the watcher
    // both drop regular files through IsTemporaryFile.
    enum class TemporaryName { kNo, kAlways, kWhenHidden };
    static TemporaryName ClassifyName(const std::string& name);
    // True when the regular file at `full`, named `name`, is dropped: its attribute is read only
    // when the name's class asks for it.
    static bool IsTemporaryFile(const std::string& full, const std::string& name);

    CFileCache() = default;
    CFileCache(const CFileCache&) = delete;
    CFileCache& operator=(const CFileCache&) = delete;

    // --- Set-up. Paths are stored with "/" and no trailing separator.
    bool Init(const std::string& root);  // root folder and status area; empties both
    // Creates a missing root unless `create` is false (a home folder that vanished is not made
    // again: see CWork::CheckHome).
    bool SetRoot(const std::string& root, bool create = true);
    bool SetCache(const std::string& cache);
    bool CleanCache();
    bool SetFolder(const std::string& folder);  // creates a missing folder (hidden)
    const std::string& GetRoot() const { return root_; }
    const std::string& GetCache() const { return cache_; }

    // --- Paths. True when the root was prefixed / removed; a path that already begins with the
    // root (in any letter case) gets the root's own spelling.
    bool ToAbsolutePath(std::string* path) const;
    bool ToRelativePath(std::string* path) const;

    // --- Scan of the root into records keyed by lower-cased relative path.
    bool ScanRoot();
    // False when the depth limit is exceeded or the folder cannot be listed.
    bool ScanPath(const std::string& folder, int depth);
    bool Find(const std::string& path, CFileInfo* out) const;
    bool GetFirst(CFileInfo* out);
    bool GetNext(CFileInfo* out);
    bool GetFirstRef(CFileInfo** out);
    bool GetNextRef(CFileInfo** out);
    size_t Count() const { return localFiles_.size(); }
    // Names the last scan found but leaves out, as the service could not tell them apart or
    // would read them as folder paths: root-relative path and why.
    enum class Unsyncable { kCaseClash, kBackslash };
    struct LeftOut {
        std::string path;
        Unsyncable why;
    };
    const std::vector<LeftOut>& ScanLeftOut() const { return leftOut_; }
    // The shared folders the journal knows (share id text -> root-relative path "/a/b"), given
    // before each scan. A folder's share id comes from here: a marker on disk only follows a
    // known share that moved (see _ShareIdOf), since a marker can be copied or planted; one
    // naming a share that is elsewhere or unknown is removed with the shared-folder icon.
    void SetKnownShares(std::map<std::string, std::string> shares) { knownShares_ = std::move(shares); }
    // The id of the known share at the root-relative path `rel` (letter case ignored), else 1.
    int32_t KnownShareAt(const std::string& rel) const;
    bool FindShareFolder(const std::string& id, std::string* folder) const;
    void SetState(const std::string& path, int32_t state);
    int32_t GetState(const std::string& path) const;

    // --- Chunks. The public form chunks a file record once (folders have none); the inner form
    // re-reads the file at `path`, whose size must still be the record's.
    bool LoadChunk(CFileInfo* info);
    bool LoadChunk(const std::string& path, CFileInfo* info);
    // Writes the buffer's valid bytes as the cache file named by the key (whole or not at all).
    bool CacheChunk(const std::string& key, const CChunkBuffer* buffer);
    // The cached bytes of the chunk, whose length must be chunk.size.
    bool GetChunkCache(const CChunkInfo& chunk, CChunkBuffer* buffer);
    bool FindCachedChunk(const std::string& key, CChunkInfo* out);

    // --- Local file operations on relative (or absolute) paths under the root.
    // Builds the file from its chunks beside the target and moves it into place: the target is
    // the new file of the expected size, or stays as it was. A new file never replaces what
    // appeared at its path. An existing target is replaced only while it is still the version
    // `judged` describes (the target as found at the start when none is given); the two are
    // swapped in one step and the old version goes to the trash, or, when a save reached it in
    // the meantime, to its conflict name, which *keptAs then holds (empty otherwise).
    bool MakeFile(CFileInfo* info, const platform::FileStat* judged = nullptr, std::string* keptAs = nullptr);
    bool MkDir(const std::string& path);
    bool Rename(const std::string& from, const std::string& to);  // never replaces the target
    bool Copy(const std::string& from, const std::string& to);    // replaces the target
    // True when the file system kept exactly the record's modification time; otherwise the
    // record takes the stored time.
    bool SetFileTime(CFileInfo* info);
    bool GetFileInfo(const std::string& path, CFileInfo* out);

    // --- Share markers and folder decoration.
    bool SetShareFolder(const std::string& path, const std::string& id);
    // The folder's share marker, at most its first 128 bytes; false when there is none.
    bool _GetShareFolder(const std::string& folder, std::string* id);
    // Writes the marker; on failure logs, shows the file error and leaves no partial marker.
    bool _SetShareFolder(const std::string& folder, const std::string& id);
    bool RemoveShareMarker(const std::string& folder);
    // Removes the decoration, and the hidden-name list when it holds nothing but the client's line.
    bool RemoveFolderIcon(const std::string& folder);
    // Adds the decoration's line to the folder's hidden-name list, made when missing; a user's
    // lines stay as they are (the line is appended). False when the list could not be written or
    // is not a regular file, which is then left alone.
    bool _ListIconFileAsHidden(const std::string& folder);
    // True when the file at `path` is a hidden-name list the client made: its line, nothing else.
    static bool IsOwnHiddenList(const std::string& path);
    // True for the root ("") and a shared folder the scan has listed: the folders decorated.
    bool _IsDecoratedFolder(const std::string& rel) const;
    bool _SetFolderIcon(const std::string& folder, const std::string& icon, const std::string& owner);
    bool SetHomeFolderIcon(const std::string& folder);
    bool SetShareFolderIcon(const std::string& folder, bool sharedTo, const std::string& owner);
    void RefreshShellIcons();
    // Removes a folder with everything in it, or a file whatever its attributes. A symbolic
    // link is removed itself, never what it points to.
    bool Remove(const std::string& path);

    // --- The local trash: what the passes delete or replace in the tree on the service's behalf
    // goes to <trash>/<YYYY-MM-DD>/<root-relative path> (" (2)", ... when taken), never away.
    // Without a trash folder (a bare store) such entries are deleted.
    bool SetTrash(const std::string& folder);  // creates it when missing
    const std::string& GetTrash() const { return trash_; }
    enum class Trashed { kTrashed, kChanged, kMissing, kFailed };
    // Moves the entry at `path` to the trash. With `judged`, the entry must still be that version
    // (before the move: file, size, times to the nanosecond; after it: file, size, write time): an
    // entry saved since stays in the tree under its conflict name (*keptAs) and kChanged answers.
    Trashed MoveToTrash(const std::string& path, const platform::FileStat* judged = nullptr,
                        std::string* keptAs = nullptr);
    // Deletes the trash's day folders older than `days` days before `nowUnixSeconds`; the count.
    int PruneTrash(int days, int64_t nowUnixSeconds);

    // --- Path states in the shared status area (paths relative or absolute).
    void SetPathState(const std::string& path, int32_t state);
    void SetPathStateUpTo(const std::string& path, int32_t state, const std::string& stopPath);
    void SetPathProgress(const std::string& path, const SharedStatusValues& values);

    CSharedFileStatus& SharedStatus() { return sharedStatus_; }

    // Files the client itself moved into place, for the watcher (another thread): the kernel
    // folds a user's rename onto the same name into the client's own, and only the size and
    // time the client wrote tell the two apart. 1: the file at `abs` is still what the client
    // wrote; 0: something else is there now; -1: no note of it. The note is used up.
    int CheckOwnWrite(const std::string& abs);

  private:
    using FileMap = std::map<std::string, CFileInfo>;

    static std::string MarkerPath(const std::string& folder);
    static std::string JoinName(const std::string& folder, const char* name);
    static int _ShowFileError(const std::string& path, int err);
    // The absolute form of a path handed to an operation; false (logged under `tag`) for a path
    // with a "." or ".." component or a NUL, which could name something outside the root.
    bool _LocalPath(const std::string& path, std::string* abs, const char* tag) const;
    // True when `path` is the root or lies below it (letter case ignored).
    bool _UnderRoot(const std::string& path, bool allowRoot) const;
    bool _ScanFolder(const std::string& folder, const std::string& rel, int depth);
    // The share id of the scanned folder `full` (root-relative `rel`), or 1 for a plain folder.
    int32_t _ShareIdOf(const std::string& full, const std::string& rel);
    // Gives a folder whose marker names a known share that id when the share's own place holds no
    // folder (it moved there); otherwise the marker and decoration go. After the scan's listing.
    void _SettleMarkerClaims();
    bool _ReadChunks(platform::File* file, const std::string& path, CFileInfo* info);
    bool _CachePath(const std::string& key, std::string* path, const char* tag) const;
    // Stores `state` for the path and each parent below the root.
    void _StoreUpToRoot(const std::string& abs, int32_t state);
    void _NotifyShell(const std::string& path) const;
    static bool StillAsJudged(const platform::FileStat& now, const platform::FileStat& judged,
                              const std::string& abs);
    bool _BuildPart(CFileInfo* info, const std::string& abs, const std::string& part, int64_t* stored);
    bool _PlaceNew(const std::string& part, const std::string& abs);
    bool _ReplaceJudged(const std::string& part, const std::string& abs, const platform::FileStat& judged,
                        std::string* keptAs);
    // Takes the entry at `from` (the version of `abs` that was judged) to the trash, or keeps it
    // under the conflict name of `abs` when it changed.
    Trashed _Dispose(const std::string& from, const std::string& abs, const platform::FileStat* judged,
                     std::string* keptAs);
    bool _KeepAsConflict(const std::string& from, const std::string& abs, std::string* keptAs);
    std::string _TrashPathFor(const std::string& abs) const;
    static bool _MakeParents(const std::string& abs);
    void _NoteOwnWrite(const std::string& abs, int64_t size, int64_t writeTime);
    void _ForgetOwnWrite(const std::string& abs);

    std::string root_;   // the sync root, "/"-separated, no trailing separator
    std::string cache_;  // the chunk cache folder, same form
    std::string trash_;  // the trash folder, same form; empty: none
    // No operation below these three folders follows a link (a folder swapped for one mid-pass).
    platform::Boundary rootBoundary_, cacheBoundary_, trashBoundary_;
    FileMap localFiles_;
    FileMap::iterator cursor_ = localFiles_.end();
    std::map<std::string, int32_t> states_;  // lower-cased relative path -> sync state
    CSharedFileStatus sharedStatus_;
    std::map<std::string, std::string> shareMap_;     // share id text -> folder path, from the last scan
    std::map<std::string, std::string> knownShares_;  // share id text -> root-relative path, the journal's
    struct MarkerClaim {
        std::string key;   // the folder's lower-cased relative path
        std::string full;  // its absolute path
        std::string id;    // the known share its marker names
    };
    std::vector<MarkerClaim> markerClaims_;  // of the running scan
    std::string lastStatusPath_;

    std::mutex ownWritesMu_;
    std::map<std::string, std::pair<int64_t, int64_t>> ownWrites_;  // abs path -> size, write time
    bool scanFailed_ = false;  // a folder of the running scan could not be listed
    std::vector<LeftOut> leftOut_;
};
