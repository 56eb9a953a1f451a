// The watch of a large home folder, page cache warm, best of a few interleaved rounds:
//   BENCH dirwatch_open_100k_vs_find <r> x  DirWatch::Open of a tree of 100,000 files in 1,010
//                                           folders (a watch per folder) over the time of
//                                           `find <root> -type d` listing the same folders
//   BENCH dirwatch_read_10k_vs_create <r> x the records of 10,000 files made in one folder, read
//                                           and turned into changes, over the time to make them
// No logger is installed, so nothing is written per record.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dirwatch.h"
#include "util/util.h"

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 100;
constexpr int kBurst = 10000;  // below the kernel's default queue of 16,384 records
constexpr int kRounds = 3;
constexpr uint32_t kAll =
    platform::kNotifyFileName | platform::kNotifyDirName | platform::kNotifySize | platform::kNotifyLastWrite;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool MakeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return fd >= 0 && ::close(fd) == 0;
}

// 1,000 folders in 10 groups of 100, each with 100 empty files.
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
                if (!MakeFile(dir + "/document " + std::to_string(f) + ".txt"))
                    return false;
            }
        }
    }
    return true;
}

bool FindFolders(const std::string& root) {
    const std::string cmd = "find '" + root + "' -type d > /dev/null";
    return std::system(cmd.c_str()) == 0;
}

// Makes kBurst files in `dir` (named by `round`), then reads until every addition has come.
bool Burst(platform::DirWatch& watch, const std::string& root, int round, double* make, double* read) {
    const std::string dir = "burst" + std::to_string(round);
    if (::mkdir((root + "/" + dir).c_str(), 0755) != 0)
        return false;
    std::vector<platform::DirChange> batch;
    // The folder's own record first, so its watch exists before the files come.
    while (!watch.IsWatched(dir)) {
        if (watch.Read(&batch, 1000) == platform::DirWatch::ReadResult::kFailed)
            return false;
    }
    double t0 = Now();
    for (int i = 0; i < kBurst; ++i) {
        if (!MakeFile(root + "/" + dir + "/new " + std::to_string(i) + ".txt"))
            return false;
    }
    *make = Now() - t0;
    t0 = Now();
    int seen = 0;
    while (seen < kBurst) {
        if (watch.Read(&batch, 1000) != platform::DirWatch::ReadResult::kChanges)
            return false;
        for (const platform::DirChange& c : batch)
            seen += c.action == platform::kDirAdded;
    }
    *read = Now() - t0;
    return seen == kBurst;
}

}  // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/dirwatch_bench.XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = dir + "/root";
    int status = 0;
    if (!MakeTree(root)) {
        std::perror("set-up");
        status = 1;
    } else {
        FindFolders(root);  // warm the caches
        const int expected = 1 + kFolders / 100 + kFolders;
        double ours = 1e9, theirs = 1e9, make = 1e9, read = 1e9;
        for (int r = 0; r < kRounds && status == 0; ++r) {
            double t0 = Now();
            if (!FindFolders(root))
                status = 1;
            theirs = std::min(theirs, Now() - t0);
            platform::DirWatch watch;
            t0 = Now();
            if (!watch.Open(root, true, kAll) ||
                watch.WatchCount() != static_cast<size_t>(expected + r))  // + earlier bursts
                status = 1;
            ours = std::min(ours, Now() - t0);
            double m = 0, rd = 0;
            if (status == 0 && !Burst(watch, root, r, &m, &rd))
                status = 1;
            make = std::min(make, m);
            read = std::min(read, rd);
        }
        if (status != 0) {
            std::fprintf(stderr, "watch, find or burst failed\n");
        } else {
            std::fprintf(stderr, "open: ours %.3f s, find %.3f s; 10k records: read %.3f s, made in %.3f s\n",
                         ours, theirs, read, make);
            std::printf("BENCH dirwatch_open_100k_vs_find %.3f x\n", ours / theirs);
            std::printf("BENCH dirwatch_read_10k_vs_create %.3f x\n", read / make);
        }
    }
    CUtil::DeleteFolder(dir);
    return status;
}
