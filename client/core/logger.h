// CLogger: the client's diagnostic log, one text file per process start, one line per event
// ("[YYYY/MM/DD hh:mm:ss:mmm]<severity>[tag]: message\r\n"). A file that would grow past its
// limit (16 MiB) is closed and the run goes on in the next one, "<name>_001.log", "<name>_002.log"
// beside it: the names still end in ".log", so the log folder's retention removes them too. The
// application owns the single instance; every thread writes through it. The logger owns its open
// file.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace platform {
class File;
}

class CLogger {
  public:
    CLogger();
    ~CLogger();  // writes the closing separator when a file is open
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    // Opens (creating, never truncating) and writes the opening separator; false leaves no file.
    bool Open(const std::string& path);
    // The size past which a file is closed and the next started; 0 or less: no limit.
    static constexpr int64_t kDefaultMaxFileBytes = 16LL * 1024 * 1024;
    void SetMaxFileBytes(int64_t bytes);
    // The file `index` of the run that began in `first` ("a.log", 2 -> "a_002.log"; 0 -> `first`).
    static std::string PartPath(const std::string& first, int index);
    // One whole line when `severity` (1 fatal .. 5 debug) is at most the configured level.
    void Log(int severity, const char* tag, const std::string& message);

    void SetLevel(int level);                // 0..6, anything else means 6
    void SetLevel(const std::string& text);  // "" means 6, else the leading decimal number
    int GetLevel() const { return level_.load(); }

    void SetLastErrorText(const std::string& text);
    std::string GetLastErrorText() const;
    std::string Path() const;  // the file written now
    bool IsOpen() const;

    // "[%4u/%02u/%02u %02u:%02u:%02u:%03u]<%s>[%s]: " for the given moment.
    static std::string FormatPrefix(int year, int month, int day, int hour, int minute, int second,
                                    int millisecond, int severity, const char* tag);

  private:
    void WriteLocked(const std::string& text);
    bool OpenLocked(const std::string& path);
    void RotateLocked();  // the next file of the run, when the current one is full

    mutable std::mutex mu_;  // guards the file (seek to end + write) and the last error text
    std::unique_ptr<platform::File> file_;
    std::atomic<int> level_{5};
    std::string path_;
    std::string firstPath_;  // the file Open was given
    int part_ = 0;           // the index of path_ in the run
    int64_t size_ = 0;       // of the current file, as this process wrote it
    int64_t maxFileBytes_ = kDefaultMaxFileBytes;
    std::string lastError_;
};
