// Chunking throughput: CFileCache::LoadChunk (chunk keys, block signatures, every chunk written
// to the chunk cache, as for any file of 20 MiB and more) against md5sum on the same 256 MiB
// file, page cache warm, best of a few interleaved rounds each.
// Prints "BENCH chunking_vs_md5sum <ratio> x": our throughput over md5sum's (goal >= 0.45).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store/filecache.h"
#include "util/util.h"

namespace {

constexpr size_t kFileSize = 256u << 20;
constexpr int kRounds = 3;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool WriteFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    std::vector<unsigned char> buf(1u << 20);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t done = 0; done < kFileSize; done += buf.size()) {
        for (auto& b : buf) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            b = static_cast<unsigned char>(x);
        }
        if (::write(fd, buf.data(), buf.size()) != static_cast<ssize_t>(buf.size())) {
            ::close(fd);
            return false;
        }
    }
    return ::close(fd) == 0;
}

bool Md5sum(const std::string& path) {
    const std::string cmd = "md5sum '" + path + "' > /dev/null";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/chunking_bench.XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string path = dir + "/root/data.bin";
    int status = 0;
    CFileCache cache;
    if (!cache.SetRoot(dir + "/root") || !cache.SetCache(dir + "/cache") || !WriteFile(path)) {
        std::perror("set-up");
        status = 1;
    } else {
        Md5sum(path);  // warm the page cache
        double ours = 1e9, theirs = 1e9;
        CFileInfo info("/data.bin", 0, static_cast<int64_t>(kFileSize));
        for (int r = 0; r < kRounds && status == 0; ++r) {
            double t0 = Now();
            if (!Md5sum(path))
                status = 1;
            theirs = std::min(theirs, Now() - t0);
            cache.CleanCache();  // each round writes the cache anew
            t0 = Now();
            if (!cache.LoadChunk(info.path, &info) || info.chunkCount != 64)
                status = 1;
            ours = std::min(ours, Now() - t0);
        }
        if (status != 0) {
            std::fprintf(stderr, "chunking or md5sum failed\n");
        } else {
            const double mib = static_cast<double>(kFileSize) / (1 << 20);
            std::fprintf(stderr, "chunking: ours %.0f MiB/s, md5sum %.0f MiB/s\n", mib / ours, mib / theirs);
            std::printf("BENCH chunking_vs_md5sum %.3f x\n", theirs / ours);
        }
    }
    CUtil::DeleteFolder(dir);
    return status;
}
