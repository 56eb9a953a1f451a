// kestrine-tool delta OLD NEW OUT: the delta of NEW's first chunk against OLD's blocks, as the
// upload sends it; each old chunk's storage key is its chunk key.
// kestrine-tool patch OLD DELTA OUT: rebuilds the chunk from OLD's chunks and the delta.
// OUT is written beside itself first and renamed into place, so a failure leaves no partial file.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <system_error>

#include <filesystem>

#include "store/chunkbuffer.h"
#include "store/delta.h"
#include "store/fileinfo.h"
#include "tool.h"
#include "util/util.h"

namespace {

constexpr size_t kChunk = CChunkBuffer::kChunkSize;

int Fail(const char* command, const std::string& message) {
    std::fprintf(stderr, "kestrine-tool %s: %s\n", command, message.c_str());
    return 1;
}

// Reads up to `limit` bytes from `offset`; false when the file cannot be read.
bool ReadPart(const std::string& path, uint64_t offset, size_t limit, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    in.seekg(static_cast<std::streamoff>(offset));
    out->assign(limit, '\0');
    in.read(out->data(), static_cast<std::streamsize>(limit));
    if (in.bad()) {
        return false;
    }
    out->resize(static_cast<size_t>(in.gcount()));
    return true;
}

bool WriteAtomically(const std::string& path, const std::string& bytes, std::string* error) {
    std::string part = path + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            out.close();
            std::remove(part.c_str());
            *error = "cannot write \"" + path + "\"";
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(part, path, ec);
    if (ec) {
        std::remove(part.c_str());
        *error = "cannot write \"" + path + "\": " + ec.message();
        return false;
    }
    return true;
}

// OLD cut into chunks with their signatures, read one chunk at a time. The storage key of each
// chunk is its key; `offsets` tells where each key's bytes start in the file.
bool DescribeOld(const std::string& path, CFileInfo* info, std::map<std::string, uint64_t>* offsets,
                 std::string* error) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        *error = "\"" + path + "\" is not a readable file";
        return false;
    }
    uint64_t offset = 0;
    std::string chunk;
    for (;;) {
        if (!ReadPart(path, offset, kChunk, &chunk)) {
            *error = "cannot read \"" + path + "\"";
            return false;
        }
        if (chunk.empty()) {
            break;
        }
        std::string key, sums, hashes;
        int32_t blocks = 0;
        CUtil::GetMd5String(chunk.data(), chunk.size(), &key);
        CUtil::GetBlockSignatures(chunk.data(), chunk.size(), &sums, &hashes, &blocks);
        info->AddChunk(key, static_cast<int32_t>(chunk.size()), sums, hashes, blocks);
        info->chunks.back().storageKey = key;
        offsets->emplace(key, offset);
        offset += chunk.size();
        if (chunk.size() < kChunk) {
            break;
        }
    }
    info->size = static_cast<int64_t>(offset);
    return true;
}

int RunDelta(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: kestrine-tool delta OLD NEW OUT\n");
        return 2;
    }
    std::string error;
    CFileInfo old(argv[1]);
    std::map<std::string, uint64_t> offsets;
    if (!DescribeOld(argv[1], &old, &offsets, &error)) {
        return Fail("delta", error);
    }
    std::error_code ec;
    std::string chunk;
    if (!std::filesystem::is_regular_file(argv[2], ec) || !ReadPart(argv[2], 0, kChunk, &chunk)) {
        return Fail("delta", std::string("\"") + argv[2] + "\" is not a readable file");
    }
    if (!old.BuildBlockTable()) {
        return Fail("delta", "cannot build the block table of \"" + std::string(argv[1]) + "\"");
    }
    CChunkBuffer in(chunk.size());
    if (in.GetData() == nullptr) {
        return Fail("delta", "out of memory");
    }
    std::copy(chunk.begin(), chunk.end(), in.GetData());
    in.SetSize(chunk.size());
    CChunkBuffer out;
    if (!old.DeltaEncode(in, &out)) {
        return Fail("delta", "cannot encode the delta");
    }
    std::string bytes(reinterpret_cast<const char*>(out.GetData()), out.GetSize());
    if (!WriteAtomically(argv[3], bytes, &error)) {
        return Fail("delta", error);
    }
    return 0;
}

int RunPatch(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: kestrine-tool patch OLD DELTA OUT\n");
        return 2;
    }
    std::string error;
    CFileInfo old(argv[1]);
    std::map<std::string, uint64_t> offsets;
    if (!DescribeOld(argv[1], &old, &offsets, &error)) {
        return Fail("patch", error);
    }
    std::string deltaBytes;
    // A delta of one chunk is never larger than the chunk plus a record header per 4096 bytes
    // and a few more; anything beyond that is refused unread.
    constexpr uint64_t kMaxDelta = 2 * (kChunk + delta::kHeaderSize) + 1024 * delta::kRecordHeaderSize * 2;
    std::error_code ec;
    bool regular = std::filesystem::is_regular_file(argv[2], ec);
    uint64_t size = regular ? std::filesystem::file_size(argv[2], ec) : 0;
    if (!regular || ec) {
        return Fail("patch", std::string("\"") + argv[2] + "\" is not a readable file");
    }
    if (size > kMaxDelta) {
        return Fail("patch", "\"" + std::string(argv[2]) + "\" is too large for the delta of one chunk");
    }
    if (!ReadPart(argv[2], 0, static_cast<size_t>(size), &deltaBytes)) {
        return Fail("patch", std::string("cannot read \"") + argv[2] + "\"");
    }
    const std::string oldPath = argv[1];
    auto load = [&](const std::string& name, std::string* bytes) {
        auto it = offsets.find(name);
        return it != offsets.end() && ReadPart(oldPath, it->second, kChunk, bytes);
    };
    std::string rebuilt;
    if (!delta::Apply(reinterpret_cast<const uint8_t*>(deltaBytes.data()), deltaBytes.size(), load, &rebuilt,
                      &error)) {
        return Fail("patch", "invalid delta: " + error);
    }
    if (!WriteAtomically(argv[3], rebuilt, &error)) {
        return Fail("patch", error);
    }
    return 0;
}

}  // namespace

KESTRINE_TOOL_COMMAND(delta, "delta OLD NEW OUT", RunDelta);
KESTRINE_TOOL_COMMAND(patch, "patch OLD DELTA OUT", RunPatch);
