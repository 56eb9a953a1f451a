// kestrine-tool chunks FILE: the chunks of a file exactly as the client cuts them for upload.
//   file <size> <chunkCount>
//   list <chunkListText>
//   chunk <index> <key> <size> <blockCount> <blockSums>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/log.h"
#include "core/logger.h"
#include "store/filecache.h"
#include "tool.h"
#include "util/util.h"

namespace {

int RunChunks(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrine-tool chunks FILE\n");
        return 2;
    }
    char resolved[PATH_MAX];
    struct stat st;
    if (::realpath(argv[1], resolved) == nullptr || ::stat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "kestrine-tool chunks: \"%s\" is not a readable file\n", argv[1]);
        return 1;
    }
    // Files of 20 MiB and more go through the chunk cache, as in the client: a private one here.
    const char* tmp = std::getenv("TMPDIR");
    std::string cacheDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrine-chunks.XXXXXX";
    if (::mkdtemp(cacheDir.data()) == nullptr) {
        std::perror("kestrine-tool chunks: mkdtemp");
        return 1;
    }
    // The client's own error lines explain a failure; only their last error text is kept.
    CLogger logger;
    logger.SetLevel(kLogError);
    SetAppLogger(&logger);

    CFileInfo info(resolved, 0, static_cast<int64_t>(st.st_size));
    bool ok = false;
    {
        CFileCache cache;
        ok = cache.SetCache(cacheDir) && cache.LoadChunk(resolved, &info);
    }
    CUtil::DeleteFolder(cacheDir);
    SetAppLogger(nullptr);
    if (!ok) {
        std::fprintf(stderr, "kestrine-tool chunks: %s\n", logger.GetLastErrorText().c_str());
        return 1;
    }
    std::printf("file %lld %d\n", static_cast<long long>(info.size), info.chunkCount);
    std::printf("list %s\n", info.chunkListText.c_str());
    for (size_t i = 0; i < info.chunks.size(); ++i) {
        const CChunkInfo& c = info.chunks[i];
        std::printf("chunk %zu %s %d %d %s\n", i, c.key.c_str(), c.size, c.blockCount, c.blockSums.c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

KESTRINE_TOOL_COMMAND(chunks, "chunks FILE", RunChunks);
