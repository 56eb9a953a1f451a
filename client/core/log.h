// The process log as every subsystem reaches it: the application owns the one CLogger and
// registers it here; each call is skipped when no logger exists. Severities 1..5 as the logger's.
// Lines at fatal and error level also become the logger's last error text.
#pragma once

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

// InitLog of the application, reachable from the worker (a sign-in with no logger opens one).
void SetInitLogHook(std::function<bool()> hook);
bool RunInitLogHook();  // false when no hook is installed
