// CServerStore: schema, accounts, hosts, passports, change log and heartbeats.
#include <ctime>
#include <filesystem>

#include "store.h"
#include "util/md5.h"
#include "wire.h"

namespace kserver {

namespace {

const char* kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS accounts(
  id INTEGER PRIMARY KEY, name TEXT NOT NULL, name_key TEXT NOT NULL UNIQUE,
  root TEXT NOT NULL, root_key TEXT NOT NULL UNIQUE, telephone TEXT NOT NULL DEFAULT '',
  email TEXT NOT NULL DEFAULT '', pw_md5 TEXT NOT NULL, ha1 TEXT NOT NULL, created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS hosts(
  host_id TEXT PRIMARY KEY, account_id INTEGER NOT NULL, computer_name TEXT NOT NULL,
  seen_seq INTEGER NOT NULL DEFAULT 0, created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS passports(
  passport TEXT PRIMARY KEY, account_id INTEGER NOT NULL, host_id TEXT,
  valid INTEGER NOT NULL DEFAULT 1, created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS entries(
  id INTEGER PRIMARY KEY, account_id INTEGER NOT NULL, path TEXT NOT NULL, path_key TEXT NOT NULL,
  is_dir INTEGER NOT NULL, size INTEGER NOT NULL DEFAULT 0, mtime INTEGER NOT NULL DEFAULT 0,
  chunks TEXT NOT NULL DEFAULT '', version INTEGER NOT NULL DEFAULT 1, host_id TEXT NOT NULL DEFAULT '',
  UNIQUE(account_id, path_key));
CREATE TABLE IF NOT EXISTS versions(
  id INTEGER PRIMARY KEY, account_id INTEGER NOT NULL, path TEXT NOT NULL, version INTEGER NOT NULL,
  is_dir INTEGER NOT NULL, size INTEGER NOT NULL, mtime INTEGER NOT NULL, chunks TEXT NOT NULL,
  host_id TEXT NOT NULL, deleted INTEGER NOT NULL DEFAULT 0, created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS chunks(
  storage_key TEXT PRIMARY KEY, md5 TEXT NOT NULL, size INTEGER NOT NULL,
  stored INTEGER NOT NULL DEFAULT 0, created_by INTEGER NOT NULL, UNIQUE(md5, size));
CREATE TABLE IF NOT EXISTS chunk_refs(
  account_id INTEGER NOT NULL, path_key TEXT NOT NULL, storage_key TEXT NOT NULL,
  PRIMARY KEY(account_id, path_key, storage_key)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS chunk_refs_key ON chunk_refs(storage_key);
CREATE TABLE IF NOT EXISTS shares(
  folder_id INTEGER PRIMARY KEY, owner_id INTEGER NOT NULL, path_key TEXT NOT NULL,
  UNIQUE(owner_id, path_key));
CREATE TABLE IF NOT EXISTS share_members(
  folder_id INTEGER NOT NULL, account_id INTEGER NOT NULL, mount TEXT NOT NULL, mount_key TEXT NOT NULL,
  PRIMARY KEY(folder_id, account_id), UNIQUE(account_id, mount_key));
CREATE TABLE IF NOT EXISTS uploads(
  account_id INTEGER NOT NULL, host_id TEXT NOT NULL, tree_id INTEGER NOT NULL, path_key TEXT NOT NULL,
  path TEXT NOT NULL, base_version INTEGER NOT NULL, size INTEGER NOT NULL, mtime INTEGER NOT NULL,
  chunks TEXT NOT NULL, created INTEGER NOT NULL, PRIMARY KEY(account_id, host_id, tree_id, path_key));
CREATE TABLE IF NOT EXISTS changes(
  seq INTEGER PRIMARY KEY AUTOINCREMENT, account_id INTEGER NOT NULL, host_id TEXT NOT NULL,
  created INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS changes_account ON changes(account_id, seq);
)SQL";

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

std::string Md5Hex(const void* data, size_t size) {
    uint8_t d[CMd5::kDigestSize];
    CMd5::Digest(data, size, d);
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(32);
    for (uint8_t b : d) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    }
    return out;
}

std::string PasswordMd5(const std::string& password) {
    return Md5Hex(password.data(), password.size());
}

std::string PasswordDigest(const std::string& password) {
    return ascii::Uppered(PasswordMd5(password).substr(0, 16));
}

bool CServerStore::Open(const std::string& dataDir, std::string* error) {
    std::lock_guard<std::mutex> lock(mu_);
    std::error_code ec;
    std::filesystem::create_directories(dataDir, ec);
    if (ec) {
        if (error)
            *error = "cannot create data folder \"" + dataDir + "\": " + ec.message();
        return false;
    }
    if (!db_.Open(dataDir + "/kestrine.db", error))
        return false;
    return _CreateSchema(error);
}

bool CServerStore::_CreateSchema(std::string* error) {
    return db_.Exec(kSchema, error);
}

static void ReadAccount(const CStmt& s, Account* out) {
    out->id = s.Int(0);
    out->name = s.Text(1);
    out->root = s.Text(2);
    out->telephone = s.Text(3);
    out->email = s.Text(4);
    out->pwMd5 = s.Text(5);
    out->ha1 = s.Text(6);
    out->pwDigest = ascii::Uppered(out->pwMd5.substr(0, 16));
}

int CServerStore::AddAccount(const std::string& name, const std::string& password, const std::string& root,
                             const std::string& telephone, const std::string& email, std::string* error) {
    std::vector<std::string> parts;
    auto fail = [&](int reason, const std::string& text) {
        if (error)
            *error = text;
        return reason;
    };
    // Names travel in URLs, SOAP attributes and the portal's quoted items: keep them plain.
    for (const std::string* n : {&name, &root}) {
        if (!SplitPath(*n, &parts) || parts.size() != 1 ||
            n->find_first_of("\"\\:;=&<>%'") != std::string::npos || n->find(' ') != std::string::npos)
            return fail(kFormatError, "invalid name \"" + *n + "\"");
    }
    int64_t numeric;
    if (ParseInt64(root, &numeric))
        return fail(kFormatError, "a root folder name cannot be a number");
    if (password.empty() || password.size() > 64)
        return fail(kFormatError, "the password must have 1 to 64 bytes");
    for (const std::string* t : {&telephone, &email}) {
        if (t->find_first_of("\"\r\n") != std::string::npos || !ValidUtf8(*t))
            return fail(kFormatError, "invalid contact text");
    }
    std::lock_guard<std::mutex> lock(mu_);
    CStmt s(db_,
            "INSERT INTO accounts(name, name_key, root, root_key, telephone, email, pw_md5, ha1, created) "
            "VALUES(?,?,?,?,?,?,?,?,?)");
    std::string ha1text = name + ":" + kDigestRealm + ":" + password;
    s.Bind(1, name)
        .Bind(2, ascii::Lowered(name))
        .Bind(3, root)
        .Bind(4, ascii::Lowered(root))
        .Bind(5, telephone);
    s.Bind(6, email)
        .Bind(7, PasswordMd5(password))
        .Bind(8, Md5Hex(ha1text.data(), ha1text.size()))
        .Bind(9, Now());
    if (!s.Run()) {
        std::string e = db_.LastError();
        if (e.find("UNIQUE") != std::string::npos)
            return fail(kDuplicatedUser, "an account with this name or root folder exists");
        return fail(kDatabaseError, e);
    }
    return kOk;
}

bool CServerStore::FindAccount(const std::string& name, Account* out) {
    std::lock_guard<std::mutex> lock(mu_);
    CStmt s(db_, "SELECT id, name, root, telephone, email, pw_md5, ha1 FROM accounts WHERE name_key=?");
    s.Bind(1, ascii::Lowered(name));
    if (!s.Step())
        return false;
    ReadAccount(s, out);
    return true;
}

bool CServerStore::_AccountById(int64_t id, Account* out) {
    CStmt s(db_, "SELECT id, name, root, telephone, email, pw_md5, ha1 FROM accounts WHERE id=?");
    s.Bind(1, id);
    if (!s.Step())
        return false;
    ReadAccount(s, out);
    return true;
}

std::string CServerStore::CreateHost(int64_t account, const std::string& computerName) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string id = RandomHex(32);
    CStmt seq(db_, "SELECT COALESCE(MAX(seq), 0) FROM changes WHERE account_id=?");
    seq.Bind(1, account);
    int64_t seen = seq.Step() ? seq.Int(0) : 0;
    CStmt s(db_,
            "INSERT INTO hosts(host_id, account_id, computer_name, seen_seq, created) VALUES(?,?,?,?,?)");
    s.Bind(1, id).Bind(2, account).Bind(3, computerName).Bind(4, seen).Bind(5, Now());
    return s.Run() ? id : std::string();
}

bool CServerStore::HostAccount(const std::string& hostId, int64_t* account) {
    std::lock_guard<std::mutex> lock(mu_);
    CStmt s(db_, "SELECT account_id FROM hosts WHERE host_id=?");
    s.Bind(1, hostId);
    if (!s.Step())
        return false;
    *account = s.Int(0);
    return true;
}

std::string CServerStore::IssuePassport(int64_t account) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string p = RandomHex(32);
    CStmt s(db_, "INSERT INTO passports(passport, account_id, valid, created) VALUES(?,?,1,?)");
    s.Bind(1, p).Bind(2, account).Bind(3, Now());
    return s.Run() ? p : std::string();
}

bool CServerStore::PassportValid(const std::string& passport, int64_t account) {
    std::lock_guard<std::mutex> lock(mu_);
    CStmt s(db_, "SELECT 1 FROM passports WHERE passport=? AND account_id=? AND valid=1");
    s.Bind(1, passport).Bind(2, account);
    return s.Step();
}

void CServerStore::BindPassport(const std::string& passport, const std::string& hostId) {
    std::lock_guard<std::mutex> lock(mu_);
    CStmt s(db_, "UPDATE passports SET host_id=? WHERE passport=?");
    s.Bind(1, hostId).Bind(2, passport).Run();
}

int CServerStore::InvalidateHostPassports(const std::string& hostId) {
    std::lock_guard<std::mutex> lock(mu_);
    CStmt s(db_, "UPDATE passports SET valid=0 WHERE host_id=? AND valid=1");
    s.Bind(1, hostId).Run();
    return db_.Changes();
}

int CServerStore::InvalidateAccountPassports(int64_t account) {
    std::lock_guard<std::mutex> lock(mu_);
    CStmt s(db_, "UPDATE passports SET valid=0 WHERE account_id=? AND valid=1");
    s.Bind(1, account).Run();
    return db_.Changes();
}

void CServerStore::_NotifyAccount(int64_t account, const std::string& host) {
    CStmt s(db_, "INSERT INTO changes(account_id, host_id, created) VALUES(?,?,?)");
    s.Bind(1, account).Bind(2, host).Bind(3, Now()).Run();
    // A woken waiter reads the table under mu_, which this writer holds until it is done.
    std::lock_guard<std::mutex> lock(changeMu_);
    ++changeCount_;
    changed_.notify_all();
}

uint64_t CServerStore::ChangeCount() {
    std::lock_guard<std::mutex> lock(changeMu_);
    return changeCount_;
}

bool CServerStore::WaitForChange(uint64_t seen, std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(changeMu_);
    changed_.wait_until(lock, until, [&] { return woken_ || changeCount_ != seen; });
    return !woken_;
}

void CServerStore::WakeAll() {
    std::lock_guard<std::mutex> lock(changeMu_);
    woken_ = true;
    changed_.notify_all();
}

// A change in a tree concerns its owner and the members of every shared folder that holds the
// path, is the path, or lies below it (a renamed or removed parent).
void CServerStore::_RecordChange(int64_t tree, const std::string& path, const std::string& host) {
    _NotifyAccount(tree, host);
    std::string key = ascii::Lowered(path);
    for (const ShareRow& share : _OwnShares(tree)) {
        const std::string& sk = share.pathKey;
        bool related = key.empty() || key == sk || key.compare(0, sk.size() + 1, sk + "/") == 0 ||
                       sk.compare(0, key.size() + 1, key + "/") == 0;
        if (!related)
            continue;
        for (int64_t member : _Members(share.folderId))
            _NotifyAccount(member, host);
    }
}

bool CServerStore::Heartbeat(int64_t account, const std::string& hostId, bool* newEvent) {
    std::lock_guard<std::mutex> lock(mu_);
    CStmt h(db_, "SELECT seen_seq FROM hosts WHERE host_id=? AND account_id=?");
    h.Bind(1, hostId).Bind(2, account);
    if (!h.Step())
        return false;
    int64_t seen = h.Int(0);
    CStmt other(db_, "SELECT 1 FROM changes WHERE account_id=? AND seq>? AND host_id<>? LIMIT 1");
    other.Bind(1, account).Bind(2, seen).Bind(3, hostId);
    *newEvent = other.Step();
    CStmt top(db_, "SELECT COALESCE(MAX(seq), 0) FROM changes WHERE account_id=?");
    top.Bind(1, account);
    int64_t newest = top.Step() ? top.Int(0) : seen;
    if (newest > seen) {
        CStmt u(db_, "UPDATE hosts SET seen_seq=? WHERE host_id=?");
        u.Bind(1, newest).Bind(2, hostId).Run();
        // Changes every host of the account has seen are no longer needed (the newest stays so
        // a host registered later starts after it).
        CStmt prune(db_,
                    "DELETE FROM changes WHERE account_id=?1 AND seq < (SELECT MIN(seen_seq) FROM hosts "
                    "WHERE account_id=?1)");
        prune.Bind(1, account).Run();
    }
    return true;
}

std::string EncodeChunks(const std::vector<ChunkRef>& chunks) {
    std::string out;
    for (const ChunkRef& c : chunks) {
        if (!out.empty())
            out.push_back(',');
        out += c.md5 + ":" + std::to_string(c.size) + ":" + c.storageKey;
    }
    return out;
}

std::vector<ChunkRef> DecodeChunks(const std::string& text) {
    std::vector<ChunkRef> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(pos, end - pos);
        size_t a = item.find(':');
        size_t b = a == std::string::npos ? a : item.find(':', a + 1);
        if (b != std::string::npos) {
            ChunkRef c;
            c.md5 = item.substr(0, a);
            ParseInt64(std::string_view(item).substr(a + 1, b - a - 1), &c.size);
            c.storageKey = item.substr(b + 1);
            out.push_back(std::move(c));
        }
        pos = end + 1;
    }
    return out;
}

std::string ChunkListText(const std::vector<ChunkRef>& chunks) {
    std::string out;
    for (size_t i = 0; i < chunks.size(); ++i) {
        out += chunks[i].md5;
        if (chunks[i].size == kChunkSize || i + 1 < chunks.size())
            out.push_back(',');
    }
    return out;
}

}  // namespace kserver
