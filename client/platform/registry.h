// The client's registry values, kept in $XDG_CONFIG_HOME/kestrine/registry.ini (default
// ~/.config) under registry-style key paths (kClientKey) and value names. A value read into a
// buffer of `bufferSize` bytes that does not fit (with its NUL) counts as unreadable: a caller
// never gets a cut-off value. A corrupt or unreadable store reads as missing values. Writes
// replace the file atomically.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// The client's key: "Software\\Velmora\\Kestrine\\".
extern const char* const kClientKey;

bool RegistryGetString(const std::string& key, const std::string& name, std::string* value,
                       size_t bufferSize);
bool RegistrySetString(const std::string& key, const std::string& name, const std::string& value);
bool RegistryDeleteValue(const std::string& key, const std::string& name);

std::string RegistryFilePath();

// One value of the store: its key (the file's section), name and value.
struct RegistryValue {
    std::string key, name, value;
};
// The store's file text as every read and write of the file parses it: the values in file order,
// a later line replacing an earlier one of the same key and name (letter case ignored). A text
// too large for a store or holding a NUL is no store: false, no values.
bool RegistryParse(const std::string& text, std::vector<RegistryValue>* values);
// The file text a write produces for these values.
std::string RegistryFormat(const std::vector<RegistryValue>& values);

// First start: when the store has no "install_path" / "root_path", writes the install folder
// (InstallResourceDir()) and the root (~/Kestrine). Existing values are kept.
void SeedRegistryDefaults();

}  // namespace platform
