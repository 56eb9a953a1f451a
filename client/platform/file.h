// Files and folders: the only way the client touches the file system. Paths are the client's
// byte strings ("/" separators). Every call can be made to fail through fault.h, and a failing
// call sets LastError(). Nothing here follows a symbolic link when it writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// File attribute bits, with the values Windows gives them. Hidden is a leading "." or the
// attribute stored in the extended attribute "user.kestrine.attributes", as read-only and system
// are; a file without write permission also reads as read-only.
constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrHidden = 0x2;
constexpr uint32_t kAttrSystem = 0x4;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kInvalidAttributes = 0xFFFFFFFF;
// The file system's limits: bytes of one name, and of a whole path with its closing NUL.
constexpr size_t kMaxNameBytes = 255;
constexpr size_t kMaxPathBytes = 4096;

// FILETIME: 100 ns units since 1601-01-01 UTC.
constexpr int64_t kFileTimeUnixOffset = 116444736000000000LL;
int64_t UnixToFileTime(int64_t seconds, int64_t nanoseconds);
void FileTimeToUnix(int64_t fileTime, int64_t* seconds, int64_t* nanoseconds);

enum class EntryKind { File, Directory, Link, Other };

struct FileStat {
    EntryKind kind = EntryKind::Other;
    int64_t size = 0;
    int64_t creationTime = 0;  // FILETIME; Linux has no birth time in stat, the change time stands in
    int64_t writeTime = 0;     // FILETIME of the last modification
    int64_t accessTime = 0;    // FILETIME
    // Which file this is and when it last changed, to the nanosecond: a save between two looks
    // at a path changes at least one of them.
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t writeTimeNs = 0;   // nanoseconds since 1970
    int64_t changeTimeNs = 0;  // status change, nanoseconds since 1970
};

// True when `a` and `b` describe the same file with the same content as far as the file system
// tells: same inode, size and modification time. A rename changes neither.
bool SameFileVersion(const FileStat& a, const FileStat& b);

// lstat: false (LastError set) when the path does not exist or cannot be read.
bool Stat(const std::string& path, FileStat* out);
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);  // a real folder, not a link to one
bool IsRegularFile(const std::string& path);

struct DirEntry {
    std::string name;
    FileStat stat;
    uint32_t attributes = 0;  // filled only when ListDir is asked for attributes
};

// Lists a folder without "." and "..", in the order the file system gives. With `withAttributes`
// each entry's attributes are read as GetFileAttributes would (costs one extra call per entry).
bool ListDir(const std::string& dir, std::vector<DirEntry>* out, bool withAttributes = false);

bool MakeDir(const std::string& path);     // one level; false when it exists already
bool RemoveDir(const std::string& path);   // an empty folder
bool RemoveFile(const std::string& path);  // a file or a link (never what it points to)

// Moves a file or folder without replacing an existing target; across file systems it copies
// then deletes (folders recursively).
bool MoveFile(const std::string& from, const std::string& to);
// Atomic rename over an existing target (same file system), for write-then-rename.
bool ReplaceFile(const std::string& from, const std::string& to);
// Swaps two existing entries of one file system in one step (renameat2 RENAME_EXCHANGE). False
// with LastError() EINVAL or ENOSYS where the file system or kernel cannot; nothing moved then.
bool ExchangeFiles(const std::string& a, const std::string& b);
// Renames without ever replacing: false (EEXIST) when `to` exists. Same file system only.
bool RenameNew(const std::string& from, const std::string& to);

// Where the link at `path` points, as the link stores it (not resolved any further). False
// (LastError set) when `path` is missing, or EINVAL when it is not a link.
bool ReadLink(const std::string& path, std::string* target);

// `path` with "." and repeated "/" taken out and each ".." folded into the name before it, from the
// text alone (the file system is not asked): "." when a relative path cancels out, and no trailing
// "/" except the root's. A ".." above the root stays at the root.
std::string LexicalPath(const std::string& path);
// `path` as the file system resolves it: the longest leading part that exists made absolute with
// its links, "." and ".." resolved, the rest appended and taken as LexicalPath takes it. False
// (LastError set) when a leading part cannot be looked at.
bool ResolvePath(const std::string& path, std::string* resolved);

// Which file system holds `path`: the statfs identifier where the file system gives one, else
// the device number. Stable while the same file system stays mounted there.
bool FileSystemId(const std::string& path, std::string* id);
// Copies a regular file's bytes; with `replace` an existing target is overwritten, else refused.
bool CopyFile(const std::string& from, const std::string& to, bool replace);

uint32_t GetFileAttributes(const std::string& path);  // kInvalidAttributes when missing
bool SetFileAttributes(const std::string& path, uint32_t attributes);

bool GetFileWriteTime(const std::string& path, int64_t* fileTime);
bool SetFileWriteTime(const std::string& path, int64_t fileTime);  // keeps the access time

// Whole-file helpers (they go through File and its faults).
bool ReadFileToString(const std::string& path, std::string* out, size_t limit = SIZE_MAX);
// Writes to "<path>.tmp-<pid>-<n>", syncs, renames over `path`: the file is whole or absent.
bool WriteFileAtomic(const std::string& path, const std::string& data);

// An open file descriptor with its own lifetime (closed by the destructor).
class File {
  public:
    enum class Mode {
        Read,              // existing file, read only
        ReadWrite,         // existing file, read and write
        CreateRW,          // read and write, created when missing, never truncated
        CreateTrunc,       // write, created or truncated
        CreateNew,         // write, created; fails when it exists
        CreateNewPrivate,  // as CreateNew, readable and writable by the owner only (0600)
        Append,            // read and write, created when missing, every write lands at the end (O_APPEND)
    };

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // With `exclusive` the file is also locked (non-blocking exclusive flock); a file that another
    // program holds locked cannot be opened. Never follows a link at the last component.
    bool Open(const std::string& path, Mode mode, bool exclusive = false);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    int64_t Read(void* buf, size_t len);  // bytes read, 0 at end, -1 on error
    bool ReadAll(void* buf, size_t len);  // exactly len bytes or false
    bool WriteAll(const void* buf, size_t len);
    bool SeekToEnd();
    bool Seek(int64_t offset);
    int64_t Size();  // -1 on error
    bool Sync();
    bool Truncate(int64_t size);
    bool SetWriteTime(int64_t fileTime);
    bool GetWriteTime(int64_t* fileTime);
    const std::string& Path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace platform
