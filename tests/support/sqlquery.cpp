#include "support/sqlquery.h"

#include <sqlite3.h>

namespace testsupport {

namespace {

// The client may be writing the file (a pass, a sign-in): a reader waits for it rather than fail.
constexpr int kBusyMs = 10000;

}  // namespace

std::string Query(const std::string& dbFile, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open(dbFile.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return "open failed";
    }
    sqlite3_busy_timeout(db, kBusyMs);
    char* err = nullptr;
    auto cb = [](void* o, int n, char** v, char**) -> int {
        std::string& s = *static_cast<std::string*>(o);
        if (!s.empty())
            s += "\n";
        for (int i = 0; i < n; ++i)
            s += std::string(i ? "|" : "") + (v[i] ? v[i] : "NULL");
        return 0;
    };
    if (sqlite3_exec(db, sql.c_str(), cb, &out, &err) != SQLITE_OK)
        out = std::string("error: ") + (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
    return out;
}

std::string StoredConfig(const std::string& dbFile, const std::string& key) {
    sqlite3* db = nullptr;
    std::string out = "<none>";
    if (sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, kBusyMs);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT value FROM config_table WHERE key=?", -1, &st, nullptr) ==
            SQLITE_OK) {
            sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(st) == SQLITE_ROW) {
                const unsigned char* v = sqlite3_column_text(st, 0);
                out = v ? reinterpret_cast<const char*>(v) : "<null>";
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

}  // namespace testsupport
