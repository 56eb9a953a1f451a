#include "support/wait.h"

#include <chrono>
#include <thread>

namespace testsupport {

bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs) {
    return WaitUntil(done, timeoutMs,
                     [pollMs] { std::this_thread::sleep_for(std::chrono::milliseconds(pollMs)); });
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs, const std::function<void()>& between) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        between();
    }
    return true;
}

}  // namespace testsupport
