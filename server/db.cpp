#include "db.h"

#include <sqlite3.h>

namespace kserver {

CDb::~CDb() {
    Close();
}

bool CDb::Open(const std::string& path, std::string* error) {
    Close();
    int rc = sqlite3_open_v2(path.c_str(), &db_,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        if (error)
            *error = db_ ? sqlite3_errmsg(db_) : "cannot open database";
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, 15000);
    if (!Exec("PRAGMA journal_mode=WAL", error) || !Exec("PRAGMA synchronous=NORMAL", error) ||
        !Exec("PRAGMA foreign_keys=ON", error)) {
        Close();
        return false;
    }
    return true;
}

void CDb::Close() {
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool CDb::Exec(const char* sql, std::string* error) {
    char* msg = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        if (error)
            *error = msg ? msg : sqlite3_errstr(rc);
        sqlite3_free(msg);
        return false;
    }
    return true;
}

std::string CDb::LastError() const {
    return db_ ? sqlite3_errmsg(db_) : "database closed";
}

int64_t CDb::LastInsertId() const {
    return sqlite3_last_insert_rowid(db_);
}

int CDb::Changes() const {
    return sqlite3_changes(db_);
}

CStmt::CStmt(CDb& db, const char* sql) {
    if (sqlite3_prepare_v2(db.Handle(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        stmt_ = nullptr;
        failed_ = true;
    }
}

CStmt::~CStmt() {
    if (stmt_)
        sqlite3_finalize(stmt_);
}

CStmt& CStmt::Bind(int index, int64_t value) {
    if (stmt_ && sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK)
        failed_ = true;
    return *this;
}

CStmt& CStmt::Bind(int index, std::string_view value) {
    if (stmt_ && sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                                   SQLITE_TRANSIENT) != SQLITE_OK)
        failed_ = true;
    return *this;
}

CStmt& CStmt::BindNull(int index) {
    if (stmt_ && sqlite3_bind_null(stmt_, index) != SQLITE_OK)
        failed_ = true;
    return *this;
}

bool CStmt::Step() {
    if (!stmt_ || failed_)
        return false;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        failed_ = true;
    return false;
}

bool CStmt::Run() {
    if (!stmt_ || failed_)
        return false;
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW)
        failed_ = true;
    return !failed_;
}

void CStmt::Reset() {
    if (stmt_) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    failed_ = stmt_ == nullptr;
}

int64_t CStmt::Int(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

std::string CStmt::Text(int column) const {
    const unsigned char* t = sqlite3_column_text(stmt_, column);
    int n = sqlite3_column_bytes(stmt_, column);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(n)) : std::string();
}

bool CStmt::IsNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

CTxn::CTxn(CDb& db) : db_(db) {
    begun_ = db_.Exec("BEGIN IMMEDIATE");
}

CTxn::~CTxn() {
    if (begun_ && !done_)
        db_.Exec("ROLLBACK");
}

bool CTxn::Commit() {
    if (!begun_ || done_)
        return false;
    done_ = db_.Exec("COMMIT");
    return done_;
}

}  // namespace kserver
