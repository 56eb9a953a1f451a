// Reproducible pseudo-random contents for the tests: the same seed gives the same bytes on every
// run, so a failure can be replayed. Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace testsupport {

// `n` bytes, one from each draw of `rng` (so a test can go on drawing from the same stream).
std::string RandomBytes(size_t n, std::mt19937& rng);
// `n` bytes from a generator seeded with `seed`.
std::string RandomBytes(size_t n, uint32_t seed);

}  // namespace testsupport
