#include "journal/journaldb.h"

#include <sqlite3.h>

#include <cstdarg>
#include <cstring>

#include "core/log.h"
#include "core/logger.h"

namespace journal {

namespace {

// The configuration store and a second instance may hold the file for a moment.
constexpr int kBusyTimeoutMs = 5000;

bool DebugLogging() {
    CLogger* logger = AppLogger();
    return logger != nullptr && logger->GetLevel() >= kLogDebug;
}

}  // namespace

SqlText SqlText::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* text = sqlite3_vmprintf(format, args);
    va_end(args);
    return SqlText(text);
}

SqlText SqlText::Expanded(sqlite3_stmt* stmt) {
    return SqlText(sqlite3_expanded_sql(stmt));
}

SqlText::~SqlText() {
    sqlite3_free(text_);
}

void LogStatement(const char* tag, const char* format, ...) {
    if (!DebugLogging())
        return;
    va_list args;
    va_start(args, format);
    char* text = sqlite3_vmprintf(format, args);
    va_end(args);
    if (text != nullptr)
        LogText(kLogDebug, tag, text);
    sqlite3_free(text);
}

void LogPrepared(const char* tag, sqlite3_stmt* stmt) {
    if (!DebugLogging())
        return;
    SqlText text = SqlText::Expanded(stmt);
    if (text.ok())
        LogText(kLogDebug, tag, text.c_str());
}

void Connection::DbCloser::operator()(sqlite3* db) const {
    sqlite3_close(db);
}

void Connection::StmtFinalizer::operator()(sqlite3_stmt* stmt) const {
    sqlite3_finalize(stmt);
}

bool Connection::Open(const std::string& path, std::string* error) {
    Close();
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::unique_ptr<sqlite3, DbCloser> db(raw);  // a failed open still hands back a handle
    if (rc != SQLITE_OK) {
        *error = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        return false;
    }
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    // With the write-ahead log a committed statement is in the log file when it returns, so it
    // survives the process; NORMAL leaves the log's fsync to checkpoints.
    char* err = nullptr;
    // A page cache that holds a large journal whole: LoadMap reads the rows in key order, which
    // visits the table's pages out of order (memory is taken only as pages are read).
    rc = sqlite3_exec(raw, "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-32768;", nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        // A file that is not a database fails here first: report it as a failed open.
        *error = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        return false;
    }
    db_ = std::move(db);
    return true;
}

void Connection::Close() {
    statements_.clear();  // finalized before the handle is closed
    db_.reset();
}

bool Connection::Exec(const char* sql, std::string* error, const RowFn& row) {
    if (!db_) {
        *error = "database is not open";
        return false;
    }
    auto callback = [](void* fn, int columns, char** values, char** names) -> int {
        (*static_cast<const RowFn*>(fn))(columns, values, names);
        return 0;
    };
    char* err = nullptr;
    int rc = sqlite3_exec(db_.get(), sql, row ? +callback : nullptr, row ? const_cast<RowFn*>(&row) : nullptr,
                          &err);
    if (rc != SQLITE_OK) {
        *error = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        return false;
    }
    return true;
}

sqlite3_stmt* Connection::Prepare(const std::string& sql, std::string* error) {
    if (!db_) {
        *error = "database is not open";
        return nullptr;
    }
    auto found = statements_.find(sql);
    if (found != statements_.end()) {
        sqlite3_reset(found->second.get());
        sqlite3_clear_bindings(found->second.get());
        return found->second.get();
    }
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_.get(), sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, StmtFinalizer> stmt(raw);
    if (rc != SQLITE_OK || raw == nullptr) {
        *error = sqlite3_errmsg(db_.get());
        return nullptr;
    }
    statements_.emplace(sql, std::move(stmt));
    return raw;
}

bool Connection::Run(const std::string& sql, const char* tag, const BindFn& bind) {
    std::string error;
    sqlite3_stmt* stmt = Prepare(sql, &error);
    if (stmt == nullptr) {
        Log(kLogError, tag, "SQL error: %s", error.c_str());
        return false;
    }
    if (!bind(stmt) || StepLogged(tag, stmt) != SQLITE_DONE) {
        Log(kLogError, tag, "SQL error: %s", LastMessage().c_str());
        sqlite3_reset(stmt);
        return false;
    }
    return true;
}

std::string Connection::LastMessage() const {
    return db_ ? sqlite3_errmsg(db_.get()) : "database is not open";
}

bool EnableWriteAheadLog(Connection& db, std::string* error) {
    std::string mode;
    bool ok = db.Exec("PRAGMA journal_mode=WAL;", error, [&mode](int columns, char** values, char**) {
        if (columns > 0 && values[0] != nullptr)
            mode = values[0];
    });
    if (!ok)
        return false;
    if (sqlite3_stricmp(mode.c_str(), "wal") != 0) {
        *error = "journal mode stays " + mode;
        return false;
    }
    return true;
}

int Step(sqlite3_stmt* stmt) {
    return sqlite3_step(stmt);
}

int StepLogged(const char* tag, sqlite3_stmt* stmt) {
    LogPrepared(tag, stmt);
    return sqlite3_step(stmt);
}

bool BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) ==
           SQLITE_OK;
}

bool BindInt64(sqlite3_stmt* stmt, int index, int64_t value) {
    return sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(value)) == SQLITE_OK;
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
    if (column < 0 || column >= sqlite3_column_count(stmt))
        return std::string();
    const unsigned char* text = sqlite3_column_text(stmt, column);
    if (text == nullptr)
        return std::string();
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

int64_t ColumnInt64(sqlite3_stmt* stmt, int column) {
    if (column < 0 || column >= sqlite3_column_count(stmt))
        return 0;
    return sqlite3_column_int64(stmt, column);
}

int ColumnIndex(sqlite3_stmt* stmt, const char* name) {
    const int count = sqlite3_column_count(stmt);
    for (int i = 0; i < count; ++i) {
        const char* n = sqlite3_column_name(stmt, i);
        if (n != nullptr && sqlite3_stricmp(n, name) == 0)
            return i;
    }
    return -1;
}

}  // namespace journal
