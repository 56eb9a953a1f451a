// The SQLite connection the journals open for the length of a phase or of one operation, with
// the settings they share (a write-ahead log on the file, a busy wait, synchronous=NORMAL), a
// cache of the prepared statements of hot row operations, and owners for what SQLite allocates.
// The connection owns its statements; closing finalizes them before the handle goes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace journal {

// A text SQLite made, freed with sqlite3_free: a statement formatted by sqlite3_mprintf ("%q"
// doubles every quote) or a prepared statement with its parameters filled in.
class SqlText {
  public:
    static SqlText Format(const char* format, ...);  // "%q" is unknown to the compiler's format check
    // The statement as it runs with its current bindings (texts quoted as "%q" quotes them);
    // not ok() when SQLite has no memory for it.
    static SqlText Expanded(sqlite3_stmt* stmt);
    SqlText(SqlText&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
    SqlText(const SqlText&) = delete;
    SqlText& operator=(const SqlText&) = delete;
    ~SqlText();
    const char* c_str() const { return text_ ? text_ : ""; }
    bool ok() const { return text_ != nullptr; }

  private:
    explicit SqlText(char* text) : text_(text) {}
    char* text_;
};

// Logs a statement at debug level, formatted like SqlText; skipped (not even formatted) unless
// the application's logger writes debug lines.
void LogStatement(const char* tag, const char* format, ...);
// Logs a prepared statement at debug level as SQLite runs it with its current bindings; skipped
// (not even expanded) unless the application's logger writes debug lines.
void LogPrepared(const char* tag, sqlite3_stmt* stmt);

class Connection {
  public:
    // Row handler of Exec: column count, values (NULL for SQL NULL) and column names.
    using RowFn = std::function<void(int columns, char** values, char** names)>;

    Connection() = default;
    ~Connection() { Close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens (creating the file when missing) and applies the per-connection settings. False
    // with the engine's message in `error`.
    bool Open(const std::string& path, std::string* error);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    sqlite3* Handle() const { return db_.get(); }

    // Runs a text statement; false with the engine's message in `error`.
    bool Exec(const char* sql, std::string* error, const RowFn& row = RowFn());
    // The prepared form of a parameterised statement, kept until Close, reset with its
    // bindings cleared; null with the engine's message in `error`.
    sqlite3_stmt* Prepare(const std::string& sql, std::string* error);
    // Runs a parameterised statement to its end: prepared as Prepare does, bound by `bind`,
    // logged as it runs (LogPrepared). False after logging "SQL error: <the engine's message>".
    using BindFn = std::function<bool(sqlite3_stmt* stmt)>;
    bool Run(const std::string& sql, const char* tag, const BindFn& bind);
    std::string LastMessage() const;

  private:
    struct DbCloser {
        void operator()(sqlite3* db) const;
    };
    struct StmtFinalizer {
        void operator()(sqlite3_stmt* stmt) const;
    };
    std::map<std::string, std::unique_ptr<sqlite3_stmt, StmtFinalizer>> statements_;
    std::unique_ptr<sqlite3, DbCloser> db_;
};

// Puts the database file into write-ahead-log mode (a property of the file, kept across
// connections); false with a reason when the engine refuses.
bool EnableWriteAheadLog(Connection& db, std::string* error);

// A statement step that holds a single row: SQLITE_ROW, SQLITE_DONE or an error code.
int Step(sqlite3_stmt* stmt);
// The first step of a bound statement, logged first as LogPrepared logs it.
int StepLogged(const char* tag, sqlite3_stmt* stmt);
// Binds a text (copied) or a number to the 1-based parameter.
bool BindText(sqlite3_stmt* stmt, int index, const std::string& text);
bool BindInt64(sqlite3_stmt* stmt, int index, int64_t value);

// Column readers that never fail: NULL reads as the empty text or 0; a text that is not a
// number reads as the number its leading digits make (SQLite's own conversion), else 0.
std::string ColumnText(sqlite3_stmt* stmt, int column);
int64_t ColumnInt64(sqlite3_stmt* stmt, int column);
// The index of the named column of a statement's result, or -1 (readers give "" / 0 then).
int ColumnIndex(sqlite3_stmt* stmt, const char* name);

}  // namespace journal
