// The old version's block table and the rolling-checksum delta encoder (rsync-style block
// matching): a new chunk becomes literal records and copy records naming old chunks' blocks.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "core/log.h"
#include "store/delta.h"
#include "store/fileinfo.h"
#include "util/md5.h"
#include "util/util.h"

namespace {

constexpr int64_t kBlock = CFileInfo::kBlockSize;

// Next token of a ","-separated text; false when the text is used up.
bool NextToken(std::string_view& text, std::string_view* token) {
    if (text.empty()) {
        return false;
    }
    size_t comma = text.find(',');
    *token = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    return true;
}

bool ParseWeakSum(std::string_view token, uint32_t* value) {
    if (token.empty() || token.size() > 10) {
        return false;
    }
    uint64_t v = 0;
    for (char c : token) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xffffffffu) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// Appends the entries of one old chunk; false when its signatures do not describe its size.
bool AppendChunkBlocks(const CChunkInfo& chunk, std::vector<CBlockEntry>* entries) {
    if (chunk.size <= 0 || chunk.storageKey.empty() || chunk.storageKey.size() >= CBlockEntry::kNameSize) {
        return false;
    }
    std::string_view sums = chunk.blockSums;
    std::string_view hashes = chunk.blockHashes;
    int32_t offset = 0;
    while (offset < chunk.size) {
        std::string_view sumToken, hashToken;
        if (!NextToken(sums, &sumToken) || !NextToken(hashes, &hashToken)) {
            return false;
        }
        CBlockEntry e;
        if (!ParseWeakSum(sumToken, &e.weakSum) || !CUtil::HexToMd5(std::string(hashToken), e.strongSum)) {
            return false;
        }
        std::memcpy(e.name, chunk.storageKey.data(), chunk.storageKey.size());
        e.offset = offset;
        e.length = static_cast<int32_t>(std::min<int64_t>(kBlock, chunk.size - offset));
        offset += e.length;
        entries->push_back(e);
    }
    // Signatures for more blocks than the chunk holds belong to some other content.
    return sums.empty() && hashes.empty();
}

// Bucket of a weak sum in a hash table of `size` slots.
inline uint32_t Bucket(uint32_t sum, uint32_t size) {
    if (size == 65536) {
        return ((sum & 0xffffu) + (sum >> 16)) & 0xffffu;
    }
    return sum % size;
}

// The delta buffer under construction; grows when the records need more than first reserved.
class DeltaWriter {
  public:
    bool Init(size_t capacity) {
        data_.reset(new (std::nothrow) uint8_t[capacity]);
        capacity_ = data_ ? capacity : 0;
        length_ = delta::kHeaderSize;
        return data_ != nullptr && capacity >= delta::kHeaderSize;
    }

    bool Literal(const uint8_t* chunk, int64_t from, int64_t to) {
        uint32_t n = static_cast<uint32_t>(to - from);
        if (!Header(static_cast<uint32_t>(delta::kRecordHeaderSize) + n, delta::kTypeLiteral,
                    static_cast<uint32_t>(from), n, 0xffffffffu, nullptr)) {
            return false;
        }
        std::memcpy(data_.get() + length_, chunk + from, n);
        length_ += n;
        return true;
    }

    bool Copy(int64_t target, int64_t n, int32_t sourceOffset, const char* name) {
        return Header(static_cast<uint32_t>(delta::kRecordHeaderSize), delta::kTypeCopy,
                      static_cast<uint32_t>(target), static_cast<uint32_t>(n),
                      static_cast<uint32_t>(sourceOffset), name);
    }

    // Writes the 16-byte header and hands the buffer over.
    bool Finish(uint32_t newLength, CChunkBuffer* out) {
        Put32(data_.get(), static_cast<uint32_t>(length_));
        Put32(data_.get() + 4, newLength);
        Put32(data_.get() + 8, records_);
        Put32(data_.get() + 12, 0);  // reserved: nothing of our memory goes on the wire
        return out->Attach(std::move(data_), length_);
    }

  private:
    static void Put32(uint8_t* p, uint32_t v) {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v >> 16);
        p[3] = static_cast<uint8_t>(v >> 24);
    }

    bool Reserve(size_t more) {
        if (length_ + more <= capacity_) {
            return true;
        }
        size_t capacity = std::max(capacity_ * 2, length_ + more);
        std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[capacity]);
        if (!grown) {
            return false;
        }
        std::memcpy(grown.get(), data_.get(), length_);
        data_ = std::move(grown);
        capacity_ = capacity;
        return true;
    }

    bool Header(uint32_t recordLength, uint32_t type, uint32_t target, uint32_t n, uint32_t source,
                const char* name) {
        if (!Reserve(recordLength)) {
            return false;
        }
        uint8_t* p = data_.get() + length_;
        Put32(p, delta::kMagic);
        Put32(p + 4, recordLength);
        Put32(p + 8, type);
        Put32(p + 12, target);
        Put32(p + 16, n);
        Put32(p + 20, source);
        std::memset(p + 24, 0, delta::kNameSize);
        if (name != nullptr) {
            std::memcpy(p + 24, name, strnlen(name, delta::kNameSize - 1));
        }
        Put32(p + 104, 0);  // reserved
        length_ += delta::kRecordHeaderSize;
        ++records_;
        return true;
    }

    std::unique_ptr<uint8_t[]> data_;
    size_t capacity_ = 0;
    size_t length_ = 0;
    uint32_t records_ = 0;
};

