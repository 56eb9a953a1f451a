#include "platform/fault.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace platform {

namespace {

struct Fault {
    Op op;
    int count;
    int err;
    std::string pathContains;
    int skip;
};

std::mutex gMu;
std::vector<Fault> gFaults;
// Lets the common case (nothing armed) skip the mutex: every file call passes here.
std::atomic<bool> gArmed{false};

}  // namespace

void FailCall(Op op, int count, int err, const std::string& pathContains, int skip) {
    if (count <= 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(gMu);
    gFaults.push_back(Fault{op, count, err, pathContains, skip < 0 ? 0 : skip});
    gArmed.store(true, std::memory_order_release);
}

void ClearFaults() {
    std::lock_guard<std::mutex> lock(gMu);
    gFaults.clear();
    gArmed.store(false, std::memory_order_release);
}

bool ShouldFail(Op op, const std::string& path, int* err) {
    if (!gArmed.load(std::memory_order_acquire)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(gMu);
    for (size_t i = 0; i < gFaults.size(); ++i) {
        Fault& f = gFaults[i];
        if (f.op != op) {
            continue;
        }
        if (!f.pathContains.empty() && path.find(f.pathContains) == std::string::npos) {
            continue;
        }
        // The first armed fault that matches decides; later ones wait their turn.
        if (f.skip > 0) {
            --f.skip;
            return false;
        }
        if (err) {
            *err = f.err;
        }
        if (--f.count == 0) {
            gFaults.erase(gFaults.begin() + static_cast<std::ptrdiff_t>(i));
            gArmed.store(!gFaults.empty(), std::memory_order_release);
        }
        return true;
    }
    return false;
}

}  // namespace platform
