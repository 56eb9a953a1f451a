#include "support/env.h"

#include <sys/stat.h>

#include <cstdlib>

namespace testsupport {

ScopedEnv::~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second) {
            ::setenv(it->first.c_str(), it->second->c_str(), 1);
        } else {
            ::unsetenv(it->first.c_str());
        }
    }
}

void ScopedEnv::Remember(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
}

void ScopedEnv::Set(const std::string& name, const std::string& value) {
    Remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::Unset(const std::string& name) {
    Remember(name);
    ::unsetenv(name.c_str());
}

FakeHome::FakeHome() {
    dir_.MakeDirs("home");
    dir_.MakeDirs("run");
    ::chmod(Runtime().c_str(), 0700);
    env_.Set("HOME", Home());
    env_.Set("XDG_RUNTIME_DIR", Runtime());
    env_.Unset("XDG_CONFIG_HOME");
    // Nor the user's desktop keyring: a remembered test password would land there.
    env_.Unset("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace testsupport
