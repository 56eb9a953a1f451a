#include "journal/chunkjournal.h"

#include <sqlite3.h>

#include "core/log.h"

namespace {

using journal::SqlText;

constexpr const char* kTable = CChunkJournal::kTableName;
constexpr const char* kId = "id";
constexpr const char* kKey = "key";
constexpr const char* kSize = "size";
constexpr const char* kStorageId = "storage_id";
constexpr const char* kBlockSum = "block_sum";
constexpr const char* kBlockHash = "block_hash";
constexpr const char* kNeededBy = "needed_by";
constexpr const char* kDeleted = "deleted";

constexpr const char* kCreateSql =
    "CREATE TABLE %s (%s INTEGER primary key, %s TEXT not null unique,                   %s INTEGER, %s TEXT,"
    "                   %s TEXT, %s TEXT,                   %s TEXT, %s INTEGER);";

// The row statements; values are bound (storage keys come from the service), and the log shows
// each as it runs, its values filled in.
const std::string kFindStmt = std::string("SELECT * FROM ") + kTable + " WHERE " + kKey + "=?1;";
const std::string kInsertStmt = std::string("INSERT INTO ") + kTable + " (" + kKey + ", " + kSize + ", " +
                                kStorageId + ", " + kBlockSum + ", " + kBlockHash +
                                ") VALUES(?1, ?2, ?3, ?4, ?5)";
const std::string kUpdateStmt =
    std::string("UPDATE ") + kTable + " SET " + kStorageId + " = ?1 WHERE " + kKey + " = ?2";
const std::string kDeleteStmt = std::string("DELETE FROM ") + kTable + " WHERE " + kKey + "=?1;";

// A chunk is never empty and never longer than 4 MiB; a stored size outside that is damage.
bool ValidChunkSize(int64_t size) {
    return size > 0 && size <= CFileInfo::kChunkSize;
}

// Closes the connection when Init or CleanDB leaves, whatever way it leaves.
struct CloseGuard {
    CChunkJournal* journal;
    ~CloseGuard() { journal->CloseDB(); }
};

}  // namespace

bool CChunkJournal::Init(const std::string& dbFile) {
    const char* tag = "CChunkJournal::Init";
    if (dbFile.empty()) {
        Log(kLogError, tag, "Need set config DB file!");
        return false;
    }
    if (!dbFile_.empty()) {
        Log(kLogError, tag, "DB file exist!");
        return false;
    }
    dbFile_ = dbFile;
    if (!OpenDB()) {
        Log(kLogError, tag, "Fail to open DB!");
        return false;
    }
    CloseGuard close{this};
    SqlText create = SqlText::Format(kCreateSql, kTable, kId, kKey, kSize, kStorageId, kBlockSum, kBlockHash,
                                     kNeededBy, kDeleted);
    journal::LogStatement(tag, "%s", create.c_str());
    std::string error;
    if (!db_.Exec(create.c_str(), &error)) {
        Log(kLogInfo, tag, "SQL info: %s", error.c_str());
        // An existing table is the usual case; a file that is no database is not.
        SqlText probe = SqlText::Format("SELECT 1 FROM %s LIMIT 0;", kTable);
        std::string probeError;
        if (!db_.Exec(probe.c_str(), &probeError)) {
            Log(kLogError, tag, "SQL error: %s", probeError.c_str());
            return false;
        }
    }
    if (!journal::EnableWriteAheadLog(db_, &error))
        Log(kLogWarn, tag, "Fail to use a write-ahead log: %s", error.c_str());
    return true;
}

bool CChunkJournal::OpenDB() {
    const char* tag = "CChunkJournal::OpenDB";
    if (dbFile_.empty()) {
        Log(kLogError, tag, "DB file undefined!");
        return false;
    }
    if (db_.IsOpen()) {
        Log(kLogError, tag, "DB file opened before!");
        return false;
    }
    std::string error;
    if (!db_.Open(dbFile_, &error)) {
        Log(kLogError, tag, "Could not open database: %s", error.c_str());
        return false;
    }
    return true;
}

void CChunkJournal::CloseDB() {
    db_.Close();
}

bool CChunkJournal::_Use() {
    return db_.IsOpen() || OpenDB();
}

