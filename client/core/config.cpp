#include "core/config.h"

#include <sqlite3.h>

#include <cstring>

#include "core/log.h"
#include "platform/keyring.h"
#include "platform/system.h"
#include "util/redact.h"
#include "util/util.h"

namespace {

const char* const kKeyNames[CConfig::kKeyCount] = {
    "schema_version", "host_id",     "host_name",         "login_user",       "login_passwd",
    "install_path",   "root_path",   "server_root",       "log_level",        "passport",
    "domain",         "back_server", "transmiter_server", "heartbeat_server", "auth_server",
    "proxy_type",     "proxy_addr",  "proxy_user",        "proxy_passwd"};

constexpr const char* kPasswdKey = "login_passwd";
constexpr const char* kProxyFlagKey = "proxy_flag";
constexpr int kBusyTimeoutMs = 5000;  // the journals and a second instance share the file

// A text from sqlite3_mprintf, freed with sqlite3_free.
struct SqlText {
    char* text;
    explicit SqlText(char* t) : text(t) {}
    ~SqlText() { sqlite3_free(text); }
    SqlText(const SqlText&) = delete;
    SqlText& operator=(const SqlText&) = delete;
};

// Closes the database at the end of an open-use-close operation, whatever path it leaves by.
struct CloseGuard {
    CConfig* config;
    ~CloseGuard() { config->CloseDB(); }
};

std::string DecodePasswd(const std::string& stored) {
    std::string plain;
    CUtil::Base64Decode(stored, &plain);  // empty stays empty
    return plain;
}

std::string EncodePasswd(const std::string& plain) {
    std::string stored;
    CUtil::Base64Encode(plain, &stored);
    return stored;
}

}  // namespace

void CConfig::DbCloser::operator()(sqlite3* db) const {
    sqlite3_close(db);
}

const char* CConfig::KeyName(Key key) {
    return (key >= 0 && key < kKeyCount) ? kKeyNames[key] : "";
}

CConfig::CConfig() = default;
CConfig::~CConfig() = default;

std::string CConfig::ServiceHost() {
    std::string host = platform::GetEnv("KESTRINE_SERVICE_HOST");
    while (!host.empty() && (host.back() == ' ' || host.back() == '/'))
        host.pop_back();
    size_t start = host.find_first_not_of(' ');
    host = start == std::string::npos ? std::string() : host.substr(start);
    return host.empty() ? std::string("127.0.0.1:8089") : host;
}

std::string CConfig::ServiceDomain() {
    std::string host = ServiceHost();
    std::string name;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        name = close == std::string::npos ? host : host.substr(0, close + 1);
    } else {
        name = host.substr(0, host.find(':'));
    }
    return "." + name;
}

int CConfig::Init(const std::string& dbPathUtf8) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (dbPathUtf8.empty()) {
        Log(kLogError, "CConfig::Init", "{CConfig::Init} Need set config DB file!");
        return 0;
    }
    if (!path_.empty()) {
        Log(kLogError, "CConfig::Init", "{CConfig::Init} DB file exist!");
        return 0;
    }
    path_ = dbPathUtf8;
    return 1;
}

std::string CConfig::Path() const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return path_;
}

int CConfig::OpenDB() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return _OpenDB();
}

int CConfig::_OpenDB() {
    if (path_.empty()) {
        Log(kLogError, "CConfig::OpenDB", "{CConfig::OpenDB} DB file undefined!");
        return 0;
    }
    if (db_) {
        Log(kLogError, "CConfig::OpenDB", "{CConfig::OpenDB} DB file opened before!");
        return 0;
    }
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::unique_ptr<sqlite3, DbCloser> db(raw);  // a failed open still hands back a handle
    if (rc != SQLITE_OK) {
        Log(kLogError, "CConfig::OpenDB", "{CConfig::OpenDB} Could not open database: %s",
            raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        return 0;
    }
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    // Rows rewritten here (the password's) leave no old bytes in the file's free space.
    sqlite3_exec(raw, "PRAGMA secure_delete=ON;", nullptr, nullptr, nullptr);
    db_ = std::move(db);
    return 1;
}

void CConfig::CloseDB() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    db_.reset();
}

