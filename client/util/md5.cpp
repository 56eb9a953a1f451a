#include "util/md5.h"

#include <cstring>

namespace {

inline uint32_t Rotl(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

inline uint32_t Load32(const uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
#else
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
#endif
}

inline void Store32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// The four auxiliary functions in forms with fewer operations than the textbook ones:
// F = (x & y) | (~x & z) == z ^ (x & (y ^ z)); G = (x & z) | (y & ~z), whose halves never
// overlap, so they can be added independently.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

#define MD5_STEP_F(a, b, c, d, k, s, t) \
    (a) += MD5_F(b, c, d) + X[k] + (t); \
    (a) = Rotl(a, s) + (b);
#define MD5_STEP_G(a, b, c, d, k, s, t)             \
    (a) += ((d) & (b)) + X[k] + (t) + (~(d) & (c)); \
    (a) = Rotl(a, s) + (b);
#define MD5_STEP_H(a, b, c, d, k, s, t) \
    (a) += MD5_H(b, c, d) + X[k] + (t); \
    (a) = Rotl(a, s) + (b);
#define MD5_STEP_I(a, b, c, d, k, s, t) \
    (a) += MD5_I(b, c, d) + X[k] + (t); \
    (a) = Rotl(a, s) + (b);

}  // namespace

void CMd5::Init() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    length_ = 0;
    buffered_ = 0;
}

