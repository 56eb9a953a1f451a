// Fuzz target: the compressed form of the two tree listings (file_list_rsp and
// download_all_file_rsp with compress="N" and a Base64 zlib text), inflated and parsed by CBack.
// Input: a flags byte, then either a listing text the target deflates itself (so the inflated
// text is what mutates) or a raw zlib stream (so the stream itself mutates).
//   flags bit 0: the rest is a raw zlib stream, announced as the 32-bit little-endian length that
//                precedes it; else a listing text, announced per bits 2-3
//   flags bit 1: download_all_file_rsp, else file_list_rsp
//   flags bits 2-3: announced length = exact, one short, 1000 long, or zero (read as plain)
// Whatever the parsers accept must hold well-formed entries only.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "service/back.h"
#include "util/util.h"

#include "check.h"

using fuzzcheck::Check;
using fuzzcheck::CheckChunks;

namespace {

// The zlib stream and its announced length, or false when the input is too short.
bool Packed(const uint8_t* data, size_t size, std::string* stream, int64_t* announced) {
    const uint8_t flags = data[0];
    if (flags & 1) {
        if (size < 5)
            return false;
        *announced = static_cast<int64_t>(data[1] | data[2] << 8 | data[3] << 16) | int64_t{data[4]} << 24;
        stream->assign(reinterpret_cast<const char*>(data + 5), size - 5);
        return true;
    }
    const size_t plainSize = size - 1;
    uLongf bound = compressBound(static_cast<uLong>(plainSize));
    std::vector<Bytef> out(bound);
    if (compress(out.data(), &bound, data + 1, static_cast<uLong>(plainSize)) != Z_OK)
        return false;
    stream->assign(reinterpret_cast<const char*>(out.data()), bound);
    const int64_t exact = static_cast<int64_t>(plainSize);
    const int64_t choices[] = {exact, exact - 1, exact + 1000, 0};
    *announced = choices[(flags >> 2) & 3];
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    std::string stream, base64;
    int64_t announced = 0;
    if (!Packed(data, size, &stream, &announced))
        return 0;
    base64 = CUtil::Base64EncodeBytes(stream.data(), stream.size());

    const bool all = data[0] & 2;
    pugi::xml_document doc;
    pugi::xml_node body = doc.append_child(all ? "download_all_file_rsp" : "file_list_rsp");
    body.append_attribute("compress") = std::to_string(announced).c_str();
    body.append_child(pugi::node_pcdata).set_value(base64.c_str());
    static CBack back;  // never initialised: only its parsers run, and no logger exists

    if (all) {
        std::vector<CFileInfo> list;
        if (back.ParseOmDownloadAll(body, &list)) {
            for (const CFileInfo& f : list) {
                Check(!f.path.empty() && f.size >= 0);
                CheckChunks(f, true);
            }
        }
        return 0;
    }
    CBack::FileMap map;
    if (back.ParseOmGetList(body, &map)) {
        for (const auto& [key, f] : map) {
            Check(!f.path.empty() && key == CBack::ListKey(f.path) && f.size >= 0);
            CheckChunks(f, false);
        }
    }
    return 0;
}
