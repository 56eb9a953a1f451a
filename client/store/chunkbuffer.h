// The chunk record CChunkInfo (one chunk of a file: key, storage key, size, block signatures) and
// CChunkBuffer, the owned heap block that carries one chunk's bytes. A buffer owns its block and
// frees it when destroyed or reallocated; it is moved, never copied. Blocks of a whole chunk go
// back to a small process-wide pool (guarded by its own lock) instead of to the heap, so buffers
// may be made and dropped on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

struct CChunkInfo {
    std::string key;          // MD5 of the chunk's bytes, 32 hex digits
    std::string storageKey;   // the service's name for the chunk; empty until it names one
    int32_t size = 0;         // at most 4194304
    int32_t blockCount = 0;   // number of 4096-byte blocks described by the two texts
    std::string blockSums;    // weak checksums, each "%u,"
    std::string blockHashes;  // MD5 of each block, 32 upper-case hex digits and ","

    CChunkInfo() = default;
    explicit CChunkInfo(std::string chunkKey) : key(std::move(chunkKey)) {}
    CChunkInfo(std::string chunkKey, int32_t chunkSize, std::string sums, std::string hashes, int32_t blocks)
        : key(std::move(chunkKey)),
          size(chunkSize),
          blockCount(blocks),
          blockSums(std::move(sums)),
          blockHashes(std::move(hashes)) {}
};

class CChunkBuffer {
  public:
    static constexpr size_t kChunkSize = 4194304;            // 4 MiB, the size of every full chunk
    static constexpr size_t kMaxCapacity = kChunkSize + 64;  // largest capacity of an allocated buffer
    static constexpr size_t kSlack = 4;                      // the heap block is this much longer

    CChunkBuffer() = default;
    // Allocates capacity + 4 bytes. A capacity above kMaxCapacity or a failed allocation leaves
    // the buffer without a block (GetData() null, capacity 0): callers check before use.
    explicit CChunkBuffer(size_t capacity);
    CChunkBuffer(const CChunkBuffer&) = delete;
    CChunkBuffer& operator=(const CChunkBuffer&) = delete;
    CChunkBuffer(CChunkBuffer&&) noexcept = default;
    CChunkBuffer& operator=(CChunkBuffer&&) noexcept = default;

    // Frees the old block and allocates n + 4 bytes (n at most kChunkSize); size becomes 0.
    // False, and no block, when n is too large or memory runs out.
    bool Reallocate(size_t n);
    // The number of valid bytes; false (size unchanged) when n exceeds the capacity.
    bool SetSize(size_t n);
    // Takes ownership of a block of n valid bytes (capacity and size n), freeing the old one.
    // False (nothing changed) for a null block.
    bool Attach(std::unique_ptr<uint8_t[]> block, size_t n);

    uint8_t* GetData() { return data_.get(); }
    const uint8_t* GetData() const { return data_.get(); }
    size_t GetSize() const { return size_; }
    size_t GetCapacity() const { return capacity_; }

  private:
    // Returns a pooled block to the pool, frees any other.
    struct BlockDeleter {
        bool pooled;  // value-initialised (false) in an empty buffer
        void operator()(uint8_t* block) const;
    };
    using Block = std::unique_ptr<uint8_t[], BlockDeleter>;
    static Block AllocateBlock(size_t capacity);

    Block data_;
    size_t capacity_ = 0;
    size_t size_ = 0;
};
