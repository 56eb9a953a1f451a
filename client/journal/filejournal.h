// CFileJournal: the last synchronised state of every path of the user's tree, as one row per
// lower-cased server path of "file_journal_table" in the client database: the version on disk
// (active half), a pending server version or tombstone (updated half) and the on-disk flag.
// It owns the table's connection (open only between OpenDB and CloseDB), an in-memory copy of
// the table that LoadMap fills and the write operations never touch, and four small maps of
// shared folders. Owned by CWork; after Init only the worker thread uses it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "journal/journaldb.h"
#include "store/fileinfo.h"

// One journal record. Of each half only path, dirFlag, size, modifyTime and chunkListText are
// kept; a half with an empty path is an empty half.
struct CJournalItem {
    std::string key;  // the lower-cased server path
    CFileInfo active;
    CFileInfo updated;  // a negative modifyTime marks a server deletion (tombstone)
    int onDisk = 0;
};

class CFileJournal {
  public:
    static constexpr const char* kTableName = "file_journal_table";

    CFileJournal() = default;
    ~CFileJournal();
    CFileJournal(const CFileJournal&) = delete;
    CFileJournal& operator=(const CFileJournal&) = delete;

    // Lifetime and loading. dbFile is the UTF-8 path of the client database.
    int Init(const std::string& dbFile);
    int OpenDB();
    void CloseDB();
    int LoadMap();
    int CleanDB();
    // The number of rows whose version is on the disk, read from the table (needs OpenDB).
    int CountOnDisk(int64_t* count);
    int LoadDBShareMap();
    int SetRoot(const std::string& root);
    const std::string& GetRoot() const { return root_; }

    // The journal map as LoadMap read it (no database access).
    int Lookup(const std::string& key, CJournalItem* item) const;
    int GetFirst(CJournalItem* item);
    int GetNext(CJournalItem* item);
    int GetLast(CJournalItem* item);
    int GetPrev(CJournalItem* item);
    int FindSameContent(const CFileInfo& info, CJournalItem* item) const;
    // The shared folders whose version on the disk is a share, as the map holds them: folder id ->
    // server path (the active half; a share still to come down is not on the disk yet).
    std::map<std::string, std::string> OnDiskShares() const;
    size_t MapSize() const { return map_.size(); }

    // Row operations; each needs OpenDB and writes the row when it returns.
    int AddActive(const CFileInfo& info);
    int AddUpdated(const CFileInfo& info);
    int Modify(const CFileInfo& info);
    int OnDisk(const std::string& key);
    int MarkRemove(const std::string& key);
    int RemoveActive(const std::string& key);
    int Remove(const std::string& key);
    int RemoveAll(const std::string& key);
    int Rename(const std::string& oldKey, const std::string& newPath);
    int RenameFolder(const std::string& oldPath, const std::string& newPath);

    // Shared-folder maps; folder ids are decimal texts.
    int GetDBShare(const std::string& folderId, std::string* path) const;
    int SetDBShare(const std::string& folderId, const std::string& path);
    int RemoveDBShare(const std::string& folderId);
    void ClearServerShares() { serverShares_.clear(); }
    int AddServerShare(const std::string& folderId, const std::string& path);
    void ClearListedShares() { listedShares_.clear(); }
    int AddListedShare(int folderValue);
    int IsListedShare(const std::string& serverPath) const;
    int AddShareOwner(const std::string& folderId, const std::string& owner);
    int GetShareOwner(const std::string& folderId, std::string* owner) const;

    // Path conversions, in place.
    static int ParseServerPath(const std::string& path, std::string* first, std::string* rest);
    int TrimDBServerPah(std::string& path) const;
    int ToServerSharePath(std::string& path) const;
    int ToDBSharePath(std::string& path) const;

    // The journal key of a path: ASCII letters lowered (in the UTF-8 form, so the bytes of a
    // multi-byte character are never touched).
    static std::string MakeKey(const std::string& path);

  private:
    enum class Found { Yes, No, Failed };
    bool _RequireOpen(const char* tag, const char* message = "DB is not open!") const;
    Found _GetItem(const std::string& key, CJournalItem* item, const char* tag);
    int _AddItem(const std::string& key, const CJournalItem& item, const char* tag);
    int _SetItem(const std::string& key, const CJournalItem& item, const char* tag);
    int _DelItem(const std::string& key, const char* tag);
    int _DelAllItem(const std::string& key, const char* tag);
    // Runs `body` inside one transaction: committed when it returns 1, rolled back otherwise.
    template <typename Body>
    int _InTransaction(const char* tag, Body body);
    int _Exec(const char* sql, const char* tag);
    static void _ToRootForm(const std::map<std::string, std::string>& shares, const std::string& root,
                            std::string& path);

    journal::Connection db_;
    std::string dbFile_;
    std::string root_;
    std::map<std::string, CJournalItem> map_;
    // Walk cursors; a walk is live only until the map is cleared or reloaded.
    std::map<std::string, CJournalItem>::const_iterator forward_;
    std::map<std::string, CJournalItem>::const_reverse_iterator reverse_;
    bool forwardLive_ = false;
    bool reverseLive_ = false;
    std::map<std::string, std::string> dbShares_;      // folder id -> server path, from the table
    std::map<std::string, std::string> serverShares_;  // folder id -> server path, from the listing
    std::set<std::string> listedShares_;               // folder ids fetched in this pass
    std::map<std::string, std::string> shareOwners_;   // folder id -> owner name
};
