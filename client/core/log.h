// The process log as every subsystem reaches it: the application owns the one CLogger and
// registers it here; each call is skipped when no logger exists. Severities 1..5 as the logger's.
// Lines at fatal and error level also become the logger's last error text.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

class CLogger;

constexpr int kLogFatal = 1;
constexpr int kLogError = 2;
constexpr int kLogWarn = 3;
constexpr int kLogInfo = 4;
constexpr int kLogDebug = 5;

void SetAppLogger(CLogger* logger);  // not owning; also routes the platform layer's lines here
CLogger* AppLogger();

// printf-style: Log(kLogError, "CWork::Init", "Fail to open DB \"%s\"", path.c_str()).
void Log(int severity, const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
// The text as it stands (no formatting), for messages that contain '%' themselves.
void LogText(int severity, const char* tag, const std::string& text);

// True when a line of `severity` would be written: costly texts are built only then.
bool LogWanted(int severity);

// Bulk text (a whole listing, a whole SOAP request or reply): up to kBulkLogBytes it is one info
// line, "<head><text>"; longer, the info line says only its size and `count` `what`
// ("<head>[250113 bytes, 30 entries]"), and the text goes out whole at debug level. A listing
// written in full at every pass would fill the disk over a long session.
constexpr size_t kBulkLogBytes = 2048;
void LogBulk(const char* tag, const std::string& head, const std::string& text, size_t count,
             const char* what);

// InitLog of the application, reachable from the worker (a sign-in with no logger opens one).
void SetInitLogHook(std::function<bool()> hook);
bool RunInitLogHook();  // false when no hook is installed
