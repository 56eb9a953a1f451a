// ASCII letter case for the names the client compares without regard to case: paths and file
// names, journal keys, header and registry names, digests. Only A-Z and a-z change; every other
// byte, those of multi-byte UTF-8 characters included, stays as it is whatever the locale.
// Header-only and free of dependencies, so every layer, the platform layer too, shares it.
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace ascii {

constexpr char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string Lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = Lower(c);
    return out;
}

inline std::string Uppered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = Upper(c);
    return out;
}

constexpr bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace ascii
