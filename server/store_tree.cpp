// CServerStore: path resolution, listings, folders, renames, removals and shared folders.
#include <algorithm>
#include <ctime>

#include "store.h"
#include "wire.h"

namespace kserver {

namespace {

// Keys below a folder key k sort between k + "/" and k + "0" ('0' follows '/').
std::string RangeLow(const std::string& key) {
    return key + "/";
}
std::string RangeHigh(const std::string& key) {
    return key + "0";
}

bool IsBelow(const std::string& key, const std::string& folderKey) {
    return key.size() > folderKey.size() + 1 && key.compare(0, folderKey.size(), folderKey) == 0 &&
           key[folderKey.size()] == '/';
}

std::string ParentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

bool CServerStore::_SharePath(int64_t folderId, ShareRow* out, std::string* spelled) {
    CStmt s(db_, "SELECT owner_id, path_key FROM shares WHERE folder_id=?");
    s.Bind(1, folderId);
    if (!s.Step())
        return false;
    out->folderId = folderId;
    out->owner = s.Int(0);
    out->pathKey = s.Text(1);
    EntryRow e;
    *spelled = _Entry(out->owner, out->pathKey, &e) ? e.path : out->pathKey;
    return true;
}

std::vector<CServerStore::ShareRow> CServerStore::_OwnShares(int64_t owner) {
    std::vector<ShareRow> out;
    CStmt s(db_, "SELECT folder_id, path_key FROM shares WHERE owner_id=?");
    s.Bind(1, owner);
    while (s.Step())
        out.push_back({s.Int(0), owner, s.Text(1)});
    return out;
}

std::vector<CServerStore::Membership> CServerStore::_Memberships(int64_t member) {
    std::vector<Membership> out;
    CStmt s(db_,
            "SELECT m.folder_id, s.owner_id, a.name, s.path_key, m.mount FROM share_members m "
            "JOIN shares s ON s.folder_id=m.folder_id JOIN accounts a ON a.id=s.owner_id "
            "WHERE m.account_id=? ORDER BY m.mount_key");
    s.Bind(1, member);
    while (s.Step())
        out.push_back({s.Int(0), s.Int(1), s.Text(2), s.Text(3), s.Text(4)});
    return out;
}

std::vector<int64_t> CServerStore::_Members(int64_t folderId) {
    std::vector<int64_t> out;
    CStmt s(db_, "SELECT account_id FROM share_members WHERE folder_id=?");
    s.Bind(1, folderId);
    while (s.Step())
        out.push_back(s.Int(0));
    return out;
}

bool CServerStore::_Entry(int64_t tree, const std::string& path, EntryRow* out) {
    CStmt s(db_,
            "SELECT id, path, is_dir, size, mtime, chunks, version FROM entries WHERE account_id=? AND "
            "path_key=?");
    s.Bind(1, tree).Bind(2, ascii::Lowered(path));
    if (!s.Step())
        return false;
    out->id = s.Int(0);
    out->path = s.Text(1);
    out->dir = s.Int(2) != 0;
    out->size = s.Int(3);
    out->mtime = s.Int(4);
    out->chunks = s.Text(5);
    out->version = s.Int(6);
    return true;
}

bool CServerStore::_ParentIsFolder(int64_t tree, const std::string& path) {
    std::string parent = ParentOf(path);
    if (parent.empty())
        return true;
    EntryRow e;
    return _Entry(tree, parent, &e) && e.dir;
}

int CServerStore::Resolve(const Account& user, const std::string& serverPath, Location* out) {
    std::lock_guard<std::mutex> lock(mu_);
    return _Resolve(user, serverPath, out);
}

int CServerStore::_Resolve(const Account& user, const std::string& serverPath, Location* out) {
    *out = Location();
    std::vector<std::string> parts;
    if (!SplitPath(serverPath, &parts))
        return kFormatError;
    auto throughShare = [&](int64_t id, size_t restFrom) -> int {
        ShareRow share;
        std::string spelled;
        if (!_SharePath(id, &share, &spelled))
            return kFileNotExist;
        out->tree = share.owner;
        out->folderId = id;
        out->shareRoot = spelled;
        out->mount = share.owner != user.id;
        std::string rest = JoinPath(parts, restFrom);
        out->path = rest.empty() ? spelled : spelled + "/" + rest;
        out->sharePoint = rest.empty();
        return static_cast<int>(kOk);
    };
    int64_t id;
    if (parts[0][0] != '-' && ParseInt64(parts[0], &id)) {
        ShareRow share;
        std::string spelled;
        if (!_SharePath(id, &share, &spelled))
            return kFileNotExist;
        if (share.owner != user.id) {
            CStmt m(db_, "SELECT 1 FROM share_members WHERE folder_id=? AND account_id=?");
            m.Bind(1, id).Bind(2, user.id);
            if (!m.Step())
                return kNotYours;
        }
        return throughShare(id, 1);
    }
    if (ascii::Lowered(parts[0]) != ascii::Lowered(user.root))
        return kNotYours;
    if (parts.size() == 1) {
        out->tree = user.id;
        out->root = true;
        return kOk;
    }
    CStmt m(db_, "SELECT folder_id FROM share_members WHERE account_id=? AND mount_key=?");
    m.Bind(1, user.id).Bind(2, ascii::Lowered(parts[1]));
    if (m.Step()) {
        int r = throughShare(m.Int(0), 2);
        return r == kFileNotExist ? kDatabaseError : r;
    }
    out->tree = user.id;
    out->path = JoinPath(parts, 1);
    std::string key = ascii::Lowered(out->path);
    for (const ShareRow& share : _OwnShares(user.id)) {
        if (key == share.pathKey || IsBelow(key, share.pathKey)) {
            out->folderId = share.folderId;
            out->shareRoot = out->path.substr(0, share.pathKey.size());
            out->sharePoint = key == share.pathKey;
            break;
        }
    }
    return kOk;
}

int CServerStore::Listing(const Account& user, bool rootForm, std::vector<Listed>* out) {
    std::lock_guard<std::mutex> lock(mu_);
    return _Listing(user, rootForm, out);
}

int CServerStore::_Listing(const Account& user, bool rootForm, std::vector<Listed>* out) {
    out->clear();
    Listed root;
    root.path = user.root;
    root.dir = true;
    root.mtime = 1;
    out->push_back(root);

    std::vector<Listed> items;
    auto read = [](const CStmt& s, const std::string& path) {
        Listed l;
        l.path = path;
        l.dir = s.Int(2) != 0;
        l.size = s.Int(3);
        l.mtime = s.Int(4);
        l.chunks = DecodeChunks(s.Text(5));
        return l;
    };

    std::vector<ShareRow> own = _OwnShares(user.id);
    CStmt s(db_,
            "SELECT path, path_key, is_dir, size, mtime, chunks FROM entries WHERE account_id=? ORDER BY "
            "path_key");
    s.Bind(1, user.id);
    while (s.Step()) {
        std::string path = s.Text(0), key = s.Text(1);
        std::string rendered = user.root + "/" + path;
        int64_t folderId = 0;
        for (const ShareRow& share : own) {
            if (key == share.pathKey) {
                folderId = share.folderId;
            } else if (!rootForm && IsBelow(key, share.pathKey)) {
                rendered = std::to_string(share.folderId) + path.substr(share.pathKey.size());
            }
        }
        Listed l = read(s, rendered);
        if (folderId) {
            l.folderId = folderId;
            l.owner = user.name;
        }
        items.push_back(std::move(l));
    }
    if (s.Failed())
        return kDatabaseError;

    for (const Membership& m : _Memberships(user.id)) {
        Listed mount;
        mount.path = user.root + "/" + m.mount;
        mount.dir = true;
        mount.mtime = 1;
        mount.folderId = m.folderId;
        mount.owner = m.ownerName;
        items.push_back(mount);
        CStmt c(db_,
                "SELECT path, path_key, is_dir, size, mtime, chunks FROM entries WHERE account_id=? AND "
                "path_key>? AND path_key<? ORDER BY path_key");
        c.Bind(1, m.owner).Bind(2, RangeLow(m.pathKey)).Bind(3, RangeHigh(m.pathKey));
        std::string prefix = rootForm ? user.root + "/" + m.mount : std::to_string(m.folderId);
        while (c.Step())
            items.push_back(read(c, prefix + c.Text(0).substr(m.pathKey.size())));
        if (c.Failed())
            return kDatabaseError;
    }
    std::vector<std::pair<std::string, size_t>> order;
    order.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i)
        order.emplace_back(ascii::Lowered(items[i].path), i);
    std::stable_sort(order.begin(), order.end());
    out->reserve(items.size() + 1);
    for (const auto& [key, i] : order)
        out->push_back(std::move(items[i]));
    return kOk;
}

int CServerStore::FileList(const Account& user, const std::string& folder, bool recursive,
                           std::vector<Listed>* out) {
    std::lock_guard<std::mutex> lock(mu_);
    out->clear();
    Location loc;
    int r = _Resolve(user, folder, &loc);
    if (r != kOk)
        return r;
    std::string prefix;
    if (loc.root) {
        prefix = user.root;
    } else if (loc.sharePoint) {
        prefix = std::to_string(loc.folderId);
    } else {
        EntryRow e;
        if (!_Entry(loc.tree, loc.path, &e))
            return kFileNotExist;
        if (!e.dir)
            return kNotFolder;
        prefix = loc.folderId ? std::to_string(loc.folderId) + loc.path.substr(loc.shareRoot.size())
                              : user.root + "/" + loc.path;
    }
    std::vector<Listed> all;
    r = _Listing(user, false, &all);
    if (r != kOk)
        return r;
    std::string pk = ascii::Lowered(prefix) + "/";
    std::vector<std::string> nested;  // shared folders met inside the listed folder
    auto take = [&](const std::string& base) {
        for (size_t i = 1; i < all.size(); ++i) {
            std::string key = ascii::Lowered(all[i].path);
            if (key.compare(0, base.size(), base) != 0)
                continue;
            if (!recursive && key.find('/', base.size()) != std::string::npos)
                continue;
            out->push_back(all[i]);
            if (recursive && all[i].folderId)
                nested.push_back(std::to_string(all[i].folderId) + "/");
        }
    };
    take(pk);
    for (size_t i = 0; i < nested.size(); ++i) {
        if (nested[i] != pk)
            take(nested[i]);
    }
    return kOk;
}

int CServerStore::Describe(const Account& user, const std::string& path, Listed* out) {
    std::lock_guard<std::mutex> lock(mu_);
    Location loc;
    int r = _Resolve(user, path, &loc);
    if (r != kOk)
        return r;
    if (loc.root || loc.sharePoint)
        return kIsFolder;
    EntryRow e;
    if (!_Entry(loc.tree, loc.path, &e))
        return kFileNotExist;
    if (e.dir)
        return kIsFolder;
    out->path = path;
    out->dir = false;
    out->size = e.size;
    out->mtime = e.mtime;
    out->chunks = DecodeChunks(e.chunks);
    return kOk;
}

int CServerStore::MakeFolder(const Account& user, const std::string& path, int64_t mtime,
                             const std::string& host, bool createParents) {
    std::lock_guard<std::mutex> lock(mu_);
    CTxn txn(db_);
    if (!txn.ok())
        return kDatabaseError;
    Location loc;
    int r = _Resolve(user, path, &loc);
    if (r == kOk)
        r = _MakeFolder(user, loc, mtime, host, createParents);
    if (r == kOk && !txn.Commit())
        return kDatabaseError;
    return r;
}

int CServerStore::_MakeFolder(const Account& user, const Location& loc, int64_t mtime,
                              const std::string& host, bool createParents) {
    (void)user;
    if (loc.root || loc.sharePoint)
        return kOk;
    EntryRow e;
    if (_Entry(loc.tree, loc.path, &e))
        return e.dir ? kOk : kNotFolder;
    if (!_ParentIsFolder(loc.tree, loc.path)) {
        if (!createParents)
            return kParentNotExist;
        Location parent = loc;
        parent.path = ParentOf(loc.path);
        int r = _MakeFolder(user, parent, 1, host, true);
        if (r != kOk)
            return r;
    }
    CStmt s(db_,
            "INSERT INTO entries(account_id, path, path_key, is_dir, size, mtime, chunks, version, host_id) "
            "VALUES(?,?,?,1,0,?,'',1,?)");
    s.Bind(1, loc.tree).Bind(2, loc.path).Bind(3, ascii::Lowered(loc.path)).Bind(4, mtime).Bind(5, host);
    if (!s.Run())
        return kDatabaseError;
    _RecordChange(loc.tree, loc.path, host);
    return kOk;
}

bool CServerStore::_DeleteSubtree(int64_t tree, const std::string& path, const std::string& host) {
    std::string key = ascii::Lowered(path);
    _RecordChange(tree, path, host);
    for (const ShareRow& share : _OwnShares(tree)) {
        if (share.pathKey != key && !IsBelow(share.pathKey, key))
            continue;
        CStmt m(db_, "DELETE FROM share_members WHERE folder_id=?");
        m.Bind(1, share.folderId).Run();
        CStmt d(db_, "DELETE FROM shares WHERE folder_id=?");
        d.Bind(1, share.folderId).Run();
    }
    CStmt hist(db_,
               "INSERT INTO versions(account_id, path, version, is_dir, size, mtime, chunks, host_id, "
               "deleted, created) "
               "SELECT account_id, path, version, is_dir, size, mtime, chunks, ?4, 1, ?5 FROM entries "
               "WHERE account_id=?1 AND (path_key=?2 OR (path_key>?2 || '/' AND path_key<?3))");
    hist.Bind(1, tree).Bind(2, key).Bind(3, RangeHigh(key)).Bind(4, host).Bind(5, Now());
    bool ok = hist.Run();
    // Rows of the subtree: the path itself and every key below it.
    const std::pair<const char*, const char*> tables[] = {
        {"entries", "account_id"}, {"chunk_refs", "account_id"}, {"uploads", "tree_id"}};
    for (const auto& [table, owner] : tables) {
        std::string sql = std::string("DELETE FROM ") + table + " WHERE " + owner +
                          "=?1 AND (path_key=?2 OR (path_key>?2 || '/' AND path_key<?3))";
        CStmt d(db_, sql.c_str());
        d.Bind(1, tree).Bind(2, key).Bind(3, RangeHigh(key));
        ok = d.Run() && ok;
    }
    return ok;
}

int CServerStore::Remove(const Account& user, const std::string& path, const std::string& host) {
    std::lock_guard<std::mutex> lock(mu_);
    CTxn txn(db_);
    if (!txn.ok())
        return kDatabaseError;
    Location loc;
    int r = _Resolve(user, path, &loc);
    if (r != kOk)
        return r;
    if (loc.root)
        return kFormatError;
    if (loc.sharePoint && loc.mount) {
        // A member removing a shared folder leaves the share; the owner's data stays.
        CStmt s(db_, "DELETE FROM share_members WHERE folder_id=? AND account_id=?");
        s.Bind(1, loc.folderId).Bind(2, user.id);
        if (!s.Run())
            return kDatabaseError;
        _NotifyAccount(user.id, host);
    } else {
        EntryRow e;
        if (!_Entry(loc.tree, loc.path, &e))
            return kFileNotExist;
        if (!_DeleteSubtree(loc.tree, e.path, host))
            return kDatabaseError;
    }
    return txn.Commit() ? kOk : kDatabaseError;
}

int CServerStore::_MoveSubtree(const Location& from, const Location& to, const std::string& host) {
    std::string fromKey = ascii::Lowered(from.path);
    struct Row {
        int64_t id;
        std::string path, key;
        int64_t dir, size, mtime;
        std::string chunks;
        int64_t version;
    };
    std::vector<Row> rows;
    CStmt s(db_,
            "SELECT id, path, path_key, is_dir, size, mtime, chunks, version FROM entries WHERE "
            "account_id=?1 AND "
            "(path_key=?2 OR (path_key>?2 || '/' AND path_key<?3))");
    s.Bind(1, from.tree).Bind(2, fromKey).Bind(3, RangeHigh(fromKey));
    while (s.Step())
        rows.push_back({s.Int(0), s.Text(1), s.Text(2), s.Int(3), s.Int(4), s.Int(5), s.Text(6), s.Int(7)});
    if (s.Failed())
        return kDatabaseError;

    std::vector<ShareRow> moved;
    for (const ShareRow& share : _OwnShares(from.tree)) {
        if (share.pathKey == fromKey || IsBelow(share.pathKey, fromKey))
            moved.push_back(share);
    }
    // A shared folder stays in its owner's tree.
    if (from.tree != to.tree && !moved.empty())
        return kFolderShared;

    _RecordChange(from.tree, from.path, host);
    for (const Row& row : rows) {
        std::string newPath = to.path + row.path.substr(from.path.size());
        std::string newKey = ascii::Lowered(newPath);
        if (from.tree == to.tree) {
            CStmt u(db_, "UPDATE entries SET path=?, path_key=?, host_id=? WHERE id=?");
            u.Bind(1, newPath).Bind(2, newKey).Bind(3, host).Bind(4, row.id);
            if (!u.Run())
                return kDatabaseError;
            CStmt c(db_, "UPDATE chunk_refs SET path_key=? WHERE account_id=? AND path_key=?");
            c.Bind(1, newKey).Bind(2, from.tree).Bind(3, row.key);
            if (!c.Run())
                return kDatabaseError;
        } else {
            CStmt i(db_,
                    "INSERT INTO entries(account_id, path, path_key, is_dir, size, mtime, chunks, version, "
                    "host_id) "
                    "VALUES(?,?,?,?,?,?,?,?,?)");
            i.Bind(1, to.tree).Bind(2, newPath).Bind(3, newKey).Bind(4, row.dir).Bind(5, row.size);
            i.Bind(6, row.mtime).Bind(7, row.chunks).Bind(8, row.version).Bind(9, host);
            if (!i.Run())
                return kDatabaseError;
            CStmt d(db_, "DELETE FROM entries WHERE id=?");
            d.Bind(1, row.id);
            if (!d.Run())
                return kDatabaseError;
            CStmt c(db_, "UPDATE chunk_refs SET account_id=?, path_key=? WHERE account_id=? AND path_key=?");
            c.Bind(1, to.tree).Bind(2, newKey).Bind(3, from.tree).Bind(4, row.key);
            if (!c.Run())
                return kDatabaseError;
        }
    }
    for (const ShareRow& share : moved) {
        std::string newKey = ascii::Lowered(to.path) + share.pathKey.substr(fromKey.size());
        CStmt u(db_, "UPDATE shares SET path_key=? WHERE folder_id=?");
        u.Bind(1, newKey).Bind(2, share.folderId);
        if (!u.Run())
            return kDatabaseError;
    }
    CStmt d(db_,
            "DELETE FROM uploads WHERE tree_id=?1 AND (path_key=?2 OR (path_key>?2 || '/' AND path_key<?3))");
    d.Bind(1, from.tree).Bind(2, fromKey).Bind(3, RangeHigh(fromKey)).Run();
    _RecordChange(to.tree, to.path, host);
    return kOk;
}

int CServerStore::Rename(const Account& user, const std::string& from, const std::string& to,
                         const std::string& host) {
    std::lock_guard<std::mutex> lock(mu_);
    CTxn txn(db_);
    if (!txn.ok())
        return kDatabaseError;
    Location a, b;
    int r = _Resolve(user, from, &a);
    if (r != kOk)
        return r;
    r = _Resolve(user, to, &b);
    if (r != kOk)
        return r;
    if (a.root || b.root)
        return kFormatError;

    if (a.sharePoint && a.mount) {
        // A member renames their mount point of a shared folder: it stays directly under the root.
        if (b.tree != user.id || b.folderId || b.path.find('/') != std::string::npos)
            return kFormatError;
        EntryRow e;
        if (_Entry(user.id, b.path, &e))
            return kNewFileExists;
        CStmt m(db_,
                "SELECT folder_id FROM share_members WHERE account_id=? AND mount_key=? AND folder_id<>?");
        m.Bind(1, user.id).Bind(2, ascii::Lowered(b.path)).Bind(3, a.folderId);
        if (m.Step())
            return kNewFileExists;
        CStmt u(db_, "UPDATE share_members SET mount=?, mount_key=? WHERE folder_id=? AND account_id=?");
        u.Bind(1, b.path).Bind(2, ascii::Lowered(b.path)).Bind(3, a.folderId).Bind(4, user.id);
        if (!u.Run())
            return kDatabaseError;
        _NotifyAccount(user.id, host);
        return txn.Commit() ? kOk : kDatabaseError;
    }

    EntryRow src;
    if (!_Entry(a.tree, a.path, &src))
        return kFileNotExist;
    a.path = src.path;
    bool sameEntry = a.tree == b.tree && ascii::Lowered(a.path) == ascii::Lowered(b.path);
    if (sameEntry) {
        if (a.path == b.path)
            return kOk;
    } else {
        if (b.sharePoint)
            return kNewFileExists;
        EntryRow dst;
        if (_Entry(b.tree, b.path, &dst))
            return kNewFileExists;
        if (!_ParentIsFolder(b.tree, b.path))
            return kParentNotExist;
        if (a.tree == b.tree && IsBelow(ascii::Lowered(b.path), ascii::Lowered(a.path)))
            return kFormatError;
        if (b.tree == user.id && !b.folderId && b.path.find('/') == std::string::npos) {
            CStmt m(db_, "SELECT 1 FROM share_members WHERE account_id=? AND mount_key=?");
            m.Bind(1, user.id).Bind(2, ascii::Lowered(b.path));
            if (m.Step())
                return kNewFileExists;
        }
    }
    r = _MoveSubtree(a, b, host);
    if (r != kOk)
        return r;
    return txn.Commit() ? kOk : kDatabaseError;
}

int CServerStore::Share(const Account& owner, const std::string& folder, const Account& member,
                        int64_t* folderId, std::string* error) {
    std::lock_guard<std::mutex> lock(mu_);
    auto fail = [&](int reason, const std::string& text) {
        if (error)
            *error = text;
        return reason;
    };
    if (owner.id == member.id)
        return fail(kFormatError, "a folder cannot be shared with its owner");
    CTxn txn(db_);
    if (!txn.ok())
        return fail(kDatabaseError, db_.LastError());
    Location loc;
    int r = _Resolve(owner, owner.root + "/" + folder, &loc);
    if (r != kOk)
        return fail(r, "invalid folder path \"" + folder + "\"");
    if (loc.root)
        return fail(kFormatError, "the root folder cannot be shared");
    if (loc.tree != owner.id || loc.mount)
        return fail(kNotOwner, "the folder belongs to another account");
    EntryRow e;
    if (!_Entry(loc.tree, loc.path, &e))
        return fail(kFileNotExist, "no folder \"" + folder + "\"");
    if (!e.dir)
        return fail(kNotFolder, "\"" + folder + "\" is not a folder");
    std::string key = ascii::Lowered(e.path);
    int64_t id = 0;
    if (loc.sharePoint) {
        id = loc.folderId;
    } else {
        if (loc.folderId)
            return fail(kFolderShared, "the folder lies inside a shared folder");
        for (const ShareRow& share : _OwnShares(owner.id)) {
            if (IsBelow(share.pathKey, key))
                return fail(kFolderShared, "the folder holds a shared folder");
        }
        CStmt next(db_, "SELECT MAX(COALESCE(MAX(folder_id), 0), 9) + 1 FROM shares");
        if (!next.Step())
            return fail(kDatabaseError, db_.LastError());
        id = next.Int(0);
        CStmt ins(db_, "INSERT INTO shares(folder_id, owner_id, path_key) VALUES(?,?,?)");
        ins.Bind(1, id).Bind(2, owner.id).Bind(3, key);
        if (!ins.Run())
            return fail(kDatabaseError, db_.LastError());
    }
    CStmt already(db_, "SELECT 1 FROM share_members WHERE folder_id=? AND account_id=?");
    already.Bind(1, id).Bind(2, member.id);
    if (!already.Step()) {
        std::string mount = BaseName(e.path);
        EntryRow clash;
        CStmt m(db_, "SELECT 1 FROM share_members WHERE account_id=? AND mount_key=?");
        m.Bind(1, member.id).Bind(2, ascii::Lowered(mount));
        if (_Entry(member.id, mount, &clash) || m.Step())
            return fail(kNewFileExists,
                        "\"" + member.name + "\" already has an entry named \"" + mount + "\"");
        CStmt ins(db_, "INSERT INTO share_members(folder_id, account_id, mount, mount_key) VALUES(?,?,?,?)");
        ins.Bind(1, id).Bind(2, member.id).Bind(3, mount).Bind(4, ascii::Lowered(mount));
        if (!ins.Run())
            return fail(kDatabaseError, db_.LastError());
        _NotifyAccount(member.id, kCliHost);
        _NotifyAccount(owner.id, kCliHost);
    }
    if (!txn.Commit())
        return fail(kDatabaseError, db_.LastError());
    *folderId = id;
    return kOk;
}

}  // namespace kserver
