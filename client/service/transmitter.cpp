// CTransmitter: the channel it owns and the three chunk operations with their reply parsers.
#include "service/transmitter.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "core/log.h"
#include "util/ascii.h"
#include "util/md5.h"
#include "util/util.h"

namespace {

bool IsElement(const pugi::xml_node& node, const char* name) {
    return node && node.type() == pugi::node_element && soap::LocalName(node.name()) == name;
}

// The most bytes a Base64 text can decode to, counting only its Base64 characters, so an inline
// attachment is bounded before its decoded copy is allocated.
size_t Base64DecodedBound(std::string_view text) {
    size_t significant = 0;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c)))
            ++significant;
    }
    return (significant + 3) / 4 * 3;
}

}  // namespace

CTransmitter::CTransmitter() : channel_(soapchannel::TransmitterProfile()) {}

CTransmitter::~CTransmitter() = default;

void CTransmitter::SetProxy(const std::string& kind, const std::string& address, const std::string& user,
                            const std::string& password) {
    channel_.SetProxy(kind, address, user, password);
}

bool CTransmitter::Init(const std::string& endpoint, const std::string& user, const std::string& password,
                        const std::string& hostId, const std::string& installFolder) {
    return channel_.Init(endpoint, user, password, hostId, installFolder);
}

bool CTransmitter::InitAxis2c() {
    return channel_.InitAxis2c();
}

void CTransmitter::Reset() {
    channel_.Reset();
}

const std::string& CTransmitter::GetReason() const {
    return channel_.GetReason();
}

bool CTransmitter::ParseOmHead(const pugi::xml_node& node, std::string* ack, pugi::xml_node* body) {
    return channel_.ParseOmHead(node, ack, body);
}

bool CTransmitter::PareseOmElementValue(const pugi::xml_node& node, const char* name, std::string* text,
                                        pugi::xml_node* element) {
    return channel_.PareseOmElementValue(node, name, text, element);
}

bool CTransmitter::_Call(CSoapRequest& request, const char* tag, const char* timeoutMessage, std::string* ack,
                         CSoapReply* reply, pugi::xml_node* body) {
    std::string local;
    std::string* result = ack ? ack : &local;
    switch (channel_.Call(request, tag, timeoutMessage, result, reply, body)) {
        case CSoapChannel::Result::kOk:
            return true;
        case CSoapChannel::Result::kRefused:
            channel_.LogRefusal(tag, *result);
            return false;
        case CSoapChannel::Result::kFailed:
            break;
    }
    return false;
}

bool CTransmitter::_ReadChunkName(const pugi::xml_node& body, const char* name, const char* tag,
                                  CChunkInfo* received) {
    if (!body) {
        Log(kLogError, tag, "Fail to get a body node");
        return false;
    }
    if (!channel_.PareseOmElementValue(body, name, nullptr, nullptr)) {
        Log(kLogError, tag, "Fail to get a element");
        return false;
    }
    pugi::xml_attribute md5 = body.attribute("MD5");
    pugi::xml_attribute storageKey = body.attribute("storage_key");
    if (!md5 || !storageKey) {
        Log(kLogError, tag, "Fail to get a attribute");
        return false;
    }
    received->key = md5.value();
    received->storageKey = storageKey.value();
    return true;
}

// ---- Download

bool CTransmitter::DownloadChunk(const CChunkInfo& chunk, std::string* ack, CChunkBuffer* buffer) {
    const char* tag = "CTransmitter::DownloadChunk";
    if (chunk.key.empty() || chunk.storageKey.empty() || chunk.size == 0) {
        Log(kLogError, tag,
            "Fail to download for Missing chunk info: ChunkID {%s}, StorageKey {%s}, ChunkSize {%d}",
            chunk.key.c_str(), chunk.storageKey.c_str(), chunk.size);
        return false;
    }
    // A record no chunk can match would only fail after moving the bytes.
    if (chunk.size < 0 || static_cast<size_t>(chunk.size) > kMaxDownloadBytes) {
        Log(kLogError, tag, "Fail to download for Invalid chunk info: ChunkID {%s}, ChunkSize {%d}",
            chunk.key.c_str(), chunk.size);
        return false;
    }
    if (buffer == nullptr) {
        Log(kLogError, tag, "Fail to download chunk %s: no buffer to fill", chunk.key.c_str());
        return false;
    }
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("download_chunk");
    request->Body().append_attribute("MD5") = chunk.key.c_str();
    request->Body().append_attribute("storage_key") = chunk.storageKey.c_str();
    CSoapReply reply;
    pugi::xml_node body;
    if (!_Call(*request, tag, "download chunk time out!", ack, &reply, &body))
        return false;

    // The parser's messages are logged; the comparison below decides.
    CChunkInfo received;
    std::string_view bytes;
    std::string storage;
    ParseOmDownloadChunk(reply, body, kMaxDownloadBytes, &received, &bytes, &storage);
    if (received.key != chunk.key || received.storageKey != chunk.storageKey ||
        bytes.size() != static_cast<size_t>(chunk.size)) {
        Log(kLogError, tag, "Mismatched chunk download, (chunksize: %d, %d)", chunk.size,
            static_cast<int>(bytes.size()));
        return false;
    }
    // The reply names the right chunk; its bytes must be that chunk too, or the cache and the
    // files built from it would hold something else under this key. One pass copies a slice into
    // a fresh block and hashes it while it is still in cache; the caller's buffer gets the block
    // only when the digest matches.
    CChunkBuffer fresh;
    if (!fresh.Reallocate(bytes.size())) {
        Log(kLogError, tag, "Fail to allocate %d bytes for chunk %s", chunk.size, chunk.key.c_str());
        return false;
    }
    constexpr size_t kSlice = 64 * 1024;
    CMd5 md5;
    for (size_t at = 0; at < bytes.size(); at += kSlice) {
        size_t n = std::min(kSlice, bytes.size() - at);
        std::memcpy(fresh.GetData() + at, bytes.data() + at, n);
        md5.Update(fresh.GetData() + at, n);
    }
    uint8_t digest[CMd5::kDigestSize];
    md5.Final(digest);
    std::string hex;
    CUtil::Md5ToHex(digest, &hex);
    if (!ascii::EqualNoCase(hex, chunk.key)) {
        Log(kLogError, tag, "Mismatched chunk digest %s with %s", hex.c_str(), chunk.key.c_str());
        return false;
    }
    fresh.SetSize(bytes.size());
    *buffer = std::move(fresh);
    return true;
}

