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

struct Hook {
    Op op;
    std::function<void(const std::string&)> run;
    std::string pathContains;
};

std::mutex gMu;
std::vector<Fault> gFaults;
std::vector<Hook> gHooks;
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

void OnCall(Op op, std::function<void(const std::string& path)> hook, const std::string& pathContains) {
    std::lock_guard<std::mutex> lock(gMu);
    gHooks.push_back(Hook{op, std::move(hook), pathContains});
    gArmed.store(true, std::memory_order_release);
}

void ClearFaults() {
    std::lock_guard<std::mutex> lock(gMu);
    gFaults.clear();
    gHooks.clear();
    gArmed.store(false, std::memory_order_release);
}

bool ShouldFail(Op op, const std::string& path, int* err) {
    if (!gArmed.load(std::memory_order_acquire)) {
        return false;
    }
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(gMu);
        for (size_t i = 0; i < gHooks.size(); ++i) {
            if (gHooks[i].op == op &&
                (gHooks[i].pathContains.empty() || path.find(gHooks[i].pathContains) != std::string::npos)) {
                hook = std::move(gHooks[i].run);
                gHooks.erase(gHooks.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        gArmed.store(!gFaults.empty() || !gHooks.empty(), std::memory_order_release);
    }
    // Outside the lock: the hook may itself make platform calls.
    if (hook) {
        hook(path);
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
            gArmed.store(!gFaults.empty() || !gHooks.empty(), std::memory_order_release);
        }
        return true;
    }
    return false;
}

}  // namespace platform
