// CFileCache: cutting a file into 4 MiB chunks with their keys and block signatures, and the
// chunk cache folder (one file per chunk, named by its key).
#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/filemode.h"
#include "store/filecache.h"
#include "util/ascii.h"
#include "util/md5.h"
#include "util/util.h"

namespace {

constexpr size_t kChunkSize = CChunkBuffer::kChunkSize;

// A buffer of one chunk's capacity, or null when memory runs out.
std::unique_ptr<CChunkBuffer> NewChunkBuffer() {
    std::unique_ptr<CChunkBuffer> buffer(new (std::nothrow) CChunkBuffer(kChunkSize));
    if (buffer && buffer->GetData() == nullptr)
        buffer.reset();
    return buffer;
}

// Below this a thread costs more than it saves (a small file is a chunk of its own).
constexpr size_t kThreadedDigest = 256 * 1024;

// The chunk's digest, taken on a helper thread while the caller's thread takes the block
// signatures: every byte is digested twice, and two cores halve the wait.
class ChunkDigest {
  public:
    ChunkDigest(const uint8_t* data, size_t len) : data_(data), len_(len) {
        if (len < kThreadedDigest) {
            md5_.Update(data_, len_);
            return;
        }
        try {
            helper_ = std::thread([this] { md5_.Update(data_, len_); });
        } catch (const std::system_error&) {
            md5_.Update(data_, len_);  // no thread to spare: one after the other
        }
    }
    ChunkDigest(const ChunkDigest&) = delete;
    ChunkDigest& operator=(const ChunkDigest&) = delete;
    ~ChunkDigest() { Join(); }
    void Final(uint8_t* digest) {
        Join();
        md5_.Final(digest);
    }

  private:
    void Join() {
        if (helper_.joinable())
            helper_.join();
    }
    const uint8_t* data_;
    size_t len_;
    CMd5 md5_;
    std::thread helper_;
};

// The chunk's key (as CUtil::GetMd5String gives it) and its block signatures. Without memory for
// the signature texts the chunk has none (empty texts, no blocks), never a part of them.
void DigestChunk(const uint8_t* data, size_t len, std::string* key, std::string* sums, std::string* hashes,
                 int32_t* blocks) {
    ChunkDigest chunkDigest(data, len);
    sums->clear();
    hashes->clear();
    *blocks = 0;
    int32_t count = 0;
    CUtil::GetBlockSignatures(data, len, sums, hashes, &count);
    if (count > 0) {
        *blocks = count;
    } else {
        std::string().swap(*sums);
        std::string().swap(*hashes);
    }
    uint8_t digest[CMd5::kDigestSize];
    chunkDigest.Final(digest);
    key->clear();
    CUtil::Md5ToHex(digest, key);
    if (!CUtil::DigestUpperCase())
        *key = ascii::Lowered(*key);
}

}  // namespace

bool CFileCache::LoadChunk(CFileInfo* info) {
    if (info == nullptr)
        return false;
    if (info->dirFlag != 0) {
        Log(kLogWarn, "CFileCache::LoadChunk", "Can't load chunk from %s", info->path.c_str());
        return true;
    }
    if (!info->chunkBuffers.empty())
        return true;  // chunked already, contents in memory
    return LoadChunk(info->path, info);
}

bool CFileCache::LoadChunk(const std::string& path, CFileInfo* info) {
    if (info == nullptr)
        return false;
    std::string abs;
    if (!_LocalPath(path, &abs, "CFileCache::LoadChunk"))
        return false;
    // Only a regular file is read: a fifo put in its place would block the worker.
    platform::File file;
    if (!platform::IsRegularFile(abs) || !file.Open(abs, platform::File::Mode::Read, true)) {
        Log(kLogError, "CFileCache::LoadChunk", "Fail to open a localfile {%s}", abs.c_str());
        return false;
    }
    info->FreeChunkBuffers();
    info->ClearChunks();
    if (!_ReadChunks(&file, abs, info)) {
        // Nothing half-cut stays in the record: a later call must not take it as chunked.
        info->FreeChunkBuffers();
        info->ClearChunks();
        return false;
    }
    return true;
}

