// The last error of a platform call on this thread (an errno value). Every failing call of the
// layer sets it; successful calls leave it, so it is read right after the call that failed.
#pragma once

#include <string>

namespace platform {

int LastError();
void SetLastError(int err);
std::string ErrorText(int err);  // strerror text

}  // namespace platform
