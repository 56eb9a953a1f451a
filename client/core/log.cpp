#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

#include "core/logger.h"
#include "platform/plog.h"

namespace {

// Readers (every log call) hold the lock shared while they use the logger, so the owner can
// unregister it and then delete it without a line still being written through it.
std::shared_mutex g_loggerMu;
CLogger* g_logger = nullptr;

// A log call reached again on the same thread (a platform call inside a write reporting through
// the sink) is dropped: taking the shared lock twice could deadlock against a waiting writer.
thread_local bool t_inLog = false;

std::mutex g_hookMu;
std::function<bool()> g_initLogHook;

void PlatformSink(int severity, const char* tag, const std::string& text) {
    LogText(severity, tag, text);
}

void Emit(CLogger* logger, int severity, const char* tag, const std::string& text) {
    logger->Log(severity, tag, text);
    if (severity == kLogFatal || severity == kLogError)
        logger->SetLastErrorText(text);
}

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace

void SetAppLogger(CLogger* logger) {
    {
        std::unique_lock<std::shared_mutex> lock(g_loggerMu);
        g_logger = logger;
    }
    platform::SetLogSink(logger ? &PlatformSink : nullptr);
}

CLogger* AppLogger() {
    std::shared_lock<std::shared_mutex> lock(g_loggerMu);
    return g_logger;
}

void Log(int severity, const char* tag, const char* format, ...) {
    if (t_inLog)
        return;
    t_inLog = true;
    {
        std::shared_lock<std::shared_mutex> lock(g_loggerMu);
        // Error lines are formatted even when filtered: they still become the last error text.
        if (g_logger && (severity <= kLogError || severity <= g_logger->GetLevel())) {
            va_list args;
            va_start(args, format);
            std::string text = FormatV(format, args);
            va_end(args);
            Emit(g_logger, severity, tag, text);
        }
    }
    t_inLog = false;
}

void LogText(int severity, const char* tag, const std::string& text) {
    if (t_inLog)
        return;
    t_inLog = true;
    {
        std::shared_lock<std::shared_mutex> lock(g_loggerMu);
        if (g_logger)
            Emit(g_logger, severity, tag, text);
    }
    t_inLog = false;
}

bool LogWanted(int severity) {
    std::shared_lock<std::shared_mutex> lock(g_loggerMu);
    return g_logger && severity <= g_logger->GetLevel();
}

void LogBulk(const char* tag, const std::string& head, const std::string& text, size_t count,
             const char* what) {
    if (text.size() <= kBulkLogBytes) {
        LogText(kLogInfo, tag, head + text);
        return;
    }
    LogText(kLogInfo, tag,
            head + "[" + std::to_string(text.size()) + " bytes, " + std::to_string(count) + " " + what + "]");
    if (LogWanted(kLogDebug))
        LogText(kLogDebug, tag, head + text);
}

void SetInitLogHook(std::function<bool()> hook) {
    std::lock_guard<std::mutex> lock(g_hookMu);
    g_initLogHook = std::move(hook);
}

bool RunInitLogHook() {
    std::function<bool()> hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMu);
        hook = g_initLogHook;
    }
    return hook ? hook() : false;
}
