// Bodies of the fuzz targets for the SOAP/MTOM codecs and the reference service's request
// handling, shared by the libFuzzer programs (fuzz/*_fuzz.cpp) and by the gtest that replays the
// seed corpus with truncations and byte flips. Each aborts when an invariant breaks.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/mtom.h"
#include "service/soapcodec.h"

namespace fuzztarget {

inline void Check(bool ok) {
    if (!ok)
        std::abort();
}

// Splits an input into a header line (a Content-Type, at most 512 bytes) and a body.
inline void SplitHeader(const uint8_t* data, size_t size, std::string* header, std::string_view* body) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    size_t nl = all.substr(0, 512).find('\n');
    if (nl == std::string_view::npos) {
        header->clear();
        *body = all;
    } else {
        header->assign(all.substr(0, nl));
        *body = all.substr(nl + 1);
    }
}

inline bool Within(std::string_view inner, std::string_view outer) {
    return inner.empty() ||
           (inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size());
}

// Any bytes as a SOAP envelope.
inline int SoapEnvelope(const uint8_t* data, size_t size) {
    soap::Envelope env;
    std::string error;
    if (!env.Parse(reinterpret_cast<const char*>(data), size, &error)) {
        Check(!error.empty());
        return 0;
    }
    Check(env.Body() && (!env.Payload() || env.Payload().parent() == env.Body()));
    if (env.IsFault())
        Check(soap::LocalName(env.Payload().name()) == "Fault");
    soap::NodeToString(env.Payload());
    return 0;
}

// A Content-Type line and a body as an MTOM message; every element of its root is read as binary.
inline int Mtom(const uint8_t* data, size_t size) {
    std::string type;
    std::string_view body;
    SplitHeader(data, size, &type, &body);
    mtom::Message msg;
    std::string error;
    if (!mtom::Parse(type, body.data(), body.size(), &msg, &error)) {
        Check(!error.empty());
        return 0;
    }
    Check(Within(msg.root, body) && msg.attachments.size() < mtom::kMaxParts);
    for (const mtom::Part& p : msg.attachments)
        Check(Within(p.bytes, body));
    soap::Envelope env;
    if (!env.Parse(msg.root.data(), msg.root.size(), &error))
        return 0;
    pugi::xpath_node_set all = env.Body().select_nodes("descendant::*");
    for (const pugi::xpath_node& x : all) {
        std::string_view bytes;
        std::string storage;
        if (mtom::ReadBinary(x.node(), msg, &bytes, &storage, &error))
            Check(Within(bytes, body) || Within(bytes, storage));
    }
    return 0;
}

}  // namespace fuzztarget
