// CFileJournal: the last synchronised state of every path of the user's tree, as one row per
// lower-cased server path of "file_journal_table" in the client database: the version on disk
// (active half), a pending server version or tombstone (updated half) and the on-disk flag.
// It owns the table's connection (open only between OpenDB and CloseDB), an in-memory copy of
// the table that LoadMap fills and the write operations never touch, and the shared folders with
// their path conversions (CSharePaths). Owned by CWork; after Init only the worker thread uses it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "journal/journaldb.h"
#include "journal/sharepaths.h"
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
    int SetRoot(const std::string& root) { return shares_.SetRoot(root) ? 1 : 0; }
    const std::string& GetRoot() const { return shares_.Root(); }

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

    // Shared-folder maps (CSharePaths); folder ids are decimal texts.
    int GetDBShare(const std::string& folderId, std::string* path) const {
        return shares_.GetDB(folderId, path) ? 1 : 0;
    }
    int SetDBShare(const std::string& folderId, const std::string& path) {
        return shares_.SetDB(folderId, path) ? 1 : 0;
    }
    int RemoveDBShare(const std::string& folderId) { return shares_.RemoveDB(folderId) ? 1 : 0; }
    void ClearServerShares() { shares_.ClearServer(); }
    int AddServerShare(const std::string& folderId, const std::string& path) {
        return shares_.AddServer(folderId, path) ? 1 : 0;
    }
    void ClearListedShares() { shares_.ClearListed(); }
    int AddListedShare(int folderValue) { return shares_.AddListed(folderValue) ? 1 : 0; }
    int IsListedShare(const std::string& serverPath) const;
    int AddShareOwner(const std::string& folderId, const std::string& owner) {
        return shares_.AddOwner(folderId, owner) ? 1 : 0;
    }
    int GetShareOwner(const std::string& folderId, std::string* owner) const {
        return shares_.GetOwner(folderId, owner) ? 1 : 0;
    }

    // Path conversions, in place (CSharePaths); the failures are logged.
    static int ParseServerPath(const std::string& path, std::string* first, std::string* rest);
    int TrimDBServerPah(std::string& path) const;
    int ToServerSharePath(std::string& path) const {
        path = shares_.ToServerForm(path);
        return 1;
    }
    int ToDBSharePath(std::string& path) const {
        path = shares_.ToDBForm(path);
        return 1;
    }

    // The journal key of a path: ASCII letters lowered (in the UTF-8 form, so the bytes of a
    // multi-byte character are never touched).
    static std::string MakeKey(const std::string& path);

  private:
    enum class Found { Yes, No, Failed };
    // How a row operation treats a missing row and names its key in messages: "(key:K)" or, in
    // the older messages of a few operations, "(K)"; Upsert inserts a row that is missing.
    enum class RowMode { Tagged, Bare, Upsert };
    // What a row change asks for once it has edited the row it was given.
    enum class Write { Set, Delete, Keep, Refuse };
    bool _RequireOpen(const char* tag, const char* message = "DB is not open!") const;
    Found _GetItem(const std::string& key, CJournalItem* item, const char* tag);
    bool _GetExisting(const std::string& key, CJournalItem* item, const char* tag, RowMode mode);
    // Reads the row of key, lets `change` edit it (Write(CJournalItem&)) and writes what it asks.
    template <typename Change>
    int _ChangeRow(const std::string& key, const char* tag, RowMode mode, Change change);
    bool _AddItem(const std::string& key, const CJournalItem& item, const char* tag);
    bool _SetItem(const std::string& key, const CJournalItem& item, const char* tag);
    bool _DelItem(const std::string& key, const char* tag);
    int _DelAllItem(const std::string& key, const char* tag);
    // Runs `body` inside one transaction: committed when it returns 1, rolled back otherwise.
    template <typename Body>
    int _InTransaction(const char* tag, Body body);
    int _Exec(const char* sql, const char* tag);

    journal::Connection db_;
    std::string dbFile_;
    std::map<std::string, CJournalItem> map_;
    // Walk cursors; a walk is live only until the map is cleared or reloaded.
    std::map<std::string, CJournalItem>::const_iterator forward_;
    std::map<std::string, CJournalItem>::const_reverse_iterator reverse_;
    bool forwardLive_ = false;
    bool reverseLive_ = false;
    CSharePaths shares_;
};
