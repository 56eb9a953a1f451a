// CServerStore: upload negotiation, file versions and chunk records.
#include <ctime>

#include "chunkstore.h"
#include "store.h"
#include "wire.h"

namespace kserver {

namespace {

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

bool SameMd5s(const std::vector<ChunkRef>& a, const std::vector<ChunkRef>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii::Lowered(a[i].md5) != ascii::Lowered(b[i].md5))
            return false;
    }
    return true;
}

}  // namespace

bool CServerStore::_EnsureChunk(const std::string& md5, int64_t size, int64_t account, ChunkRecord* out) {
    std::string key = ascii::Lowered(md5);
    CStmt s(db_, "SELECT storage_key, stored FROM chunks WHERE md5=? AND size=?");
    s.Bind(1, key).Bind(2, size);
    if (s.Step()) {
        out->storageKey = s.Text(0);
        out->stored = s.Int(1) != 0;
    } else {
        out->storageKey = CChunkStore::NewStorageKey();
        out->stored = false;
        CStmt i(db_, "INSERT INTO chunks(storage_key, md5, size, stored, created_by) VALUES(?,?,?,0,?)");
        i.Bind(1, out->storageKey).Bind(2, key).Bind(3, size).Bind(4, account);
        if (!i.Run())
            return false;
    }
    out->md5 = key;
    out->size = size;
    return true;
}

bool CServerStore::EnsureChunk(const std::string& md5, int64_t size, int64_t account, ChunkRecord* out) {
    std::lock_guard<std::mutex> lock(mu_);
    return _EnsureChunk(md5, size, account, out);
}

bool CServerStore::FindChunk(const std::string& storageKey, ChunkRecord* out) {
    std::lock_guard<std::mutex> lock(mu_);
    CStmt s(db_, "SELECT md5, size, stored FROM chunks WHERE storage_key=?");
    s.Bind(1, storageKey);
    if (!s.Step())
        return false;
    out->storageKey = storageKey;
    out->md5 = s.Text(0);
    out->size = s.Int(1);
    out->stored = s.Int(2) != 0;
    return true;
}

bool CServerStore::MarkChunkStored(const std::string& storageKey) {
    std::lock_guard<std::mutex> lock(mu_);
    CStmt s(db_, "UPDATE chunks SET stored=1 WHERE storage_key=?");
    s.Bind(1, storageKey);
    return s.Run() && db_.Changes() == 1;
}

// A chunk may be read by an account whose tree (or a shared folder it belongs to) refers to it,
// by the account that first announced it, and by an account in the middle of uploading it.
bool CServerStore::CanReadChunk(const Account& user, const std::string& storageKey) {
    std::lock_guard<std::mutex> lock(mu_);
    CStmt c(db_, "SELECT created_by FROM chunks WHERE storage_key=?");
    c.Bind(1, storageKey);
    if (!c.Step())
        return false;
    if (c.Int(0) == user.id)
        return true;
    std::vector<Membership> memberships;
    bool membershipsRead = false;
    CStmt s(db_, "SELECT account_id, path_key FROM chunk_refs WHERE storage_key=?");
    s.Bind(1, storageKey);
    while (s.Step()) {
        int64_t account = s.Int(0);
        if (account == user.id)
            return true;
        if (!membershipsRead) {
            memberships = _Memberships(user.id);
            membershipsRead = true;
        }
        std::string key = s.Text(1);
        for (const Membership& m : memberships) {
            if (m.owner == account && key.size() > m.pathKey.size() &&
                key.compare(0, m.pathKey.size(), m.pathKey) == 0 && key[m.pathKey.size()] == '/')
                return true;
        }
    }
    CStmt u(db_, "SELECT 1 FROM uploads WHERE account_id=? AND instr(chunks, ?) > 0");
    u.Bind(1, user.id).Bind(2, ":" + storageKey);
    return u.Step();
}

