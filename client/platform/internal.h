// Helpers shared by the platform layer's own sources (not for callers above the layer): an owned
// file descriptor, the fault check that sets LastError, and folder creation with parents.
#pragma once

#include <string>

#include "platform/fault.h"

namespace platform::internal {

// Closes the descriptor at scope end unless released.
class FdGuard {
  public:
    explicit FdGuard(int fd = -1) : fd_(fd) {}
    ~FdGuard();
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1);

  private:
    int fd_;
};

// True when an armed fault says this call must fail; LastError is then set to its error.
bool Faulted(Op op, const std::string& path);

// Sets LastError from errno and returns false, for `return Fail();` at a failing system call.
bool FailErrno();

// Creates `path` and any missing parents with `mode`; true when it is a folder afterwards.
bool MakeDirs(const std::string& path, unsigned mode);

// Appends "/" and `name` to `dir` ("/" itself is not doubled).
std::string JoinPath(const std::string& dir, const std::string& name);

// The part after the last "/" (trailing slashes ignored).
std::string BaseName(const std::string& path);

// The folder part before the last "/" ("." without one, "/" for a top-level entry).
std::string DirName(const std::string& path);

}  // namespace platform::internal
