// Fuzz target: any bytes as the header block of the portal's endpoint answer
// ("Set-Kestrine: result=OK; back_server=...; trs_server=...; hb_server=...;"), read through
// CAuth::ParseAnswer as RequestServlet reads it, and through the header-line and equals-item
// rules directly. An endpoint comes from one header line and ends at its ";".
#include <cstdint>
#include <cstdlib>
#include <string>

#include "service/auth.h"

#include "check.h"

using fuzzcheck::Check;

namespace {

void CheckEndpoint(const std::string& v) {
    Check(v.find('\n') == std::string::npos && v.find(';') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CAuth auth;
    auth.ParseAnswer(text.data(), text.size());
    CheckEndpoint(auth.GetBackServer());
    CheckEndpoint(auth.GetTransmitterServer());
    CheckEndpoint(auth.GetHeartBeatServer());

    std::string header, value;
    if (CAuth::GetHeaderField("Set-Kestrine", text, &header)) {
        Check(header.find('\n') == std::string::npos);
        for (const char* name : {"result", "back_server", "trs_server", "hb_server"}) {
            if (CAuth::GetFieldItem(name, header, &value))
                CheckEndpoint(value);
        }
    }
    return 0;
}
