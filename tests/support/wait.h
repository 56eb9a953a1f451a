// Bounded waits of the tests: a condition polled until it holds or its time runs out. The time is
// reached only when the code under test fails, so a wait is given plenty. Any thread may wait.
#pragma once

#include <functional>

namespace testsupport {

// Polls `done` until it holds or `timeoutMs` passes, sleeping `pollMs` between two polls; true
// when it held.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs = 50);
// The same with `between` run in place of the sleep (a Qt test turns its event loop there).
bool WaitUntil(const std::function<bool()>& done, int timeoutMs, const std::function<void()>& between);

}  // namespace testsupport
