// The last error of a platform call on this thread (an errno value), as GetLastError gives it on
// the design's platform. Every failing call of the layer sets it; successful calls leave it.
#pragma once

#include <string>

namespace platform {

int LastError();
void SetLastError(int err);
std::string ErrorText(int err);  // strerror text

}  // namespace platform
