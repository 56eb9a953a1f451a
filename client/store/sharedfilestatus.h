// The shared status area "SHARENAME": the client publishes a sync state (and two progress
// numbers) per path, and the desktop's overlay component reads them from another process.
// The byte layout is fixed: a 32-bit entry count at 0, then entries of 272 bytes at 4 + 272*i
// (state, 260-byte NUL-terminated path in lower case with "/", two progress numbers). Entries
// are never removed; Reset sets the count to 0.
//
// CSharedFileStatus is the writer (the worker thread is the only one). It owns its mapping and
// an index from normalised path to entry number, so a store costs constant time however many
// entries exist. CSharedFileStatusReader is the reader's side, with its small answer cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/sharedmem.h"

struct SharedStatusValues {
    int32_t state = 0;
    int32_t progress1 = 0;
    int32_t progress2 = 0;
};

class CSharedFileStatus {
  public:
    static constexpr const char* kAreaName = "SHARENAME";
    static constexpr size_t kAreaSize = 16777216;
    static constexpr size_t kEntrySize = 272;
    static constexpr size_t kPathField = 260;  // bytes, NUL included
    static constexpr size_t kPathOffset = 4;
    static constexpr size_t kProgress1Offset = 264;
    static constexpr size_t kProgress2Offset = 268;
    static constexpr size_t kMaxEntries = (kAreaSize - 4) / kEntrySize;  // 61680
    // A path must leave room for its NUL in the 260-byte field.
    static constexpr size_t kMaxPathLength = kPathField - 1;
    static constexpr int32_t kUnchanged = -1;

    CSharedFileStatus() = default;
    CSharedFileStatus(const CSharedFileStatus&) = delete;
    CSharedFileStatus& operator=(const CSharedFileStatus&) = delete;

    // Creates or opens the area and maps it; the index is rebuilt from the entries found there.
    bool Open(const std::string& name = kAreaName);
    void Close();
    bool IsOpen() const { return base_ != nullptr; }
    void Reset();

    // Stores the values for the path; a value of -1 leaves the stored number as it is (0 for a
    // new entry). False for a path of kMaxPathLength + 1 characters or more, a full area, or an
    // area that is not open.
    bool SetStatus(const std::string& path, int32_t state, int32_t progress1, int32_t progress2);
    bool SetState(const std::string& path, int32_t state);
    bool GetStatus(const std::string& path, SharedStatusValues* out);

    int32_t Count() const;  // entries in use, as the area says (bounded to 0..kMaxEntries)
    // Lower case (ASCII letters only, so multi-byte characters stay intact), "\\" -> "/".
    static std::string Normalize(const std::string& path);
    // The area's raw bytes, for the reader and for checks of the layout.
    const uint8_t* Data() const { return base_; }

  private:
    void IndexUpTo(int32_t count);
    int32_t Find(const std::string& normalized);

    platform::SharedMemory memory_;
    uint8_t* base_ = nullptr;
    std::unordered_map<std::string, int32_t> index_;
    int32_t indexed_ = 0;  // entries 0 .. indexed_-1 are in index_
};

// The reader's rule: it remembers the last path it found and that path's state; asked for that
// path again it answers from memory three times and reads the area again on the fourth repeat.
// Another path is read at once. A path without an entry answers 0 and is not remembered.
// It searches the area the way another process must, entry by entry, without the writer's index.
class CSharedFileStatusReader {
  public:
    explicit CSharedFileStatusReader(const uint8_t* area) : area_(area) {}
    int32_t GetState(const std::string& path);
    // A path's whole entry, searched afresh without any cache; false without an entry. Safe on
    // any thread while the writer works, since it reads only what the writer published.
    static bool ReadValues(const uint8_t* area, const std::string& path, SharedStatusValues* out);
    int AreaReads() const { return reads_; }  // searches of the area so far

  private:
    bool ReadArea(const std::string& normalized, int32_t* state);

    const uint8_t* area_;
    std::string lastPath_;
    int32_t lastState_ = 0;
    int repeats_ = 0;
    int reads_ = 0;
};