void CMd5::Blocks(const uint8_t* p, size_t blocks) {
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (; blocks > 0; --blocks, p += 64) {
        uint32_t X[16];
        for (int i = 0; i < 16; ++i)
            X[i] = Load32(p + 4 * i);
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        MD5_STEP_F(a, b, c, d, 0, 7, 0xd76aa478)
        MD5_STEP_F(d, a, b, c, 1, 12, 0xe8c7b756)
        MD5_STEP_F(c, d, a, b, 2, 17, 0x242070db)
        MD5_STEP_F(b, c, d, a, 3, 22, 0xc1bdceee)
        MD5_STEP_F(a, b, c, d, 4, 7, 0xf57c0faf)
        MD5_STEP_F(d, a, b, c, 5, 12, 0x4787c62a)
        MD5_STEP_F(c, d, a, b, 6, 17, 0xa8304613)
        MD5_STEP_F(b, c, d, a, 7, 22, 0xfd469501)
        MD5_STEP_F(a, b, c, d, 8, 7, 0x698098d8)
        MD5_STEP_F(d, a, b, c, 9, 12, 0x8b44f7af)
        MD5_STEP_F(c, d, a, b, 10, 17, 0xffff5bb1)
        MD5_STEP_F(b, c, d, a, 11, 22, 0x895cd7be)
        MD5_STEP_F(a, b, c, d, 12, 7, 0x6b901122)
        MD5_STEP_F(d, a, b, c, 13, 12, 0xfd987193)
        MD5_STEP_F(c, d, a, b, 14, 17, 0xa679438e)
        MD5_STEP_F(b, c, d, a, 15, 22, 0x49b40821)

        MD5_STEP_G(a, b, c, d, 1, 5, 0xf61e2562)
        MD5_STEP_G(d, a, b, c, 6, 9, 0xc040b340)
        MD5_STEP_G(c, d, a, b, 11, 14, 0x265e5a51)
        MD5_STEP_G(b, c, d, a, 0, 20, 0xe9b6c7aa)
        MD5_STEP_G(a, b, c, d, 5, 5, 0xd62f105d)
        MD5_STEP_G(d, a, b, c, 10, 9, 0x02441453)
        MD5_STEP_G(c, d, a, b, 15, 14, 0xd8a1e681)
        MD5_STEP_G(b, c, d, a, 4, 20, 0xe7d3fbc8)
        MD5_STEP_G(a, b, c, d, 9, 5, 0x21e1cde6)
        MD5_STEP_G(d, a, b, c, 14, 9, 0xc33707d6)
        MD5_STEP_G(c, d, a, b, 3, 14, 0xf4d50d87)
        MD5_STEP_G(b, c, d, a, 8, 20, 0x455a14ed)
        MD5_STEP_G(a, b, c, d, 13, 5, 0xa9e3e905)
        MD5_STEP_G(d, a, b, c, 2, 9, 0xfcefa3f8)
        MD5_STEP_G(c, d, a, b, 7, 14, 0x676f02d9)
        MD5_STEP_G(b, c, d, a, 12, 20, 0x8d2a4c8a)

        MD5_STEP_H(a, b, c, d, 5, 4, 0xfffa3942)
        MD5_STEP_H(d, a, b, c, 8, 11, 0x8771f681)
        MD5_STEP_H(c, d, a, b, 11, 16, 0x6d9d6122)
        MD5_STEP_H(b, c, d, a, 14, 23, 0xfde5380c)
        MD5_STEP_H(a, b, c, d, 1, 4, 0xa4beea44)
        MD5_STEP_H(d, a, b, c, 4, 11, 0x4bdecfa9)
        MD5_STEP_H(c, d, a, b, 7, 16, 0xf6bb4b60)
        MD5_STEP_H(b, c, d, a, 10, 23, 0xbebfbc70)
        MD5_STEP_H(a, b, c, d, 13, 4, 0x289b7ec6)
        MD5_STEP_H(d, a, b, c, 0, 11, 0xeaa127fa)
        MD5_STEP_H(c, d, a, b, 3, 16, 0xd4ef3085)
        MD5_STEP_H(b, c, d, a, 6, 23, 0x04881d05)
        MD5_STEP_H(a, b, c, d, 9, 4, 0xd9d4d039)
        MD5_STEP_H(d, a, b, c, 12, 11, 0xe6db99e5)
        MD5_STEP_H(c, d, a, b, 15, 16, 0x1fa27cf8)
        MD5_STEP_H(b, c, d, a, 2, 23, 0xc4ac5665)

        MD5_STEP_I(a, b, c, d, 0, 6, 0xf4292244)
        MD5_STEP_I(d, a, b, c, 7, 10, 0x432aff97)
        MD5_STEP_I(c, d, a, b, 14, 15, 0xab9423a7)
        MD5_STEP_I(b, c, d, a, 5, 21, 0xfc93a039)
        MD5_STEP_I(a, b, c, d, 12, 6, 0x655b59c3)
        MD5_STEP_I(d, a, b, c, 3, 10, 0x8f0ccc92)
        MD5_STEP_I(c, d, a, b, 10, 15, 0xffeff47d)
        MD5_STEP_I(b, c, d, a, 1, 21, 0x85845dd1)
        MD5_STEP_I(a, b, c, d, 8, 6, 0x6fa87e4f)
        MD5_STEP_I(d, a, b, c, 15, 10, 0xfe2ce6e0)
        MD5_STEP_I(c, d, a, b, 6, 15, 0xa3014314)
        MD5_STEP_I(b, c, d, a, 13, 21, 0x4e0811a1)
        MD5_STEP_I(a, b, c, d, 4, 6, 0xf7537e82)
        MD5_STEP_I(d, a, b, c, 11, 10, 0xbd3af235)
        MD5_STEP_I(c, d, a, b, 2, 15, 0x2ad7d2bb)
        MD5_STEP_I(b, c, d, a, 9, 21, 0xeb86d391)

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state_[0] = a;
    state_[1] = b;
    state_[2] = c;
    state_[3] = d;
}

void CMd5::Update(const void* data, size_t len) {
    if (len == 0 || data == nullptr)
        return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    length_ += len;
    if (buffered_ > 0) {
        const size_t take = len < 64 - buffered_ ? len : 64 - buffered_;
        std::memcpy(buffer_ + buffered_, p, take);
        buffered_ += take;
        p += take;
        len -= take;
        if (buffered_ < 64)
            return;
        Blocks(buffer_, 1);
        buffered_ = 0;
    }
    if (len >= 64) {
        Blocks(p, len / 64);
        p += len & ~size_t(63);
        len &= 63;
    }
    if (len > 0) {
        std::memcpy(buffer_, p, len);
        buffered_ = len;
    }
}

void CMd5::Final(uint8_t digest[kDigestSize]) {
    const uint64_t bits = length_ * 8;
    // Padding: one 0x80 byte, zeros up to 56 mod 64, then the bit length little-endian.
    uint8_t pad[72] = {0x80};
    const size_t padLen = buffered_ < 56 ? 56 - buffered_ : 120 - buffered_;
    for (int i = 0; i < 8; ++i)
        pad[padLen + i] = uint8_t(bits >> (8 * i));
    Update(pad, padLen + 8);
    for (int i = 0; i < 4; ++i)
        Store32(digest + 4 * i, state_[i]);
    Init();
}

void CMd5::Digest(const void* data, size_t len, uint8_t digest[kDigestSize]) {
    CMd5 md5;
    md5.Update(data, len);
    md5.Final(digest);
}
