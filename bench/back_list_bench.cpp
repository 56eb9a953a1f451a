// Reading the back server's listing of a tree of 100,000 entries (one in ten a folder, names with
// Chinese characters as the service writes them), with the logger at info level (the default).
// Times are processor seconds of this process, best of three:
//   BENCH back_getlist_100k <s> s             the plain file_list_rsp: XML parse plus CBack's
//                                             parser building the map (goal < 1)
//   BENCH back_getlist_compressed_100k <s> s  the same entries compressed: inflation, the joined
//                                             text logged, parse and map (goal < 1.5)
//   BENCH back_getlist_vs_xml_parse <r> x     the bare XML parse of the plain reply over the
//                                             whole plain read: the share of the time pugixml
//                                             alone needs (1 would mean the map costs nothing)
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include <pugixml.hpp>

#include "core/log.h"
#include "core/logger.h"
#include "service/back.h"
#include "util/util.h"

namespace {

constexpr size_t kEntries = 100000;

// Processor time of this process: the machine is shared, and wall time would measure the others.
double CpuNow() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

std::string Key32(size_t n) {
    char buf[33];
    std::snprintf(buf, sizeof buf, "%016zx%016zx", n * 2654435761u, n);
    return buf;
}

// The entries as the service writes them (names already as references, "&" of a reference
// escaped by the XML layer).
std::string Entries() {
    std::string out;
    out.reserve(kEntries * 220);
    for (size_t i = 0; i < kEntries; ++i) {
        std::string folder = "u1/&amp;#x9879;&amp;#x76EE;" + std::to_string(i / 10 % 1000);
        if (i % 10 == 0) {
            out += "<file file_name=\"" + folder + "\" modify_time=\"1\" dir_flag=\"yes\" shared=\"no\"/>";
            continue;
        }
        std::string list = Key32(i);
        size_t chunks = 1 + i % 3;
        for (size_t c = 1; c < chunks; ++c)
            list += "," + Key32(i * 7 + c);
        out += "<file file_name=\"" + folder + "/Document " + std::to_string(i) +
               ".docx\" modify_time=\"13300000000000" + std::to_string(i % 10000) +
               "\" dir_flag=\"no\" file_size=\"" + std::to_string(chunks * 4194304 - 100) +
               "\"><chunk_list chunk_num=\"" + std::to_string(chunks) + "\">" + list + "</chunk_list></file>";
    }
    return out;
}

std::string Packed(const std::string& text) {
    uLongf len = compressBound(static_cast<uLong>(text.size()));
    std::string buf(len, '\0');
    compress2(reinterpret_cast<Bytef*>(buf.data()), &len, reinterpret_cast<const Bytef*>(text.data()),
              static_cast<uLong>(text.size()), Z_DEFAULT_COMPRESSION);
    return CUtil::Base64EncodeBytes(buf.data(), len);
}

}  // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/back_list_bench.XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    CLogger logger;
    if (!logger.Open(dir + "/bench.log")) {
        std::fprintf(stderr, "cannot open the log\n");
        return 1;
    }
    logger.SetLevel(kLogInfo);
    SetAppLogger(&logger);

    const std::string entries = Entries();
    const std::string plain = "<file_list_rsp compress=\"0\">" + entries + "</file_list_rsp>";
    const std::string packed = "<file_list_rsp compress=\"" + std::to_string(entries.size()) + "\">" +
                               Packed(entries) + "</file_list_rsp>";
    int status = 0;
    CBack back;

    // Best of three runs each, so a busy moment of the machine does not decide the figure.
    double bare = 1e9, whole = 1e9, compressed = 1e9;
    for (int run = 0; run < 3 && status == 0; ++run) {
        double t0 = CpuNow();
        {
            pugi::xml_document doc;
            status |= doc.load_buffer(plain.data(), plain.size()) ? 0 : 1;
        }
        bare = std::min(bare, CpuNow() - t0);

        t0 = CpuNow();
        {
            pugi::xml_document doc;
            CBack::FileMap map;
            status |= doc.load_buffer(plain.data(), plain.size()) ? 0 : 1;
            status |= back.ParseOmGetList(doc.document_element(), &map) && map.size() == 91000 ? 0 : 1;
        }
        whole = std::min(whole, CpuNow() - t0);

        t0 = CpuNow();
        {
            pugi::xml_document doc;
            CBack::FileMap map;
            status |= doc.load_buffer(packed.data(), packed.size()) ? 0 : 1;
            status |= back.ParseOmGetList(doc.document_element(), &map) && map.size() == 91000 ? 0 : 1;
        }
        compressed = std::min(compressed, CpuNow() - t0);
    }
    if (status != 0) {
        std::fprintf(stderr, "a listing was not read\n");
    } else {
        std::printf("BENCH back_getlist_100k %.3f s\n", whole);
        std::printf("BENCH back_getlist_compressed_100k %.3f s\n", compressed);
        std::printf("BENCH back_getlist_vs_xml_parse %.2f x\n", bare / whole);
    }
    SetAppLogger(nullptr);
    ::unlink((dir + "/bench.log").c_str());
    ::rmdir(dir.c_str());
    return status;
}