// Search state of one encoding: the covered position and the emission of runs.
class DeltaSearch {
  public:
    DeltaSearch(const CBlockTable& table, const uint8_t* chunk, int64_t len, DeltaWriter* writer)
        : table_(table), chunk_(chunk), len_(len), writer_(writer) {}

    bool Run(const std::vector<int32_t>& hash);
    // Emits the run first..last starting at runStart (no run when first < 0) at `emitPos`.
    bool Emit(int32_t first, int32_t last, int64_t runStart, int64_t emitPos);
    bool FinishLiteral() { return covered_ >= len_ || writer_->Literal(chunk_, covered_, len_); }

  private:
    const CBlockTable& table_;
    const uint8_t* chunk_;
    int64_t len_;
    DeltaWriter* writer_;
    int64_t covered_ = 0;
};

bool DeltaSearch::Emit(int32_t first, int32_t last, int64_t runStart, int64_t emitPos) {
    if (runStart > covered_ && !writer_->Literal(chunk_, covered_, runStart)) {
        return false;
    }
    if (first < 0) {
        covered_ = emitPos;
        return true;
    }
    const std::vector<CBlockEntry>& e = table_.entries;
    int64_t n = last == table_.count - 1 ? int64_t{last - first} * kBlock + table_.remainder
                                         : int64_t{last - first + 1} * kBlock;
    if (!writer_->Copy(runStart, n, e[first].offset, e[first].name)) {
        return false;
    }
    covered_ = runStart + n;
    return true;
}

bool DeltaSearch::Run(const std::vector<int32_t>& hash) {
    const std::vector<CBlockEntry>& e = table_.entries;
    const int32_t count = table_.count;
    const uint32_t hashSize = static_cast<uint32_t>(hash.size());
    const int64_t L = len_;
    int64_t k = std::min(kBlock, L);
    uint32_t sum = CUtil::WeakChecksum(chunk_, static_cast<size_t>(k));
    uint32_t s1 = sum & 0xffffu;
    uint32_t s2 = sum >> 16;
    const int64_t end = L + 1 - e[count - 1].length;
    int32_t want = 0;
    int32_t runFirst = -1;
    int32_t runLast = -1;
    int64_t runStart = -1;
    int64_t runEnd = -1;  // the target position right after the run's last matched block

    for (int64_t offset = 0; offset < end; ++offset) {
        uint32_t rolling = (s1 & 0xffffu) + ((s2 & 0xffffu) << 16);
        int32_t i = hash[Bucket(rolling, hashSize)];
        if (i >= 0) {
            const int32_t windowLength = static_cast<int32_t>(std::min(kBlock, L - offset));
            bool digested = false;
            uint8_t digest[16];
            for (; i >= 0; i = e[i].chain) {
                if (e[i].weakSum != rolling || e[i].length != windowLength) {
                    continue;
                }
                if (!digested) {
                    CMd5::Digest(chunk_ + offset, static_cast<size_t>(windowLength), digest);
                    digested = true;
                }
                if (std::memcmp(digest, e[i].strongSum, 16) != 0) {
                    continue;
                }
                if (runFirst < 0) {
                    runFirst = runLast = i;
                    runStart = offset;
                } else {
                    // Prefer the block that continues the run when it holds the same bytes.
                    if (want != i && want < count && e[want].weakSum == rolling &&
                        e[want].length == windowLength && std::memcmp(e[want].strongSum, digest, 16) == 0) {
                        i = want;
                    }
                    // A run grows only with the next block of the same old chunk, matched right
                    // behind the run in the new chunk; anything else would copy the wrong bytes.
                    const CBlockEntry& prev = e[runLast];
                    if (i == runLast + 1 && std::memcmp(e[i].name, prev.name, CBlockEntry::kNameSize) == 0 &&
                        e[i].offset == prev.offset + prev.length && offset == runEnd) {
                        runLast = i;
                    } else {
                        if (!Emit(runFirst, runLast, runStart, offset)) {
                            return false;
                        }
                        runFirst = runLast = i;
                        runStart = offset;
                    }
                }
                want = i + 1;
                runEnd = offset + e[i].length;
                offset += e[i].length - 1;
                k = std::min(kBlock, L - offset);
                sum = CUtil::WeakChecksum(chunk_ + offset, static_cast<size_t>(k));
                s1 = sum & 0xffffu;
                s2 = sum >> 16;
                break;
            }
        }

        // Roll the window one byte on.
        uint32_t b = static_cast<uint32_t>(int32_t{static_cast<int8_t>(chunk_[offset])});
        s1 -= b;
        s2 -= static_cast<uint32_t>(k) * b;
        if (offset + k < L) {
            uint32_t next = static_cast<uint32_t>(int32_t{static_cast<int8_t>(chunk_[offset + k])});
            s1 += next;
            s2 += s1;
        } else {
            --k;
        }

        // Keep a literal from growing past one chunk's worth of bytes.
        if (offset - covered_ >= 4194303 && end - runStart > 4194304) {
            if (runFirst >= 0) {
                if (!Emit(runFirst, runLast, runStart, offset)) {
                    return false;
                }
            } else {
                runStart = offset;
                if (!Emit(-1, -1, runStart, offset)) {
                    return false;
                }
            }
            runFirst = runLast = -1;
        }
    }
    if (runFirst >= 0 && !Emit(runFirst, runLast, runStart, L)) {
        return false;
    }
    return FinishLiteral();
}

}  // namespace

