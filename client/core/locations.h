// Where the client keeps its local files: the install and data root folders (from the client's
// registry values, with defaults), and the database, log, home and chunk-cache folders derived
// from them. Plain functions without state; paths use "/".
#pragma once

#include <string>

#include "platform/system.h"

namespace locations {

constexpr size_t kInstallPathBuffer = 80;  // registry read buffers, NUL included
constexpr size_t kRootPathBuffer = 160;

// Registry "install_path" when it names an existing folder, else the install default.
std::string InstallFolder();
std::string DefaultInstallFolder();  // platform::InstallResourceDir()

// Registry "root_path" when that folder exists or can be created (one level), else the default
// ~/Kestrine, created when missing.
std::string RootFolder();
std::string DefaultRootFolder();

// Registry "root_path" + "/.log" when the value reads and that root exists or can be created,
// else the install default + "/.log".
std::string LogFolder();
// "%s/%4d-%02d-%02d-%02d-%02d-%02d.log" for the given moment.
std::string LogFileName(const std::string& folder, const platform::LocalTime& t);

std::string DatabaseFolder(const std::string& root);  // root + "/.db"
std::string DatabasePath(const std::string& root);    // root + "/.db/client.db"
std::string HomeFolder(const std::string& root);      // root + "/home"
std::string CacheFolder(const std::string& root);     // root + "/.cache"
std::string TrashFolder(const std::string& root);     // root + "/.trash"

// Creates the database folder when missing and gives it the hidden attribute; false when it
// does not exist afterwards.
bool PrepareDatabaseFolder(const std::string& root);

// `base` + "/" + `name` without doubling the separator.
std::string Join(const std::string& base, const std::string& name);

}  // namespace locations
