// Environment overrides for tests: ScopedEnv sets or unsets variables and restores every one of
// them (in reverse order) at scope end. FakeHome gives a test its own HOME, XDG_CONFIG_HOME and
// XDG_RUNTIME_DIR under a fresh temporary folder, and no session bus, so registry, lock files,
// shared memory, bookmarks and the keyring never touch the real user's. UmaskScope sets the
// process's umask for a scope.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/tempdir.h"

namespace testsupport {

// The umask of a desktop session (or any other), whatever the test runner had; restored at scope end.
class UmaskScope {
  public:
    explicit UmaskScope(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskScope() { ::umask(old_); }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

  private:
    mode_t old_;
};

class ScopedEnv {
  public:
    ScopedEnv() = default;
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void Set(const std::string& name, const std::string& value);
    void Unset(const std::string& name);

  private:
    void Remember(const std::string& name);
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class FakeHome {
  public:
    // HOME = <tmp>/home, XDG_RUNTIME_DIR = <tmp>/run (mode 0700); XDG_CONFIG_HOME unset, so the
    // settings live in <tmp>/home/.config. Both folders exist.
    FakeHome();

    std::string Home() const { return dir_.Sub("home"); }
    std::string Runtime() const { return dir_.Sub("run"); }
    std::string Config() const { return Home() + "/.config"; }
    const TempDir& Dir() const { return dir_; }
    ScopedEnv& Env() { return env_; }

  private:
    TempDir dir_;
    ScopedEnv env_;
};

}  // namespace testsupport
