#include "platform/error.h"

#include <cstring>

namespace platform {

namespace {
thread_local int tLastError = 0;
}

int LastError() {
    return tLastError;
}

void SetLastError(int err) {
    tLastError = err;
}

std::string ErrorText(int err) {
    char buf[256];
    // The GNU strerror_r returns a pointer that may or may not be `buf`.
    const char* text = strerror_r(err, buf, sizeof buf);
    return text ? std::string(text) : std::string("Unknown error ") + std::to_string(err);
}

}  // namespace platform
