#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "store/chunkbuffer.h"
#include "store/delta.h"
#include "store/fileinfo.h"
#include "util/util.h"

namespace {

constexpr size_t kChunk = 4194304;

std::string RandomBytes(size_t n, std::mt19937& rng) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 4) {
        uint32_t v = static_cast<uint32_t>(rng());
        std::memcpy(&s[i], &v, std::min<size_t>(4, n - i));
    }
    return s;
}

// An old version as the upload path sees it: chunk records with storage keys and signatures,
// and the service's chunks by storage key.
struct OldVersion {
    CFileInfo info;
    std::map<std::string, std::string> sources;
};

// Storage keys default to "sk<index>"; `keys` overrides them chunk by chunk.
OldVersion MakeOld(const std::string& bytes, const std::vector<std::string>& keys = {}) {
    OldVersion old;
    old.info = CFileInfo("/old", 0, static_cast<int64_t>(bytes.size()));
    for (size_t off = 0, i = 0; off < bytes.size(); off += kChunk, ++i) {
        std::string chunk = bytes.substr(off, kChunk);
        std::string key, sums, hashes;
        int32_t blocks = 0;
        EXPECT_TRUE(CUtil::GetMd5String(chunk.data(), chunk.size(), &key));
        EXPECT_TRUE(CUtil::GetBlockSignatures(chunk.data(), chunk.size(), &sums, &hashes, &blocks));
        old.info.AddChunk(key, static_cast<int32_t>(chunk.size()), sums, hashes, blocks);
        std::string storage = i < keys.size() ? keys[i] : "sk" + std::to_string(i);
        old.info.chunks.back().storageKey = storage;
        old.sources[storage] = chunk;
    }
    EXPECT_TRUE(old.info.BuildBlockTable());
    return old;
}

std::string Encode(OldVersion& old, const std::string& chunk) {
    CChunkBuffer in(chunk.size());
    EXPECT_NE(in.GetData(), nullptr);
    std::memcpy(in.GetData(), chunk.data(), chunk.size());
    in.SetSize(chunk.size());
    CChunkBuffer out;
    EXPECT_TRUE(old.info.DeltaEncode(in, &out));
    return std::string(reinterpret_cast<const char*>(out.GetData()), out.GetSize());
}

const uint8_t* Bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

delta::SourceLoader Loader(const OldVersion& old) {
    return [&old](const std::string& name, std::string* bytes) {
        auto it = old.sources.find(name);
        if (it == old.sources.end()) {
            return false;
        }
        *bytes = it->second;
        return true;
    };
}

std::vector<delta::Record> Records(const std::string& d) {
    delta::Parsed parsed;
    std::string error;
    EXPECT_TRUE(delta::Parse(Bytes(d), d.size(), &parsed, &error)) << error;
    return parsed.records;
}

void ExpectRoundTrip(OldVersion& old, const std::string& chunk, const std::string& what) {
    std::string d = Encode(old, chunk);
    std::string rebuilt, error;
    ASSERT_TRUE(delta::Apply(Bytes(d), d.size(), Loader(old), &rebuilt, &error)) << what << ": " << error;
    ASSERT_EQ(rebuilt.size(), chunk.size()) << what;
    ASSERT_TRUE(rebuilt == chunk) << what;
}

struct Expected {
    uint32_t type, target, length;
    int32_t source;
    std::string name;
};

void ExpectRecords(const std::string& d, const std::vector<Expected>& want) {
    auto records = Records(d);
    ASSERT_EQ(records.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(records[i].type, want[i].type) << i;
        EXPECT_EQ(records[i].targetOffset, want[i].target) << i;
        EXPECT_EQ(records[i].length, want[i].length) << i;
        EXPECT_EQ(records[i].sourceOffset, want[i].source) << i;
        EXPECT_EQ(records[i].sourceName, want[i].name) << i;
    }
}

uint32_t Word(const std::string& d, size_t at) {
    uint32_t v;
    std::memcpy(&v, d.data() + at, 4);
    return v;  // little-endian host
}

