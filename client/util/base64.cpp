#include "util/base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for alphabet characters, 64 for "=", 255 for everything else.
constexpr std::array<uint8_t, 256> MakeTable() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t)
        v = 255;
    for (int i = 0; i < 64; ++i)
        t[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
    t['='] = 64;
    return t;
}
constexpr std::array<uint8_t, 256> kTable = MakeTable();

}  // namespace

namespace base64 {

std::string Encode(const void* data, size_t len) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    std::string out;
    if (p == nullptr || len == 0)
        return out;
    out.resize((len + 2) / 3 * 4);
    char* o = out.data();
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8 | p[i + 2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (len - i == 1) {
        const uint32_t v = uint32_t(p[i]) << 16;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (len - i == 2) {
        const uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    return out;
}

void Decode(const char* text, size_t len, std::string* out) {
    if (text == nullptr || out == nullptr)
        return;
    out->reserve(out->size() + len / 4 * 3 + 3);
    uint32_t acc = 0;
    int n = 0;
    for (size_t i = 0; i < len; ++i) {
        const uint8_t v = kTable[static_cast<uint8_t>(text[i])];
        if (v == 64)
            break;
        if (v == 255)
            continue;
        acc = acc << 6 | v;
        if (++n == 4) {
            out->push_back(static_cast<char>(acc >> 16));
            out->push_back(static_cast<char>(acc >> 8));
            out->push_back(static_cast<char>(acc));
            acc = 0;
            n = 0;
        }
    }
    // A final group of two or three characters carries one or two bytes.
    if (n == 2) {
        out->push_back(static_cast<char>(acc >> 4));
    } else if (n == 3) {
        out->push_back(static_cast<char>(acc >> 10));
        out->push_back(static_cast<char>(acc >> 2));
    }
}

}  // namespace base64
