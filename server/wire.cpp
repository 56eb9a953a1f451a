#include "wire.h"

#include <charconv>
#include <cstdio>
#include <random>

namespace kserver {

namespace {

// Decodes one UTF-8 sequence at s[i]; returns its length, 0 when malformed.
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t* cp) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t v;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2;
        v = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        v = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (size_t k = 1; k < len; ++k) {
        unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (d & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return len;
}

}  // namespace

std::string EncodeWireName(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp;
        size_t n = DecodeUtf8(utf8, i, &cp);
        if (n == 0) {  // stored names are validated; never emit a broken sequence
            out.push_back('?');
            ++i;
            continue;
        }
        if (cp == '&') {
            out += "&#x0026;";
        } else if (cp < 0x80 || cp > 0xFFFF) {
            out.append(utf8.substr(i, n));
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "&#x%04X;", static_cast<unsigned>(cp));
            out += buf;
        }
        i += n;
    }
    return out;
}

std::string DecodeRequestName(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, 5, "&amp;") == 0) {
            out.push_back('&');
            i += 5;
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

bool ValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        uint32_t cp;
        size_t n = DecodeUtf8(s, i, &cp);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

bool SplitPath(std::string_view path, std::vector<std::string>* parts) {
    parts->clear();
    if (path.empty() || path.size() > kMaxPathBytes || !ValidUtf8(path))
        return false;
    size_t start = 0;
    while (true) {
        size_t slash = path.find('/', start);
        std::string_view comp =
            path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (comp.empty() || comp.size() > kMaxNameBytes || comp == "." || comp == "..")
            return false;
        for (char c : comp) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7F)
                return false;
        }
        parts->emplace_back(comp);
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    return true;
}

std::string JoinPath(const std::vector<std::string>& parts, size_t from) {
    std::string out;
    for (size_t i = from; i < parts.size(); ++i) {
        if (i > from)
            out.push_back('/');
        out += parts[i];
    }
    return out;
}

bool IsMd5Hex(std::string_view s) {
    if (s.size() != 32)
        return false;
    for (char c : s) {
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return false;
    }
    return true;
}

bool ParseInt64(std::string_view s, int64_t* out) {
    if (s.empty() || s.size() > 20)
        return false;
    const char* b = s.data();
    const char* e = s.data() + s.size();
    if (*b == '+')
        return false;
    auto r = std::from_chars(b, e, *out);
    return r.ec == std::errc() && r.ptr == e;
}

std::string RandomHex(size_t digits) {
    static thread_local std::mt19937_64 rng([] {
        std::random_device rd;
        return (static_cast<uint64_t>(rd()) << 32) ^ rd();
    }());
    static const char* hex = "0123456789abcdef";
    std::string out;
    while (out.size() < digits) {
        uint64_t v = rng();
        for (int i = 0; i < 16 && out.size() < digits; ++i, v >>= 4)
            out.push_back(hex[v & 15]);
    }
    return out;
}

}  // namespace kserver
