// Change records of one folder tree, read from inotify: one watch per folder, added as folders
// appear (their contents reported as added, so nothing made before the watch is missed) and
// dropped as they go. Events become the directory-change actions 1 added, 2 removed, 3 modified,
// 4/5 the old and new name of a rename, with names relative to the watched root. One thread reads;
// Wake may be called from any thread to end a blocked Read at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Change filter bits: a watch reports the kinds of change whose bits are set in its filter.
constexpr uint32_t kNotifyFileName = 0x1;
constexpr uint32_t kNotifyDirName = 0x2;
constexpr uint32_t kNotifySize = 0x8;
constexpr uint32_t kNotifyLastWrite = 0x10;

constexpr int kDirAdded = 1;
constexpr int kDirRemoved = 2;
constexpr int kDirModified = 3;
constexpr int kDirRenamedOld = 4;
constexpr int kDirRenamedNew = 5;
// The kernel's queue overflowed and records were dropped: anything in the tree may have changed.
constexpr int kDirOverflow = 6;

struct DirChange {
    int action = 0;
    std::string name;  // relative to the root, "/"-separated; empty for the root itself
    bool operator==(const DirChange&) const = default;
};

class DirWatch {
  public:
    enum class ReadResult {
        kChanges,  // the records of one batch (possibly none worth reporting)
        kWoken,    // Wake was called, or the timeout passed
        kFailed,   // the root went away or inotify failed: nothing more will come
    };

    DirWatch();
    ~DirWatch();
    DirWatch(const DirWatch&) = delete;
    DirWatch& operator=(const DirWatch&) = delete;

    // Watches `root` (and, with `subtree`, every folder below it) for the changes `filter` names.
    // False when the root itself cannot be watched. Folders that cannot be watched (out of
    // watches, no access) are logged and left out; Incomplete() then says so.
    bool Open(const std::string& root, bool subtree, uint32_t filter);
    void Close();
    bool IsOpen() const;

    // Waits for changes (at most `timeoutMs`, without limit when negative) and returns every
    // record queued so far, in order, a rename's two halves next to each other.
    ReadResult Read(std::vector<DirChange>* out, int timeoutMs = -1);
    void Wake();

    size_t WatchCount() const;
    bool IsWatched(const std::string& rel) const;  // "" is the root
    bool Incomplete() const;

    // /proc/sys/fs/inotify/max_user_watches, -1 when it cannot be read.
    static long MaxUserWatches();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
