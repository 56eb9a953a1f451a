// Files and folders (file.h): looking at entries, listing, making and removing, renames, write
// times, whole-file reads and writes, and the File descriptor. The attribute emulation lives in
// file_attributes.cpp, tree copy and move in file_tree.cpp, the shared steps in internal.cpp.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/beneath.h"
#include "platform/error.h"
#include "platform/internal.h"

namespace platform {

// The layer's own helpers (internal.h) read as its own calls here.
using namespace internal;

namespace {

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
    // Folders have no size of their own: the size lstat gives a folder is its entry table's.
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

// The names of a path between its "/" separators, empty ones left out.
std::vector<std::string_view> SplitNames(const std::string& path) {
    std::vector<std::string_view> names;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            names.emplace_back(path.data() + start, end - start);
        }
        start = end + 1;
    }
    return names;
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

bool ReadLink(const std::string& path, std::string* target) {
    if (Faulted(Op::ReadLink, path)) {
        return false;
    }
    internal::AtPath at;
    if (!at.Resolve(path)) {
        return false;
    }
    return internal::ReadLinkAt(at.Dir(), at.Leaf(), 0, target) == 0 || FailErrno();
}

std::string LexicalPath(const std::string& path) {
    if (path.empty()) {
        return path;
    }
    const bool absolute = path[0] == '/';
    std::vector<std::string_view> kept;
    for (std::string_view name : SplitNames(path)) {
        if (name == ".") {
            continue;
        }
        if (name == ".." && !kept.empty() && kept.back() != "..") {
            kept.pop_back();
            continue;
        }
        if (name == ".." && absolute) {
            continue;  // the root is its own parent
        }
        kept.push_back(name);
    }
    std::string out = absolute ? "/" : "";
    for (std::string_view name : kept) {
        if (!out.empty() && out.back() != '/') {
            out.push_back('/');
        }
        out.append(name);
    }
    return out.empty() ? "." : out;
}

bool ResolvePath(const std::string& path, std::string* resolved) {
    if (Faulted(Op::Stat, path)) {
        return false;
    }
    const std::vector<std::string_view> names = SplitNames(path);
    // The leading part that exists, as stat finds it (links followed).
    std::string existing = !path.empty() && path[0] == '/' ? "/" : "";
    size_t found = 0;
    for (; found < names.size(); ++found) {
        const std::string next = JoinPath(existing, std::string(names[found]));
        struct stat st;
        if (::stat(next.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                break;
            }
            return FailErrno();
        }
        existing = next;
    }
    std::string out;
    if (!existing.empty()) {
        std::unique_ptr<char, void (*)(void*)> real(::realpath(existing.c_str(), nullptr), ::free);
        if (!real) {
            return FailErrno();
        }
        out = real.get();
    }
    for (size_t i = found; i < names.size(); ++i) {
        out = JoinPath(out, std::string(names[i]));
    }
    *resolved = LexicalPath(out);
    return true;
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