bool CFileCache::_ReadChunks(platform::File* file, const std::string& path, CFileInfo* info) {
    std::unique_ptr<CChunkBuffer> buffer = NewChunkBuffer();
    if (!buffer) {
        Log(kLogError, "CFileCache::LoadChunk", "Faile to new a Chunk buffer");
        return false;
    }
    const bool inMemory = info->size < kMemoryChunkLimit;
    int64_t total = 0;
    size_t held = 0;
    bool atEnd = false;

    // Keys and signatures of the buffer's `held` bytes; the chunk goes into the record or the
    // cache. For the cache the one buffer is reused, so a large file holds a single chunk.
    auto takeChunk = [&](bool last) -> bool {
        std::string key, sums, hashes;
        int32_t blocks = 0;
        buffer->SetSize(held);
        DigestChunk(buffer->GetData(), held, &key, &sums, &hashes, &blocks);
        if (!inMemory && !CacheChunk(key, buffer.get()))
            return false;
        info->chunkCount += 1;
        info->chunkListText.append(key);
        if (!last)
            info->chunkListText.push_back(',');
        info->AddChunk(key, static_cast<int32_t>(held), sums, hashes, blocks);
        if (inMemory) {
            info->chunkBuffers.emplace(key, std::move(buffer));
            if (!last) {
                buffer = NewChunkBuffer();
                if (!buffer) {
                    Log(kLogError, "CFileCache::LoadChunk", "Fail to new a Chunk buffer");
                    return false;
                }
            }
        }
        held = 0;
        return true;
    };

    while (!atEnd) {
        while (held < kChunkSize) {
            const int64_t n = file->Read(buffer->GetData() + held, kChunkSize - held);
            if (n < 0) {
                Log(kLogError, "CFileCache::LoadChunk", "Fail to read a localfile {%s}: %s", path.c_str(),
                    platform::ErrorText(platform::LastError()).c_str());
                return false;
            }
            if (n == 0) {
                atEnd = true;
                break;
            }
            held += static_cast<size_t>(n);
            total += n;
            // A file that grew since the scan fails now, before it fills memory or the cache.
            if (total > info->size) {
                Log(kLogError, "CFileCache::LoadChunk", "Mismatched filesize %lld with %lld of file: %s",
                    static_cast<long long>(total), static_cast<long long>(info->size), path.c_str());
                return false;
            }
        }
        if (held == kChunkSize && !takeChunk(false))
            return false;
    }
    if (total != info->size) {
        Log(kLogError, "CFileCache::LoadChunk", "Mismatched filesize %lld with %lld of file: %s",
            static_cast<long long>(total), static_cast<long long>(info->size), path.c_str());
        return false;
    }
    if (held > 0 && !takeChunk(true))
        return false;
    return true;
}

bool CFileCache::_CachePath(const std::string& key, std::string* path, const char* tag) const {
    // Keys come from the service too: only a well-formed key may name a file in the cache.
    if (!CFileInfo::IsChunkKey(key) || cache_.empty()) {
        Log(kLogError, tag, "Invalid chunk key or cache folder: {%s} in \"%s\"", key.c_str(), cache_.c_str());
        return false;
    }
    *path = cache_ + "/" + key;
    return true;
}

bool CFileCache::CacheChunk(const std::string& key, const CChunkBuffer* buffer) {
    std::string path;
    if (buffer == nullptr || !_CachePath(key, &path, "CFileCache::CacheChunk"))
        return false;
    // Written beside its final name and renamed: a crash leaves no short chunk under a key.
    const std::string temp = path + kPartSuffix;
    platform::File file;
    // Made new, never written through a name planted there; private, as a piece of the user's
    // file, like the folder it sits in.
    platform::RemoveFile(temp);
    if (!file.Open(temp, platform::File::Mode::CreateNewPrivate, true)) {
        Log(kLogError, "CFileCache::CacheChunk", "Fail to open a file {%s}", path.c_str());
        return false;
    }
    bool ok = file.WriteAll(buffer->GetData(), buffer->GetSize());
    file.Close();
    ok = ok && platform::ReplaceFile(temp, path);
    if (!ok) {
        Log(kLogError, "CFileCache::CacheChunk", "Fail to write a file {%s}: %s", path.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
        platform::RemoveFile(temp);
        return false;
    }
    return true;
}

bool CFileCache::GetChunkCache(const CChunkInfo& chunk, CChunkBuffer* buffer) {
    if (chunk.key.empty()) {
        Log(kLogError, "CFileCache::GetChunkCache", "Fail to process chunk: %s(%d)", chunk.key.c_str(),
            chunk.size);
        return false;
    }
    std::string path;
    if (buffer == nullptr || !_CachePath(chunk.key, &path, "CFileCache::GetChunkCache"))
        return false;
    if (!buffer->Reallocate(kChunkSize)) {
        Log(kLogError, "CFileCache::GetChunkCache", "Fail to new a Chunk buffer");
        return false;
    }
    platform::File file;
    if (!platform::IsRegularFile(path) || !file.Open(path, platform::File::Mode::Read, true)) {
        Log(kLogError, "CFileCache::GetChunkCache", "Fail to open a chunk localfile {%s}", path.c_str());
        return false;
    }
    size_t got = 0;
    while (got < kChunkSize) {
        const int64_t n = file.Read(buffer->GetData() + got, kChunkSize - got);
        if (n < 0) {
            got = 0;
            break;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got < 1) {
        Log(kLogError, "CFileCache::GetChunkCache", "Fail to read a localfile {%s}", path.c_str());
        return false;
    }
    // A file longer than any chunk counts with its whole length, so it never passes as one.
    int64_t length = static_cast<int64_t>(got);
    if (got == kChunkSize) {
        char probe;
        if (file.Read(&probe, 1) != 0)
            length = file.Size();
    }
    if (length != chunk.size) {
        Log(kLogError, "CFileCache::GetChunkCache", "Mismated chunk size: %s(%lld, %d)", chunk.key.c_str(),
            static_cast<long long>(length), chunk.size);
        return false;
    }
    buffer->SetSize(got);
    return true;
}

bool CFileCache::FindCachedChunk(const std::string& key, CChunkInfo* out) {
    if (cache_.empty() || !CFileInfo::IsChunkKey(key))
        return false;
    platform::FileStat st;
    if (!platform::Stat(cache_ + "/" + key, &st) || st.kind != platform::EntryKind::File)
        return false;
    if (out != nullptr) {
        out->key = key;
        out->size = st.size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(st.size);
    }
    return true;
}
