// Fuzz target: any bytes as the settings store's file text (registry.ini), parsed as every read
// and write of the file parses it. What a parse yields must be one value per key and name, and a
// write of it must read back as the same values, so a rewrite never changes or loses a setting.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry.h"

#include "check.h"

using fuzzcheck::Check;

namespace {

std::string Folded(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return out;
}

std::string KeyFolded(const std::string& key) {
    std::string k = Folded(key);
    while (!k.empty() && k.back() == '\\')
        k.pop_back();
    return k;
}

bool Same(const platform::RegistryValue& a, const platform::RegistryValue& b) {
    return a.key == b.key && a.name == b.name && a.value == b.value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<platform::RegistryValue> values;
    if (!platform::RegistryParse(text, &values)) {
        Check(values.empty());
        return 0;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        Check(!values[i].name.empty() && values[i].name.find('=') == std::string::npos);
        for (size_t j = i + 1; j < values.size(); ++j)
            Check(KeyFolded(values[i].key) != KeyFolded(values[j].key) ||
                  Folded(values[i].name) != Folded(values[j].name));
    }
    std::vector<platform::RegistryValue> again;
    Check(platform::RegistryParse(platform::RegistryFormat(values), &again));
    Check(again.size() == values.size());
    for (size_t i = 0; i < values.size(); ++i)
        Check(Same(values[i], again[i]));
    return 0;
}