TEST(DeltaEncode, HeaderAndRecordsByteForByte) {
    std::mt19937 rng(1);
    std::string oldBytes = RandomBytes(8000, rng);
    OldVersion old = MakeOld(oldBytes);
    std::string d = Encode(old, "Z" + oldBytes);
    ASSERT_EQ(d.size(), 16u + 109u + 108u);
    EXPECT_EQ(Word(d, 0), d.size());
    EXPECT_EQ(Word(d, 4), 8001u);
    EXPECT_EQ(Word(d, 8), 2u);
    EXPECT_EQ(Word(d, 12), 0u);  // reserved, no addresses
    // The literal record.
    EXPECT_EQ(d.substr(16, 4), "CNYS");
    EXPECT_EQ(Word(d, 20), 109u);
    EXPECT_EQ(Word(d, 24), 0u);
    EXPECT_EQ(Word(d, 28), 0u);
    EXPECT_EQ(Word(d, 32), 1u);
    EXPECT_EQ(Word(d, 36), 0xffffffffu);
    EXPECT_EQ(d.substr(40, 80), std::string(80, '\0'));
    EXPECT_EQ(Word(d, 120), 0u);
    EXPECT_EQ(d[124], 'Z');
    // The copy record.
    const size_t c = 16 + 109;
    EXPECT_EQ(d.substr(c, 4), "CNYS");
    EXPECT_EQ(Word(d, c + 4), 108u);
    EXPECT_EQ(Word(d, c + 8), 1u);
    EXPECT_EQ(Word(d, c + 12), 1u);
    EXPECT_EQ(Word(d, c + 16), 8000u);
    EXPECT_EQ(Word(d, c + 20), 0u);
    EXPECT_EQ(d.substr(c + 24, 80), "sk0" + std::string(77, '\0'));
    EXPECT_EQ(Word(d, c + 104), 0u);
}

TEST(DeltaEncode, EdgeCases) {
    std::mt19937 rng(2);
    {
        std::string bytes = RandomBytes(10000, rng);
        OldVersion old = MakeOld(bytes);
        ExpectRecords(Encode(old, bytes), {{1, 0, 10000, 0, "sk0"}});
    }
    {
        // A size that is a multiple of 4096: the copy stops one block short, a literal follows.
        std::string bytes = RandomBytes(8192, rng);
        OldVersion old = MakeOld(bytes);
        ExpectRecords(Encode(old, bytes), {{0 + 1, 0, 4096, 0, "sk0"}, {0, 4096, 4096, -1, ""}});
    }
    {
        OldVersion old = MakeOld(RandomBytes(10000, rng));
        ExpectRecords(Encode(old, RandomBytes(10000, rng)), {{0, 0, 10000, -1, ""}});
    }
    {
        // Consecutive blocks of two different old chunks make two copy records.
        std::string bytes = RandomBytes(kChunk + 8192, rng);
        OldVersion old = MakeOld(bytes);
        std::string chunk = bytes.substr(kChunk - 4096, 8192);
        ExpectRecords(Encode(old, chunk),
                      {{1, 0, 4096, int32_t(kChunk - 4096), "sk0"}, {1, 4096, 4096, 0, "sk1"}});
    }
    {
        // A 4 MiB chunk with nothing in common, against an old file whose last block is 1 byte:
        // the literal is flushed before the last byte.
        OldVersion old = MakeOld(RandomBytes(8193, rng));
        std::string chunk = RandomBytes(kChunk, rng);
        std::string d = Encode(old, chunk);
        ExpectRecords(d, {{0, 0, uint32_t(kChunk - 1), -1, ""}, {0, uint32_t(kChunk - 1), 1, -1, ""}});
    }
    {
        // Nothing to match against: one literal; an empty chunk: no records.
        OldVersion old = MakeOld("");
        ExpectRecords(Encode(old, "abc"), {{0, 0, 3, -1, ""}});
        std::string d = Encode(old, "");
        EXPECT_EQ(d.size(), 16u);
        EXPECT_TRUE(Records(d).empty());
    }
}

// Bytes inserted between two old blocks must not let the run of the first block swallow the
// second: the copy would put the old bytes where the inserted ones belong.
TEST(DeltaEncode, InsertionBetweenBlocksOfOneRun) {
    std::mt19937 rng(3);
    std::string bytes = RandomBytes(5 * 4096, rng);
    OldVersion old = MakeOld(bytes);
    std::string chunk = bytes.substr(0, 8192) + "inserted" + bytes.substr(8192);
    ExpectRoundTrip(old, chunk, "insert between blocks");
    ExpectRecords(Encode(old, chunk), {{1, 0, 8192, 0, "sk0"},
                                       {0, 8192, 8, -1, ""},
                                       {1, 8200, 8192, 8192, "sk0"},
                                       {0, 16392, 4096, -1, ""}});
}

