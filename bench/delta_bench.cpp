// Delta encoding against rdiff on the same pair, page cache warm, in the same run: a 4 MiB chunk
// with a few scattered edits against its previous version, and against unrelated data.
// Prints "BENCH delta_vs_rdiff <ratio> x" (goal >= 1) and "BENCH delta_nomatch_vs_rdiff <ratio> x":
// our throughput over rdiff's. Ours counts what rdiff's delta counts: reading the old version's
// signatures (BuildBlockTable) and the encoding itself.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "store/chunkbuffer.h"
#include "store/delta.h"
#include "store/fileinfo.h"
#include "util/util.h"

extern char** environ;

namespace {

constexpr size_t kChunk = 4194304;
constexpr int kRounds = 7;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool Write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool Run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

CFileInfo OldRecord(const std::string& bytes) {
    CFileInfo old("/old", 0, static_cast<int64_t>(bytes.size()));
    for (size_t off = 0; off < bytes.size(); off += kChunk) {
        size_t n = std::min(kChunk, bytes.size() - off);
        std::string key, sums, hashes;
        int32_t blocks = 0;
        CUtil::GetMd5String(bytes.data() + off, n, &key);
        CUtil::GetBlockSignatures(bytes.data() + off, n, &sums, &hashes, &blocks);
        old.AddChunk(key, static_cast<int32_t>(n), sums, hashes, blocks);
        old.chunks.back().storageKey = key;
    }
    return old;
}

// Encodes `chunk` against a fresh copy of `old`'s description; the delta goes to `out`.
bool Encode(const CFileInfo& oldDescription, const CChunkBuffer& chunk, CChunkBuffer* out) {
    CFileInfo old(oldDescription);
    return old.BuildBlockTable() && old.DeltaEncode(chunk, out);
}

// Best-of-rounds seconds for ours and for rdiff on one pair; false when either fails or our
// delta does not rebuild the chunk.
bool Measure(const std::string& dir, const std::string& oldBytes, const std::string& newBytes, double* ours,
             double* theirs, size_t* ourSize, size_t* theirSize) {
    const std::string oldPath = dir + "/old", newPath = dir + "/new", sig = dir + "/sig",
                      out = dir + "/rdelta";
    if (!Write(oldPath, oldBytes) || !Write(newPath, newBytes) ||
        !Run({"rdiff", "-f", "signature", "-b", "4096", oldPath, sig})) {
        std::fprintf(stderr, "cannot prepare the rdiff signature (is rdiff installed?)\n");
        return false;
    }
    CFileInfo old = OldRecord(oldBytes);
    CChunkBuffer chunk(newBytes.size());
    std::memcpy(chunk.GetData(), newBytes.data(), newBytes.size());
    chunk.SetSize(newBytes.size());
    CChunkBuffer delta;
    Run({"rdiff", "-f", "delta", sig, newPath, out});  // warm both
    Encode(old, chunk, &delta);
    *ours = *theirs = 1e9;
    for (int r = 0; r < kRounds; ++r) {
        double t0 = Now();
        if (!Run({"rdiff", "-f", "delta", sig, newPath, out})) {
            std::fprintf(stderr, "rdiff delta failed\n");
            return false;
        }
        *theirs = std::min(*theirs, Now() - t0);
        t0 = Now();
        if (!Encode(old, chunk, &delta)) {
            std::fprintf(stderr, "DeltaEncode failed\n");
            return false;
        }
        *ours = std::min(*ours, Now() - t0);
    }
    std::string rebuilt, error;
    auto load = [&](const std::string& name, std::string* bytes) {
        for (size_t i = 0; i < old.chunks.size(); ++i) {
            if (old.chunks[i].storageKey == name) {
                *bytes = oldBytes.substr(i * kChunk, kChunk);
                return true;
            }
        }
        return false;
    };
    if (!delta::Apply(delta.GetData(), delta.GetSize(), load, &rebuilt, &error) || rebuilt != newBytes) {
        std::fprintf(stderr, "our delta does not rebuild the chunk: %s\n", error.c_str());
        return false;
    }
    std::ifstream rd(out, std::ios::binary | std::ios::ate);
    *ourSize = delta.GetSize();
    *theirSize = static_cast<size_t>(rd.tellg());
    return true;
}

}  // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/delta_bench.XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::mt19937_64 rng(42);
    auto random = [&](size_t n) {
        std::string s(n, '\0');
        for (auto& c : s) {
            c = static_cast<char>(rng());
        }
        return s;
    };
    const std::string oldBytes = random(kChunk);
    // A few scattered edits: insertions, a deletion and replacements, kept at 4 MiB.
    std::string edited = oldBytes;
    edited.insert(300000, "inserted text");
    edited.replace(1200000, 64, random(64));
    edited.erase(2100000, 500);
    edited.insert(2900000, random(2000));
    edited.replace(3700000, 7, "changed");
    edited.resize(kChunk);
    const std::string unrelated = random(kChunk);

    int status = 0;
    double ours, theirs;
    size_t ourSize, theirSize;
    const double mib = static_cast<double>(kChunk) / (1 << 20);
    if (Measure(dir, oldBytes, edited, &ours, &theirs, &ourSize, &theirSize)) {
        std::fprintf(stderr, "delta, few edits: ours %.0f MiB/s (%zu bytes), rdiff %.0f MiB/s (%zu bytes)\n",
                     mib / ours, ourSize, mib / theirs, theirSize);
        std::printf("BENCH delta_vs_rdiff %.3f x\n", theirs / ours);
    } else {
        status = 1;
    }
    if (Measure(dir, oldBytes, unrelated, &ours, &theirs, &ourSize, &theirSize)) {
        std::fprintf(stderr, "delta, no match: ours %.0f MiB/s (%zu bytes), rdiff %.0f MiB/s (%zu bytes)\n",
                     mib / ours, ourSize, mib / theirs, theirSize);
        std::printf("BENCH delta_nomatch_vs_rdiff %.3f x\n", theirs / ours);
    } else {
        status = 1;
    }
    for (const char* f : {"/old", "/new", "/sig", "/rdelta"}) {
        ::unlink((dir + f).c_str());
    }
    ::rmdir(dir.c_str());
    return status;
}
