// Helpers shared by the platform layer's own sources (not for callers above the layer): an owned
// file descriptor, the fault check that sets LastError, folder creation with parents, path text,
// the *at system calls beneath a boundary, and the steps the file calls share (whole writes,
// renames that never replace, the attribute emulation's reads). Stateless apart from the temporary
// name counter, so callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/fault.h"

struct stat;

namespace platform::internal {

// Closes the descriptor at scope end unless released.
class FdGuard {
  public:
    explicit FdGuard(int fd = -1) : fd_(fd) {}
    ~FdGuard();
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1);

  private:
    int fd_;
};

// True when an armed fault says this call must fail; LastError is then set to its error.
bool Faulted(Op op, const std::string& path);

// Sets LastError from errno and returns false, for `return Fail();` at a failing system call.
bool FailErrno();

// Creates `path` and any missing parents with `mode`; true when it is a folder afterwards.
bool MakeDirs(const std::string& path, unsigned mode);

// Appends "/" and `name` to `dir` ("/" itself is not doubled).
std::string JoinPath(const std::string& dir, const std::string& name);

// The part after the last "/" (trailing slashes ignored).
std::string BaseName(const std::string& path);

// The folder part before the last "/" ("." without one, "/" for a top-level entry).
std::string DirName(const std::string& path);

// A path split into an open parent folder and its last name, for the *at system calls. For a
// path outside every boundary the parent is AT_FDCWD and the name is the whole path.
class AtPath {
  public:
    AtPath() = default;
    AtPath(const AtPath&) = delete;
    AtPath& operator=(const AtPath&) = delete;

    // Opens the parent. False with LastError() set: ELOOP when a component below the boundary is
    // a link, ENOTDIR when it is not a folder, EXDEV for a "." or ".." that could climb out.
    bool Resolve(const std::string& path);
    int Dir() const;
    const char* Leaf() const { return leaf_.c_str(); }
    // "/proc/self/fd/<parent>/<name>" for the calls without an *at form (extended attributes):
    // the kernel follows the descriptor, never a link in the path.
    std::string ProcPath() const;

  private:
    FdGuard dir_;
    std::string leaf_;
};

// System calls on paths, each resolved beneath its boundary when it has one (beneath.h), so no
// link below the client's own folders is followed: -1 with errno set on failure.
int LstatAt(const std::string& path, struct stat* st);
int OpenAt(const std::string& path, int flags, unsigned mode = 0);
int MkdirAt(const std::string& path, unsigned mode);
int UnlinkAt(const std::string& path, int flags);                              // 0 or AT_REMOVEDIR
int RenameAt(const std::string& from, const std::string& to, unsigned flags);  // renameat2 flags
int LinkAt(const std::string& from, const std::string& to);
int ChmodAt(const std::string& path, unsigned mode);  // refuses a link at the last name

// Writes all `len` bytes to `fd`, retrying after interrupts; false (LastError set) otherwise.
bool WriteFd(int fd, const void* buf, size_t len);

// A call on two paths is one call for the fault registry: a fault filtered on either path matches.
std::string BothPaths(const std::string& from, const std::string& to);

// "<path>.tmp-<pid>-<n>": a name beside `path` that no other writer of this process picks.
std::string TempNameFor(const std::string& path);

// Rename that never replaces `to`. File systems without renameat2 flags get link+unlink (files)
// or a check followed by a plain rename (folders; a small race that such file systems force).
bool RenameNoReplace(const std::string& from, const std::string& to);

// Flushes the folder holding `path`, so a rename or a new entry in it survives a crash (best
// effort: a folder that cannot be opened is left as it is).
void SyncParentDir(const std::string& path);

// The target of the link `leaf` in the folder `dir` (an *at descriptor), read whole; `sizeHint`
// is the length lstat gave. -1 with errno set on failure.
int ReadLinkAt(int dir, const char* leaf, size_t sizeHint, std::string* target);

// The attribute emulation (file_attributes.cpp): attributes as GetFileAttributes gives them,
// from an lstat result, the entry's name and a path for its extended attributes. A non-null
// `xattrSupported` turns false on a file system without user extended attributes, and while it is
// false they are not asked for again (one listing asks once).
uint32_t AttributesOf(const struct stat& st, const char* name, const char* path, bool* xattrSupported);
// Copies the stored attributes from one open file or folder to another (best effort).
void CopyAttrXattr(int fromFd, int toFd);

}  // namespace platform::internal
