#include "journal/filejournal.h"

#include <sqlite3.h>

#include <cstdlib>

#include "core/log.h"
#include "util/ascii.h"
#include "util/util.h"

namespace {

using journal::SqlText;

constexpr const char* kTable = CFileJournal::kTableName;
constexpr const char* kId = "id";
constexpr const char* kServerPath = "server_path";

// The five columns that keep one half of a record.
struct HalfColumns {
    const char* path;
    const char* chunks;
    const char* mtime;
    const char* size;
    const char* dir;
};
// "actvie_mtime" is the column's name in every database written so far.
constexpr HalfColumns kActive{"active_server_path", "active_chunklist", "actvie_mtime", "active_size",
                              "active_dir"};
constexpr HalfColumns kUpdated{"updated_server_path", "updated_chunklist", "updated_mtime", "updated_size",
                               "updated_dir"};
constexpr const char* kOnDisk = "on_disk";

constexpr const char* kCreateSql =
    "CREATE TABLE %s (%s INTEGER primary key, %s TEXT not null unique,                    %s TEXT, %s TEXT, "
    "%s INTEGER, %s INTEGER, %s INTEGER,                    %s TEXT, %s TEXT, %s INTEGER, %s INTEGER, "
    "%s INTEGER, %s INTEGER);";

// The row statements, prepared once per connection; the log shows each as it runs, its values
// filled in.
const std::string& GetItemStmt() {
    static const std::string s = std::string("SELECT * FROM ") + kTable + " WHERE " + kServerPath + "=?1;";
    return s;
}

std::string HalfList(const HalfColumns& c) {
    return std::string(c.path) + ", " + c.chunks + ", " + c.mtime + ", " + c.size + ", " + c.dir;
}

const std::string& AddActiveStmt() {
    static const std::string s = std::string("INSERT INTO ") + kTable + " (" + kServerPath + ", " +
                                 HalfList(kActive) + ", " + kOnDisk + ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?12)";
    return s;
}

const std::string& AddUpdatedStmt() {
    static const std::string s = std::string("INSERT INTO ") + kTable + " (" + kServerPath + ", " +
                                 HalfList(kUpdated) + ", " + kOnDisk +
                                 ") VALUES(?1, ?7, ?8, ?9, ?10, ?11, ?12)";
    return s;
}

const std::string& AddBothStmt() {
    static const std::string s = std::string("INSERT INTO ") + kTable + " (" + kServerPath + ", " +
                                 HalfList(kActive) + ", " + HalfList(kUpdated) + ", " + kOnDisk +
                                 ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";
    return s;
}

const std::string& SetItemStmt() {
    static const std::string s = [] {
        std::string r = std::string("UPDATE ") + kTable + " SET ";
        int n = 2;
        for (const HalfColumns* c : {&kActive, &kUpdated}) {
            for (const char* col : {c->path, c->chunks, c->mtime, c->size, c->dir})
                r += std::string(col) + "=?" + std::to_string(n++) + ", ";
        }
        r += std::string(kOnDisk) + "=?12 WHERE " + kServerPath + "=?1;";
        return r;
    }();
    return s;
}

const std::string& DelItemStmt() {
    static const std::string s = std::string("DELETE FROM ") + kTable + " WHERE " + kServerPath + "=?1;";
    return s;
}

bool IsEmptyHalf(const CFileInfo& half) {
    return half.path.empty();
}

std::string ToUtf8(const std::string& ansi) {
    std::string text = ansi;
    CUtil::AnsiToUtf8(text);
    return text;
}

std::string ToAnsi(const std::string& utf8) {
    std::string text = utf8;
    CUtil::Utf8ToAnsi(text);
    return text;
}

// The database forms of one half: path in UTF-8, the rest as kept.
struct HalfValues {
    std::string path, chunks;
    long long mtime = 0, size = 0;
    int dir = 0;
};

HalfValues ValuesOf(const CFileInfo& half) {
    HalfValues v;
    if (IsEmptyHalf(half))
        return v;
    v.path = ToUtf8(half.path);
    v.chunks = half.chunkListText;
    v.mtime = half.modifyTime;
    v.size = half.size;
    v.dir = half.dirFlag;
    return v;
}

