#include "store/delta.h"

#include <cstring>

namespace delta {

namespace {

uint32_t Get32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool Fail(std::string* error, const std::string& reason) {
    if (error != nullptr) {
        *error = reason;
    }
    return false;
}

std::string At(size_t index, const char* what) {
    return "record " + std::to_string(index) + ": " + what;
}

}  // namespace

bool Parse(const uint8_t* data, size_t size, Parsed* out, std::string* error) {
    if (out == nullptr) {
        return Fail(error, "no output");
    }
    *out = Parsed();
    if (data == nullptr || size < kHeaderSize) {
        return Fail(error, "shorter than the header");
    }
    const uint32_t total = Get32(data);
    const uint32_t newLength = Get32(data + 4);
    const uint32_t count = Get32(data + 8);
    if (total != size) {
        return Fail(error, "total length " + std::to_string(total) + " differs from the " +
                               std::to_string(size) + " bytes received");
    }
    if (newLength > kMaxNewLength) {
        return Fail(error, "new length " + std::to_string(newLength) + " exceeds one chunk");
    }
    // Every record takes at least its header, which bounds the count before anything is reserved.
    if (count > (size - kHeaderSize) / kRecordHeaderSize) {
        return Fail(error, "record count " + std::to_string(count) + " exceeds what the buffer holds");
    }
    Parsed parsed;
    parsed.totalLength = total;
    parsed.newLength = newLength;
    parsed.records.reserve(count);
    size_t pos = kHeaderSize;
    uint64_t covered = 0;
    while (pos < size) {
        const size_t index = parsed.records.size();
        if (size - pos < kRecordHeaderSize) {
            return Fail(error, At(index, "truncated header"));
        }
        const uint8_t* p = data + pos;
        if (Get32(p) != kMagic) {
            return Fail(error, At(index, "bad magic"));
        }
        const uint32_t recordLength = Get32(p + 4);
        if (recordLength < kRecordHeaderSize || recordLength > size - pos) {
            return Fail(error, At(index, "record length outside the buffer"));
        }
        Record r;
        r.type = Get32(p + 8);
        r.targetOffset = Get32(p + 12);
        r.length = Get32(p + 16);
        r.sourceOffset = static_cast<int32_t>(Get32(p + 20));
        if (r.type == kTypeLiteral) {
            if (uint64_t{recordLength} != kRecordHeaderSize + uint64_t{r.length}) {
                return Fail(error, At(index, "literal length differs from its record length"));
            }
            r.literal = p + kRecordHeaderSize;
        } else if (r.type == kTypeCopy) {
            if (recordLength != kRecordHeaderSize) {
                return Fail(error, At(index, "copy record carries data"));
            }
            if (r.sourceOffset < 0) {
                return Fail(error, At(index, "negative source offset"));
            }
            const char* name = reinterpret_cast<const char*>(p + 24);
            size_t nameLength = strnlen(name, kNameSize);
            if (nameLength == 0 || nameLength == kNameSize) {
                return Fail(error, At(index, "source name empty or not terminated"));
            }
            r.sourceName.assign(name, nameLength);
        } else {
            return Fail(error, At(index, "unknown record type"));
        }
        if (r.targetOffset != covered) {
            return Fail(error, At(index, "target offset out of order"));
        }
        covered += r.length;
        if (covered > newLength) {
            return Fail(error, At(index, "record reaches past the new length"));
        }
        if (parsed.records.size() == count) {
            return Fail(error, "more records than the header counts");
        }
        parsed.records.push_back(std::move(r));
        pos += recordLength;
    }
    if (parsed.records.size() != count) {
        return Fail(error, "fewer records than the header counts");
    }
    if (covered != newLength) {
        return Fail(error, "records cover " + std::to_string(covered) + " of " + std::to_string(newLength) +
                               " bytes");
    }
    *out = std::move(parsed);
    return true;
}

bool Apply(const uint8_t* data, size_t size, const SourceLoader& load, std::string* out, std::string* error) {
    if (out == nullptr) {
        return Fail(error, "no output");
    }
    out->clear();
    Parsed parsed;
    if (!Parse(data, size, &parsed, error)) {
        return false;
    }
    std::string result;
    result.reserve(parsed.newLength);
    // Copies of one old chunk come in runs, so the last source loaded is kept for the next record.
    std::string sourceName;
    std::string source;
    bool haveSource = false;
    for (size_t i = 0; i < parsed.records.size(); ++i) {
        const Record& r = parsed.records[i];
        if (r.type == kTypeLiteral) {
            result.append(reinterpret_cast<const char*>(r.literal), r.length);
            continue;
        }
        if (!haveSource || sourceName != r.sourceName) {
            haveSource = false;
            source.clear();
            if (!load || !load(r.sourceName, &source)) {
                return Fail(error, At(i, "unknown source chunk"));
            }
            sourceName = r.sourceName;
            haveSource = true;
        }
        if (uint64_t{static_cast<uint32_t>(r.sourceOffset)} + r.length > source.size()) {
            return Fail(error, At(i, "copy reads outside its source chunk"));
        }
        result.append(source, static_cast<size_t>(r.sourceOffset), r.length);
    }
    *out = std::move(result);
    return true;
}

}  // namespace delta
