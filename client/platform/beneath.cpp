#include "platform/beneath.h"
#include "platform/internal.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace platform {

namespace {

std::shared_mutex gRootsMu;
std::vector<std::pair<std::string, int>> gRoots;  // boundary, registrations
// Kernels before 5.6 lack openat2; after the first refusal every resolution walks.
std::atomic<bool> gNoOpenat2{false};

std::string Normalized(const std::string& root) {
    std::string r = root;
    while (r.size() > 1 && r.back() == '/') {
        r.pop_back();
    }
    return r;
}

// The longest registered folder strictly above `path`, or "" when there is none.
std::string BoundaryOf(const std::string& path) {
    std::shared_lock<std::shared_mutex> lock(gRootsMu);
    const std::string* best = nullptr;
    for (const auto& [root, count] : gRoots) {
        if (path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 &&
            path[root.size()] == '/' && (!best || root.size() > best->size())) {
            best = &root;
        }
    }
    return best ? *best : std::string();
}

// Splits the part below the boundary into names; false (EXDEV) for "." or "..".
bool SplitBelow(const std::string& rel, std::vector<std::string>* names) {
    size_t pos = 0;
    while (pos <= rel.size()) {
        size_t slash = rel.find('/', pos);
        if (slash == std::string::npos) {
            slash = rel.size();
        }
        std::string name = rel.substr(pos, slash - pos);
        if (name == "." || name == "..") {
            SetLastError(EXDEV);
            return false;
        }
        if (!name.empty()) {
            names->push_back(std::move(name));
        }
        pos = slash + 1;
    }
    return true;
}

int OpenBeneath(int rootFd, const std::string& rel) {
    struct open_how how = {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < 8; ++attempt) {
        long fd = ::syscall(SYS_openat2, rootFd, rel.c_str(), &how, sizeof how);
        // EAGAIN: a rename elsewhere raced the lookup, which the kernel will not vouch for.
        if (fd >= 0 || errno != EAGAIN) {
            return static_cast<int>(fd);
        }
    }
    return -1;
}

// One name at a time, each opened without following a link and checked to be a folder.
int WalkBeneath(int rootFd, const std::vector<std::string>& names, size_t count) {
    internal::FdGuard cur(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    for (size_t i = 0; i < count && cur.Get() >= 0; ++i) {
        internal::FdGuard next(::openat(cur.Get(), names[i].c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (next.Get() < 0) {
            return -1;
        }
        struct stat st;
        if (::fstat(next.Get(), &st) != 0) {
            return -1;
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
            return -1;
        }
        cur.Reset(next.Release());
    }
    return cur.Release();
}

}  // namespace

void ConfineBeneath(const std::string& root) {
    const std::string r = Normalized(root);
    if (r.empty() || r == "/") {
        return;
    }
    std::unique_lock<std::shared_mutex> lock(gRootsMu);
    for (auto& [known, count] : gRoots) {
        if (known == r) {
            ++count;
            return;
        }
    }
    gRoots.emplace_back(r, 1);
}

void ReleaseConfinement(const std::string& root) {
    const std::string r = Normalized(root);
    std::unique_lock<std::shared_mutex> lock(gRootsMu);
    for (size_t i = 0; i < gRoots.size(); ++i) {
        if (gRoots[i].first == r && --gRoots[i].second <= 0) {
            gRoots.erase(gRoots.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

void Boundary::Set(const std::string& root) {
    if (root == root_) {
        return;
    }
    if (!root_.empty()) {
        ReleaseConfinement(root_);
    }
    root_ = root;
    if (!root_.empty()) {
        ConfineBeneath(root_);
    }
}

bool IsConfined(const std::string& path) {
    return !BoundaryOf(path).empty();
}

namespace internal {

bool AtPath::Resolve(const std::string& path) {
    dir_.Reset();
    leaf_ = path;
    const std::string root = BoundaryOf(path);
    if (root.empty()) {
        return true;
    }
    std::vector<std::string> names;
    if (!SplitBelow(path.substr(root.size() + 1), &names)) {
        return false;
    }
    if (names.empty()) {
        return true;  // the boundary itself, spelt with a trailing "/"
    }
    int forced = 0;
    if (ShouldFail(Op::Beneath, path, &forced) && forced != ENOSYS) {
        SetLastError(forced);
        return false;
    }
    FdGuard rootFd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (rootFd.Get() < 0) {
        return FailErrno();
    }
    leaf_ = names.back();
    const size_t parents = names.size() - 1;
    if (parents == 0) {
        dir_.Reset(rootFd.Release());
        return true;
    }
    int fd = -1;
    if (forced != ENOSYS && !gNoOpenat2.load(std::memory_order_relaxed)) {
        std::string rel = names[0];
        for (size_t i = 1; i < parents; ++i) {
            rel.append("/").append(names[i]);
        }
        fd = OpenBeneath(rootFd.Get(), rel);
        if (fd < 0 && (errno == ENOSYS || errno == EPERM)) {
            // No openat2 here (or a sandbox refuses it): walk from now on.
            gNoOpenat2.store(true, std::memory_order_relaxed);
        } else if (fd < 0 && errno != EAGAIN) {
            return FailErrno();
        }
    }
    if (fd < 0) {
        fd = WalkBeneath(rootFd.Get(), names, parents);
        if (fd < 0) {
            return FailErrno();
        }
    }
    dir_.Reset(fd);
    return true;
}

int AtPath::Dir() const {
    return dir_.Get() >= 0 ? dir_.Get() : AT_FDCWD;
}

std::string AtPath::ProcPath() const {
    if (dir_.Get() < 0) {
        return leaf_;
    }
    return "/proc/self/fd/" + std::to_string(dir_.Get()) + "/" + leaf_;
}

}  // namespace internal
}  // namespace platform