int CServerStore::RemoveChunk(const Account& user, const std::string& md5, const std::string& storageKey,
                              bool* deleteFile) {
    std::lock_guard<std::mutex> lock(mu_);
    *deleteFile = false;
    CStmt c(db_, "SELECT md5, created_by FROM chunks WHERE storage_key=?");
    c.Bind(1, storageKey);
    if (!c.Step() || c.Text(0) != ascii::Lowered(md5))
        return kKeyNotExist;
    if (c.Int(1) != user.id)
        return kOk;  // only its first uploader may drop an unused chunk
    CStmt ref(db_, "SELECT 1 FROM chunk_refs WHERE storage_key=? LIMIT 1");
    ref.Bind(1, storageKey);
    if (ref.Step())
        return kOk;
    CStmt up(db_, "SELECT 1 FROM uploads WHERE instr(chunks, ?) > 0 LIMIT 1");
    up.Bind(1, ":" + storageKey);
    if (up.Step())
        return kOk;
    CStmt d(db_, "DELETE FROM chunks WHERE storage_key=?");
    d.Bind(1, storageKey);
    if (!d.Run())
        return kDatabaseError;
    *deleteFile = true;
    return kOk;
}

int CServerStore::_CommitFile(const Location& loc, int64_t size, int64_t mtime,
                              const std::vector<ChunkRef>& chunks, const std::string& host,
                              int64_t expectVersion) {
    (void)expectVersion;
    std::string key = ascii::Lowered(loc.path);
    std::string text = EncodeChunks(chunks);
    EntryRow e;
    int64_t version = 1;
    std::string path = loc.path;
    if (_Entry(loc.tree, loc.path, &e)) {
        if (e.dir)
            return kIsFolder;
        version = e.version + 1;
        path = e.path;
        CStmt u(db_, "UPDATE entries SET size=?, mtime=?, chunks=?, version=?, host_id=? WHERE id=?");
        u.Bind(1, size).Bind(2, mtime).Bind(3, text).Bind(4, version).Bind(5, host).Bind(6, e.id);
        if (!u.Run())
            return kDatabaseError;
        CStmt d(db_, "DELETE FROM chunk_refs WHERE account_id=? AND path_key=?");
        d.Bind(1, loc.tree).Bind(2, key);
        if (!d.Run())
            return kDatabaseError;
    } else {
        CStmt i(
            db_,
            "INSERT INTO entries(account_id, path, path_key, is_dir, size, mtime, chunks, version, host_id) "
            "VALUES(?,?,?,0,?,?,?,1,?)");
        i.Bind(1, loc.tree)
            .Bind(2, loc.path)
            .Bind(3, key)
            .Bind(4, size)
            .Bind(5, mtime)
            .Bind(6, text)
            .Bind(7, host);
        if (!i.Run())
            return kDatabaseError;
    }
    for (const ChunkRef& c : chunks) {
        CStmt r(db_, "INSERT OR IGNORE INTO chunk_refs(account_id, path_key, storage_key) VALUES(?,?,?)");
        r.Bind(1, loc.tree).Bind(2, key).Bind(3, c.storageKey);
        if (!r.Run())
            return kDatabaseError;
    }
    CStmt h(db_,
            "INSERT INTO versions(account_id, path, version, is_dir, size, mtime, chunks, host_id, deleted, "
            "created) "
            "VALUES(?,?,?,0,?,?,?,?,0,?)");
    h.Bind(1, loc.tree)
        .Bind(2, path)
        .Bind(3, version)
        .Bind(4, size)
        .Bind(5, mtime)
        .Bind(6, text)
        .Bind(7, host);
    h.Bind(8, Now());
    if (!h.Run())
        return kDatabaseError;
    _RecordChange(loc.tree, path, host);
    return kOk;
}

