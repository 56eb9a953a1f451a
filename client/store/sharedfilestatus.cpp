#include "store/sharedfilestatus.h"

#include <cstring>

#include "util/ascii.h"

namespace {

// Each number is one aligned 32-bit word that other processes read without a lock: word-sized
// atomic accesses keep every read whole. The count is stored with release order after the
// entry's bytes, so a reader that sees the count also sees the entry it covers.
inline int32_t LoadWord(const uint8_t* p) {
    return __atomic_load_n(reinterpret_cast<const int32_t*>(p), __ATOMIC_ACQUIRE);
}
inline void StoreWord(uint8_t* p, int32_t v) {
    __atomic_store_n(reinterpret_cast<int32_t*>(p), v, __ATOMIC_RELEASE);
}

inline int32_t BoundedCount(const uint8_t* base) {
    const int32_t n = LoadWord(base);
    if (n < 0)
        return 0;
    if (n > static_cast<int32_t>(CSharedFileStatus::kMaxEntries))
        return CSharedFileStatus::kMaxEntries;
    return n;
}

inline uint8_t* Entry(uint8_t* base, int32_t i) {
    return base + 4 + CSharedFileStatus::kEntrySize * size_t(i);
}
inline const uint8_t* Entry(const uint8_t* base, int32_t i) {
    return base + 4 + CSharedFileStatus::kEntrySize * size_t(i);
}

// The entry's path as stored; a field without NUL (written by someone else) ends at 260 bytes.
inline std::string EntryPath(const uint8_t* entry) {
    const char* p = reinterpret_cast<const char*>(entry + CSharedFileStatus::kPathOffset);
    return std::string(p, strnlen(p, CSharedFileStatus::kPathField));
}

inline bool EntryPathIs(const uint8_t* entry, const std::string& path) {
    const char* p = reinterpret_cast<const char*>(entry + CSharedFileStatus::kPathOffset);
    return strnlen(p, CSharedFileStatus::kPathField) == path.size() &&
           std::memcmp(p, path.data(), path.size()) == 0;
}

bool Storable(const std::string& path) {
    return !path.empty() && path.size() <= CSharedFileStatus::kMaxPathLength &&
           path.find('\0') == std::string::npos;
}

}  // namespace

std::string CSharedFileStatus::Normalize(const std::string& path) {
    std::string n = path;
    for (auto& c : n)
        c = c == '\\' ? '/' : ascii::Lower(c);
    return n;
}

bool CSharedFileStatus::Open(const std::string& name) {
    Close();
    if (!memory_.Open(name, kAreaSize))
        return false;
    base_ = static_cast<uint8_t*>(memory_.Data());
    IndexUpTo(Count());
    return true;
}

void CSharedFileStatus::Close() {
    memory_.Close();
    base_ = nullptr;
    index_.clear();
    indexed_ = 0;
}

void CSharedFileStatus::Reset() {
    index_.clear();
    indexed_ = 0;
    if (base_ != nullptr)
        StoreWord(base_, 0);
}

int32_t CSharedFileStatus::Count() const {
    return base_ == nullptr ? 0 : BoundedCount(base_);
}

void CSharedFileStatus::IndexUpTo(int32_t count) {
    if (count < indexed_) {  // someone else reset the area
        index_.clear();
        indexed_ = 0;
    }
    if (index_.empty() && count > 0)
        index_.reserve(size_t(count));
    for (int32_t i = indexed_; i < count; ++i)
        index_.emplace(EntryPath(Entry(base_, i)), i);  // first wins
    indexed_ = count;
}

int32_t CSharedFileStatus::Find(const std::string& normalized) {
    const int32_t count = Count();
    // Entries that another writer appended since the last look are taken in first.
    IndexUpTo(count);
    auto it = index_.find(normalized);
    if (it == index_.end())
        return -1;
    if (it->second < count && EntryPathIs(Entry(base_, it->second), normalized))
        return it->second;
    // The area was rewritten behind our back: index it again from the start.
    index_.clear();
    indexed_ = 0;
    IndexUpTo(count);
    it = index_.find(normalized);
    return it == index_.end() ? -1 : it->second;
}

