// The delta wire format: a 16-byte header and "CNYS" records that rebuild a new chunk from
// literal bytes and from byte ranges of old chunks named by their storage keys. The encoder is
// CFileInfo::DeltaEncode; this is the reader, shared with the reference service. Every length,
// offset and count comes from untrusted bytes and is checked before use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace delta {

constexpr uint32_t kMagic = 0x53594E43;  // the bytes "CNYS"
constexpr size_t kHeaderSize = 16;
constexpr size_t kRecordHeaderSize = 108;
constexpr size_t kNameSize = 80;
constexpr uint32_t kTypeLiteral = 0;
constexpr uint32_t kTypeCopy = 1;
constexpr uint32_t kMaxNewLength = 4194304;  // a delta rebuilds at most one chunk

struct Record {
    uint32_t type = 0;
    uint32_t targetOffset = 0;
    uint32_t length = 0;
    int32_t sourceOffset = -1;         // copy records only
    std::string sourceName;            // copy records: the old chunk's storage key
    const uint8_t* literal = nullptr;  // literal records: points into the parsed buffer
};

struct Parsed {
    uint32_t totalLength = 0;
    uint32_t newLength = 0;
    std::vector<Record> records;
};

// Checks the header and every record (magic, lengths within the buffer, records in order and
// covering the new chunk exactly once). False with a reason on any inconsistency.
bool Parse(const uint8_t* data, size_t size, Parsed* out, std::string* error);

// Loads an old chunk's bytes by storage key; false when unknown.
using SourceLoader = std::function<bool(const std::string& storageKey, std::string* bytes)>;

// Rebuilds the new chunk. A copy record that reads outside its source chunk is refused.
bool Apply(const uint8_t* data, size_t size, const SourceLoader& load, std::string* out, std::string* error);

}  // namespace delta
