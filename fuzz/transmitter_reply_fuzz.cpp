// Fuzz target: a Content-Type line and a body as a transmitter reply. The reply is read, its head
// checked with the transmitter's sequence rule, and the body handed to the three reply parsers.
// A download the parser accepts must stay within the bound it was given.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/transmitter.h"

#include "check.h"

using fuzzcheck::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    size_t nl = all.substr(0, 512).find('\n');
    std::string type = nl == std::string_view::npos ? std::string() : std::string(all.substr(0, nl));
    std::string body(nl == std::string_view::npos ? all : all.substr(nl + 1));
    CSoapReply reply;
    std::string error;
    if (!reply.Parse(type, body, 200, &error))
        return 0;
    static CTransmitter trs;                     // never initialised: only its checks and parsers run
    trs.Channel().NewRequest("download_chunk");  // the sequence the head must echo: 1, 2, ...
    std::string ack;
    pugi::xml_node node;
    if (!trs.ParseOmHead(reply.Payload(), &ack, &node))
        node = reply.Payload();  // the parsers also meet nodes no head check passed
    // A small bound, so the fuzzer reaches the refusals as well as the accepted attachments.
    constexpr size_t kBound = 4096;
    CChunkInfo received;
    std::string_view bytes;
    std::string storage;
    if (trs.ParseOmDownloadChunk(reply, node, kBound, &received, &bytes, &storage))
        Check(bytes.size() <= kBound);
    trs.ParseOmUploadChunk(node, &received);
    trs.ParseOmRemoveChunk(node, &received);
    return 0;
}