// Binds a half to the parameters first .. first + 4 (path, chunk list, time, size, folder value).
bool BindHalf(sqlite3_stmt* stmt, int first, const HalfValues& v) {
    return journal::BindText(stmt, first, v.path) && journal::BindText(stmt, first + 1, v.chunks) &&
           journal::BindInt64(stmt, first + 2, v.mtime) && journal::BindInt64(stmt, first + 3, v.size) &&
           journal::BindInt64(stmt, first + 4, v.dir);
}

// Column positions of a "SELECT *" result, found by name once per statement.
struct RowColumns {
    int key;
    int half[2][5];
    int onDisk;

    explicit RowColumns(sqlite3_stmt* stmt) {
        key = journal::ColumnIndex(stmt, kServerPath);
        const HalfColumns* halves[2] = {&kActive, &kUpdated};
        for (int h = 0; h < 2; ++h) {
            const HalfColumns& c = *halves[h];
            const char* names[5] = {c.path, c.chunks, c.mtime, c.size, c.dir};
            for (int i = 0; i < 5; ++i)
                half[h][i] = journal::ColumnIndex(stmt, names[i]);
        }
        onDisk = journal::ColumnIndex(stmt, kOnDisk);
    }
};

// Fills a half from its columns; NULL reads as empty text or 0, so a damaged row never crashes
// the reader. A half whose path is empty stays empty.
void ReadHalf(sqlite3_stmt* stmt, const int (&cols)[5], CFileInfo* half) {
    *half = CFileInfo();
    std::string path = journal::ColumnText(stmt, cols[0]);
    if (path.empty())
        return;
    half->path = ToAnsi(path);
    half->chunkListText = journal::ColumnText(stmt, cols[1]);
    half->modifyTime = journal::ColumnInt64(stmt, cols[2]);
    half->size = journal::ColumnInt64(stmt, cols[3]);
    half->dirFlag = static_cast<int32_t>(journal::ColumnInt64(stmt, cols[4]));
}

void ReadRow(sqlite3_stmt* stmt, const RowColumns& cols, CJournalItem* item) {
    item->key = ToAnsi(journal::ColumnText(stmt, cols.key));
    ReadHalf(stmt, cols.half[0], &item->active);
    ReadHalf(stmt, cols.half[1], &item->updated);
    item->onDisk = static_cast<int>(journal::ColumnInt64(stmt, cols.onDisk));
}

}  // namespace

CFileJournal::~CFileJournal() {
    db_.Close();
}

std::string CFileJournal::MakeKey(const std::string& path) {
    return ToAnsi(ascii::Lowered(ToUtf8(path)));
}

// ---- Lifetime and loading

int CFileJournal::Init(const std::string& dbFile) {
    const char* tag = "CFileJournal::Init";
    if (dbFile.empty()) {
        Log(kLogError, tag, "Need set config DB file!");
        return 0;
    }
    if (!dbFile_.empty()) {
        Log(kLogError, tag, "DB file exist!");
        return 0;
    }
    dbFile_ = dbFile;
    if (!OpenDB())
        return 0;
    SqlText create = SqlText::Format(kCreateSql, kTable, kId, kServerPath, kActive.path, kActive.chunks,
                                     kActive.mtime, kActive.size, kActive.dir, kUpdated.path, kUpdated.chunks,
                                     kUpdated.mtime, kUpdated.size, kUpdated.dir, kOnDisk);
    journal::LogStatement(tag, "%s", create.c_str());
    std::string error;
    if (!db_.Exec(create.c_str(), &error)) {
        Log(kLogInfo, tag, "SQL info: %s", error.c_str());
        // Only an existing table is the usual case; a file that is no database is not.
        SqlText probe = SqlText::Format("SELECT 1 FROM %s LIMIT 0;", kTable);
        std::string probeError;
        if (!db_.Exec(probe.c_str(), &probeError)) {
            Log(kLogError, tag, "SQL error: %s", probeError.c_str());
            CloseDB();
            return 0;
        }
    }
    // A committed row is in the log file when its statement returns, and the writer does not
    // wait for a sync per statement; the mode stays with the file.
    if (!journal::EnableWriteAheadLog(db_, &error))
        Log(kLogWarn, tag, "Fail to use a write-ahead log: %s", error.c_str());
    CloseDB();
    return 1;
}