bool CChunkJournal::CleanDB() {
    const char* tag = "CChunkJournal::CleanDB";
    if (!_Use()) {
        Log(kLogError, tag, "DB is not open!");
        return false;
    }
    CloseGuard close{this};
    SqlText sql = SqlText::Format("DELETE FROM %s", kTable);
    journal::LogStatement(tag, "%s", sql.c_str());
    std::string error;
    if (!db_.Exec(sql.c_str(), &error)) {
        Log(kLogError, tag, "SQL error: %s", error.c_str());
        return false;
    }
    return true;
}

// ---- Statements on the open connection

bool CChunkJournal::_RequireOpen(const char* tag) const {
    if (db_.IsOpen())
        return true;
    Log(kLogError, tag, "DB is not open!");
    return false;
}

bool CChunkJournal::_Find(const std::string& key, CChunkInfo* chunk) {
    const char* tag = "CChunkJournal::_Find";
    if (!_RequireOpen(tag))
        return false;
    std::string error;
    sqlite3_stmt* stmt = db_.Prepare(kFindStmt, &error);
    if (stmt == nullptr || !journal::BindText(stmt, 1, key)) {
        Log(kLogError, tag, "SQL error: %s", stmt ? db_.LastMessage().c_str() : error.c_str());
        return false;
    }
    int rc = journal::StepLogged(tag, stmt);
    if (rc == SQLITE_DONE)
        return false;
    if (rc != SQLITE_ROW) {
        Log(kLogError, tag, "SQL error: %s", db_.LastMessage().c_str());
        return false;
    }
    // NULL columns read as empty texts, a size that is no valid chunk size as 0.
    chunk->key = journal::ColumnText(stmt, journal::ColumnIndex(stmt, kKey));
    const int64_t size = journal::ColumnInt64(stmt, journal::ColumnIndex(stmt, kSize));
    chunk->size = ValidChunkSize(size) ? static_cast<int32_t>(size) : 0;
    chunk->storageKey = journal::ColumnText(stmt, journal::ColumnIndex(stmt, kStorageId));
    chunk->blockSums = journal::ColumnText(stmt, journal::ColumnIndex(stmt, kBlockSum));
    chunk->blockHashes = journal::ColumnText(stmt, journal::ColumnIndex(stmt, kBlockHash));
    sqlite3_reset(stmt);
    return true;
}

bool CChunkJournal::_Insert(const CChunkInfo& chunk) {
    const char* tag = "CChunkJournal::_Insert";
    if (!_RequireOpen(tag))
        return false;
    return db_.Run(kInsertStmt, tag, [&chunk](sqlite3_stmt* stmt) {
        return journal::BindText(stmt, 1, chunk.key) && journal::BindInt64(stmt, 2, chunk.size) &&
               journal::BindText(stmt, 3, chunk.storageKey) && journal::BindText(stmt, 4, chunk.blockSums) &&
               journal::BindText(stmt, 5, chunk.blockHashes);
    });
}

bool CChunkJournal::_UpdateStorageKey(const std::string& key, const std::string& storageKey) {
    const char* tag = "CChunkJournal::_UpdateStorageKey";
    if (!_RequireOpen(tag))
        return false;
    return db_.Run(kUpdateStmt, tag, [&](sqlite3_stmt* stmt) {
        return journal::BindText(stmt, 1, storageKey) && journal::BindText(stmt, 2, key);
    });
}

bool CChunkJournal::_Delete(const std::string& key) {
    const char* tag = "CChunkJournal::_Delete";
    if (!_RequireOpen(tag))
        return false;
    return db_.Run(kDeleteStmt, tag, [&key](sqlite3_stmt* stmt) { return journal::BindText(stmt, 1, key); });
}

// ---- Public operations: open, work, close

