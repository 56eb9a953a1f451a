// Scan of a large tree: CFileCache::ScanRoot over 100,000 files in 1,000 folders against
// `find <root> -printf '%s %T@\n'` on the same tree, page cache warm, best of a few interleaved
// rounds each. No logger is installed, so no debug line is written.
// Prints "BENCH scan_100k_vs_find <ratio> x": our time over find's (goal <= 3).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "store/filecache.h"
#include "util/util.h"

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 100;
constexpr int kRounds = 3;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// 1,000 folders in 10 groups of 100, each with 100 small files.
bool MakeTree(const std::string& root) {
    if (::mkdir(root.c_str(), 0755) != 0)
        return false;
    for (int g = 0; g < kFolders / 100; ++g) {
        const std::string group = root + "/group" + std::to_string(g);
        if (::mkdir(group.c_str(), 0755) != 0)
            return false;
        for (int d = 0; d < 100; ++d) {
            const std::string dir = group + "/folder" + std::to_string(d);
            if (::mkdir(dir.c_str(), 0755) != 0)
                return false;
            for (int f = 0; f < kFilesPerFolder; ++f) {
                const std::string path = dir + "/document " + std::to_string(f) + ".txt";
                const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0)
                    return false;
                const std::string text = "file " + std::to_string(f);
                const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
                if (::close(fd) != 0 || !ok)
                    return false;
            }
        }
    }
    return true;
}

bool Find(const std::string& root) {
    const std::string cmd = "find '" + root + "' -printf '%s %T@\\n' > /dev/null";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/scan_bench.XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = dir + "/root";
    int status = 0;
    CFileCache cache;
    if (!MakeTree(root) || !cache.SetRoot(root)) {
        std::perror("set-up");
        status = 1;
    } else {
        Find(root);  // warm the caches
        cache.ScanRoot();
        double ours = 1e9, theirs = 1e9;
        const size_t expected = static_cast<size_t>(kFolders / 100 + kFolders + kFolders * kFilesPerFolder);
        for (int r = 0; r < kRounds && status == 0; ++r) {
            double t0 = Now();
            if (!Find(root))
                status = 1;
            theirs = std::min(theirs, Now() - t0);
            t0 = Now();
            if (!cache.ScanRoot() || cache.Count() != expected)
                status = 1;
            ours = std::min(ours, Now() - t0);
        }
        if (status != 0) {
            std::fprintf(stderr, "scan or find failed (%zu records)\n", cache.Count());
        } else {
            std::fprintf(stderr, "scan: ours %.3f s, find %.3f s\n", ours, theirs);
            std::printf("BENCH scan_100k_vs_find %.3f x\n", ours / theirs);
        }
    }
    CUtil::DeleteFolder(dir);
    return status;
}
