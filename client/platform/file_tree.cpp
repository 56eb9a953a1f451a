// Tree copy and move: copying a regular file whole (beside the target, then renamed into place),
// and moving a file or folder tree, by rename or, across file systems, by copy then delete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/internal.h"
#include "platform/plog.h"

namespace platform {

// The layer's own helpers (internal.h) read as its own calls here.
using namespace internal;

namespace {

// Copies a regular file's bytes, permission bits, write time and stored attributes into a file
// created at `to` (which must not exist), synced to disk. On failure nothing is left at `to`.
bool CopyRegularNew(const std::string& from, const std::string& to) {
    if (Faulted(Op::Open, from)) {
        return false;
    }
    FdGuard in(OpenAt(from, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (in.Get() < 0) {
        return FailErrno();
    }
    struct stat st;
    if (::fstat(in.Get(), &st) != 0) {
        return FailErrno();
    }
    if (!S_ISREG(st.st_mode)) {
        SetLastError(EINVAL);
        return false;
    }
    if (Faulted(Op::Open, to)) {
        return false;
    }
    FdGuard out(OpenAt(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (out.Get() < 0) {
        return FailErrno();
    }
    bool ok = true;
    std::unique_ptr<char[]> buf(new char[1 << 18]);
    for (;;) {
        if (Faulted(Op::Read, from)) {
            ok = false;
            break;
        }
        ssize_t n = ::read(in.Get(), buf.get(), 1 << 18);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ok = FailErrno();
            break;
        }
        if (n == 0) {
            break;
        }
        if (Faulted(Op::Write, to) || !WriteFd(out.Get(), buf.get(), static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    if (ok) {
        CopyAttrXattr(in.Get(), out.Get());
        struct timespec times[2];
        times[0] = st.st_atim;
        times[1] = st.st_mtim;
        const bool attributesSet =
            ::fchmod(out.Get(), st.st_mode & 07777) == 0 && ::futimens(out.Get(), times) == 0;
        if (attributesSet && Faulted(Op::Fsync, to)) {
            ok = false;
        } else if (!attributesSet || ::fsync(out.Get()) != 0) {
            ok = FailErrno();
        }
    }
    if (!ok) {
        int err = LastError();
        out.Reset();
        UnlinkAt(to, 0);
        SetLastError(err);
    }
    return ok;
}

// Removes a file, link or folder tree without following links. Read-only folders are made
// writable first so their entries can go.
bool RemoveTree(const std::string& path) {
    struct stat st;
    if (LstatAt(path, &st) != 0) {
        return FailErrno();
    }
    if (!S_ISDIR(st.st_mode)) {
        return UnlinkAt(path, 0) == 0 || FailErrno();
    }
    if ((st.st_mode & 0700) != 0700) {
        internal::ChmodAt(path, (st.st_mode & 07777) | 0700);
    }
    std::vector<DirEntry> entries;
    bool ok = ListDir(path, &entries);
    for (const DirEntry& e : entries) {
        ok = RemoveTree(JoinPath(path, e.name)) && ok;
    }
    if (UnlinkAt(path, AT_REMOVEDIR) != 0) {
        return FailErrno();
    }
    return ok;
}

// Copies a tree to a new place (which must not exist): folders, files, links (as links) and
// fifos; write times are kept. Anything else fails the copy, so a move never drops an entry.
bool CopyTreeNew(const std::string& from, const std::string& to) {
    struct stat st;
    if (LstatAt(from, &st) != 0) {
        return FailErrno();
    }
    if (S_ISREG(st.st_mode)) {
        return CopyRegularNew(from, to);
    }
    internal::AtPath src, dst;
    if (!src.Resolve(from) || !dst.Resolve(to)) {
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        std::string target;
        if (internal::ReadLinkAt(src.Dir(), src.Leaf(), static_cast<size_t>(st.st_size), &target) != 0) {
            return FailErrno();
        }
        return ::symlinkat(target.c_str(), dst.Dir(), dst.Leaf()) == 0 || FailErrno();
    }
    if (S_ISFIFO(st.st_mode)) {
        return ::mkfifoat(dst.Dir(), dst.Leaf(), st.st_mode & 07777) == 0 || FailErrno();
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ENOTSUP);
        return false;
    }
    if (::mkdirat(dst.Dir(), dst.Leaf(), 0700) != 0) {
        return FailErrno();
    }
    std::vector<DirEntry> entries;
    if (!ListDir(from, &entries)) {
        return false;
    }
    for (const DirEntry& e : entries) {
        if (!CopyTreeNew(JoinPath(from, e.name), JoinPath(to, e.name))) {
            return false;
        }
    }
    FdGuard in(::openat(src.Dir(), src.Leaf(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    FdGuard out(::openat(dst.Dir(), dst.Leaf(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (out.Get() < 0) {
        return FailErrno();
    }
    if (in.Get() >= 0) {
        CopyAttrXattr(in.Get(), out.Get());
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::fchmod(out.Get(), st.st_mode & 07777) != 0 || ::futimens(out.Get(), times) != 0) {
        return FailErrno();
    }
    ::fsync(out.Get());
    return true;
}

bool MoveAcrossDevices(const std::string& from, const std::string& to) {
    struct stat st;
    if (LstatAt(from, &st) != 0) {
        return FailErrno();
    }
    if (LstatAt(to, &st) == 0) {
        SetLastError(EEXIST);
        return false;
    }
    if (!CopyTreeNew(from, to)) {
        int err = LastError();
        // Only what this copy created is at `to`: the target did not exist before.
        struct stat left;
        if (LstatAt(to, &left) == 0) {
            RemoveTree(to);
        }
        SetLastError(err);
        return false;
    }
    SyncParentDir(to);
    if (!RemoveTree(from)) {
        // The data is safe at the target, so the move counts as done; a source that cannot be
        // removed stays where it is.
        Log(3, "platform::MoveFile",
            "Moved \"" + from + "\" by copy but could not remove the source: " + ErrorText(LastError()));
    }
    return true;
}

}  // namespace

bool MoveFile(const std::string& from, const std::string& to) {
    if (Faulted(Op::Rename, BothPaths(from, to))) {
        return false;
    }
    int forced = 0;
    if (!ShouldFail(Op::CrossDevice, from, &forced)) {
        if (RenameNoReplace(from, to)) {
            return true;
        }
        if (LastError() != EXDEV) {
            return false;
        }
    }
    return MoveAcrossDevices(from, to);
}

bool CopyFile(const std::string& from, const std::string& to, bool replace) {
    if (Faulted(Op::Copy, BothPaths(from, to))) {
        return false;
    }
    struct stat st;
    if (!replace && LstatAt(to, &st) == 0) {
        SetLastError(EEXIST);
        return false;
    }
    // Copy beside the target, then rename it into place: the target is whole or untouched.
    std::string tmp = TempNameFor(to);
    if (!CopyRegularNew(from, tmp)) {
        return false;
    }
    bool ok = replace ? (RenameAt(tmp, to, 0) == 0 || FailErrno()) : RenameNoReplace(tmp, to);
    if (!ok) {
        int err = LastError();
        UnlinkAt(tmp, 0);
        SetLastError(err);
    }
    return ok;
}

}  // namespace platform
