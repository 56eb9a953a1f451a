#include "platform/plog.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<LogSink> gSink{nullptr};
}

void SetLogSink(LogSink sink) {
    gSink.store(sink, std::memory_order_release);
}

void Log(int severity, const char* tag, const std::string& text) {
    LogSink sink = gSink.load(std::memory_order_acquire);
    if (sink) {
        sink(severity, tag, text);
    }
}

}  // namespace platform
