// The shared status area under a full tree: 61680 distinct paths stored, then each updated once.
// Prints "BENCH status_area_61680 <seconds> s" (goal < 1 s). Runs in a temporary XDG_RUNTIME_DIR.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store/sharedfilestatus.h"

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/status_bench.XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);

    std::vector<std::string> paths;
    paths.reserve(CSharedFileStatus::kMaxEntries);
    for (size_t i = 0; i < CSharedFileStatus::kMaxEntries; ++i)
        paths.push_back("/home/user/Kestrine/Projects/folder" + std::to_string(i % 97) + "/Document " +
                        std::to_string(i) + ".docx");

    int status = 0;
    CSharedFileStatus area;
    if (!area.Open()) {
        std::fprintf(stderr, "cannot open the status area\n");
        status = 1;
    } else {
        area.Reset();
        const auto t0 = std::chrono::steady_clock::now();
        for (const auto& p : paths)
            status |= area.SetStatus(p, 1, 0, 0) ? 0 : 1;
        for (const auto& p : paths)
            status |= area.SetState(p, 2) ? 0 : 1;
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (status != 0 || area.Count() != static_cast<int32_t>(paths.size())) {
            std::fprintf(stderr, "stores failed or count wrong (%d)\n", area.Count());
            status = 1;
        } else {
            std::printf("BENCH status_area_61680 %.4f s\n", secs);
        }
        area.Close();
    }
    ::unlink((dir + "/SHARENAME").c_str());
    ::rmdir(dir.c_str());
    return status;
}