CConfig::Lookup CConfig::_Lookup(const std::string& key, std::string* value) {
    SqlText sql(sqlite3_mprintf("SELECT value FROM %s WHERE key='%q';", kTableName, key.c_str()));
    if (!sql.text)
        return Lookup::Failed;
    char** table = nullptr;
    int rows = 0, cols = 0;
    char* err = nullptr;
    int rc = sqlite3_get_table(db_.get(), sql.text, &table, &rows, &cols, &err);
    if (rc != SQLITE_OK) {
        Log(kLogError, "CConfig::GetValueByKey", "{CConfig::GetValueByKey} SQL error: %s",
            err ? err : sqlite3_errstr(rc));
        sqlite3_free(err);
        sqlite3_free_table(table);
        return Lookup::Failed;
    }
    Lookup result = Lookup::Missing;
    if (rows >= 1 && cols >= 1) {
        const char* v = table[cols];  // first row after the header row
        std::string stored = v ? v : "";
        *value = key == kPasswdKey ? DecodePasswd(stored) : stored;
        result = Lookup::Found;
    }
    sqlite3_free_table(table);
    return result;
}

int CConfig::GetValueByKey(const std::string& key, std::string* value) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!db_) {
        Log(kLogError, "CConfig::GetValueByKey", "{CConfig::GetValuebyKey} DB is not open!");
        return 0;
    }
    return _Lookup(key, value) == Lookup::Found ? 1 : 0;
}

int CConfig::SetValueByKey(const std::string& key, const std::string& value) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return _SetValueByKey(key, value);
}

int CConfig::_SetValueByKey(const std::string& key, const std::string& value) {
    if (!db_) {
        Log(kLogError, "CConfig::SetValueByKey", "{CConfig::SetValuebyKey} DB is not open!");
        return 0;
    }
    std::string current;
    Lookup found = _Lookup(key, &current);
    if (found == Lookup::Found && current == value)
        return 1;  // unchanged: no write
    std::string written = key == kPasswdKey ? EncodePasswd(value) : value;
    SqlText sql(found == Lookup::Found ? sqlite3_mprintf("UPDATE %s SET value='%q' WHERE key='%q'",
                                                         kTableName, written.c_str(), key.c_str())
                                       : sqlite3_mprintf("INSERT INTO %s(key, value) VALUES('%q', '%q');",
                                                         kTableName, key.c_str(), written.c_str()));
    if (!sql.text)
        return 0;
    return _Exec(sql.text, "CConfig::SetValueByKey", "{CConfig::SetValueByKey} SQL error: ");
}

int CConfig::_Exec(const char* sql, const char* tag, const char* errorPrefix) {
    char* err = nullptr;
    int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string text = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        LogText(kLogError, tag, errorPrefix + text);
        return 0;
    }
    return 1;
}

int CConfig::_RowHandler(void* self, int columns, char** values, char** names) {
    auto* config = static_cast<CConfig*>(self);
    if (columns < 3 || !names || !values || !names[1] || !names[2])
        return 0;
    if (std::strcmp(names[1], "key") != 0 || std::strcmp(names[2], "value") != 0)
        return 0;
    if (!values[1])
        return 0;
    std::string key = values[1];
    std::string value = values[2] ? values[2] : "";
    if (key == kProxyFlagKey) {
        config->SetProxyFlag(value);
        return 0;
    }
    for (int k = 0; k < kKeyCount; ++k) {
        if (key == kKeyNames[k]) {
            config->values_[k] = k == kLoginPasswd ? DecodePasswd(value) : value;
            break;
        }
    }
    return 0;  // never abort the query
}

