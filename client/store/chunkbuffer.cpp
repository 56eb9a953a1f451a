#include "store/chunkbuffer.h"

#include <new>

namespace {

std::unique_ptr<uint8_t[]> AllocateBlock(size_t capacity) {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[capacity + CChunkBuffer::kSlack]);
}

}  // namespace

CChunkBuffer::CChunkBuffer(size_t capacity) {
    if (capacity > kMaxCapacity) {
        return;
    }
    data_ = AllocateBlock(capacity);
    if (data_) {
        capacity_ = capacity;
    }
}

bool CChunkBuffer::Reallocate(size_t n) {
    data_.reset();
    capacity_ = 0;
    size_ = 0;
    if (n > kChunkSize) {
        return false;
    }
    data_ = AllocateBlock(n);
    if (!data_) {
        return false;
    }
    capacity_ = n;
    return true;
}

bool CChunkBuffer::SetSize(size_t n) {
    if (n > capacity_) {
        return false;
    }
    size_ = n;
    return true;
}

bool CChunkBuffer::Attach(std::unique_ptr<uint8_t[]> block, size_t n) {
    if (!block) {
        return false;
    }
    data_ = std::move(block);
    capacity_ = n;
    size_ = n;
    return true;
}
