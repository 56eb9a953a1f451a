#include "support/randombytes.h"

namespace testsupport {

std::string RandomBytes(size_t n, std::mt19937& rng) {
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    return RandomBytes(n, rng);
}

}  // namespace testsupport