int CConfig::Load() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!_OpenDB())
        return 0;
    // Closed on every exit: a handle left open would refuse every later operation.
    CloseGuard guard{this};

    SqlText create(sqlite3_mprintf(
        "create table %s(id int primary key, key text not null unique, value text);", kTableName));
    char* err = nullptr;
    int rc = sqlite3_exec(db_.get(), create.text, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string text = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        if (text.find("already exists") != std::string::npos) {
            Log(kLogInfo, "CConfig::Load", "{CConfig::Load} SQL info: %s", text.c_str());
        } else {
            Log(kLogError, "CConfig::Load", "{CConfig::Load} SQL error: %s", text.c_str());
            return 0;
        }
    }

    if (!_ReadRows(db_.get(), "CConfig::Load"))
        return 0;
    _PasswordFromKeyring();
    return 1;
}

int CConfig::_ReadRows(sqlite3* db, const char* tag) {
    SqlText select(sqlite3_mprintf("SELECT * from %s", kTableName));
    if (!select.text)
        return 0;
    char* err = nullptr;
    int rc = sqlite3_exec(db, select.text, &CConfig::_RowHandler, this, &err);
    if (rc != SQLITE_OK) {
        Log(kLogError, tag, "{CConfig::Load} SQL error: %s", err ? err : sqlite3_errstr(rc));
        sqlite3_free(err);
        return 0;
    }
    return 1;
}

void CConfig::_PasswordFromKeyring() {
    const std::string user = values_[kLoginUser];
    std::string& password = values_[kLoginPasswd];
    redact::Remember(password);
    redact::Remember(EncodePasswd(password));
    passwordUnknown_ = false;
    if (user.empty())
        return;
    if (!password.empty()) {
        // A copy in the table, from an older client or a start without a keyring, moves there.
        if (platform::KeyringStore(user, password) != platform::KeyringResult::Ok)
            return;
        keyringUser_ = user;
        keyringHolds_ = password;
        if (_SetValueByKey(kPasswdKey, "")) {
            _ScrubFreedPages();
            Log(kLogInfo, "CConfig::Load", "The remembered password moved to the keyring");
        }
        return;
    }
    std::string secret;
    const platform::KeyringResult found = platform::KeyringLookup(user, &secret);
    if (found == platform::KeyringResult::Ok) {
        password = secret;
        keyringUser_ = user;
        keyringHolds_ = secret;
        redact::Remember(secret);
    } else if (found != platform::KeyringResult::NotFound) {
        passwordUnknown_ = true;
    }
}

std::string CConfig::_PasswordForTable() {
    const std::string& user = values_[kLoginUser];
    const std::string& password = values_[kLoginPasswd];
    if (user.empty())
        return password;
    if (password.empty()) {
        // Not remembered any more; unless the keyring could not be asked at the load, in which
        // case the empty value says nothing about what the user chose.
        if (!passwordUnknown_ && platform::KeyringRemove(user) == platform::KeyringResult::Ok)
            keyringHolds_.clear();
        return password;
    }
    if ((keyringUser_ == user && keyringHolds_ == password) ||
        platform::KeyringStore(user, password) == platform::KeyringResult::Ok) {
        keyringUser_ = user;
        keyringHolds_ = password;
        return std::string();
    }
    return password;  // no keyring: the table keeps it, as the file's mode keeps it private
}

void CConfig::_ScrubFreedPages() {
    // The old value may still sit in the write-ahead log; a checkpoint moves the overwritten page
    // into the file and empties the log.
    sqlite3_exec(db_.get(), "PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr);
}

int CConfig::LoadImage(const std::string& bytes) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::unique_ptr<sqlite3, DbCloser> db(raw);
    if (rc != SQLITE_OK || bytes.empty())
        return 0;
    // Whatever the image holds is read with the checks meant for untrusted database files.
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    auto* copy = static_cast<unsigned char*>(sqlite3_malloc64(bytes.size()));
    if (!copy)
        return 0;
    std::memcpy(copy, bytes.data(), bytes.size());
    rc = sqlite3_deserialize(raw, "main", copy, static_cast<sqlite3_int64>(bytes.size()),
                             static_cast<sqlite3_int64>(bytes.size()),
                             SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY);
    if (rc != SQLITE_OK) {
        Log(kLogError, "CConfig::LoadImage", "{CConfig::LoadImage} Not a database: %s", sqlite3_errstr(rc));
        return 0;
    }
    return _ReadRows(raw, "CConfig::LoadImage");
}

