// Where the client keeps its local files: the install and data root folders (from the client's
// registry values, with defaults), and the database, log, home and chunk-cache folders derived
// from them. Plain functions without state; paths use "/".
#pragma once

#include <string>
#include <vector>

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

// Creates the database folder (0700) when missing and gives it the hidden attribute; false when
// it does not exist afterwards.
bool PrepareDatabaseFolder(const std::string& root);

// client.db and the files SQLite keeps beside it (write-ahead log, shared memory, rollback journal).
std::vector<std::string> DatabaseFiles(const std::string& root);

// Tightens an existing install: the data root's own folders (.db, .log, .cache, .trash, home)
// become 0700, and client.db with its side files, the logs and the cached chunks 0600. The folders
// are not created here, and nothing inside the home folder is touched: synced files keep their
// modes. Returns how many entries could not be changed.
int TightenDataRoot(const std::string& root);
// Brings every regular file directly inside `folder` to 0600; returns how many could not be.
int TightenFilesIn(const std::string& folder);

// `base` + "/" + `name` without doubling the separator.
std::string Join(const std::string& base, const std::string& name);

}  // namespace locations
