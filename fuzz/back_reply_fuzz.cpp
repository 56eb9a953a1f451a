// Fuzz target: any bytes as the body element of a back-server reply, handed to every CBack reply
// parser. Whatever they accept must hold only well-formed chunk records and consistent map keys.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "service/back.h"

#include "check.h"

using fuzzcheck::Check;
using fuzzcheck::CheckChunks;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pugi::xml_document doc;
    if (!doc.load_buffer(data, size, pugi::parse_default, pugi::encoding_utf8))
        return 0;
    pugi::xml_node body = doc.document_element();
    static CBack back;  // never initialised: only its parsers run, and no logger exists

    std::string text, op, name;
    CChunkInfo chunk;
    back.ParseOmGetHostID(body, &text);
    back.ParseOmLogin(body);
    back.ParseOmRename(body);
    back.ParseOmRemove(body);
    if (back.ParseOmUpload(body, &op, &name, &chunk) && !chunk.key.empty())
        Check(CFileInfo::IsChunkKey(chunk.key));
    if (back.ParseOmChunkDone(body, &op, &name, &chunk) && !chunk.key.empty())
        Check(CFileInfo::IsChunkKey(chunk.key));

    CFileInfo info;
    if (back.ParseOmDownload(body, &info)) {
        CheckChunks(info, true);
        Check(info.chunkCount == static_cast<int32_t>(info.chunks.size()) && info.size >= 0);
    }
    std::vector<CFileInfo> list;
    if (back.ParseOmDownloadAll(body, &list)) {
        for (const CFileInfo& f : list) {
            Check(!f.path.empty() && f.size >= 0);
            CheckChunks(f, true);
        }
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
