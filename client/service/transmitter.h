// CTransmitter: the client of the chunk store ("mirn_service_trs"). It downloads a chunk, uploads
// one (whole, or as a delta against the previous version's chunks) and removes one; the chunk
// bytes travel as MTOM attachments. Which chunks move is decided by the caller (the download and
// upload paths). The worker thread is its only user. CTransmitter owns its channel; the caller's
// buffers stay the caller's: an upload only borrows the bytes for the call, and a download writes
// the caller's buffer only once a chunk of the asked identity and size has arrived.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "service/soapchannel.h"
#include "store/chunkbuffer.h"

class CTransmitter {
  public:
    // The largest body an upload may carry: a whole 4 MiB chunk, or a delta rebuilding one, whose
    // record headers add at most about 110 KiB to the literal bytes.
    static constexpr size_t kMaxUploadBytes = CChunkBuffer::kChunkSize + 128 * 1024;
    // A downloaded chunk is never a delta: its attachment is at most one chunk.
    static constexpr size_t kMaxDownloadBytes = CChunkBuffer::kChunkSize;

    CTransmitter();
    ~CTransmitter();
    CTransmitter(const CTransmitter&) = delete;
    CTransmitter& operator=(const CTransmitter&) = delete;

    // --- The channel.
    void SetProxy(const std::string& kind, const std::string& address, const std::string& user,
                  const std::string& password);
    bool Init(const std::string& endpoint, const std::string& user, const std::string& password,
              const std::string& hostId, const std::string& installFolder);
    bool InitAxis2c();
    void Reset();
    const std::string& GetReason() const;
    bool ParseOmHead(const pugi::xml_node& node, std::string* ack, pugi::xml_node* body);
    bool PareseOmElementValue(const pugi::xml_node& node, const char* name, std::string* text,
                              pugi::xml_node* element);
    CSoapChannel& Channel() { return channel_; }

    // --- Operations. `ack` receives the reply head's result once a head was read (untouched on a
    // time-out or an unusable reply).
    // True when the chunk `chunk` names (key, storage key, size) arrived: its bytes hash to the key
    // and number chunk.size. Only then is *buffer replaced by them.
    bool DownloadChunk(const CChunkInfo& chunk, std::string* ack, CChunkBuffer* buffer);
    // Sends the buffer's bytes (a chunk, or with `delta` a delta of it) under the chunk's key and
    // storage key. True when the service confirmed that key and storage key.
    bool UploadChunk(const CChunkInfo& chunk, const CChunkBuffer& buffer, std::string* ack, bool delta);
    // True when the service confirmed the removal of that key and storage key.
    bool RemoveChunk(const CChunkInfo& chunk, std::string* ack);

    // --- Reply body parsers: `body` is the element after the reply's response_head. Public so
    // tests and the fuzzer can feed them any tree. *received gets the reply's key and storage key.
    // The download parser bounds the attachment by `maxBytes` before anything is allocated; *bytes
    // then views the attachment inside `reply` or inside *storage (inline Base64 decoded).
    bool ParseOmDownloadChunk(const CSoapReply& reply, const pugi::xml_node& body, size_t maxBytes,
                              CChunkInfo* received, std::string_view* bytes, std::string* storage);
    bool ParseOmUploadChunk(const pugi::xml_node& body, CChunkInfo* received);
    bool ParseOmRemoveChunk(const pugi::xml_node& body, CChunkInfo* received);

  private:
    // One call: true when the head said "OK" (*body is then the element after the head).
    bool _Call(CSoapRequest& request, const char* tag, const char* timeoutMessage, std::string* ack,
               CSoapReply* reply, pugi::xml_node* body);
    // The element check and the two attributes every reply body carries.
    bool _ReadChunkName(const pugi::xml_node& body, const char* name, const char* tag, CChunkInfo* received);

    CSoapChannel channel_;
};
