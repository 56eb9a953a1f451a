#include "platform/filemode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/internal.h"

namespace platform {

using internal::FailErrno;
using internal::Faulted;
using internal::FdGuard;

namespace {

// fchmod on a descriptor opened without following a link: a link planted at the path cannot
// redirect the change to its target.
bool ChmodNoFollow(const std::string& path, unsigned mode) {
    FdGuard fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.Get() < 0) {
        if (errno != EACCES)
            return FailErrno();
        // An entry of ours that we may not read (0200, 0300): its mode can still be set.
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            return FailErrno();
        if (S_ISLNK(st.st_mode)) {
            SetLastError(ELOOP);
            return false;
        }
        return ::chmod(path.c_str(), mode) == 0 || FailErrno();
    }
    return ::fchmod(fd.Get(), mode) == 0 || FailErrno();
}

// The names of the extended attributes of `path` (a link is not followed); false on an error
// other than a file system that has none.
bool ListXattrNames(const std::string& path, std::vector<std::string>* names) {
    names->clear();
    std::vector<char> buf(1024);
    for (;;) {
        const ssize_t n = ::llistxattr(path.c_str(), buf.data(), buf.size());
        if (n >= 0) {
            for (size_t at = 0; at < static_cast<size_t>(n);) {
                const std::string name(buf.data() + at);
                at += name.size() + 1;
                if (!name.empty())
                    names->push_back(name);
            }
            return true;
        }
        if (errno == ENOTSUP)
            return true;
        if (errno != ERANGE || buf.size() >= (1u << 20))
            return FailErrno();
        buf.resize(buf.size() * 4);
    }
}

// One attribute's value from `from` onto `to`.
bool CopyOneXattr(const std::string& from, const std::string& to, const std::string& name) {
    std::vector<char> value(256);
    for (;;) {
        const ssize_t n = ::lgetxattr(from.c_str(), name.c_str(), value.data(), value.size());
        if (n >= 0) {
            value.resize(static_cast<size_t>(n));
            break;
        }
        if (errno != ERANGE || value.size() >= (1u << 20))
            return FailErrno();
        value.resize(value.size() * 4);
    }
    return ::lsetxattr(to.c_str(), name.c_str(), value.data(), value.size(), 0) == 0 || FailErrno();
}

}  // namespace

bool CopyExtendedAttributes(const std::string& from, const std::string& to, const std::string& skipPrefix) {
    if (Faulted(Op::Xattr, from))
        return false;
    std::vector<std::string> names;
    if (!ListXattrNames(from, &names))
        return false;
    bool all = true;
    int lastErr = 0;
    for (const std::string& name : names) {
        if (!skipPrefix.empty() && name.compare(0, skipPrefix.size(), skipPrefix) == 0)
            continue;
        if (Faulted(Op::Xattr, to) || !CopyOneXattr(from, to, name)) {
            all = false;
            lastErr = LastError();
        }
    }
    if (!all)
        SetLastError(lastErr);
    return all;
}

bool SetMode(const std::string& path, unsigned mode) {
    if (Faulted(Op::SetMode, path))
        return false;
    return ChmodNoFollow(path, mode & 07777);
}

bool GetMode(const std::string& path, unsigned* mode) {
    if (Faulted(Op::Stat, path))
        return false;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return FailErrno();
    *mode = st.st_mode & 07777;
    return true;
}

bool MakeDirPrivate(const std::string& path) {
    if (Faulted(Op::MakeDir, path))
        return false;
    if (::mkdir(path.c_str(), kPrivateDirMode) != 0 && errno != EEXIST)
        return FailErrno();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return FailErrno();
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ENOTDIR);
        return false;
    }
    // mkdir applies the umask, and an existing folder keeps whatever it had.
    return SetMode(path, kPrivateDirMode);
}

bool MakeFilePrivate(const std::string& path) {
    if (Faulted(Op::Open, path))
        return false;
    FdGuard fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                      kPrivateFileMode));
    if (fd.Get() < 0)
        return FailErrno();
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0)
        return FailErrno();
    if (!S_ISREG(st.st_mode)) {
        SetLastError(EINVAL);
        return false;
    }
    if (Faulted(Op::SetMode, path))
        return false;
    return ::fchmod(fd.Get(), kPrivateFileMode) == 0 || FailErrno();
}

bool TightenFile(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT || FailErrno();
    if (!S_ISREG(st.st_mode))
        return true;  // not ours to change: a link or something else under that name
    if ((st.st_mode & 07777) == kPrivateFileMode)
        return true;
    return SetMode(path, kPrivateFileMode);
}

}  // namespace platform
