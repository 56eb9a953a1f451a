// Raw reads of a client database, for the tests that check what a store wrote on the disk (the
// journals' own tests, the configuration table as another process left it) or plant what the
// client's code cannot write. Each call opens its own connection, waits while a writer holds the
// file, and closes again; any thread.
#pragma once

#include <string>

namespace testsupport {

// Runs `sql` on `dbFile`: columns joined by "|", rows by "\n", NULL as "NULL"; "open failed" or
// "error: <message>" when it cannot run.
std::string Query(const std::string& dbFile, const std::string& sql);

// The value of `key` in the configuration table as the file holds it (a password kept in the
// keyring is not there); "<null>" for NULL, "<none>" when there is no row or the file cannot be
// read.
std::string StoredConfig(const std::string& dbFile, const std::string& key);

}  // namespace testsupport
