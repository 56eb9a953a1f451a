// The platform layer sits below the logger, so it reports through a sink the core installs.
// Without a sink its lines are dropped. Severities are the logger's (1 fatal .. 5 debug).
#pragma once

#include <string>

namespace platform {

using LogSink = void (*)(int severity, const char* tag, const std::string& text);
void SetLogSink(LogSink sink);
void Log(int severity, const char* tag, const std::string& text);

}  // namespace platform
