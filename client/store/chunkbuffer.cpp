#include "store/chunkbuffer.h"

#include <mutex>
#include <new>
#include <vector>

namespace {

// Blocks of a whole chunk are kept for reuse: a fresh 4 MiB block costs a thousand page faults
// on first touch, more than hashing the chunk, and transfers and chunking take one per chunk.
constexpr size_t kPoolBlockBytes = CChunkBuffer::kMaxCapacity + CChunkBuffer::kSlack;
constexpr size_t kPoolKeep = 4;  // at most 16 MiB held idle

struct BlockPool {
    std::mutex mu;
    std::vector<uint8_t*> idle;
};

BlockPool& Pool() {
    static BlockPool* pool = new BlockPool;  // never destroyed: buffers may outlive statics
    return *pool;
}

}  // namespace

void CChunkBuffer::BlockDeleter::operator()(uint8_t* block) const {
    if (block == nullptr)
        return;
    if (pooled) {
        BlockPool& pool = Pool();
        std::lock_guard<std::mutex> lock(pool.mu);
        if (pool.idle.size() < kPoolKeep) {
            pool.idle.push_back(block);
            return;
        }
    }
    delete[] block;
}

CChunkBuffer::Block CChunkBuffer::AllocateBlock(size_t capacity) {
    // Small blocks (the last chunk of a file, a delta) are not worth keeping.
    if (capacity + kSlack <= kPoolBlockBytes / 2)
        return Block(new (std::nothrow) uint8_t[capacity + kSlack], BlockDeleter{false});
    {
        BlockPool& pool = Pool();
        std::lock_guard<std::mutex> lock(pool.mu);
        if (!pool.idle.empty()) {
            uint8_t* p = pool.idle.back();
            pool.idle.pop_back();
            return Block(p, BlockDeleter{true});
        }
    }
    return Block(new (std::nothrow) uint8_t[kPoolBlockBytes], BlockDeleter{true});
}

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
    data_ = Block(block.release(), BlockDeleter{false});
    capacity_ = n;
    size_ = n;
    return true;
}
