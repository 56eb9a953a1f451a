// The reference service's metadata store: accounts, hosts, passports, each account's tree with
// versions, shared folders, chunk records, open upload negotiations and the change log that
// drives heartbeats. One SQLite file (<data>/kestrine.db, WAL, busy timeout) so the CLI can work
// beside a running service; one connection per process guarded by a mutex. Chunk bytes live in
// CChunkStore; this class only knows which chunks exist and who may read them.
//
// Paths: a request names an entry by its server path (the account's root folder name or a shared
// folder's id first). Internally an entry lives in exactly one account's tree (its "tree"), under
// a path relative to that tree's root; shared folders stay in their owner's tree and members
// reach them through the folder id or their mount point under their own root.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "db.h"

namespace kserver {

struct Account {
    int64_t id = 0;
    std::string name;
    std::string root;  // the account's root folder name on the wire
    std::string telephone;
    std::string email;
    std::string pwDigest;  // first 16 upper-case hex digits of MD5(password): the SOAP heads' form
    std::string pwMd5;     // all 32 digits, lower case
    std::string ha1;       // MD5(name:realm:password) for HTTP digest authentication
};

struct ChunkRef {
    std::string md5;  // as the uploading client spelt it
    int64_t size = 0;
    std::string storageKey;
};

// Where a server path lives.
struct Location {
    int64_t tree = 0;         // account whose tree holds the path
    std::string path;         // inside that tree; empty for the tree's root
    int64_t folderId = 0;     // the shared folder the path is in or is (0: none)
    std::string shareRoot;    // that folder's path in the owner's tree
    bool sharePoint = false;  // the path is the shared folder itself
    bool mount = false;  // reached through a member's mount point (or the id) rather than the owner's tree
    bool root = false;   // the requesting account's root
};

// One entry as a listing shows it to a given account.
struct Listed {
    std::string path;  // server path as rendered for that account (UTF-8)
    bool dir = false;
    int64_t size = 0;
    int64_t mtime = 0;
    std::vector<ChunkRef> chunks;
    int64_t folderId = 0;  // shared folder id, 0 for other entries
    std::string owner;     // owner name of a shared folder
};

// What an upload_file request offers: the file or folder as the client has it and its chunk lists.
struct UploadOffer {
    std::string path;  // as requested
    bool dir = false;
    int64_t size = 0;
    int64_t mtime = 0;
    bool newFile = true;
    std::vector<ChunkRef> oldChunks;  // md5 and size only
    std::vector<ChunkRef> newChunks;  // md5 and size only
};

struct NextOp {
    std::string op;  // "all_chunk_exist", "upload_chunk", "move_conflic_file"
    std::string md5;
    std::string storageKey;
};

struct ChunkRecord {
    std::string storageKey;
    std::string md5;  // lower case
    int64_t size = 0;
    bool stored = false;
};

constexpr const char* kCliHost = "cli";  // host id of changes made by the command line
constexpr const char* kDigestRealm = "kestrine";

class CServerStore {
  public:
    bool Open(const std::string& dataDir, std::string* error);

    // Accounts, hosts, passports.
    int AddAccount(const std::string& name, const std::string& password, const std::string& root,
                   const std::string& telephone, const std::string& email, std::string* error);
    bool FindAccount(const std::string& name, Account* out);
    std::string CreateHost(int64_t account, const std::string& computerName);
    bool HostAccount(const std::string& hostId, int64_t* account);
    std::string IssuePassport(int64_t account);
    bool PassportValid(const std::string& passport, int64_t account);
    void BindPassport(const std::string& passport, const std::string& hostId);
    int InvalidateHostPassports(const std::string& hostId);
    int InvalidateAccountPassports(int64_t account);

    // Tree. Every method returns a reason code (kOk on success).
    int Resolve(const Account& user, const std::string& serverPath, Location* out);
    // The whole visible tree, the root folder first. rootForm renders shared contents under the
    // mount point (for the command line) instead of under the folder id.
    int Listing(const Account& user, bool rootForm, std::vector<Listed>* out);
    int FileList(const Account& user, const std::string& folder, bool recursive, std::vector<Listed>* out);
    int Describe(const Account& user, const std::string& path, Listed* out);
    int MakeFolder(const Account& user, const std::string& path, int64_t mtime, const std::string& host,
                   bool createParents);
    int Rename(const Account& user, const std::string& from, const std::string& to, const std::string& host);
    int Remove(const Account& user, const std::string& path, const std::string& host);
    // Shares `folder` (relative to the owner's root) with `member`; the folder id on success.
    int Share(const Account& owner, const std::string& folder, const Account& member, int64_t* folderId,
              std::string* error);