int CServerStore::BeginUpload(const Account& user, const std::string& host, const UploadOffer& offer,
                              NextOp* next) {
    std::lock_guard<std::mutex> lock(mu_);
    *next = NextOp();
    CTxn txn(db_);
    if (!txn.ok())
        return kDatabaseError;
    Location loc;
    int r = _Resolve(user, offer.path, &loc);
    if (r != kOk)
        return r;
    if (offer.dir) {
        r = _MakeFolder(user, loc, offer.mtime, host, false);
        if (r != kOk)
            return r;
        next->op = "all_chunk_exist";
        return txn.Commit() ? kOk : kDatabaseError;
    }
    if (loc.root || loc.sharePoint)
        return kIsFolder;
    if (!_ParentIsFolder(loc.tree, loc.path))
        return kParentNotExist;
    std::string key = ascii::Lowered(loc.path);
    CStmt drop(db_, "DELETE FROM uploads WHERE account_id=? AND host_id=? AND tree_id=? AND path_key=?");
    drop.Bind(1, user.id).Bind(2, host).Bind(3, loc.tree).Bind(4, key);
    if (!drop.Run())
        return kDatabaseError;

    EntryRow e;
    bool exists = _Entry(loc.tree, loc.path, &e);
    if (exists && e.dir)
        return kIsFolder;
    std::vector<ChunkRef> current = exists ? DecodeChunks(e.chunks) : std::vector<ChunkRef>();
    if (exists && e.size == offer.size && SameMd5s(current, offer.newChunks)) {
        // The service already holds this content: at most the time changes.
        if (e.mtime != offer.mtime) {
            loc.path = e.path;
            r = _CommitFile(loc, offer.size, offer.mtime, current, host, e.version);
            if (r != kOk)
                return r;
        }
        next->op = "all_chunk_exist";
        return txn.Commit() ? kOk : kDatabaseError;
    }
    // The client's previous version must be the service's current one; otherwise its edit
    // collides with another host's and the client keeps it as a conflict copy.
    if (exists && (offer.newFile || !SameMd5s(current, offer.oldChunks))) {
        next->op = "move_conflic_file";
        return txn.Commit() ? kOk : kDatabaseError;
    }
    std::vector<ChunkRef> planned;
    size_t missing = offer.newChunks.size();
    for (const ChunkRef& c : offer.newChunks) {
        ChunkRecord rec;
        if (!_EnsureChunk(c.md5, c.size, user.id, &rec))
            return kDatabaseError;
        if (!rec.stored && missing == offer.newChunks.size())
            missing = planned.size();
        planned.push_back({c.md5, c.size, rec.storageKey});
    }
    if (missing == planned.size()) {
        r = _CommitFile(loc, offer.size, offer.mtime, planned, host, exists ? e.version : 0);
        if (r != kOk)
            return r;
        next->op = "all_chunk_exist";
        return txn.Commit() ? kOk : kDatabaseError;
    }
    CStmt s(db_,
            "INSERT INTO uploads(account_id, host_id, tree_id, path_key, path, base_version, size, mtime, "
            "chunks, "
            "created) VALUES(?,?,?,?,?,?,?,?,?,?)");
    s.Bind(1, user.id).Bind(2, host).Bind(3, loc.tree).Bind(4, key).Bind(5, exists ? e.path : loc.path);
    s.Bind(6, exists ? e.version : 0).Bind(7, offer.size).Bind(8, offer.mtime).Bind(9, EncodeChunks(planned));
    s.Bind(10, Now());
    if (!s.Run())
        return kDatabaseError;
    next->op = "upload_chunk";
    next->md5 = planned[missing].md5;
    next->storageKey = planned[missing].storageKey;
    return txn.Commit() ? kOk : kDatabaseError;
}

