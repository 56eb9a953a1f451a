#include "platform/sharedmem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/internal.h"
#include "platform/system.h"

namespace platform {

SharedMemory::~SharedMemory() {
    Close();
}

bool SharedMemory::Open(const std::string& name, size_t size) {
    Close();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos || size == 0) {
        SetLastError(EINVAL);
        return false;
    }
    std::string runtime = RuntimeDir();
    std::string where =
        runtime.empty() ? "/" + name + "." + std::to_string(::getuid()) : runtime + "/" + name;
    if (internal::Faulted(Op::Map, where) || internal::Faulted(Op::Open, where)) {
        return false;
    }
    int fd = runtime.empty() ? ::shm_open(where.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)
                             : ::open(where.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return internal::FailErrno();
    }
    internal::FdGuard guard(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return internal::FailErrno();
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        SetLastError(EPERM);  // not an area this user made
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) < size && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        return internal::FailErrno();
    }
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        return internal::FailErrno();
    }
    data_ = p;
    size_ = size;
    return true;  // the mapping outlives the descriptor
}

void SharedMemory::Close() {
    if (data_) {
        ::munmap(data_, size_);
        data_ = nullptr;
        size_ = 0;
    }
}

}  // namespace platform
