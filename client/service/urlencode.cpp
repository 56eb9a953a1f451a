#include "service/urlencode.h"

#include <cstring>

const char CURLEncode::kEncodeSet[] = "\"<>%\\^[]`+$,@;!#?=&";

CURLEncode::~CURLEncode() = default;

std::string CURLEncode::URLEncode(const std::string& text) const {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        // Taken as a signed byte: every byte of 0x80 and above is below 32 and is encoded.
        signed char c = static_cast<signed char>(ch);
        bool encode = c <= 32 || c >= 123 || (c != 0 && std::strchr(kEncodeSet, c) != nullptr);
        if (encode) {
            unsigned char u = static_cast<unsigned char>(ch);
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 15]);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}