int CConfig::Store() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (path_.empty()) {
        Log(kLogError, "CConfig::Store", "{CConfig::Store} DB file undefined!");
        return 0;
    }
    if (!_OpenDB())
        return 0;
    CloseGuard guard{this};
    static const Key kOrder[] = {kLoginUser,       kLoginPasswd,      kHostId,     kHostName, kSchemaVersion,
                                 kInstallPath,     kRootPath,         kServerRoot, kLogLevel, kBackServer,
                                 kHeartbeatServer, kTransmiterServer, kAuthServer, kPassport, kDomain};
    // One transaction, its write lock taken up front (waiting out other writers of the file):
    // the settings are written together.
    const std::string tablePassword = _PasswordForTable();
    std::string before;
    const bool dropsCopy =
        tablePassword.empty() && _Lookup(kPasswdKey, &before) == Lookup::Found && !before.empty();
    bool inTransaction = sqlite3_exec(db_.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    int failures = 0;
    for (Key k : kOrder) {
        if (!_SetValueByKey(kKeyNames[k], k == kLoginPasswd ? tablePassword : values_[k]))
            ++failures;
    }
    if (inTransaction && !_Exec("COMMIT", "CConfig::Store", "{CConfig::Store} SQL error: ")) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        return 0;
    }
    if (dropsCopy)
        _ScrubFreedPages();
    // A write that failed is a failed store, even though the other values went in.
    return failures == 0 ? 1 : 0;
}

int CConfig::StoreProxy() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (path_.empty()) {
        Log(kLogError, "CConfig::StoreProxy", "{CConfig::Store} DB file undefined!");
        return 0;
    }
    if (!_OpenDB())
        return 0;
    CloseGuard guard{this};
    bool inTransaction = sqlite3_exec(db_.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    int failures = 0;
    for (Key k : {kProxyType, kProxyAddr, kProxyUser, kProxyPasswd}) {
        if (!_SetValueByKey(kKeyNames[k], values_[k]))
            ++failures;
    }
    if (!_SetValueByKey(kProxyFlagKey, proxyFlag_ == 1 ? "1" : "0"))
        ++failures;
    if (inTransaction && !_Exec("COMMIT", "CConfig::StoreProxy", "{CConfig::StoreProxy} SQL error: ")) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        return 0;
    }
    return failures == 0 ? 1 : 0;
}

int CConfig::ReadStoredValue(const std::string& key, std::string* value) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!_OpenDB())
        return 0;
    CloseGuard guard{this};
    if (_Lookup(key, value) != Lookup::Found)
        return 0;
    // The table keeps no copy of a password the keyring holds.
    std::string user;
    if (key == kPasswdKey && value->empty() && _Lookup(kKeyNames[kLoginUser], &user) == Lookup::Found &&
        !user.empty()) {
        std::string secret;
        if (platform::KeyringLookup(user, &secret) == platform::KeyringResult::Ok)
            *value = secret;
    }
    return 1;
}

std::string CConfig::Get(Key key) const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return (key >= 0 && key < kKeyCount) ? values_[key] : std::string();
}

void CConfig::Set(Key key, const std::string& value) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (key >= 0 && key < kKeyCount)
        values_[key] = value;
    if (key == kLoginPasswd || key == kLoginUser)
        passwordUnknown_ = false;  // the user's choice from here on
}

int CConfig::GetProxyFlag() const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return proxyFlag_;
}

void CConfig::SetProxyFlag(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    proxyFlag_ = text == "1" ? 1 : 0;
}

CConfig::Proxy CConfig::GetProxy() const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (proxyFlag_ != 1)
        return Proxy{};
    return Proxy{values_[kProxyType], values_[kProxyAddr], values_[kProxyUser], values_[kProxyPasswd]};
}

int CConfig::GetNotify() {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (notify_ < 0)
        notify_ = 1;
    return notify_;
}

void CConfig::SetNotify(int on) {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    notify_ = on ? 1 : 0;
}
