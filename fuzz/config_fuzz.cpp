// Fuzz target: any bytes as the client database file, from which CConfig::LoadImage reads the
// settings table row by row as CConfig::Load reads the file. Rows of any shape (missing columns,
// NULL keys or values, Base64 that is not) must load or be skipped; the sanitizers judge.
#include <cstdint>
#include <string>

#include "core/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CConfig config;
    config.LoadImage(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