int CFileJournal::OpenDB() {
    const char* tag = "CFileJournal::OpenDB";
    if (dbFile_.empty()) {
        Log(kLogError, tag, "DB file undefined!");
        return 0;
    }
    if (db_.IsOpen()) {
        Log(kLogError, tag, "DB file opened before!");
        return 0;
    }
    std::string error;
    if (!db_.Open(dbFile_, &error)) {
        Log(kLogError, tag, "Could not open database: %s", error.c_str());
        return 0;
    }
    Log(kLogDebug, tag, "======");
    return 1;
}

void CFileJournal::CloseDB() {
    db_.Close();
    Log(kLogDebug, "CFileJournal::CloseDB", "------");
}

bool CFileJournal::_RequireOpen(const char* tag, const char* message) const {
    if (db_.IsOpen())
        return true;
    Log(kLogError, tag, "%s", message);
    return false;
}

int CFileJournal::_Exec(const char* sql, const char* tag) {
    journal::LogStatement(tag, "%s", sql);
    std::string error;
    if (!db_.Exec(sql, &error)) {
        Log(kLogError, tag, "SQL error: %s", error.c_str());
        return 0;
    }
    return 1;
}

int CFileJournal::CountOnDisk(int64_t* count) {
    const char* tag = "CFileJournal::CountOnDisk";
    if (!_RequireOpen(tag))
        return 0;
    SqlText sql = SqlText::Format("SELECT count(*) FROM %s WHERE %s=1", kTable, kOnDisk);
    std::string error;
    int64_t n = -1;
    const bool ok = db_.Exec(sql.c_str(), &error, [&n](int columns, char** values, char**) {
        if (columns == 1 && values[0])
            n = std::strtoll(values[0], nullptr, 10);
    });
    if (!ok || n < 0) {
        Log(kLogError, tag, "SQL error: %s", error.c_str());
        return 0;
    }
    *count = n;
    return 1;
}

