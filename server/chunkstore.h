// Chunk files of the reference service: one file per stored chunk under <data>/chunks, named by
// its storage key ("sk" + 32 hexadecimal digits, fanned out by two digits). A chunk is written
// to <data>/tmp first, synced and renamed into place, so a reader never sees half a chunk.
#pragma once

#include <string>
#include <string_view>

namespace kserver {

// A file written to a temporary folder with its writeback already started, so the disk works
// while the caller still checks the bytes. Commit() syncs it and renames it into place; the
// destructor removes it when it was never committed.
class CStagedFile {
  public:
    CStagedFile() = default;
    ~CStagedFile();
    CStagedFile(const CStagedFile&) = delete;
    CStagedFile& operator=(const CStagedFile&) = delete;

    bool Write(const std::string& tmpDir, std::string_view bytes, std::string* error);
    // fsync, rename over `path`, sync of its folder.
    bool Commit(const std::string& path, std::string* error);

  private:
    int fd_ = -1;
    std::string tmp_;
};

class CChunkStore {
  public:
    bool Open(const std::string& dataDir, std::string* error);

    static std::string NewStorageKey();
    static bool ValidStorageKey(std::string_view key);

    // Atomic write (temp file, fsync, rename, folder sync). Replaces an existing file.
    bool Write(const std::string& key, std::string_view bytes, std::string* error);
    // The same in two steps: Stage() writes the temp file, Commit() puts it in place.
    bool Stage(std::string_view bytes, CStagedFile* staged, std::string* error) const;
    bool Commit(const std::string& key, CStagedFile* staged, std::string* error) const;
    // The whole chunk; false when it is missing or unreadable.
    bool Read(const std::string& key, std::string* out) const;
    bool Exists(const std::string& key) const;
    bool Remove(const std::string& key);
    std::string PathOf(const std::string& key) const;

  private:
    std::string dir_;
    std::string tmp_;
};

// Writes a whole file atomically (temp file beside it, fsync, rename); used for chunks and
// benchmark blobs.
bool WriteFileAtomic(const std::string& tmpDir, const std::string& path, std::string_view bytes,
                     std::string* error);
bool ReadWholeFile(const std::string& path, std::string* out, size_t maxBytes = 1u << 30);

}  // namespace kserver