bool CSharedFileStatus::SetStatus(const std::string& path, int32_t state, int32_t progress1,
                                  int32_t progress2) {
    if (base_ == nullptr || !Storable(path))
        return false;
    const std::string normalized = Normalize(path);
    const int32_t found = Find(normalized);
    if (found >= 0) {
        uint8_t* e = Entry(base_, found);
        if (state != kUnchanged)
            StoreWord(e, state);
        if (progress1 != kUnchanged)
            StoreWord(e + kProgress1Offset, progress1);
        if (progress2 != kUnchanged)
            StoreWord(e + kProgress2Offset, progress2);
        return true;
    }
    const int32_t count = Count();
    if (count >= static_cast<int32_t>(kMaxEntries))
        return false;
    uint8_t* e = Entry(base_, count);
    std::memset(e + kPathOffset, 0, kPathField);
    std::memcpy(e + kPathOffset, normalized.data(), normalized.size());
    StoreWord(e, state == kUnchanged ? 0 : state);
    StoreWord(e + kProgress1Offset, progress1 == kUnchanged ? 0 : progress1);
    StoreWord(e + kProgress2Offset, progress2 == kUnchanged ? 0 : progress2);
    StoreWord(base_, count + 1);
    index_.emplace(normalized, count);
    indexed_ = count + 1;
    return true;
}

bool CSharedFileStatus::SetState(const std::string& path, int32_t state) {
    return SetStatus(path, state, kUnchanged, kUnchanged);
}

bool CSharedFileStatus::GetStatus(const std::string& path, SharedStatusValues* out) {
    if (base_ == nullptr || out == nullptr || !Storable(path))
        return false;
    const int32_t found = Find(Normalize(path));
    if (found < 0)
        return false;
    const uint8_t* e = Entry(base_, found);
    out->state = LoadWord(e);
    out->progress1 = LoadWord(e + kProgress1Offset);
    out->progress2 = LoadWord(e + kProgress2Offset);
    return true;
}

bool CSharedFileStatusReader::ReadArea(const std::string& normalized, int32_t* state) {
    ++reads_;
    if (area_ == nullptr)
        return false;
    const int32_t count = BoundedCount(area_);
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* e = Entry(area_, i);
        if (EntryPathIs(e, normalized)) {
            *state = LoadWord(e);
            return true;
        }
    }
    return false;
}

bool CSharedFileStatusReader::ReadValues(const uint8_t* area, const std::string& path,
                                         SharedStatusValues* out) {
    if (area == nullptr || out == nullptr)
        return false;
    const std::string normalized = CSharedFileStatus::Normalize(path);
    const int32_t count = BoundedCount(area);
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* e = Entry(area, i);
        if (EntryPathIs(e, normalized)) {
            out->state = LoadWord(e);
            out->progress1 = LoadWord(e + CSharedFileStatus::kProgress1Offset);
            out->progress2 = LoadWord(e + CSharedFileStatus::kProgress2Offset);
            return true;
        }
    }
    return false;
}

int32_t CSharedFileStatusReader::GetState(const std::string& path) {
    const std::string normalized = CSharedFileStatus::Normalize(path);
    int32_t state = 0;
    if (!lastPath_.empty() && normalized == lastPath_) {
        if (repeats_ < 3) {
            ++repeats_;
            return lastState_;
        }
        repeats_ = 0;
        if (ReadArea(normalized, &state)) {
            lastState_ = state;
            return state;
        }
        lastPath_.clear();  // its entry is gone (the area was reset): nothing left to remember
        return 0;
    }
    if (!ReadArea(normalized, &state))
        return 0;
    lastPath_ = normalized;
    lastState_ = state;
    repeats_ = 0;
    return state;
}
