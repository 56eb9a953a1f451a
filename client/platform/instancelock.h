// The single-instance guard: an exclusive flock on the lock file <name> in the runtime folder
// ($XDG_RUNTIME_DIR, else the settings folder), held while the object lives.
#pragma once

#include <string>

namespace platform {

class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    enum class Result { Acquired, HeldElsewhere, Failed };
    Result Acquire(const std::string& name);
    void Release();

  private:
    int fd_ = -1;
};

}  // namespace platform