bool CChunkJournal::AddFileChunk(const CFileInfo& file) {
    const char* tag = "CChunkJournal::AddFileChunk";
    if (file.dirFlag != 0) {
        Log(kLogWarn, tag, "Can't get chunk from %s", file.path.c_str());
        return true;
    }
    if (file.chunks.empty()) {
        Log(kLogWarn, tag, "Can't get any chunk from %s (%lld)", file.path.c_str(),
            static_cast<long long>(file.size));
        return true;
    }
    if (!_Use()) {
        Log(kLogError, tag, "Fail to open DB!");
        return false;
    }
    for (const CChunkInfo& chunk : file.chunks) {
        if (!CFileInfo::IsChunkKey(chunk.key)) {
            // No chunk list can name such a row again: storing it would only be clutter.
            Log(kLogError, tag, "Bad chunk key {%s} of file {%s}", chunk.key.c_str(), file.path.c_str());
            continue;
        }
        CChunkInfo stored;
        if (_Find(chunk.key, &stored)) {
            if (!stored.storageKey.empty() && stored.size == chunk.size && !stored.blockSums.empty() &&
                !stored.blockHashes.empty())
                continue;  // complete: kept
            if (!_Delete(chunk.key)) {
                Log(kLogError, tag, "Fail to delete chunk {%s} of file {%s} into DB", chunk.key.c_str(),
                    file.path.c_str());
                continue;
            }
        }
        if (!_Insert(chunk))
            Log(kLogError, tag, "Fail to insert chunk {%s} of file {%s} into DB", chunk.key.c_str(),
                file.path.c_str());
    }
    return true;
}

bool CChunkJournal::GetFileChunk(CFileInfo* file) {
    const char* tag = "CChunkJournal::GetFileChunk";
    if (file == nullptr)
        return false;
    if (file->dirFlag != 0) {
        Log(kLogWarn, tag, "Can't get chunk from %s", file->path.c_str());
        return true;
    }
    if (!_Use()) {
        Log(kLogError, tag, "Fail to open DB!");
        return false;
    }
    if (!file->SplitChunkList()) {
        // A damaged list names no chunk to build a delta against.
        Log(kLogError, tag, "Bad chunk list of %s", file->path.c_str());
        file->signaturesComplete = false;
        return true;
    }
    for (CChunkInfo& chunk : file->chunks) {
        CChunkInfo stored;
        if (!_Find(chunk.key, &stored)) {
            Log(kLogError, tag, "Can't find chunk {%s} from DB", chunk.key.c_str());
            // A chunk without signatures: no delta against this version.
            file->signaturesComplete = false;
            continue;
        }
        const int32_t blocks = chunk.blockCount;  // not stored: kept as it was
        chunk = stored;
        chunk.blockCount = blocks;
        if (stored.blockSums.empty() || stored.blockHashes.empty() || stored.size == 0)
            file->signaturesComplete = false;
    }
    return true;
}

bool CChunkJournal::UpdateStorageKey(const std::string& key, const std::string& storageKey) {
    const char* tag = "CChunkJournal::UpdateStorageKey";
    if (!_Use()) {
        Log(kLogError, tag, "Fail to open DB!");
        return false;
    }
    CChunkInfo stored;
    if (!_Find(key, &stored)) {
        Log(kLogError, tag, "Fail to find chunk {%s} from DB", key.c_str());
        return false;
    }
    if (!_UpdateStorageKey(key, storageKey)) {
        Log(kLogError, tag, "Fail to insert stroage key {%s} into chunk {%s}", storageKey.c_str(),
            key.c_str());
        return false;
    }
    return true;
}

bool CChunkJournal::Find(const std::string& key, CChunkInfo* chunk) {
    const char* tag = "CChunkJournal::Find";
    if (!_Use()) {
        Log(kLogError, tag, "Fail to open DB");
        return false;
    }
    if (!_Find(key, chunk)) {
        Log(kLogError, tag, "Fail to find a chunk info to DB");
        return false;
    }
    return true;
}

bool CChunkJournal::Insert(const CChunkInfo& chunk) {
    const char* tag = "CChunkJournal::Insert";
    if (!_Use()) {
        Log(kLogError, tag, "Fail to open DB");
        return false;
    }
    if (!_Insert(chunk)) {
        Log(kLogError, tag, "Fail to add a chunk info to DB");
        return false;
    }
    return true;
}

bool CChunkJournal::Delete(const std::string& key) {
    const char* tag = "CChunkJournal::Delete";
    if (!_Use()) {
        Log(kLogError, tag, "Fail to open DB");
        return false;
    }
    if (!_Delete(key)) {
        Log(kLogError, tag, "Fail to delete a chunk info to DB");
        return false;
    }
    return true;
}
