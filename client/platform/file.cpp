#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/beneath.h"
#include "platform/error.h"
#include "platform/internal.h"
#include "platform/plog.h"

namespace platform {

using internal::FailErrno;
using internal::Faulted;
using internal::FdGuard;
using internal::JoinPath;
using internal::LinkAt;
using internal::LstatAt;
using internal::MkdirAt;
using internal::OpenAt;
using internal::RenameAt;
using internal::UnlinkAt;

namespace internal {

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

}  // namespace internal

namespace {

constexpr const char* kAttrXattr = "user.kestrine.attributes";
constexpr uint32_t kStoredBits = kAttrReadOnly | kAttrHidden | kAttrSystem;

int64_t ToFileTime(const struct timespec& ts) {
    return UnixToFileTime(ts.tv_sec, ts.tv_nsec);
}

struct timespec ToTimespec(int64_t fileTime) {
    int64_t sec = 0, nsec = 0;
    FileTimeToUnix(fileTime, &sec, &nsec);
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(nsec);
    return ts;
}

// The time a write-time call stores: with the CoarseTime fault armed, the even second at or
// before it, as a file system with 2-second steps keeps it.
struct timespec StoredTimespec(int64_t fileTime, const std::string& path) {
    struct timespec ts = ToTimespec(fileTime);
    int unused = 0;
    if (ShouldFail(Op::CoarseTime, path, &unused)) {
        ts.tv_nsec = 0;
        ts.tv_sec -= ((ts.tv_sec % 2) + 2) % 2;
    }
    return ts;
}

EntryKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) {
        return EntryKind::File;
    }
    if (S_ISDIR(mode)) {
        return EntryKind::Directory;
    }
    if (S_ISLNK(mode)) {
        return EntryKind::Link;
    }
    return EntryKind::Other;
}

void FillStat(const struct stat& st, FileStat* out) {
    out->kind = KindOf(st.st_mode);
    // Folders have no size of their own, as on the design's platform.
    out->size = out->kind == EntryKind::Directory ? 0 : static_cast<int64_t>(st.st_size);
    // Linux stat carries no birth time; the change time stands in for the creation time.
    out->creationTime = ToFileTime(st.st_ctim);
    out->writeTime = ToFileTime(st.st_mtim);
    out->accessTime = ToFileTime(st.st_atim);
    out->device = static_cast<uint64_t>(st.st_dev);
    out->inode = static_cast<uint64_t>(st.st_ino);
    out->writeTimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    out->changeTimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
}

uint32_t ParseAttrText(const char* text, size_t len) {
    uint32_t bits = 0;
    size_t i = 0;
    while (i < len) {
        while (i < len && (text[i] == ',' || text[i] == ' ')) {
            ++i;
        }
        size_t start = i;
        while (i < len && text[i] != ',' && text[i] != ' ') {
            ++i;
        }
        std::string_view word(text + start, i - start);
        if (word == "hidden") {
            bits |= kAttrHidden;
        } else if (word == "system") {
            bits |= kAttrSystem;
        } else if (word == "readonly") {
            bits |= kAttrReadOnly;
        }
    }
    return bits;
}

std::string AttrText(uint32_t bits) {
    std::string text;
    auto add = [&text](const char* w) {
        if (!text.empty()) {
            text.push_back(',');
        }
        text.append(w);
    };
    if (bits & kAttrHidden) {
        add("hidden");
    }
    if (bits & kAttrSystem) {
        add("system");
    }
    if (bits & kAttrReadOnly) {
        add("readonly");
    }
    return text;
}

// Reads the stored attribute bits; *supported turns false on a file system without user xattrs.
uint32_t ReadStoredBits(const char* path, bool* supported) {
    char buf[64];
    ssize_t n = ::lgetxattr(path, kAttrXattr, buf, sizeof buf);
    if (n < 0) {
        if (errno == ENOTSUP && supported) {
            *supported = false;
        }
        return 0;
    }
    return ParseAttrText(buf, static_cast<size_t>(n));
}

