// Fuzz target: a Content-Type line and a body as a reply of the SOAP channel. The reply is read
// (MTOM or plain, SOAP 1.1 or 1.2), then each channel's head check and element checks run on it
// and every element's bytes are read as the transmitter reads a download.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/soapchannel.h"

#include "check.h"

using fuzzcheck::Check;

namespace {

void Walk(const CSoapReply& reply, const pugi::xml_node& node, int depth) {
    if (depth > 64)
        return;
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element)
            continue;
        std::string_view bytes;
        std::string storage, error;
        if (reply.ReadBinary(c, &bytes, &storage, &error))
            Check(bytes.data() != nullptr || bytes.empty());
        else
            Check(!error.empty());
        Walk(reply, c, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    size_t nl = all.substr(0, 512).find('\n');
    std::string type = nl == std::string_view::npos ? std::string() : std::string(all.substr(0, nl));
    std::string body(nl == std::string_view::npos ? all : all.substr(nl + 1));

    CSoapReply reply;
    std::string error;
    if (!reply.Parse(type, body, 200, &error)) {
        Check(!error.empty());
        Check(!reply.HasEnvelope());
        return 0;
    }
    for (const SoapChannelProfile* p : {&soapchannel::BackProfile(), &soapchannel::TransmitterProfile(),
                                        &soapchannel::HeartBeatProfile()}) {
        CSoapChannel channel(*p);
        std::string ack = "untouched";
        pugi::xml_node bodyNode;
        if (channel.ParseOmHead(reply.Payload(), &ack, &bodyNode)) {
            Check(ack != "untouched");
            Check(ack == "OK" ? channel.GetReason().empty() : true);
            channel.PareseOmElementValue(bodyNode, "download_chunk_rsp", nullptr, nullptr);
        }
    }
    Walk(reply, reply.Payload(), 0);
    return 0;
}