    // Upload negotiation.
    int BeginUpload(const Account& user, const std::string& host, const UploadOffer& offer, NextOp* next);
    int ChunkUploaded(const Account& user, const std::string& host, const std::string& path,
                      const std::string& md5, const std::string& storageKey, const std::string& chunkList,
                      NextOp* next);
    // A whole file whose chunks are all stored (the command line's put).
    int PutFile(const Account& user, const std::string& path, int64_t size, int64_t mtime,
                const std::vector<ChunkRef>& chunks, const std::string& host);

    // Chunks.
    bool FindChunk(const std::string& storageKey, ChunkRecord* out);
    // The chunk record for this content, created (not stored yet) when unknown.
    bool EnsureChunk(const std::string& md5, int64_t size, int64_t account, ChunkRecord* out);
    bool MarkChunkStored(const std::string& storageKey);
    bool CanReadChunk(const Account& user, const std::string& storageKey);
    // kOk with *deleteFile set when nothing refers to the chunk any more and its file may go.
    int RemoveChunk(const Account& user, const std::string& md5, const std::string& storageKey,
                    bool* deleteFile);

    // Heartbeat: whether the account's tree changed through another host since this host's last
    // heartbeat; remembers the newest change as seen.
    bool Heartbeat(int64_t account, const std::string& hostId, bool* newEvent);
    // A held heartbeat waits for a change: ChangeCount grows with every change recorded, and
    // WaitForChange returns when it passed `seen` or at `until`; false once WakeAll ended the waits.
    uint64_t ChangeCount();
    bool WaitForChange(uint64_t seen, std::chrono::steady_clock::time_point until);
    void WakeAll();  // at shutdown: no wait starts or lasts after it

  private:
    struct EntryRow {
        int64_t id = 0;
        std::string path;
        bool dir = false;
        int64_t size = 0;
        int64_t mtime = 0;
        std::string chunks;  // "md5:size:sk" joined by ","
        int64_t version = 0;
    };
    struct ShareRow {
        int64_t folderId = 0;
        int64_t owner = 0;
        std::string pathKey;
    };
    struct Membership {
        int64_t folderId = 0;
        int64_t owner = 0;
        std::string ownerName;
        std::string pathKey;  // the shared folder in the owner's tree
        std::string mount;    // its name under the member's root
    };

    bool _CreateSchema(std::string* error);
    bool _AccountById(int64_t id, Account* out);
    int _Resolve(const Account& user, const std::string& serverPath, Location* out);
    bool _Entry(int64_t tree, const std::string& path, EntryRow* out);
    bool _ParentIsFolder(int64_t tree, const std::string& path);
    bool _SharePath(int64_t folderId, ShareRow* out, std::string* spelledPath);
    std::vector<ShareRow> _OwnShares(int64_t owner);
    std::vector<Membership> _Memberships(int64_t member);
    std::vector<int64_t> _Members(int64_t folderId);
    int _Listing(const Account& user, bool rootForm, std::vector<Listed>* out);
    int _MakeFolder(const Account& user, const Location& loc, int64_t mtime, const std::string& host,
                    bool createParents);
    int _CommitFile(const Location& loc, int64_t size, int64_t mtime, const std::vector<ChunkRef>& chunks,
                    const std::string& host, int64_t expectVersion);
    void _RecordChange(int64_t tree, const std::string& path, const std::string& host);
    void _NotifyAccount(int64_t account, const std::string& host);
    bool _DeleteSubtree(int64_t tree, const std::string& path, const std::string& host);
    int _MoveSubtree(const Location& from, const Location& to, const std::string& host);
    bool _EnsureChunk(const std::string& md5, int64_t size, int64_t account, ChunkRecord* out);

    std::mutex mu_;
    CDb db_;
    // The change counter has its own lock: a waiter must not hold mu_, which writers need.
    std::mutex changeMu_;
    std::condition_variable changed_;
    uint64_t changeCount_ = 0;
    bool woken_ = false;
};

std::string EncodeChunks(const std::vector<ChunkRef>& chunks);
std::vector<ChunkRef> DecodeChunks(const std::string& text);
// The chunk-list text as a chunking client builds it: "key," for every full 4 MiB chunk and
// "key" for a shorter last one.
std::string ChunkListText(const std::vector<ChunkRef>& chunks);
// Password digests kept for an account.
std::string PasswordMd5(const std::string& password);
std::string PasswordDigest(const std::string& password);  // 16 upper-case hex digits
std::string Md5Hex(const void* data, size_t size);

}  // namespace kserver
