// Block signatures of a chunk: the weak rolling checksum and the MD5 of each 4096-byte block.
#include <charconv>
#include <new>

#include "util/md5.h"
#include "util/util.h"

uint32_t CUtil::WeakChecksum(const void* data, size_t len) {
    if (data == nullptr) {
        return 0;
    }
    // Bytes count as signed values (255 is -1); the sums wrap modulo 2^32.
    const int8_t* b = static_cast<const int8_t*>(data);
    uint32_t s1 = 0;
    uint32_t s2 = 0;
    size_t i = 0;
    for (; i + 4 < len; i += 4) {
        uint32_t b0 = static_cast<uint32_t>(int32_t{b[i]});
        uint32_t b1 = static_cast<uint32_t>(int32_t{b[i + 1]});
        uint32_t b2 = static_cast<uint32_t>(int32_t{b[i + 2]});
        uint32_t b3 = static_cast<uint32_t>(int32_t{b[i + 3]});
        s2 += 4 * (s1 + b0) + 3 * b1 + 2 * b2 + b3;
        s1 += b0 + b1 + b2 + b3;
    }
    for (; i < len; ++i) {
        s1 += static_cast<uint32_t>(int32_t{b[i]});
        s2 += s1;
    }
    return (s1 & 0xffffu) + (s2 << 16);
}

bool CUtil::GetBlockSignatures(const void* data, size_t len, std::string* sums, std::string* hashes,
                               int32_t* blockCount) {
    if (sums == nullptr || hashes == nullptr || blockCount == nullptr) {
        return false;
    }
    sums->clear();
    hashes->clear();
    *blockCount = 0;
    if (len == 0) {
        return true;
    }
    if (data == nullptr) {
        return false;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t blocks = (len + kSignatureBlockSize - 1) / kSignatureBlockSize;
    try {
        sums->reserve(blocks * 11);
        hashes->reserve(blocks * 33);
        for (size_t off = 0; off < len; off += kSignatureBlockSize) {
            size_t n = len - off < kSignatureBlockSize ? len - off : kSignatureBlockSize;
            char text[16];
            auto res = std::to_chars(text, text + sizeof(text), WeakChecksum(bytes + off, n));
            sums->append(text, res.ptr);
            sums->push_back(',');
            uint8_t digest[CMd5::kDigestSize];
            CMd5::Digest(bytes + off, n, digest);
            Md5ToHex(digest, hashes);
            hashes->push_back(',');
        }
    } catch (const std::bad_alloc&) {
        // Without memory for the texts the chunk simply has no signatures.
        sums->clear();
        hashes->clear();
        return true;
    }
    *blockCount = static_cast<int32_t>(blocks);
    return true;
}
