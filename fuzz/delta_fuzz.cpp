// Fuzz target for the delta reader: any bytes go through delta::Parse and delta::Apply. Every old
// chunk a copy names exists, with a length derived from its name (0 to 8192 bytes), so copies at
// and past the ends of their sources are reached. A parsed delta must describe what Apply builds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "store/delta.h"

namespace {

bool LoadSource(const std::string& name, std::string* bytes) {
    uint32_t h = 2166136261u;
    for (unsigned char c : name) {
        h = (h ^ c) * 16777619u;
    }
    bytes->assign(h % 8193, static_cast<char>(h >> 24));
    return !name.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    delta::Parsed parsed;
    std::string error;
    const bool ok = delta::Parse(data, size, &parsed, &error);
    std::string out;
    const bool applied = delta::Apply(data, size, LoadSource, &out, &error);
    if (applied && (!ok || out.size() != parsed.newLength)) {
        std::abort();  // Apply accepted what Parse refused, or built the wrong length
    }
    return 0;
}