int CFileJournal::LoadMap() {
    const char* tag = "CFileJournal::LoadMap";
    if (!_RequireOpen(tag))
        return 0;
    map_.clear();
    forwardLive_ = reverseLive_ = false;
    // Rows in key order (the unique index gives it), so each one is appended at the map's end.
    SqlText sql = SqlText::Format("SELECT * FROM %s ORDER BY %s", kTable, kServerPath);
    journal::LogStatement(tag, "%s", sql.c_str());
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.Handle(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        Log(kLogError, tag, "SQL error: %s", db_.LastMessage().c_str());
        sqlite3_finalize(raw);
        return 0;
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
    const RowColumns cols(raw);
    Log(kLogDebug, tag, "--------------------- DB filesystem ------------------------");
    int rc;
    while ((rc = journal::Step(raw)) == SQLITE_ROW) {
        CJournalItem item;
        ReadRow(raw, cols, &item);
        if (item.key.empty()) {
            Log(kLogWarn, tag, "Skip a row without a key");
            continue;
        }
        Log(kLogDebug, tag, "DB FS: %s", item.key.c_str());
        std::string key = item.key;
        map_.emplace_hint(map_.end(), std::move(key), std::move(item));
    }
    if (rc != SQLITE_DONE) {
        Log(kLogError, tag, "SQL error: %s", db_.LastMessage().c_str());
        return 0;
    }
    Log(kLogDebug, tag, "%s", std::string(60, '-').c_str());
    return 1;
}

int CFileJournal::CleanDB() {
    const char* tag = "CFileJournal::CleanDB";
    if (!OpenDB())
        return 0;
    map_.clear();
    forwardLive_ = reverseLive_ = false;
    SqlText sql = SqlText::Format("DELETE FROM %s", kTable);
    int ok = _Exec(sql.c_str(), tag);
    CloseDB();
    return ok;
}

int CFileJournal::LoadDBShareMap() {
    const char* tag = "CFileJournal::LoadDBShareMap";
    if (!_RequireOpen(tag))
        return 0;
    shares_.ClearDB();
    SqlText sql =
        SqlText::Format("SELECT %s, %s, %s, %s, %s FROM %s WHERE %s > 1 or %s > 1", kActive.dir, kActive.path,
                        kUpdated.dir, kUpdated.path, kOnDisk, kTable, kActive.dir, kUpdated.dir);
    journal::LogStatement(tag, "%s", sql.c_str());
    std::string error;
    bool ok = db_.Exec(sql.c_str(), &error, [this, tag](int columns, char** values, char**) {
        if (columns < 5)
            return;
        auto text = [values](int i) { return std::string(values[i] ? values[i] : ""); };
        const bool pending = text(4) == "0";
        std::string id = pending ? text(2) : text(0);
        std::string path = ToAnsi(pending ? text(3) : text(1));
        // The half that on_disk selects may not be the shared one (a share that became a plain
        // folder on the service): only folder ids of 2 or more name a share.
        if (id.empty() || path.empty() || std::atoll(id.c_str()) < 2) {
            Log(kLogDebug, tag, "Skip share row (%s, %s)", id.c_str(), path.c_str());
            return;
        }
        shares_.SetDB(id, path);
    });
    if (!ok) {
        Log(kLogError, tag, "SQL error: %s", error.c_str());
        return 0;
    }
    return 1;
}

// ---- The journal map

int CFileJournal::Lookup(const std::string& key, CJournalItem* item) const {
    auto found = map_.find(MakeKey(key));
    if (found == map_.end())
        return 0;
    *item = found->second;
    return 1;
}

std::map<std::string, std::string> CFileJournal::OnDiskShares() const {
    std::map<std::string, std::string> shares;
    for (const auto& [key, item] : map_)
        if (!item.active.path.empty() && item.active.dirFlag >= 2)
            shares[std::to_string(item.active.dirFlag)] = item.active.path;
    return shares;
}

int CFileJournal::GetFirst(CJournalItem* item) {
    forward_ = map_.begin();
    forwardLive_ = true;
    return GetNext(item);
}

int CFileJournal::GetNext(CJournalItem* item) {
    if (!forwardLive_ || forward_ == map_.end())
        return 0;
    *item = forward_->second;
    ++forward_;
    return 1;
}

int CFileJournal::GetLast(CJournalItem* item) {
    reverse_ = map_.rbegin();
    reverseLive_ = true;
    return GetPrev(item);
}

int CFileJournal::GetPrev(CJournalItem* item) {
    if (!reverseLive_ || reverse_ == map_.rend())
        return 0;
    *item = reverse_->second;
    ++reverse_;
    return 1;
}

int CFileJournal::FindSameContent(const CFileInfo& info, CJournalItem* item) const {
    for (const auto& [key, record] : map_) {
        const CFileInfo& a = record.active;
        if (record.onDisk && a.dirFlag == 0 && a.size > 0 && a.size == info.size &&
            a.chunkListText == info.chunkListText) {
            *item = record;
            return 1;
        }
    }
    return 0;
}

// ---- Row statements

CFileJournal::Found CFileJournal::_GetItem(const std::string& key, CJournalItem* item, const char* tag) {
    if (!_RequireOpen(tag))
        return Found::Failed;
    const std::string utf8Key = ToUtf8(key);
    std::string error;
    sqlite3_stmt* stmt = db_.Prepare(GetItemStmt(), &error);
    if (stmt == nullptr || !journal::BindText(stmt, 1, utf8Key)) {
        Log(kLogError, tag, "SQL error: %s", stmt ? db_.LastMessage().c_str() : error.c_str());
        return Found::Failed;
    }
    int rc = journal::StepLogged(tag, stmt);
    if (rc == SQLITE_DONE)
        return Found::No;
    if (rc != SQLITE_ROW) {
        Log(kLogError, tag, "SQL error: %s", db_.LastMessage().c_str());
        return Found::Failed;
    }
    const RowColumns cols(stmt);
    ReadRow(stmt, cols, item);
    item->key = key;
    sqlite3_reset(stmt);
    return Found::Yes;
}

bool CFileJournal::_AddItem(const std::string& key, const CJournalItem& item, const char* tag) {
    if (!_RequireOpen(tag))
        return false;
    const bool hasActive = !IsEmptyHalf(item.active);
    const bool hasUpdated = !IsEmptyHalf(item.updated);
    if (!hasActive && !hasUpdated) {
        Log(kLogError, tag, "Fail to insert for both NULL actvie {%s} and update {%s}",
            item.active.path.c_str(), item.updated.path.c_str());
        return false;
    }
    const std::string k = ToUtf8(key);
    const HalfValues a = ValuesOf(item.active);
    const HalfValues u = ValuesOf(item.updated);
    const std::string& stmtText =
        hasActive && hasUpdated ? AddBothStmt() : (hasActive ? AddActiveStmt() : AddUpdatedStmt());
    // Parameters: 1 key, 2-6 active half, 7-11 updated half, 12 on_disk (unused ones unbound).
    return db_.Run(stmtText, tag, [&](sqlite3_stmt* stmt) {
        return journal::BindText(stmt, 1, k) && (!hasActive || BindHalf(stmt, 2, a)) &&
               (!hasUpdated || BindHalf(stmt, 7, u)) && journal::BindInt64(stmt, 12, item.onDisk);
    });
}

bool CFileJournal::_SetItem(const std::string& key, const CJournalItem& item, const char* tag) {
    if (!_RequireOpen(tag))
        return false;
    const std::string k = ToUtf8(key);
    const HalfValues a = ValuesOf(item.active);
    const HalfValues u = ValuesOf(item.updated);
    const bool ran = db_.Run(SetItemStmt(), tag, [&](sqlite3_stmt* stmt) {
        return journal::BindText(stmt, 1, k) && BindHalf(stmt, 2, a) && BindHalf(stmt, 7, u) &&
               journal::BindInt64(stmt, 12, item.onDisk);
    });
    if (!ran)
        return false;
    if (sqlite3_changes(db_.Handle()) == 0) {
        Log(kLogError, tag, "SQL error: no row of key %s", key.c_str());
        return false;
    }
    return true;
}

bool CFileJournal::_DelItem(const std::string& key, const char* tag) {
    if (!_RequireOpen(tag, "{CFileJournal::GetValuebyKey} DB is not open!"))
        return false;
    const std::string k = ToUtf8(key);
    return db_.Run(DelItemStmt(), tag, [&k](sqlite3_stmt* stmt) { return journal::BindText(stmt, 1, k); });
}

int CFileJournal::_DelAllItem(const std::string& key, const char* tag) {
    if (!_RequireOpen(tag, "{CFileJournal::GetValuebyKey} DB is not open!"))
        return 0;
    const std::string k = ToUtf8(key);
    // The row of the key and every key that begins with key + "/": a byte range instead of a
    // LIKE pattern, so "%", "_" and quotes in paths match only themselves ("0" follows "/").
    SqlText sql = SqlText::Format("DELETE FROM %s WHERE %s='%q' OR (%s>='%q/' AND %s<'%q0');", kTable,
                                  kServerPath, k.c_str(), kServerPath, k.c_str(), kServerPath, k.c_str());
    if (!sql.ok())
        return 0;
    return _Exec(sql.c_str(), tag);
}

template <typename Body>
int CFileJournal::_InTransaction(const char* tag, Body body) {
    if (!_Exec("BEGIN IMMEDIATE;", tag))
        return 0;
    if (body() && _Exec("COMMIT;", tag))
        return 1;
    journal::LogStatement(tag, "ROLLBACK;");
    std::string ignored;
    db_.Exec("ROLLBACK;", &ignored);  // fails only when the engine already rolled back
    return 0;
}

// ---- Row operations

bool CFileJournal::_GetExisting(const std::string& key, CJournalItem* item, const char* tag, RowMode mode) {
    if (_GetItem(key, item, tag) == Found::Yes)
        return true;
    Log(kLogError, tag, "Fail to get item(%s%s)", mode == RowMode::Bare ? "" : "key:", key.c_str());
    return false;
}

template <typename Change>
int CFileJournal::_ChangeRow(const std::string& key, const char* tag, RowMode mode, Change change) {
    CJournalItem item;
    Found found = Found::Yes;
    if (mode == RowMode::Upsert) {
        found = _GetItem(key, &item, tag);
        if (found == Found::Failed)
            return 0;
    } else if (!_GetExisting(key, &item, tag, mode)) {
        return 0;
    }
    item.key = key;
    const char* label = mode == RowMode::Bare ? "" : "key:";
    switch (change(item)) {
        case Write::Keep:
            return 1;
        case Write::Refuse:
            return 0;
        case Write::Delete:
            if (_DelItem(key, tag))
                return 1;
            Log(kLogError, tag, "Fail to del item(%s%s)", label, key.c_str());
            return 0;
        case Write::Set:
            break;
    }
    if (found == Found::No) {
        if (_AddItem(key, item, tag))
            return 1;
        Log(kLogError, tag, "Fail to add item(%s%s)", label, key.c_str());
        return 0;
    }
    if (mode == RowMode::Upsert)
        Log(kLogWarn, tag, "Duplicated adding (%s)", key.c_str());
    if (_SetItem(key, item, tag))
        return 1;
    Log(kLogError, tag, "Fail to set item(%s%s)", label, key.c_str());
    return 0;
}

int CFileJournal::AddActive(const CFileInfo& info) {
    return _ChangeRow(MakeKey(info.path), "CFileJournal::AddActive", RowMode::Upsert,
                      [&info](CJournalItem& item) {
                          item.active = info;
                          item.updated = CFileInfo();
                          item.onDisk = 1;
                          return Write::Set;
                      });
}

int CFileJournal::AddUpdated(const CFileInfo& info) {
    return _ChangeRow(MakeKey(info.path), "CFileJournal::AddUpdated", RowMode::Upsert,
                      [&info](CJournalItem& item) {
                          item.updated = info;  // the active half of an existing row stays
                          item.onDisk = 0;
                          return Write::Set;
                      });
}

int CFileJournal::Modify(const CFileInfo& info) {
    return _ChangeRow(MakeKey(info.path), "CFileJournal::Modify", RowMode::Bare, [&info](CJournalItem& item) {
        if (item.onDisk == 1)
            item.active = info;
        else
            item.updated = info;
        return Write::Set;
    });
}

int CFileJournal::OnDisk(const std::string& rawKey) {
    const char* tag = "CFileJournal::OnDisk";
    return _ChangeRow(MakeKey(rawKey), tag, RowMode::Tagged, [tag](CJournalItem& item) {
        if (item.onDisk != 0 || IsEmptyHalf(item.updated)) {
            Log(kLogError, tag, "Error item (key:%s)", item.key.c_str());
            return Write::Refuse;
        }
        Log(kLogInfo, tag, "Ondisk a file: %s(%d, %lld, %lld -> %d, %lld, %lld)", item.key.c_str(),
            item.updated.dirFlag, static_cast<long long>(item.updated.size),
            static_cast<long long>(item.updated.modifyTime), item.active.dirFlag,
            static_cast<long long>(item.active.size), static_cast<long long>(item.active.modifyTime));
        item.active = std::move(item.updated);
        item.updated = CFileInfo();
        item.onDisk = 1;
        return Write::Set;
    });
}

int CFileJournal::MarkRemove(const std::string& rawKey) {
    return _ChangeRow(MakeKey(rawKey), "CFileJournal::MarkRemove", RowMode::Tagged, [](CJournalItem& item) {
        if (item.onDisk == 1) {
            if (item.active.modifyTime <= 0)
                return Write::Keep;
            item.updated = item.active;
            item.updated.modifyTime = -item.active.modifyTime;
            item.onDisk = 0;
            return Write::Set;
        }
        if (!IsEmptyHalf(item.updated) && item.updated.modifyTime < 0)
            return Write::Keep;  // a tombstone already
        return Write::Delete;
    });
}

int CFileJournal::RemoveActive(const std::string& rawKey) {
    const char* tag = "CFileJournal::RemoveActive";
    return _ChangeRow(MakeKey(rawKey), tag, RowMode::Bare, [tag](CJournalItem& item) {
        if (IsEmptyHalf(item.updated)) {
            Log(kLogError, tag, "Fail to remov (%s) for NO updated", item.key.c_str());
            return Write::Refuse;
        }
        item.active = CFileInfo();
        item.onDisk = 0;
        return Write::Set;
    });
}

int CFileJournal::Remove(const std::string& rawKey) {
    const char* tag = "CFileJournal::Remove";
    if (!_RequireOpen(tag, "{CFileJournal::GetValuebyKey} DB is not open!"))
        return 0;
    return _ChangeRow(MakeKey(rawKey), tag, RowMode::Tagged, [](CJournalItem&) { return Write::Delete; });
}

int CFileJournal::RemoveAll(const std::string& rawKey) {
    const char* tag = "CFileJournal::RemoveAll";
    const std::string key = MakeKey(rawKey);
    if (key.empty()) {
        // An empty key would name every path that begins with "/": none should go.
        Log(kLogError, tag, "Fail to remove all items for an empty key");
        return 0;
    }
    if (!_DelAllItem(key, tag))
        return 0;
    Log(kLogInfo, tag, "Remove all item like key: %s from DB", key.c_str());
    return 1;
}

int CFileJournal::Rename(const std::string& oldKey, const std::string& newPath) {
    const char* tag = "CFileJournal::Rename";
    const std::string key = MakeKey(oldKey);
    const std::string newKey = MakeKey(newPath);
    CJournalItem item;
    if (!_GetExisting(key, &item, tag, RowMode::Tagged))
        return 0;
    if (item.onDisk == 1)
        item.active.path = newPath;
    else
        item.updated.path = newPath;
    item.key = newKey;
    // Delete and insert together: a failed insert (the new key taken) keeps the old row.
    return _InTransaction(tag, [&] {
        if (!_DelItem(key, tag)) {
            Log(kLogError, tag, "Fail to del item(key:%s)", key.c_str());
            return 0;
        }
        if (!_AddItem(newKey, item, tag)) {
            Log(kLogError, tag, "Fail to set item(key:%s)", newKey.c_str());
            return 0;
        }
        return 1;
    });
}

int CFileJournal::RenameFolder(const std::string& oldPath, const std::string& newPath) {
    const char* tag = "CFileJournal::RenameFolder";
    if (!_RequireOpen(tag))
        return 0;
    if (oldPath.empty() || newPath.empty()) {
        Log(kLogError, tag, "Fail to rename folder {%s} to {%s}", oldPath.c_str(), newPath.c_str());
        return 0;
    }
    const std::string oldKey = ToUtf8(MakeKey(oldPath));
    const std::string newKey = ToUtf8(MakeKey(newPath));
    const std::string newUtf8 = ToUtf8(newPath);
    // The contents: keys in [old + "/", old + "0") begin with old + "/" byte for byte. An empty
    // active half (a version never on disk) stays empty.
    SqlText contents = SqlText::Format(
        "UPDATE %s SET %s='%q'||SUBSTR(%s,length('%q')+1),%s=CASE WHEN %s IS NULL OR %s='' THEN %s "
        "ELSE '%q'||SUBSTR(%s,length('%q')+1) END WHERE %s>='%q/' AND %s<'%q0';",
        kTable, kServerPath, newKey.c_str(), kServerPath, oldKey.c_str(), kActive.path, kActive.path,
        kActive.path, kActive.path, newUtf8.c_str(), kActive.path, oldKey.c_str(), kServerPath,
        oldKey.c_str(), kServerPath, oldKey.c_str());
    SqlText own = SqlText::Format(
        "UPDATE %s SET %s='%q',%s=CASE WHEN %s IS NULL OR %s='' THEN %s ELSE '%q' END WHERE %s='%q';", kTable,
        kServerPath, newKey.c_str(), kActive.path, kActive.path, kActive.path, kActive.path, newUtf8.c_str(),
        kServerPath, oldKey.c_str());
    if (!contents.ok() || !own.ok())
        return 0;
    // Both statements or neither: a clash with an existing key leaves the folder as it was.
    return _InTransaction(tag, [&] { return _Exec(contents.c_str(), tag) && _Exec(own.c_str(), tag); });
}

// ---- Shared folders and path conversions

namespace {

void LogUnsplit(const std::string& path) {
    Log(kLogError, "CFileJournal::ParseServerPath", "Fail to parse server file: %s", path.c_str());
}

}  // namespace

int CFileJournal::IsListedShare(const std::string& serverPath) const {
    std::string first, rest;
    if (!ParseServerPath(serverPath, &first, &rest))
        return 0;
    return shares_.IsListed(first) ? 1 : 0;
}

int CFileJournal::ParseServerPath(const std::string& path, std::string* first, std::string* rest) {
    if (CSharePaths::Split(path, first, rest))
        return 1;
    LogUnsplit(path);
    return 0;
}

int CFileJournal::TrimDBServerPah(std::string& path) const {
    const char* tag = "CFileJournal::TrimDBServerPah";
    std::string relative, at;
    switch (shares_.ToRootRelative(path, &relative, &at)) {
        case CSharePaths::Trim::Done:
            path = relative;
            return 1;
        case CSharePaths::Trim::Unsplit:
            LogUnsplit(at);
            Log(kLogError, tag, "Fail to get server root %s for file: %s", GetRoot().c_str(), path.c_str());
            return 0;
        case CSharePaths::Trim::UnknownShare:
            Log(kLogError, tag, "Fail to get share folder: %s", at.c_str());
            return 0;
    }
    return 0;
}
