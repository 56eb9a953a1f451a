// CFileInfo: the record of one file or folder of the sync tree, shared by the scan, the journals,
// the service clients and the passes: path, flags, size, times, the chunk list (as records and
// as comma-separated text), chunk contents held in memory, and the old version's block table for
// delta encoding. A record owns its chunk buffers and its block table; copying a record copies
// its description only (the copy has no buffers and no table), moving it moves everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/chunkbuffer.h"

// One 4096-byte block of the old version, as the delta encoder matches it.
struct CBlockEntry {
    static constexpr size_t kNameSize = 80;
    char name[kNameSize] = {};  // storage key of the old chunk holding the block, NUL-terminated
    int32_t offset = 0;         // offset of the block inside that chunk
    int32_t length = 0;         // 4096, or less for the old file's last block
    uint32_t weakSum = 0;
    int32_t chain = -1;  // next entry of the same hash bucket, -1 at the end
    uint16_t flags = 0;
    uint8_t strongSum[16] = {};  // MD5 of the block
};

// The old version's block signatures, in file order. Empty unless BuildBlockTable filled it.
struct CBlockTable {
    int64_t totalLength = 0;  // the old file's size
    std::vector<CBlockEntry> entries;
    int32_t count = 0;  // entries.size()
    int32_t blockLength = 4096;
    int32_t remainder = 0;  // old size % 4096
    int32_t strongLength = 16;

    bool Empty() const { return entries.empty(); }
    void Clear();
};

class CFileInfo {
  public:
    static constexpr int64_t kChunkSize = 4194304;
    static constexpr size_t kKeyLength = 32;
    static constexpr int32_t kBlockSize = 4096;
    // changeKind values set by the upload path.
    static constexpr int32_t kChangeNew = 1;
    static constexpr int32_t kChangeModified = 3;

    std::string path;          // "/a/b" relative to the sync root, or a server path "u1/a/b"
    int32_t timeAdjusted = 0;  // 1 when the file system kept a different time than requested
    int32_t syncState = 0;
    int32_t dirFlag = 0;  // 0 file, 1 folder, or a shared folder's id
    int64_t size = 0;
    int64_t modifyTime = 0;  // FILETIME; folders 1; <= 0 has a special meaning in comparisons
    int64_t creationTime = 0;
    int64_t writeTime = 0;
    int64_t accessTime = 0;
    int32_t chunkCount = 0;
    std::string chunkListText;  // keys joined by ","
    std::string ownerName;
    int32_t changeKind = 0;
    // Which file the local scan found here (0 when not known): a rename keeps both numbers.
    uint64_t fileDevice = 0;
    uint64_t fileInode = 0;
    bool signaturesComplete = true;  // every chunk record carries block signatures
    std::vector<CChunkInfo> chunks;
    std::map<std::string, std::unique_ptr<CChunkBuffer>> chunkBuffers;  // chunk key -> contents
    CBlockTable blockTable;

    CFileInfo() = default;
    explicit CFileInfo(std::string filePath);
    CFileInfo(std::string filePath, int32_t dir, int64_t fileSize);
    // Copies every field but signaturesComplete; the copy has no chunk buffers and no block table
    // (the target's former ones are freed).
    CFileInfo(const CFileInfo& other);
    CFileInfo& operator=(const CFileInfo& other);
    CFileInfo(CFileInfo&& other) noexcept = default;
    CFileInfo& operator=(CFileInfo&& other) noexcept = default;

    // Empties path, chunk list and chunks, frees buffers and table; the numbers but the three
    // file times and changeKind become 0 (ownerName stays).
    void Reset();
    void ClearChunks();
    // Appends a chunk record (no storage key). False, nothing appended, for an empty key.
    bool AddChunk(const std::string& key, int32_t chunkSize, const std::string& sums,
                  const std::string& hashes, int32_t blockCount);
    // chunkListText and chunkCount from chunks; the text gets no trailing ",". Appends to the
    // text, so callers start from an empty one.
    void JoinChunkList();
    // chunks (keys only) from chunkListText. A well-formed text is empty or 32-digit hex keys
    // joined by "," with at most one trailing ",". False, with chunks left empty, for any other
    // text or when a non-zero chunkCount differs from the number of keys.
    bool SplitChunkList();
    // chunkCount, counted from the text first when it is 0.
    int32_t GetChunkCount();
    // Removes and returns the in-memory buffer of a key (null when there is none).
    std::unique_ptr<CChunkBuffer> TakeChunkBuffer(const std::string& key);
    void FreeChunkBuffers();

    bool IsSameContent(const CFileInfo& other) const;
    bool IsSameVersion(const CFileInfo& other) const;
    bool IsUnchanged(const CFileInfo& other) const;

    // Fills blockTable from chunks (storage keys, sizes, block signatures) of this old version.
    // False, with the table left empty, when the signatures do not describe exactly the blocks
    // of `size` bytes or a storage key cannot name a block (empty, or 80 characters or more);
    // DeltaEncode then sends the whole chunk as literal bytes.
    bool BuildBlockTable();
    // The delta of `newChunk` (at most 4 MiB) against blockTable into `out` (its size is the
    // delta's total length); links the table's hash chains. False, with `out` left empty, when no
    // delta could be made.
    bool DeltaEncode(const CChunkBuffer& newChunk, CChunkBuffer* out);

    // True for 32 hexadecimal digits (either case).
    static bool IsChunkKey(const std::string& key);
};