// Attributes as GetFileAttributes gives them, from an lstat result and the entry's name.
uint32_t AttributesOf(const struct stat& st, const char* name, const char* path, bool* xattrSupported) {
    uint32_t bits = 0;
    if (name[0] == '.') {
        bits |= kAttrHidden;
    }
    // User xattrs exist only on files and folders (Linux refuses them on links and specials).
    if ((S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) && (!xattrSupported || *xattrSupported)) {
        bits |= ReadStoredBits(path, xattrSupported);
    }
    // A file nobody may write to reads as read-only, whoever made it so.
    if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
        bits |= kAttrReadOnly;
    }
    if (S_ISDIR(st.st_mode)) {
        return bits | kAttrDirectory;
    }
    return bits == 0 ? kAttrNormal : bits;
}

int OpenFlags(File::Mode mode) {
    switch (mode) {
        case File::Mode::Read:
            return O_RDONLY;
        case File::Mode::ReadWrite:
            return O_RDWR;
        case File::Mode::CreateRW:
            return O_RDWR | O_CREAT;
        case File::Mode::CreateTrunc:
            return O_WRONLY | O_CREAT | O_TRUNC;
        case File::Mode::CreateNew:
        case File::Mode::CreateNewPrivate:
            return O_WRONLY | O_CREAT | O_EXCL;
        case File::Mode::Append:
            return O_RDWR | O_CREAT | O_APPEND;
    }
    return O_RDONLY;
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

// A call on two paths is one call for the fault registry: a fault filtered on either path matches.
std::string BothPaths(const std::string& from, const std::string& to) {
    return from + "\n" + to;
}

std::atomic<unsigned> gTempCounter{0};

std::string TempNameFor(const std::string& path) {
    return path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(gTempCounter.fetch_add(1));
}

// Rename that never replaces `to`. File systems without renameat2 flags get link+unlink (files)
// or a check followed by a plain rename (folders; a small race that such file systems force).
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
    int fd = OpenAt(internal::DirName(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Copies the stored attribute text from one open file or folder to another (best effort).
void CopyAttrXattr(int fromFd, int toFd) {
    char buf[64];
    ssize_t n = ::fgetxattr(fromFd, kAttrXattr, buf, sizeof buf);
    if (n > 0) {
        ::fsetxattr(toFd, kAttrXattr, buf, static_cast<size_t>(n), 0);
    }
}

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
        if (::fchmod(out.Get(), st.st_mode & 07777) != 0 || ::futimens(out.Get(), times) != 0) {
            ok = FailErrno();
        } else if (Faulted(Op::Fsync, to)) {
            ok = false;
        } else if (::fsync(out.Get()) != 0) {
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
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = ::readlinkat(src.Dir(), src.Leaf(), target.data(), target.size());
        if (n < 0) {
            return FailErrno();
        }
        target.resize(static_cast<size_t>(n));
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
        // The data is safe at the target; a source that cannot be removed stays, as a move that
        // copies across volumes does on the design's platform.
        Log(3, "platform::MoveFile",
            "Moved \"" + from + "\" by copy but could not remove the source: " + ErrorText(LastError()));
    }
    return true;
}

}  // namespace

int64_t UnixToFileTime(int64_t seconds, int64_t nanoseconds) {
    return seconds * 10000000LL + nanoseconds / 100 + kFileTimeUnixOffset;
}

void FileTimeToUnix(int64_t fileTime, int64_t* seconds, int64_t* nanoseconds) {
    int64_t t = fileTime - kFileTimeUnixOffset;
    int64_t sec = t / 10000000LL;
    int64_t rest = t % 10000000LL;
    if (rest < 0) {
        rest += 10000000LL;
        sec -= 1;
    }
    *seconds = sec;
    *nanoseconds = rest * 100;
}

bool Stat(const std::string& path, FileStat* out) {
    if (Faulted(Op::Stat, path)) {
        return false;
    }
    struct stat st;
    if (LstatAt(path, &st) != 0) {
        return FailErrno();
    }
    FillStat(st, out);
    return true;
}

bool Exists(const std::string& path) {
    FileStat st;
    return Stat(path, &st);
}

bool IsDirectory(const std::string& path) {
    FileStat st;
    return Stat(path, &st) && st.kind == EntryKind::Directory;
}

bool IsRegularFile(const std::string& path) {
    FileStat st;
    return Stat(path, &st) && st.kind == EntryKind::File;
}

bool ListDir(const std::string& dir, std::vector<DirEntry>* out, bool withAttributes) {
    out->clear();
    if (Faulted(Op::ListDir, dir)) {
        return false;
    }
    int fd = OpenAt(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return FailErrno();
    }
    std::unique_ptr<DIR, int (*)(DIR*)> d(::fdopendir(fd), ::closedir);
    if (!d) {
        ::close(fd);
        return FailErrno();
    }
    // One path buffer reused for the attribute reads: the prefix stays, the name is swapped.
    std::string path;
    size_t prefix = 0;
    bool xattrSupported = true;
    if (withAttributes) {
        // Below a boundary the entries are named through the open folder, never its path.
        path = IsConfined(JoinPath(dir, "x")) ? "/proc/self/fd/" + std::to_string(fd) : dir;
        if (path.empty() || path.back() != '/') {
            path.push_back('/');
        }
        prefix = path.size();
    }
    struct stat st;
    for (;;) {
        errno = 0;
        struct dirent* e = ::readdir(d.get());
        if (!e) {
            if (errno != 0) {
                int err = errno;
                out->clear();
                SetLastError(err);
                return false;
            }
            break;
        }
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        if (::fstatat(::dirfd(d.get()), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                continue;  // removed since it was listed
            }
            // A listing without the entries' facts would read as missing files: fail it whole.
            int err = errno;
            out->clear();
            SetLastError(err);
            return false;
        }
        DirEntry& entry = out->emplace_back();
        entry.name.assign(name);
        FillStat(st, &entry.stat);
        if (withAttributes) {
            path.resize(prefix);
            path.append(name);
            entry.attributes = AttributesOf(st, name, path.c_str(), &xattrSupported);
        }
    }
    return true;
}

bool MakeDir(const std::string& path) {
    if (Faulted(Op::MakeDir, path)) {
        return false;
    }
    return MkdirAt(path, 0777) == 0 || FailErrno();
}

bool RemoveDir(const std::string& path) {
    if (Faulted(Op::Remove, path)) {
        return false;
    }
    return UnlinkAt(path, AT_REMOVEDIR) == 0 || FailErrno();
}

bool RemoveFile(const std::string& path) {
    if (Faulted(Op::Remove, path)) {
        return false;
    }
    return UnlinkAt(path, 0) == 0 || FailErrno();
}

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

bool ReplaceFile(const std::string& from, const std::string& to) {
    if (Faulted(Op::Rename, BothPaths(from, to))) {
        return false;
    }
    return RenameAt(from, to, 0) == 0 || FailErrno();
}

bool ExchangeFiles(const std::string& a, const std::string& b) {
    if (Faulted(Op::Rename, BothPaths(a, b)) || Faulted(Op::Exchange, BothPaths(a, b))) {
        return false;
    }
    return RenameAt(a, b, RENAME_EXCHANGE) == 0 || FailErrno();
}

bool RenameNew(const std::string& from, const std::string& to) {
    if (Faulted(Op::Rename, BothPaths(from, to))) {
        return false;
    }
    return RenameNoReplace(from, to);
}

bool SameFileVersion(const FileStat& a, const FileStat& b) {
    return a.kind == b.kind && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.writeTimeNs == b.writeTimeNs;
}

bool FileSystemId(const std::string& path, std::string* id) {
    if (Faulted(Op::Stat, path)) {
        return false;
    }
    struct stat st;
    struct statfs fs;
    if (::stat(path.c_str(), &st) != 0 || ::statfs(path.c_str(), &fs) != 0) {
        return FailErrno();
    }
    int words[2];
    static_assert(sizeof words == sizeof fs.f_fsid, "fsid is two ints");
    std::memcpy(words, &fs.f_fsid, sizeof words);
    char text[96];
    if (words[0] != 0 || words[1] != 0) {
        std::snprintf(text, sizeof text, "fsid:%08x%08x:%lx", static_cast<unsigned>(words[0]),
                      static_cast<unsigned>(words[1]), static_cast<unsigned long>(fs.f_type));
    } else {
        std::snprintf(text, sizeof text, "dev:%llx:%lx", static_cast<unsigned long long>(st.st_dev),
                      static_cast<unsigned long>(fs.f_type));
    }
    *id = text;
    return true;
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

uint32_t GetFileAttributes(const std::string& path) {
    if (Faulted(Op::Stat, path)) {
        return kInvalidAttributes;
    }
    internal::AtPath at;
    struct stat st;
    if (!at.Resolve(path)) {
        return kInvalidAttributes;
    }
    if (::fstatat(at.Dir(), at.Leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        FailErrno();
        return kInvalidAttributes;
    }
    std::string name = internal::BaseName(path);
    return AttributesOf(st, name.c_str(), at.ProcPath().c_str(), nullptr);
}

bool SetFileAttributes(const std::string& path, uint32_t attributes) {
    if (Faulted(Op::SetAttr, path)) {
        return false;
    }
    internal::AtPath at;
    struct stat st;
    if (!at.Resolve(path)) {
        return false;
    }
    if (::fstatat(at.Dir(), at.Leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return FailErrno();
    }
    const std::string where = at.ProcPath();
    uint32_t bits = attributes & kStoredBits;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        // Links and special files carry no attributes; clearing them is already done.
        if (bits == 0) {
            return true;
        }
        SetLastError(S_ISLNK(st.st_mode) ? ELOOP : EINVAL);
        return false;
    }
    if (bits == 0) {
        if (::lremovexattr(where.c_str(), kAttrXattr) != 0 && errno != ENODATA && errno != ENOTSUP) {
            return FailErrno();
        }
    } else {
        std::string text = AttrText(bits);
        if (::lsetxattr(where.c_str(), kAttrXattr, text.data(), text.size(), 0) != 0 && errno != ENOTSUP) {
            return FailErrno();
        }
    }
    mode_t mode = st.st_mode & 07777;
    mode_t want = mode;
    if (S_ISREG(st.st_mode)) {
        want = (bits & kAttrReadOnly) ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH))
                                      : (mode | S_IWUSR);
    } else if (attributes == kAttrNormal || attributes == 0) {
        // Read-only is only an attribute on a folder, but clearing everything also gives the
        // owner back a folder someone made unwritable, so its entries can be removed.
        want = mode | S_IRWXU;
    }
    if (want != mode && ::fchmodat(at.Dir(), at.Leaf(), want, AT_SYMLINK_NOFOLLOW) != 0) {
        return FailErrno();
    }
    return true;
}

bool GetFileWriteTime(const std::string& path, int64_t* fileTime) {
    FileStat st;
    if (!Stat(path, &st)) {
        return false;
    }
    *fileTime = st.writeTime;
    return true;
}

bool SetFileWriteTime(const std::string& path, int64_t fileTime) {
    if (Faulted(Op::SetTime, path)) {
        return false;
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = StoredTimespec(fileTime, path);
    internal::AtPath at;
    if (!at.Resolve(path)) {
        return false;
    }
    return ::utimensat(at.Dir(), at.Leaf(), times, AT_SYMLINK_NOFOLLOW) == 0 || FailErrno();
}

bool ReadFileToString(const std::string& path, std::string* out, size_t limit) {
    File f;
    if (!f.Open(path, File::Mode::Read)) {
        return false;
    }
    std::string data;
    int64_t size = f.Size();
    if (size > 0) {
        data.reserve(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(size), limit)));
    }
    char buf[65536];
    while (data.size() < limit) {
        size_t want = std::min(sizeof buf, limit - data.size());
        int64_t n = f.Read(buf, want);
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    out->swap(data);
    return true;
}

bool WriteFileAtomic(const std::string& path, const std::string& data) {
    std::string tmp = TempNameFor(path);
    File f;
    if (!f.Open(tmp, File::Mode::CreateNew)) {
        return false;
    }
    bool ok = f.WriteAll(data.data(), data.size()) && f.Sync();
    f.Close();
    if (ok) {
        ok = ReplaceFile(tmp, path);
    }
    if (!ok) {
        int err = LastError();
        UnlinkAt(tmp, 0);
        SetLastError(err);
        return false;
    }
    SyncParentDir(path);
    return true;
}

// ---- File ----

File::~File() {
    Close();
}

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

bool File::Open(const std::string& path, Mode mode, bool exclusive) {
    Close();
    if (Faulted(Op::Open, path)) {
        return false;
    }
    int flags = OpenFlags(mode) | O_CLOEXEC | O_NOFOLLOW;
    // A file held locked by someone else must not be truncated before the lock says so.
    bool truncateAfterLock = exclusive && (flags & O_TRUNC);
    if (truncateAfterLock) {
        flags &= ~O_TRUNC;
    }
    int fd = OpenAt(path, flags, mode == Mode::CreateNewPrivate ? 0600 : 0666);
    if (fd < 0) {
        return FailErrno();
    }
    FdGuard guard(fd);
    if (exclusive) {
        if (Faulted(Op::Lock, path)) {
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            return FailErrno();
        }
        if (truncateAfterLock && ::ftruncate(fd, 0) != 0) {
            return FailErrno();
        }
    }
    fd_ = guard.Release();
    path_ = path;
    return true;
}

void File::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int64_t File::Read(void* buf, size_t len) {
    if (fd_ < 0) {
        SetLastError(EBADF);
        return -1;
    }
    if (Faulted(Op::Read, path_)) {
        return -1;
    }
    for (;;) {
        ssize_t n = ::read(fd_, buf, len);
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            FailErrno();
            return -1;
        }
    }
}