// Identical old chunks share one storage key: every copy must still read inside one stored chunk.
TEST(DeltaEncode, RepeatedChunksWithOneStorageKey) {
    std::mt19937 rng(4);
    std::string a = RandomBytes(kChunk, rng);
    OldVersion old = MakeOld(a + a + "tail", {"same", "same", "tail"});
    ExpectRoundTrip(old, a.substr(kChunk / 2) + a.substr(0, kChunk / 2), "rotated chunk");
}

// A long run of one repeated block: many small records, more than the first reservation holds.
TEST(DeltaEncode, RepeatedBlockOutgrowsTheFirstBuffer) {
    OldVersion old = MakeOld(std::string(8192, '\0'));
    std::string chunk(kChunk, '\0');
    std::string d = Encode(old, chunk);
    EXPECT_GT(d.size(), kChunk + 108 * 2 + 110736);
    ExpectRoundTrip(old, chunk, "zeros");
}

TEST(DeltaEncode, FewEditsGiveASmallDelta) {
    std::mt19937 rng(5);
    std::string bytes = RandomBytes(kChunk, rng);
    OldVersion old = MakeOld(bytes);
    std::string chunk = bytes;
    for (size_t at : {1000u, 900000u, 2000001u, 3500000u}) {
        chunk.insert(at, "edit");
    }
    chunk.resize(kChunk);
    std::string d = Encode(old, chunk);
    EXPECT_LT(d.size(), 64u * 1024);
    ExpectRoundTrip(old, chunk, "few edits");
}

TEST(DeltaEncode, RefusesChunksLargerThanAChunk) {
    OldVersion old = MakeOld("abc");
    CChunkBuffer in(kChunk + 1);
    in.SetSize(kChunk + 1);
    CChunkBuffer out(8);
    EXPECT_FALSE(old.info.DeltaEncode(in, &out));
    EXPECT_EQ(out.GetSize(), 0u);
}

// Random old files of one to three chunks, random insertions, deletions and replacements, some
// on block and chunk boundaries: applying the delta always gives the new chunk back.
TEST(DeltaEncode, RandomEditsRoundTrip) {
    std::mt19937 rng(20240601);
    for (int iteration = 0; iteration < 24; ++iteration) {
        size_t oldSize;
        switch (iteration % 4) {
            case 0:
                oldSize = 1 + rng() % 40000;
                break;
            case 1:
                oldSize = kChunk - 5000 + rng() % 10000;
                break;
            case 2:
                oldSize = 2 * kChunk + rng() % 100000;
                break;
            default:
                oldSize = 2 * kChunk + 1 + rng() % kChunk;
                break;
        }
        std::string oldBytes = RandomBytes(oldSize, rng);
        OldVersion old = MakeOld(oldBytes);

        // The new chunk starts as a window of the old file, sometimes across a chunk boundary.
        size_t start = 0;
        if (oldSize > kChunk && rng() % 2) {
            start = kChunk - 4096 * (1 + rng() % 200);
        } else if (oldSize > 10000) {
            start = rng() % (oldSize / 2);
        }
        std::string chunk = oldBytes.substr(start, kChunk);
        auto position = [&]() -> size_t {
            if (chunk.empty()) {
                return 0;
            }
            size_t p = rng() % chunk.size();
            return rng() % 3 == 0 ? p / 4096 * 4096 : p;  // block boundaries now and then
        };
        int edits = 1 + rng() % 8;
        for (int e = 0; e < edits; ++e) {
            size_t at = position();
            size_t n = 1 + rng() % (rng() % 4 == 0 ? 9000 : 40);
            switch (rng() % 3) {
                case 0:
                    chunk.insert(at, RandomBytes(n, rng));
                    break;
                case 1:
                    chunk.erase(at, n);
                    break;
                default:
                    chunk.replace(at, std::min(n, chunk.size() - at), RandomBytes(n, rng));
                    break;
            }
        }
        if (chunk.size() > kChunk) {
            chunk.resize(kChunk);
        }
        ExpectRoundTrip(old, chunk, "iteration " + std::to_string(iteration));
    }
}