int CServerStore::ChunkUploaded(const Account& user, const std::string& host, const std::string& path,
                                const std::string& md5, const std::string& storageKey,
                                const std::string& chunkList, NextOp* next) {
    std::lock_guard<std::mutex> lock(mu_);
    *next = NextOp();
    CTxn txn(db_);
    if (!txn.ok())
        return kDatabaseError;
    Location loc;
    int r = _Resolve(user, path, &loc);
    if (r != kOk)
        return r;
    if (loc.root || loc.sharePoint)
        return kIsFolder;
    std::string key = ascii::Lowered(loc.path);
    CStmt s(
        db_,
        "SELECT base_version, size, mtime, chunks, path FROM uploads WHERE account_id=? AND host_id=? AND "
        "tree_id=? AND path_key=?");
    s.Bind(1, user.id).Bind(2, host).Bind(3, loc.tree).Bind(4, key);
    if (!s.Step())
        return kFlowError;
    int64_t base = s.Int(0), size = s.Int(1), mtime = s.Int(2);
    std::vector<ChunkRef> planned = DecodeChunks(s.Text(3));
    loc.path = s.Text(4);

    // The chunk list the client reports must be the one it announced.
    std::vector<ChunkRef> listed;
    size_t pos = 0;
    while (pos <= chunkList.size()) {
        size_t comma = chunkList.find(',', pos);
        if (comma == std::string::npos)
            comma = chunkList.size();
        if (comma > pos)
            listed.push_back({chunkList.substr(pos, comma - pos), 0, ""});
        pos = comma + 1;
    }
    if (!SameMd5s(listed, planned))
        return kFormatError;
    bool known = false;
    for (const ChunkRef& p : planned) {
        if (p.storageKey == storageKey && ascii::Lowered(p.md5) == ascii::Lowered(md5))
            known = true;
    }
    if (!known)
        return kKeyNotExist;

    for (ChunkRef& p : planned) {
        bool stored = false;
        {
            CStmt c(db_, "SELECT stored FROM chunks WHERE storage_key=?");
            c.Bind(1, p.storageKey);
            stored = c.Step() && c.Int(0) != 0;
        }
        if (!stored) {
            // Announced chunks the client has not delivered yet (or that were dropped since).
            ChunkRecord rec;
            if (!_EnsureChunk(p.md5, p.size, user.id, &rec))
                return kDatabaseError;
            if (rec.stored) {
                p.storageKey = rec.storageKey;
                continue;
            }
            if (rec.storageKey != p.storageKey) {
                p.storageKey = rec.storageKey;
                CStmt u(db_,
                        "UPDATE uploads SET chunks=? WHERE account_id=? AND host_id=? AND tree_id=? AND "
                        "path_key=?");
                u.Bind(1, EncodeChunks(planned))
                    .Bind(2, user.id)
                    .Bind(3, host)
                    .Bind(4, loc.tree)
                    .Bind(5, key);
                if (!u.Run())
                    return kDatabaseError;
            }
            next->op = "upload_chunk";
            next->md5 = p.md5;
            next->storageKey = p.storageKey;
            return txn.Commit() ? kOk : kDatabaseError;
        }
    }

    CStmt drop(db_, "DELETE FROM uploads WHERE account_id=? AND host_id=? AND tree_id=? AND path_key=?");
    drop.Bind(1, user.id).Bind(2, host).Bind(3, loc.tree).Bind(4, key);
    if (!drop.Run())
        return kDatabaseError;
    EntryRow e;
    bool exists = _Entry(loc.tree, loc.path, &e);
    if (exists && e.dir)
        return kIsFolder;
    if ((exists ? e.version : 0) != base) {
        // Another host committed this path while the chunks travelled.
        next->op = "move_conflic_file";
        return txn.Commit() ? kOk : kDatabaseError;
    }
    if (!exists && !_ParentIsFolder(loc.tree, loc.path))
        return kParentNotExist;
    r = _CommitFile(loc, size, mtime, planned, host, base);
    if (r != kOk)
        return r;
    next->op = "all_chunk_exist";
    return txn.Commit() ? kOk : kDatabaseError;
}

int CServerStore::PutFile(const Account& user, const std::string& path, int64_t size, int64_t mtime,
                          const std::vector<ChunkRef>& chunks, const std::string& host) {
    std::lock_guard<std::mutex> lock(mu_);
    CTxn txn(db_);
    if (!txn.ok())
        return kDatabaseError;
    Location loc;
    int r = _Resolve(user, path, &loc);
    if (r != kOk)
        return r;
    if (loc.root || loc.sharePoint)
        return kIsFolder;
    for (const ChunkRef& c : chunks) {
        CStmt s(db_, "SELECT stored FROM chunks WHERE storage_key=?");
        s.Bind(1, c.storageKey);
        if (!s.Step() || s.Int(0) == 0)
            return kKeyNotExist;
    }
    if (!_ParentIsFolder(loc.tree, loc.path)) {
        Location parent = loc;
        size_t slash = loc.path.rfind('/');
        parent.path = loc.path.substr(0, slash);
        parent.sharePoint =
            parent.folderId && ascii::Lowered(parent.path) == ascii::Lowered(parent.shareRoot);
        r = _MakeFolder(user, parent, 1, host, true);
        if (r != kOk)
            return r;
    }
    EntryRow e;
    bool exists = _Entry(loc.tree, loc.path, &e);
    r = _CommitFile(loc, size, mtime, chunks, host, exists ? e.version : 0);
    if (r != kOk)
        return r;
    return txn.Commit() ? kOk : kDatabaseError;
}

}  // namespace kserver
