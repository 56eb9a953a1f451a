// The platform layer's shared helpers (internal.h): descriptors, faults, path text, the *at
// system calls beneath a boundary, and the write, rename and sync steps the file calls share.
#include "platform/internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "platform/beneath.h"
#include "platform/error.h"

namespace platform::internal {

FdGuard::~FdGuard() {
    Reset();
}

void FdGuard::Reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

bool Faulted(Op op, const std::string& path) {
    int err = 0;
    if (ShouldFail(op, path, &err)) {
        SetLastError(err);
        return true;
    }
    return false;
}

bool FailErrno() {
    SetLastError(errno);
    return false;
}

bool MakeDirs(const std::string& path, unsigned mode) {
    if (path.empty()) {
        SetLastError(ENOENT);
        return false;
    }
    struct stat st;
    if (LstatAt(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return true;
        }
        SetLastError(ENOTDIR);
        return false;
    }
    std::string parent = DirName(path);
    if (parent != path && parent != "." && parent != "/" && !MakeDirs(parent, mode)) {
        return false;
    }
    if (MkdirAt(path, mode) != 0 && errno != EEXIST) {
        return FailErrno();
    }
    return true;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) {
        return name;
    }
    if (dir.back() == '/') {
        return dir + name;
    }
    std::string r;
    r.reserve(dir.size() + 1 + name.size());
    r.append(dir).push_back('/');
    r.append(name);
    return r;
}

std::string BaseName(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') {
        --end;
    }
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) {
        return path.substr(0, end);
    }
    if (end == 1 && slash == 0) {
        return "/";
    }
    return path.substr(slash + 1, end - slash - 1);
}

std::string DirName(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') {
        --end;
    }
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) {
        return ".";
    }
    while (slash > 0 && path[slash - 1] == '/') {
        --slash;
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Each wraps one system call on a path resolved beneath its boundary (beneath.h): -1 with errno
// set on failure, as the call itself reports.
namespace {
int Unresolved() {
    errno = LastError();
    return -1;
}
}  // namespace

int LstatAt(const std::string& path, struct stat* st) {
    AtPath at;
    return at.Resolve(path) ? ::fstatat(at.Dir(), at.Leaf(), st, AT_SYMLINK_NOFOLLOW) : Unresolved();
}

int OpenAt(const std::string& path, int flags, unsigned mode) {
    AtPath at;
    return at.Resolve(path) ? ::openat(at.Dir(), at.Leaf(), flags, static_cast<mode_t>(mode)) : Unresolved();
}

int MkdirAt(const std::string& path, unsigned mode) {
    AtPath at;
    return at.Resolve(path) ? ::mkdirat(at.Dir(), at.Leaf(), static_cast<mode_t>(mode)) : Unresolved();
}

int UnlinkAt(const std::string& path, int flags) {
    AtPath at;
    return at.Resolve(path) ? ::unlinkat(at.Dir(), at.Leaf(), flags) : Unresolved();
}

int RenameAt(const std::string& from, const std::string& to, unsigned flags) {
    AtPath a, b;
    if (!a.Resolve(from) || !b.Resolve(to)) {
        return Unresolved();
    }
    return flags == 0 ? ::renameat(a.Dir(), a.Leaf(), b.Dir(), b.Leaf())
                      : ::renameat2(a.Dir(), a.Leaf(), b.Dir(), b.Leaf(), flags);
}

int LinkAt(const std::string& from, const std::string& to) {
    AtPath a, b;
    if (!a.Resolve(from) || !b.Resolve(to)) {
        return Unresolved();
    }
    return ::linkat(a.Dir(), a.Leaf(), b.Dir(), b.Leaf(), 0);
}

int ChmodAt(const std::string& path, unsigned mode) {
    AtPath at;
    // Never through a link at the last name either (glibc does it through the descriptor).
    return at.Resolve(path) ? ::fchmodat(at.Dir(), at.Leaf(), static_cast<mode_t>(mode), AT_SYMLINK_NOFOLLOW)
                            : Unresolved();
}

bool WriteFd(int fd, const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailErrno();
        }
        if (n == 0) {
            SetLastError(EIO);
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

std::string BothPaths(const std::string& from, const std::string& to) {
    return from + "\n" + to;
}

namespace {
std::atomic<unsigned> gTempCounter{0};
}  // namespace

std::string TempNameFor(const std::string& path) {
    return path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(gTempCounter.fetch_add(1));
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (RenameAt(from, to, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return FailErrno();
    }
    struct stat st;
    if (LstatAt(from, &st) != 0) {
        return FailErrno();
    }
    if (!S_ISDIR(st.st_mode)) {
        if (LinkAt(from, to) == 0) {
            UnlinkAt(from, 0);
            return true;
        }
        if (errno == EEXIST) {
            return FailErrno();
        }
    }
    struct stat target;
    if (LstatAt(to, &target) == 0) {
        SetLastError(EEXIST);
        return false;
    }
    if (RenameAt(from, to, 0) != 0) {
        return FailErrno();
    }
    return true;
}

void SyncParentDir(const std::string& path) {
    int fd = OpenAt(DirName(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

int ReadLinkAt(int dir, const char* leaf, size_t sizeHint, std::string* target) {
    // The size lstat gave can be 0 (some file systems do not know it) or stale: grow until the
    // target fits with room to spare, so it is never cut off.
    std::string buf(std::max<size_t>(sizeHint, 63) + 1, '\0');
    for (;;) {
        ssize_t n = ::readlinkat(dir, leaf, buf.data(), buf.size());
        if (n < 0) {
            return -1;
        }
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            *target = std::move(buf);
            return 0;
        }
        buf.resize(buf.size() * 2);
    }
}

}  // namespace platform::internal
