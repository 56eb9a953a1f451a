// The three SOAP services of the reference service - back server ("mirn_service_bs"),
// transmitter ("mirn_service_trs") and heartbeat server ("mirn_service_hb"). One request in, one
// framed reply out: the body (plain SOAP or MTOM) is parsed, the request head is checked (user,
// password digest, passport, host id), the operation runs against the store and the reply carries
// the echoed sequence number, a result and a reason code or the operation's body element.
// Independent of the HTTP layer so tests and the fuzzer can drive it directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "chunkstore.h"
#include "faults.h"
#include "service/mtom.h"
#include "store.h"

namespace kserver {

enum class ServiceKind { Back, Transmitter, Heartbeat };

// Listings whose entry text is longer than this many bytes travel compressed; 0 compresses every
// listing, a negative value none.
constexpr int64_t kDefaultCompressThreshold = 16384;

struct SoapReply {
    int status = 200;
    std::string contentType;
    std::string body;                               // the whole body of a reply without attachment
    std::shared_ptr<const std::string> attachment;  // chunk bytes of an MTOM reply
    std::shared_ptr<mtom::Package> package;         // its pieces (envelope and attachment)
    bool drop = false;                              // close the connection instead of answering
    // For the request log.
    std::string op;
    std::string user;
    std::string result;
    int reason = 0;
};

class CSoapService {
  public:
    CSoapService(CServerStore& store, CChunkStore& chunks, CFaults& faults);

    void Handle(ServiceKind kind, std::string_view contentType, const char* body, size_t size,
                SoapReply* out);

    void SetCompressThreshold(int64_t bytes) { compressThreshold_ = bytes; }
    int64_t CompressThreshold() const { return compressThreshold_; }

  private:
    struct Context;
    struct Frame;

    // The steps of Handle; each returns a reason code unless said otherwise.
    int _ReadFrame(pugi::xml_node op, Context& ctx, Frame& frame);
    bool _TakeFault(Context& ctx, Frame& frame);  // true: drop the connection
    int _CheckAccount(Context& ctx, const Frame& frame);
    void _Answer(Context& ctx, Frame& frame, SoapReply* out);
    int _Dispatch(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _ObtainHostId(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _Login(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _Rename(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _Remove(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _DownloadAll(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _DownloadSpecific(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _FileList(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _UploadFile(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _ChunkUploaded(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _DownloadChunk(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _UploadChunk(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _RemoveChunk(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    int _Heartbeat(Context& ctx, pugi::xml_node req, pugi::xml_node rsp);
    bool _ApplyDelta(Context& ctx, std::string_view bytes, std::string* rebuilt);
    // Writes entries either as children of `rsp` or compressed as its text (compress = length).
    void _PutEntries(pugi::xml_node rsp, const pugi::xml_node& entries, bool wrapped);

    CServerStore& store_;
    CChunkStore& chunks_;
    CFaults& faults_;
    std::atomic<int64_t> compressThreshold_{kDefaultCompressThreshold};
};

}  // namespace kserver
