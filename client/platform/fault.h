// Fault injection for the platform layer: tests tell a chosen platform call to fail, the way a
// fault-injecting Env or a test VFS does, so every error path above the layer runs for real.
// The registry is process-wide and thread-safe; production code never arms it.
#pragma once

#include <functional>
#include <string>

namespace platform {

enum class Op {
    Open,         // File::Open, and opens inside copies and shared memory
    Read,         // File::Read
    Write,        // File::Write / WriteAll
    Fsync,        // File::Sync
    Truncate,     // File::Truncate
    Rename,       // MoveFile, ReplaceFile
    Remove,       // RemoveFile, RemoveDir
    MakeDir,      // MakeDir
    ListDir,      // ListDir
    Stat,         // Stat, GetFileInfo-like lookups, ResolvePath
    SetTime,      // SetFileWriteTime, File::SetWriteTime
    SetAttr,      // SetFileAttributes
    Copy,         // CopyFile
    Lock,         // exclusive flock (File::Open exclusive, InstanceLock)
    Map,          // SharedMemory::Open
    ThreadStart,  // Thread::Start
    Spawn,        // OpenWithDefault (xdg-open) and other child processes
    CrossDevice,  // MoveFile: the rename reports EXDEV, so the copy-then-delete path runs
    CoarseTime,   // SetFileWriteTime, File::SetWriteTime: stored in 2-second steps, as FAT keeps it
    Watch,        // DirWatch: inotify_add_watch of a folder (ENOSPC: out of watches)
    Exchange,     // ExchangeFiles: the file system cannot swap (EINVAL), so callers take their other way
    Beneath,      // resolving a path below a confined folder; ENOSYS makes it walk as without openat2
    SetMode,      // SetMode, MakeDirPrivate, MakeFilePrivate: the permission change (filemode.h)
    Keyring,      // Keyring calls; the path is "store:", "lookup:" or "remove:" + the account
    Xattr,        // CopyExtendedAttributes: reading or setting one extended attribute (filemode.h)
    Socket,       // the control socket: listening (ControlServer::Start) and connecting (AskInstance)
    ReadLink,     // ReadLink: reading where a symbolic link points
};

// Arms a fault: after `skip` matching calls succeed, the next `count` matching calls of `op`
// fail with `err` (an errno value). A call matches when `pathContains` is empty or occurs in the
// call's path. Faults of the same op queue up in the order armed.
void FailCall(Op op, int count = 1, int err = 5 /* EIO */, const std::string& pathContains = "",
              int skip = 0);

// Runs `hook` (with the call's path) once, at the next call of `op` whose path contains
// `pathContains`, before the call does its work: a test acts at an exact moment inside an
// operation (a user's save landing between a look at a file and its replacement).
void OnCall(Op op, std::function<void(const std::string& path)> hook, const std::string& pathContains = "");

// Disarms every fault and hook.
void ClearFaults();

// Used inside the layer: true (and *err set) when the call must fail now.
bool ShouldFail(Op op, const std::string& path, int* err);

// RAII: disarms every fault at scope end (for tests).
class FaultScope {
  public:
    FaultScope() = default;
    ~FaultScope() { ClearFaults(); }
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
};

}  // namespace platform
