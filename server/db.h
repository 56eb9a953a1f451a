// Thin RAII owners for SQLite handles used by the service's store: a connection (WAL, busy
// timeout) and prepared statements with typed binds. Every text goes through a bind, never into
// the SQL text itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace kserver {

class CDb {
  public:
    CDb() = default;
    ~CDb();
    CDb(const CDb&) = delete;
    CDb& operator=(const CDb&) = delete;

    // Opens (creating) the file in WAL mode with a busy timeout, so other processes (the CLI)
    // can work on the same data folder while the service runs.
    bool Open(const std::string& path, std::string* error);
    void Close();
    bool Exec(const char* sql, std::string* error = nullptr);
    std::string LastError() const;
    int64_t LastInsertId() const;
    int Changes() const;
    sqlite3* Handle() const { return db_; }

  private:
    sqlite3* db_ = nullptr;
};

class CStmt {
  public:
    CStmt(CDb& db, const char* sql);
    ~CStmt();
    CStmt(const CStmt&) = delete;
    CStmt& operator=(const CStmt&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    CStmt& Bind(int index, int64_t value);
    CStmt& Bind(int index, std::string_view value);
    CStmt& BindNull(int index);
    // True while a row is available; false at the end or on an error (see Failed()).
    bool Step();
    // Runs a statement that returns no rows; false on error.
    bool Run();
    bool Failed() const { return failed_; }
    void Reset();

    int64_t Int(int column) const;
    std::string Text(int column) const;
    bool IsNull(int column) const;

  private:
    sqlite3_stmt* stmt_ = nullptr;
    bool failed_ = false;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back unless Commit() succeeded.
class CTxn {
  public:
    explicit CTxn(CDb& db);
    ~CTxn();
    CTxn(const CTxn&) = delete;
    CTxn& operator=(const CTxn&) = delete;
    bool ok() const { return begun_; }
    bool Commit();

  private:
    CDb& db_;
    bool begun_ = false;
    bool done_ = false;
};

}  // namespace kserver