bool CFileInfo::BuildBlockTable() {
    blockTable.Clear();
    if (size <= 0) {
        return true;  // nothing to match against
    }
    const int64_t count = (size + kBlock - 1) / kBlock;
    if (count > INT32_MAX) {
        Log(kLogWarn, "CFileInfo::BuildBlockTable", "Too many blocks in %s (%lld)", path.c_str(),
            static_cast<long long>(size));
        return false;
    }
    std::vector<CBlockEntry> entries;
    try {
        entries.reserve(static_cast<size_t>(count));
        for (const CChunkInfo& chunk : chunks) {
            if (!AppendChunkBlocks(chunk, &entries)) {
                Log(kLogWarn, "CFileInfo::BuildBlockTable", "Unusable signatures of chunk {%s} of %s",
                    chunk.key.c_str(), path.c_str());
                return false;
            }
            if (static_cast<int64_t>(entries.size()) > count) {
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        Log(kLogWarn, "CFileInfo::BuildBlockTable", "Out of memory for the blocks of %s", path.c_str());
        return false;
    }
    // The copy lengths are counted in whole blocks: only the very last block may be short, and
    // together the blocks must make up exactly the old size.
    const int32_t remainder = static_cast<int32_t>(size % kBlock);
    bool consistent = static_cast<int64_t>(entries.size()) == count;
    for (size_t j = 0; consistent && j + 1 < entries.size(); ++j) {
        consistent = entries[j].length == kBlock;
    }
    if (consistent) {
        consistent = entries.back().length == (remainder != 0 ? remainder : kBlock);
    }
    if (!consistent) {
        Log(kLogWarn, "CFileInfo::BuildBlockTable", "Block signatures of %s do not match its size %lld",
            path.c_str(), static_cast<long long>(size));
        return false;
    }
    blockTable.totalLength = size;
    blockTable.entries = std::move(entries);
    blockTable.count = static_cast<int32_t>(count);
    blockTable.blockLength = kBlockSize;
    blockTable.remainder = remainder;
    blockTable.strongLength = 16;
    return true;
}

bool CFileInfo::DeltaEncode(const CChunkBuffer& newChunk, CChunkBuffer* out) {
    if (out == nullptr) {
        return false;
    }
    out->Reallocate(0);
    const int64_t L = static_cast<int64_t>(newChunk.GetSize());
    if (L > static_cast<int64_t>(delta::kMaxNewLength) || (L > 0 && newChunk.GetData() == nullptr)) {
        Log(kLogError, "CFileInfo::DeltaEncode", "Invalid chunk of %lld bytes for %s",
            static_cast<long long>(L), path.c_str());
        return false;
    }
    const uint8_t* data = newChunk.GetData();
    DeltaWriter writer;
    size_t capacity = static_cast<size_t>(L) + 108 * (static_cast<size_t>(L) / 4194304 + 1) + 110736;
    if (!writer.Init(capacity)) {
        Log(kLogError, "CFileInfo::DeltaEncode", "Fail to allocate the delta of %s", path.c_str());
        return false;
    }
    bool ok = true;
    const int32_t count = static_cast<int32_t>(blockTable.entries.size());
    if (L > 0 && (count == 0 || count != blockTable.count)) {
        ok = writer.Literal(data, 0, L);
    } else if (L > 0) {
        std::vector<int32_t> hash;
        try {
            size_t hashSize = std::max<size_t>(static_cast<size_t>(count / 8) * 10 + 11, 65536);
            hash.assign(hashSize, -1);
        } catch (const std::bad_alloc&) {
            std::printf(" %s", "building hash table,out of memory\n");
            Log(kLogWarn, "CFileInfo::DeltaEncode", "building hash table,out of memory");
        }
        if (hash.empty()) {
            ok = writer.Literal(data, 0, L);
        } else {
            std::vector<CBlockEntry>& entries = blockTable.entries;
            for (int32_t j = 0; j < count; ++j) {
                uint32_t b = Bucket(entries[j].weakSum, static_cast<uint32_t>(hash.size()));
                entries[j].chain = hash[b];
                hash[b] = j;
            }
            DeltaSearch search(blockTable, data, L, &writer);
            ok = search.Run(hash);
        }
    }
    if (!ok || !writer.Finish(static_cast<uint32_t>(L), out)) {
        out->Reallocate(0);
        Log(kLogError, "CFileInfo::DeltaEncode", "Fail to build the delta of %s", path.c_str());
        return false;
    }
    return true;
}
