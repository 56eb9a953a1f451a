#include "platform/instancelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/internal.h"
#include "platform/plog.h"
#include "platform/system.h"

namespace platform {

InstanceLock::~InstanceLock() {
    Release();
}

InstanceLock::Result InstanceLock::Acquire(const std::string& name) {
    if (fd_ >= 0) {
        return Result::Acquired;
    }
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        SetLastError(EINVAL);
        return Result::Failed;
    }
    std::string dir = RuntimeDir();
    if (dir.empty()) {
        dir = ConfigDir() + "/kestrine";
    }
    if (!internal::MakeDirs(dir, 0700)) {
        Log(2, "platform::InstanceLock",
            "Fail to create the lock folder \"" + dir + "\": " + ErrorText(LastError()));
        return Result::Failed;
    }
    std::string path = dir + "/" + name;
    if (internal::Faulted(Op::Open, path)) {
        return Result::Failed;
    }
    // Close-on-exec: a program we start must not keep the lock alive after we end.
    internal::FdGuard fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.Get() < 0) {
        internal::FailErrno();
        Log(2, "platform::InstanceLock",
            "Fail to open the lock file \"" + path + "\": " + ErrorText(LastError()));
        return Result::Failed;
    }
    int err = 0;
    if (ShouldFail(Op::Lock, path, &err)) {
        SetLastError(err);
        return err == EWOULDBLOCK ? Result::HeldElsewhere : Result::Failed;
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        internal::FailErrno();
        return LastError() == EWOULDBLOCK ? Result::HeldElsewhere : Result::Failed;
    }
    fd_ = fd.Release();
    return Result::Acquired;
}

void InstanceLock::Release() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace platform
