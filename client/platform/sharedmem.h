// A named shared memory area: the file <name> in $XDG_RUNTIME_DIR (mode 0600) mapped shared, or
// POSIX shm "/<name>.<uid>" when there is no runtime folder. The mapping lives with the object.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

class SharedMemory {
  public:
    SharedMemory() = default;
    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // Creates or opens the area and maps `size` bytes read-write (the file grows to `size`).
    bool Open(const std::string& name, size_t size);
    void Close();
    void* Data() const { return data_; }
    size_t Size() const { return size_; }

  private:
    void* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace platform
