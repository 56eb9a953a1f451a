// CChunkJournal: every chunk the client has met, as one row of "chunk_journal_table" in the
// client database: its key, size, the storage key the service gave it and its block signatures.
// The upload path records the chunks of each file it sends and reads them back for the previous
// version of a changed file, to send deltas against it. An operation opens the connection when
// it is closed and leaves it open, since opening costs more than a small file's whole row work;
// the owner closes it with CloseDB at the end of each pass (every row is committed as written,
// so an open connection holds nothing back). Owned by CWork; only the worker thread uses it.
#pragma once

#include <string>

#include "journal/journaldb.h"
#include "store/fileinfo.h"

class CChunkJournal {
  public:
    static constexpr const char* kTableName = "chunk_journal_table";

    CChunkJournal() = default;
    ~CChunkJournal() { CloseDB(); }
    CChunkJournal(const CChunkJournal&) = delete;
    CChunkJournal& operator=(const CChunkJournal&) = delete;

    bool Init(const std::string& dbFile);  // the UTF-8 path of the client database
    bool OpenDB();
    void CloseDB();
    bool CleanDB();

    // Stores the chunk records of a file (each once; a stored row that lacks its storage key,
    // size or signatures is replaced). True also when there is nothing to store.
    bool AddFileChunk(const CFileInfo& file);
    // Rebuilds the file's chunk records from its chunk-list text and completes them from the
    // table; clears signaturesComplete when a chunk lacks its signatures.
    bool GetFileChunk(CFileInfo* file);
    bool UpdateStorageKey(const std::string& key, const std::string& storageKey);
    bool Find(const std::string& key, CChunkInfo* chunk);
    bool Insert(const CChunkInfo& chunk);
    bool Delete(const std::string& key);

  private:
    bool _Use();                               // opens the connection unless it is open
    bool _RequireOpen(const char* tag) const;  // logs when the connection is closed
    bool _Find(const std::string& key, CChunkInfo* chunk);
    bool _Insert(const CChunkInfo& chunk);
    bool _UpdateStorageKey(const std::string& key, const std::string& storageKey);
    bool _Delete(const std::string& key);

    journal::Connection db_;
    std::string dbFile_;
};
