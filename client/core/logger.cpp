#include "core/logger.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "core/log.h"
#include "platform/file.h"
#include "platform/filemode.h"
#include "platform/system.h"
#include "util/redact.h"

namespace {

// Fixed-width names, indexed by severity number.
const char* const kSeverityNames[] = {"off ", "fatal", "error", "warn ", "info ", "debug", "all  "};
constexpr int kMaxLevel = 6;

// A platform call made while writing a line may itself log (through the platform sink); such a
// nested line on the same thread is dropped instead of deadlocking on the line lock.
thread_local bool t_writing = false;

std::string Separator(char c) {
    return "\r\n" + std::string(80, c) + "\r\n";
}

std::string Line(int severity, const char* tag, const std::string& message) {
    platform::LocalTime t = platform::GetLocalTime();
    std::string line = CLogger::FormatPrefix(t.year, t.month, t.day, t.hour, t.minute, t.second,
                                             t.millisecond, severity, tag);
    line += message;
    line += "\r\n";
    return line;
}

}  // namespace

CLogger::CLogger() = default;

CLogger::~CLogger() {
    std::lock_guard<std::mutex> lock(mu_);
    if (file_ && file_->IsOpen()) {
        WriteLocked(Separator('-'));
        file_->Close();
    }
    file_.reset();
}

bool CLogger::Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    firstPath_ = path;
    part_ = 0;
    return OpenLocked(path);
}

bool CLogger::OpenLocked(const std::string& path) {
    if (file_ && file_->IsOpen()) {
        // A second Open ends the current run first, so no run is left without its separator.
        WriteLocked(Separator('-'));
        file_->Close();
    }
    file_.reset();
    path_ = path;
    auto file = std::make_unique<platform::File>();
    // Private before the first line: a log tells who signs in and what they sync.
    if (!platform::MakeFilePrivate(path) || !file->Open(path, platform::File::Mode::Append))
        return false;
    file_ = std::move(file);
    size_ = std::max<int64_t>(file_->Size(), 0);
    WriteLocked(Separator('+'));
    return true;
}

void CLogger::SetMaxFileBytes(int64_t bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    maxFileBytes_ = bytes;
}

std::string CLogger::PartPath(const std::string& first, int index) {
    if (index <= 0)
        return first;
    const std::string ext = ".log";
    const bool hasExt =
        first.size() >= ext.size() && first.compare(first.size() - ext.size(), ext.size(), ext) == 0;
    const std::string stem = hasExt ? first.substr(0, first.size() - ext.size()) : first;
    // "_001": the names sort in the order the files were written, after the first.
    char part[16];
    std::snprintf(part, sizeof part, "_%03d", index);
    return stem + part + ext;
}

std::string CLogger::Path() const {
    std::lock_guard<std::mutex> lock(mu_);
    return path_;
}

void CLogger::RotateLocked() {
    // The opens below may report through the platform sink, which would come back here for the
    // line lock this thread holds.
    const bool outer = t_writing;
    t_writing = true;
    struct Restore {
        bool value;
        ~Restore() { t_writing = value; }
    } restore{outer};
    const std::string from = path_;
    const std::string next = PartPath(firstPath_, part_ + 1);
    WriteLocked(Line(kLogInfo, "CLogger", "The log goes on in " + next));
    if (!OpenLocked(next)) {
        // Without a next file the run stays where it was rather than going silent, and tries
        // again after another file's worth.
        OpenLocked(from);
        WriteLocked(Line(kLogWarn, "CLogger", "Fail to open " + next + ": the log goes on here"));
        size_ = 0;
        return;
    }
    ++part_;
    WriteLocked(Line(kLogInfo, "CLogger", "The log goes on from " + from));
}

bool CLogger::IsOpen() const {
    std::lock_guard<std::mutex> lock(mu_);
    return file_ && file_->IsOpen();
}

std::string CLogger::FormatPrefix(int year, int month, int day, int hour, int minute, int second,
                                  int millisecond, int severity, const char* tag) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "[%4u/%02u/%02u %02u:%02u:%02u:%03u]", static_cast<unsigned>(year),
                  static_cast<unsigned>(month), static_cast<unsigned>(day), static_cast<unsigned>(hour),
                  static_cast<unsigned>(minute), static_cast<unsigned>(second),
                  static_cast<unsigned>(millisecond));
    const char* name = (severity >= 0 && severity <= kMaxLevel) ? kSeverityNames[severity] : "";
    std::string prefix(stamp);
    prefix += "<";
    prefix += name;
    prefix += ">[";
    prefix += tag ? tag : "";
    prefix += "]: ";
    return prefix;
}

void CLogger::Log(int severity, const char* tag, const std::string& message) {
    // Severity 0 ("off") and 6 ("all") are configured levels only; no line carries them.
    if (severity < 1 || severity >= kMaxLevel || severity > level_.load())
        return;
    if (t_writing)
        return;
    // Every line passes the mask, whichever site wrote it: no secret reaches the file at any level.
    const std::string line = Line(severity, tag, redact::Line(message));
    std::lock_guard<std::mutex> lock(mu_);
    if (maxFileBytes_ > 0 && size_ > 0 && size_ + static_cast<int64_t>(line.size()) > maxFileBytes_ &&
        file_ && file_->IsOpen())
        RotateLocked();
    WriteLocked(line);
}

void CLogger::WriteLocked(const std::string& text) {
    if (!file_ || !file_->IsOpen())
        return;
    const bool outer = t_writing;
    t_writing = true;
    // The file is opened for appending, so one write lands whole at the end even while another
    // process appends to the same file. Write failures after a successful open are not reported.
    if (file_->SeekToEnd() && file_->WriteAll(text.data(), text.size()))
        size_ += static_cast<int64_t>(text.size());
    t_writing = outer;
}

void CLogger::SetLevel(int level) {
    level_.store(static_cast<unsigned>(level) <= static_cast<unsigned>(kMaxLevel) ? level : kMaxLevel);
}

void CLogger::SetLevel(const std::string& text) {
    if (text.empty()) {
        SetLevel(kMaxLevel);
        return;
    }
    // Leading decimal number as atoi reads it: blanks, an optional sign, digits; none gives 0.
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                               text[i] == '\v' || text[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64_t value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX) {
            overflow = true;
            break;
        }
    }
    if (overflow) {
        SetLevel(kMaxLevel);
        return;
    }
    SetLevel(static_cast<int>(negative ? -value : value));
}

void CLogger::SetLastErrorText(const std::string& text) {
    if (t_writing)  // a nested report from inside a write: this thread holds the lock already
        return;
    std::string masked = redact::Line(text);  // shown to the user, and may be copied into a report
    std::lock_guard<std::mutex> lock(mu_);
    lastError_ = std::move(masked);
}

std::string CLogger::GetLastErrorText() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lastError_;
}
