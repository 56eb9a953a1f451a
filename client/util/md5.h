// MD5 (RFC 1321), the client's own code: chunk keys, block hashes and request digests.
// CMd5 digests a stream in pieces (Init, any number of Update calls, Final), so a large file or
// a chunk read in parts needs no copy of its whole content. Whole 64-byte blocks are processed
// straight from the caller's buffer; only a block split between two Update calls is buffered.
#pragma once

#include <cstddef>
#include <cstdint>

class CMd5 {
  public:
    static constexpr size_t kDigestSize = 16;

    CMd5() { Init(); }
    void Init();
    void Update(const void* data, size_t len);
    // Writes the 16 digest bytes and leaves the object ready for a new Init.
    void Final(uint8_t digest[kDigestSize]);

    // One call for bytes already in memory.
    static void Digest(const void* data, size_t len, uint8_t digest[kDigestSize]);

  private:
    void Blocks(const uint8_t* p, size_t blocks);

    uint32_t state_[4];
    uint64_t length_;  // bytes fed so far
    uint8_t buffer_[64];
    size_t buffered_;  // bytes waiting in buffer_
};
