// CSoapService: the transmitter's chunk operations. Chunk bytes arrive and leave as MTOM
// attachments; a chunk is stored only after its bytes (or the chunk rebuilt from a delta against
// old chunks) hash to the MD5 it was announced with.
#include <map>
#include <system_error>
#include <thread>

#include "service.h"
#include "service_internal.h"
#include "store/delta.h"
#include "wire.h"

namespace kserver {

namespace {

using wireattr::Get;
using wireattr::YesNo;

bool ReadChunkName(const pugi::xml_node& req, std::string* md5, std::string* key) {
    return Get(req, "MD5", md5) && IsMd5Hex(*md5) && Get(req, "storage_key", key) &&
           CChunkStore::ValidStorageKey(*key);
}

pugi::xml_node Reply(pugi::xml_node rsp, const char* name, const std::string& md5, const std::string& key) {
    pugi::xml_node e = rsp.append_child(name);
    e.append_attribute("MD5") = md5.c_str();
    e.append_attribute("storage_key") = key.c_str();
    return e;
}

}  // namespace

int CSoapService::_DownloadChunk(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    std::string md5, key;
    if (!ReadChunkName(req, &md5, &key))
        return kFormatError;
    ChunkRecord rec;
    // Another account's chunk is answered exactly like a missing one.
    if (!store_.FindChunk(key, &rec) || rec.md5 != ascii::Lowered(md5) || !rec.stored ||
        !store_.CanReadChunk(ctx.user, key))
        return kKeyNotExist;
    auto bytes = std::make_shared<std::string>();
    if (!chunks_.Read(key, bytes.get()) || static_cast<int64_t>(bytes->size()) != rec.size)
        return kDatabaseError;
    if (ctx.corrupt && !bytes->empty())
        (*bytes)[bytes->size() / 2] ^= 0x5A;
    ctx.package = std::make_shared<mtom::Package>(ctx.version);
    ctx.attachment = bytes;
    std::string cid = ctx.package->AddAttachment(*bytes);
    mtom::AddXopInclude(Reply(rsp, "download_chunk_rsp", md5, key).append_child("content"), cid);
    return kOk;
}

int CSoapService::_UploadChunk(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    std::string md5, key, sizeText, deltaText;
    int64_t size = 0;
    bool isDelta = false;
    if (!ReadChunkName(req, &md5, &key) || !Get(req, "chunk_size", &sizeText) ||
        !ParseInt64(sizeText, &size) || (Get(req, "delta_flag", &deltaText) && !YesNo(deltaText, &isDelta)))
        return kFormatError;
    pugi::xml_node content = soap::ChildByLocalName(req, "content");
    std::string_view bytes;
    std::string storage, error;
    if (!content || !mtom::ReadBinary(content, *ctx.message, &bytes, &storage, &error))
        return kFormatError;
    if (size < 0 || static_cast<uint64_t>(size) != bytes.size())
        return kFormatError;
    if (!isDelta && size > kChunkSize)
        return kFormatError;

    ChunkRecord rec;
    if (!store_.FindChunk(key, &rec) || rec.md5 != ascii::Lowered(md5))
        return kKeyNotExist;
    Reply(rsp, "upload_chunk_rsp", md5, key);
    if (rec.stored)
        return kOk;  // delivered before (by this or another account): nothing to add

    std::string rebuilt;
    std::string_view data = bytes;
    if (isDelta) {
        if (!_ApplyDelta(ctx, bytes, &rebuilt))
            return kFormatError;
        data = rebuilt;
    }
    if (static_cast<int64_t>(data.size()) != rec.size)
        return kFormatError;
    // A large chunk goes to disk on a helper thread while its digest is checked here (each takes
    // milliseconds, and a client waits for both); a small one costs less than a thread's start.
    // Only matching bytes are put in place.
    constexpr size_t kStageOnThreadFrom = 256 * 1024;
    CStagedFile staged;
    bool stagedOk = false;
    std::thread writer;
    auto stage = [&] { stagedOk = chunks_.Stage(data, &staged, &error); };
    if (data.size() < kStageOnThreadFrom) {
        stage();
    } else {
        try {
            writer = std::thread(stage);
        } catch (const std::system_error&) {
            stage();  // no thread to spare: one after the other
        }
    }
    bool digestOk = Md5Hex(data.data(), data.size()) == rec.md5;
    if (writer.joinable())
        writer.join();
    if (!stagedOk)
        return kDatabaseError;
    if (!digestOk)
        return kFormatError;
    if (!chunks_.Commit(key, &staged, &error) || !store_.MarkChunkStored(key))
        return kDatabaseError;
    return kOk;
}

// Rebuilds a chunk from a delta. Old chunks named by the delta must be readable by this account.
bool CSoapService::_ApplyDelta(Context& ctx, std::string_view bytes, std::string* rebuilt) {
    constexpr size_t kMaxCachedSources = 8;
    std::map<std::string, std::string> cache;
    delta::SourceLoader load = [&](const std::string& source, std::string* out) {
        auto it = cache.find(source);
        if (it == cache.end()) {
            ChunkRecord src;
            std::string b;
            if (!CChunkStore::ValidStorageKey(source) || !store_.FindChunk(source, &src) || !src.stored ||
                !store_.CanReadChunk(ctx.user, source) || !chunks_.Read(source, &b))
                return false;
            // A delta may name many old chunks: keep a few, read the rest again when needed.
            if (cache.size() >= kMaxCachedSources) {
                *out = std::move(b);
                return true;
            }
            it = cache.emplace(source, std::move(b)).first;
        }
        *out = it->second;
        return true;
    };
    std::string error;
    return delta::Apply(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), load, rebuilt, &error);
}

int CSoapService::_RemoveChunk(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    std::string md5, key;
    if (!ReadChunkName(req, &md5, &key))
        return kFormatError;
    bool deleteFile = false;
    int r = store_.RemoveChunk(ctx.user, md5, key, &deleteFile);
    if (r != kOk)
        return r;
    if (deleteFile)
        chunks_.Remove(key);
    Reply(rsp, "remove_chunk_rsp", md5, key);
    return kOk;
}

}  // namespace kserver