// --- The reader: every field of the wire is checked before use.

TEST(DeltaParse, RefusesInconsistentBuffers) {
    std::mt19937 rng(6);
    std::string oldBytes = RandomBytes(8000, rng);
    OldVersion old = MakeOld(oldBytes);
    const std::string good = Encode(old, "Z" + oldBytes);  // literal (1 byte) then copy
    const size_t lit = 16, copy = 16 + 109;
    auto set = [](std::string d, size_t at, uint32_t v) {
        std::memcpy(&d[at], &v, 4);
        return d;
    };
    struct Case {
        const char* what;
        std::string bytes;
    };
    std::string unterminated = good;
    std::memset(&unterminated[copy + 24], 'n', 80);
    std::string emptyName = good;
    std::memset(&emptyName[copy + 24], 0, 80);
    const std::vector<Case> cases = {
        {"empty", ""},
        {"short header", good.substr(0, 15)},
        {"truncated record", set(good.substr(0, good.size() - 1), 0, uint32_t(good.size() - 1))},
        {"total length above the buffer", set(good, 0, uint32_t(good.size() + 1))},
        {"total length below the buffer", set(good, 0, uint32_t(good.size() - 1))},
        {"new length above a chunk", set(good, 4, 4194305)},
        {"new length not covered", set(good, 4, 8002)},
        {"record count too high", set(good, 8, 3)},
        {"record count too low", set(good, 8, 1)},
        {"huge record count", set(good, 8, 0xffffffff)},
        {"bad magic", set(good, lit, 0x12345678)},
        {"record length below the header", set(good, lit + 4, 107)},
        {"record length past the buffer", set(good, lit + 4, 0x7fffffff)},
        {"literal length above its record", set(good, lit + 16, 2)},
        {"literal length wraps", set(good, lit + 16, 0xffffff95)},
        {"unknown type", set(good, lit + 8, 2)},
        {"copy with data", set(good, copy + 8, 0)},
        {"target out of order", set(good, copy + 12, 0)},
        {"target leaves a gap", set(good, copy + 12, 2)},
        {"copy past the new length", set(good, copy + 16, 8001)},
        {"negative source offset", set(good, copy + 20, 0x80000000)},
        {"unterminated name", unterminated},
        {"empty name", emptyName},
    };
    for (const auto& c : cases) {
        delta::Parsed parsed;
        std::string error;
        EXPECT_FALSE(delta::Parse(Bytes(c.bytes), c.bytes.size(), &parsed, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
        std::string out = "stale";
        EXPECT_FALSE(delta::Apply(Bytes(c.bytes), c.bytes.size(), Loader(old), &out, &error)) << c.what;
        EXPECT_TRUE(out.empty()) << c.what;
    }
    delta::Parsed parsed;
    std::string error;
    EXPECT_TRUE(delta::Parse(Bytes(good), good.size(), &parsed, &error)) << error;
    EXPECT_EQ(parsed.newLength, 8001u);
}

TEST(DeltaApply, RefusesCopiesOutsideTheirSource) {
    std::mt19937 rng(7);
    std::string oldBytes = RandomBytes(8000, rng);
    OldVersion old = MakeOld(oldBytes);
    const std::string d = Encode(old, "Z" + oldBytes);
    std::string out, error;

    OldVersion shorter = old;
    shorter.sources["sk0"].pop_back();
    EXPECT_FALSE(delta::Apply(Bytes(d), d.size(), Loader(shorter), &out, &error));
    EXPECT_NE(error.find("outside"), std::string::npos) << error;

    OldVersion unknown = old;
    unknown.sources.clear();
    EXPECT_FALSE(delta::Apply(Bytes(d), d.size(), Loader(unknown), &out, &error));
    EXPECT_NE(error.find("unknown source"), std::string::npos) << error;

    std::string shifted = d;
    uint32_t one = 1;
    std::memcpy(&shifted[16 + 109 + 20], &one, 4);  // source offset 1: one byte past the end
    EXPECT_FALSE(delta::Apply(Bytes(shifted), shifted.size(), Loader(old), &out, &error));
    EXPECT_TRUE(out.empty());

    EXPECT_TRUE(delta::Apply(Bytes(d), d.size(), Loader(old), &out, &error)) << error;
    EXPECT_EQ(out, "Z" + oldBytes);
}

}  // namespace
