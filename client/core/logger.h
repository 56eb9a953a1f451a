// CLogger: the client's diagnostic log, one text file per process start, one line per event
// ("[YYYY/MM/DD hh:mm:ss:mmm]<severity>[tag]: message\r\n"). The application owns the single
// instance; every thread writes through it. The logger owns its open file.
#pragma once

#include <atomic>
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
    // One whole line when `severity` (1 fatal .. 5 debug) is at most the configured level.
    void Log(int severity, const char* tag, const std::string& message);

    void SetLevel(int level);                // 0..6, anything else means 6
    void SetLevel(const std::string& text);  // "" means 6, else the leading decimal number
    int GetLevel() const { return level_.load(); }

    void SetLastErrorText(const std::string& text);
    std::string GetLastErrorText() const;
    const std::string& Path() const { return path_; }
    bool IsOpen() const;

    // "[%4u/%02u/%02u %02u:%02u:%02u:%03u]<%s>[%s]: " for the given moment.
    static std::string FormatPrefix(int year, int month, int day, int hour, int minute, int second,
                                    int millisecond, int severity, const char* tag);

  private:
    void WriteLocked(const std::string& text);

    mutable std::mutex mu_;  // guards the file (seek to end + write) and the last error text
    std::unique_ptr<platform::File> file_;
    std::atomic<int> level_{5};
    std::string path_;
    std::string lastError_;
};
