#include "store/fileinfo.h"

#include <algorithm>
#include <utility>

#include "core/log.h"

void CBlockTable::Clear() {
    std::vector<CBlockEntry>().swap(entries);
    totalLength = 0;
    count = 0;
    blockLength = 4096;
    remainder = 0;
    strongLength = 16;
}

CFileInfo::CFileInfo(std::string filePath) : path(std::move(filePath)) {}

CFileInfo::CFileInfo(std::string filePath, int32_t dir, int64_t fileSize)
    : path(std::move(filePath)), dirFlag(dir), size(fileSize) {}

CFileInfo::CFileInfo(const CFileInfo& other) {
    *this = other;
}

CFileInfo& CFileInfo::operator=(const CFileInfo& other) {
    if (this == &other) {
        return *this;
    }
    path = other.path;
    timeAdjusted = other.timeAdjusted;
    syncState = other.syncState;
    dirFlag = other.dirFlag;
    size = other.size;
    modifyTime = other.modifyTime;
    creationTime = other.creationTime;
    writeTime = other.writeTime;
    accessTime = other.accessTime;
    chunkCount = other.chunkCount;
    chunkListText = other.chunkListText;
    ownerName = other.ownerName;
    changeKind = other.changeKind;
    fileDevice = other.fileDevice;
    fileInode = other.fileInode;
    chunks = other.chunks;
    FreeChunkBuffers();
    blockTable.Clear();
    return *this;
}

void CFileInfo::Reset() {
    path.clear();
    chunkListText.clear();
    chunks.clear();
    FreeChunkBuffers();
    blockTable.Clear();
    dirFlag = 0;
    size = 0;
    modifyTime = 0;
    chunkCount = 0;
    syncState = 0;
    timeAdjusted = 0;
    fileDevice = 0;
    fileInode = 0;
}

void CFileInfo::ClearChunks() {
    chunkCount = 0;
    chunkListText.clear();
    chunks.clear();
}

bool CFileInfo::AddChunk(const std::string& key, int32_t chunkSize, const std::string& sums,
                         const std::string& hashes, int32_t blockCount) {
    if (key.empty()) {
        Log(kLogWarn, "CFileInfo::AddChunk", "Empty chunk key in %s", path.c_str());
        return false;
    }
    chunks.emplace_back(key, chunkSize, sums, hashes, blockCount);
    return true;
}

void CFileInfo::JoinChunkList() {
    chunkCount = 0;
    for (const CChunkInfo& c : chunks) {
        chunkListText += c.key;
        chunkListText += ',';
        ++chunkCount;
    }
    while (!chunkListText.empty() && chunkListText.back() == ',') {
        chunkListText.pop_back();
    }
}

bool CFileInfo::IsChunkKey(const std::string& key) {
    if (key.size() != kKeyLength) {
        return false;
    }
    return std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

bool CFileInfo::SplitChunkList() {
    chunks.clear();
    const std::string& text = chunkListText;
    size_t pos = 0;
    bool ok = true;
    while (pos < text.size()) {
        size_t comma = text.find(',', pos);
        size_t end = comma == std::string::npos ? text.size() : comma;
        std::string key = text.substr(pos, end - pos);
        if (!IsChunkKey(key)) {
            ok = false;
            break;
        }
        chunks.emplace_back(std::move(key));
        pos = comma == std::string::npos ? text.size() : comma + 1;
    }
    if (ok && chunkCount != 0 && static_cast<size_t>(chunkCount) != chunks.size()) {
        Log(kLogWarn, "CFileInfo::SplitChunkList", "Chunk count %d differs from %zu keys of %s", chunkCount,
            chunks.size(), path.c_str());
        chunks.clear();
        return false;
    }
    if (!ok) {
        Log(kLogWarn, "CFileInfo::SplitChunkList", "Malformed chunk list of %s", path.c_str());
        chunks.clear();
    }
    return ok;
}

int32_t CFileInfo::GetChunkCount() {
    if (chunkCount == 0 && !chunkListText.empty()) {
        size_t commas = std::count(chunkListText.begin(), chunkListText.end(), ',');
        size_t last = chunkListText.rfind(',');
        size_t tail = last == std::string::npos ? chunkListText.size() : chunkListText.size() - last - 1;
        chunkCount = static_cast<int32_t>(commas + (tail == kKeyLength ? 1 : 0));
    }
    return chunkCount;
}

std::unique_ptr<CChunkBuffer> CFileInfo::TakeChunkBuffer(const std::string& key) {
    auto it = chunkBuffers.find(key);
    if (it == chunkBuffers.end()) {
        return nullptr;
    }
    std::unique_ptr<CChunkBuffer> buffer = std::move(it->second);
    chunkBuffers.erase(it);
    return buffer;
}

void CFileInfo::FreeChunkBuffers() {
    chunkBuffers.clear();
}

namespace {

// t1 == -t2 without overflowing on the most negative value.
bool IsNegation(int64_t t1, int64_t t2) {
    return static_cast<uint64_t>(t1) + static_cast<uint64_t>(t2) == 0;
}

}  // namespace

bool CFileInfo::IsSameContent(const CFileInfo& other) const {
    if (dirFlag != 0) {
        return dirFlag == other.dirFlag;
    }
    return size == other.size && chunkListText == other.chunkListText;
}

bool CFileInfo::IsSameVersion(const CFileInfo& other) const {
    if (dirFlag != 0 || other.dirFlag != 0) {
        return dirFlag == other.dirFlag;
    }
    if (size != other.size) {
        return false;
    }
    if (modifyTime > 0 && other.modifyTime > 0) {
        return modifyTime == other.modifyTime;
    }
    return modifyTime == other.modifyTime || IsNegation(modifyTime, other.modifyTime);
}

bool CFileInfo::IsUnchanged(const CFileInfo& other) const {
    if (dirFlag != 0 || other.dirFlag != 0) {
        return dirFlag == other.dirFlag;
    }
    if (size != other.size) {
        return false;
    }
    if (modifyTime > 0 && other.modifyTime > 0 && modifyTime != other.modifyTime) {
        return IsSameContent(other);
    }
    return true;
}