bool CTransmitter::ParseOmDownloadChunk(const CSoapReply& reply, const pugi::xml_node& body, size_t maxBytes,
                                        CChunkInfo* received, std::string_view* bytes, std::string* storage) {
    const char* tag = "CTransmitter::ParseOmDownloadChunk";
    if (!_ReadChunkName(body, "download_chunk_rsp", tag, received))
        return false;
    pugi::xml_node content = body.first_child();
    if (!content) {
        Log(kLogError, tag, "Fail to get a node");
        return false;
    }
    if (!IsElement(content, "content")) {
        Log(kLogError, tag, "Fail to get a element");
        return false;
    }
    // The bytes: an XOP include naming a MIME part of the reply, or Base64 text inline.
    pugi::xml_node data = content.first_child();
    bool include = IsElement(data, "Include");
    bool text = data && (data.type() == pugi::node_pcdata || data.type() == pugi::node_cdata);
    if (!include && !text) {
        Log(kLogError, tag, "Fail to get a node");
        return false;
    }
    if (text && Base64DecodedBound(data.value()) > maxBytes + 2) {
        Log(kLogError, tag, "Fail to take inline content of %zu characters: more than %zu bytes",
            std::strlen(data.value()), maxBytes);
        return false;
    }
    std::string_view view;
    std::string error;
    if (!reply.ReadBinary(content, &view, storage, &error)) {
        Log(kLogInfo, tag, "Unreadable content: %s", error.c_str());
        Log(kLogError, tag, "Fail to get a node");
        return false;
    }
    if (view.size() > maxBytes) {
        Log(kLogError, tag, "Fail to take an attachment of %zu bytes: more than %zu", view.size(), maxBytes);
        return false;
    }
    *bytes = view;
    return true;
}

// ---- Upload and removal

bool CTransmitter::UploadChunk(const CChunkInfo& chunk, const CChunkBuffer& buffer, std::string* ack,
                               bool delta) {
    const char* tag = "CTransmitter::UploadChunk";
    size_t size = buffer.GetSize();
    if (chunk.key.empty() || chunk.storageKey.empty()) {
        Log(kLogError, tag, "Fail to upload for Missing chunk info: ChunkID {%s}, StorageKey {%s}",
            chunk.key.c_str(), chunk.storageKey.c_str());
        return false;
    }
    // A whole chunk is at most 4 MiB, a delta of one a little more; nothing else is sent.
    size_t bound = delta ? kMaxUploadBytes : static_cast<size_t>(CChunkBuffer::kChunkSize);
    if (size == 0 || buffer.GetData() == nullptr || size > bound) {
        Log(kLogError, tag, "Fail to upload %s of %zu bytes for chunk %s: allowed 1 to %zu",
            delta ? "a delta" : "a chunk", size, chunk.key.c_str(), bound);
        return false;
    }
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("upload_chunk");
    pugi::xml_node b = request->Body();
    b.append_attribute("MD5") = chunk.key.c_str();
    b.append_attribute("storage_key") = chunk.storageKey.c_str();
    b.append_attribute("chunk_size") = std::to_string(static_cast<int>(size)).c_str();
    b.append_attribute("delta_flag") = delta ? "yes" : "no";
    // Borrowed for the call: the bytes go out straight from the caller's buffer.
    request->Attach(b.append_child("content"),
                    std::string_view(reinterpret_cast<const char*>(buffer.GetData()), size));
    CSoapReply reply;
    pugi::xml_node body;
    if (!_Call(*request, tag, "upload chunk time out!", ack, &reply, &body))
        return false;
    CChunkInfo received;
    ParseOmUploadChunk(body, &received);
    if (received.key != chunk.key || received.storageKey != chunk.storageKey) {
        Log(kLogError, tag, "Mismatched chunk uploaded");
        return false;
    }
    return true;
}

bool CTransmitter::ParseOmUploadChunk(const pugi::xml_node& body, CChunkInfo* received) {
    return _ReadChunkName(body, "upload_chunk_rsp", "CTransmitter::ParseOmUploadChunk", received);
}

bool CTransmitter::RemoveChunk(const CChunkInfo& chunk, std::string* ack) {
    const char* tag = "CTransmitter::RemoveChunk";
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("remove_chunk");
    request->Body().append_attribute("MD5") = chunk.key.c_str();
    request->Body().append_attribute("storage_key") = chunk.storageKey.c_str();
    CSoapReply reply;
    pugi::xml_node body;
    if (!_Call(*request, tag, "remove chunk time out!", ack, &reply, &body))
        return false;
    CChunkInfo received;
    ParseOmRemoveChunk(body, &received);
    if (received.key != chunk.key || received.storageKey != chunk.storageKey) {
        Log(kLogError, tag, "Mismatched chunk uploaded");
        return false;
    }
    return true;
}

bool CTransmitter::ParseOmRemoveChunk(const pugi::xml_node& body, CChunkInfo* received) {
    return _ReadChunkName(body, "remove_chunk_rsp", "CTransmitter::ParseOmRemoveChunk", received);
}