bool File::ReadAll(void* buf, size_t len) {
    char* p = static_cast<char*>(buf);
    while (len > 0) {
        int64_t n = Read(p, len);
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            SetLastError(ENODATA);  // the file ended early
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool File::WriteAll(const void* buf, size_t len) {
    if (fd_ < 0) {
        SetLastError(EBADF);
        return false;
    }
    if (Faulted(Op::Write, path_)) {
        return false;
    }
    return WriteFd(fd_, buf, len);
}

bool File::SeekToEnd() {
    if (fd_ < 0) {
        SetLastError(EBADF);
        return false;
    }
    return ::lseek(fd_, 0, SEEK_END) >= 0 || FailErrno();
}

bool File::Seek(int64_t offset) {
    if (fd_ < 0) {
        SetLastError(EBADF);
        return false;
    }
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0 || FailErrno();
}

int64_t File::Size() {
    if (fd_ < 0) {
        SetLastError(EBADF);
        return -1;
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        FailErrno();
        return -1;
    }
    return st.st_size;
}

bool File::Sync() {
    if (fd_ < 0) {
        SetLastError(EBADF);
        return false;
    }
    if (Faulted(Op::Fsync, path_)) {
        return false;
    }
    return ::fsync(fd_) == 0 || FailErrno();
}

bool File::Truncate(int64_t size) {
    if (fd_ < 0) {
        SetLastError(EBADF);
        return false;
    }
    if (Faulted(Op::Truncate, path_)) {
        return false;
    }
    return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 || FailErrno();
}

bool File::SetWriteTime(int64_t fileTime) {
    if (fd_ < 0) {
        SetLastError(EBADF);
        return false;
    }
    if (Faulted(Op::SetTime, path_)) {
        return false;
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = StoredTimespec(fileTime, path_);
    return ::futimens(fd_, times) == 0 || FailErrno();
}

bool File::GetWriteTime(int64_t* fileTime) {
    if (fd_ < 0) {
        SetLastError(EBADF);
        return false;
    }
    if (Faulted(Op::Stat, path_)) {
        return false;
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        return FailErrno();
    }
    *fileTime = ToFileTime(st.st_mtim);
    return true;
}

}  // namespace platform
