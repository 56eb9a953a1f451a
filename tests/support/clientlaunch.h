// How the tests start the real client program (build/kestrine) in a FakeHome: the environment
// every such start shares, to which a test adds its own. Plain functions; any thread.
#pragma once

#include <optional>
#include <string>

#include "support/env.h"
#include "support/process.h"

namespace testsupport {

// build/kestrine living in `home` (its HOME and runtime folder, the settings in the home's own
// .config), reaching the service at `serviceHost` (nullopt: the built-in address), writing what it
// would open to the home's "opened.txt", in a UTF-8 locale that every machine has.
LaunchPlan ClientInHome(const FakeHome& home, const std::optional<std::string>& serviceHost);
// The console front end, whatever display the tests run under.
void OnTheConsole(LaunchPlan* how);
// The texts as written (Chinese), which the test reads: Qt takes the language from LANGUAGE,
// while LC_ALL keeps the UTF-8 locale.
void InChinese(LaunchPlan* how);

}  // namespace testsupport
