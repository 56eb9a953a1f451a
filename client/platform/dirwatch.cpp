#include "platform/dirwatch.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/internal.h"
#include "platform/plog.h"

namespace platform {

namespace {

constexpr int kLogError = 2;
constexpr int kLogWarn = 3;
constexpr const char* kTag = "DirWatch";

constexpr size_t kBufferSize = 64 * 1024;
// A tree that never stops changing still yields batches.
constexpr int kMaxReadsPerBatch = 16;
// The second half of a rename can trail the first by a moment; this long it is waited for.
constexpr int kPairWaitMs = 20;
// Without an eventfd a blocked read looks at the wake flag this often.
constexpr int kWakeSliceMs = 200;

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

// True when `path` lies below the folder `dir` (not `dir` itself).
bool Below(const std::string& path, const std::string& dir) {
    if (dir.empty())
        return !path.empty();
    return path.size() > dir.size() && path[dir.size()] == '/' && path.compare(0, dir.size(), dir) == 0;
}

}  // namespace

struct DirWatch::Impl {
    mutable std::mutex mu;  // the watch tables; Read holds it while it works on a batch
    int ino = -1;
    int wake = -1;
    std::atomic<bool> woken{false};  // used only without an eventfd
    std::string root;
    bool subtree = false;
    uint32_t filter = 0;
    uint32_t mask = 0;
    int rootWd = -1;
    bool rootGone = false;
    bool incomplete = false;
    bool limitLogged = false;
    std::unordered_map<int, std::string> wdPath;  // watch -> folder relative to the root
    std::map<std::string, int> pathWd;            // and back, sorted so a subtree is a range
    std::unique_ptr<char[]> buffer{new char[kBufferSize]};

    // A MOVED_FROM waiting for its MOVED_TO; `index` is its placeholder in the batch.
    struct PendingMove {
        uint32_t cookie;
        std::string rel;
        bool isDir;
        size_t index;
    };
    std::vector<PendingMove> pending;

    std::string Abs(const std::string& rel) const { return rel.empty() ? root : root + "/" + rel; }

    void Emit(std::vector<DirChange>* out, int action, const std::string& rel, uint32_t need) const {
        if (out && (filter & need))
            out->push_back(DirChange{action, rel});
    }

    bool AddWatch(const std::string& rel) {
        const std::string path = Abs(rel);
        int wd = -1;
        int err = 0;
        if (internal::Faulted(Op::Watch, path)) {
            err = LastError();
        } else {
            wd = ::inotify_add_watch(ino, path.c_str(), mask);
            err = wd < 0 ? errno : 0;
        }
        if (wd < 0) {
            SetLastError(err);
            if (err == ENOENT || err == ENOTDIR)
                return false;  // gone again already, or a link: nothing to watch
            incomplete = true;
            if (err == ENOSPC) {
                // Once: every further folder would say the same.
                if (!limitLogged) {
                    limitLogged = true;
                    Log(kLogError, kTag,
                        "Fail to watch \"" + path + "\": the user's " + std::to_string(MaxUserWatches()) +
                            " inotify watches are all in use; raise /proc/sys/fs/inotify/max_user_watches. "
                            "Changes in folders without a watch wait for the next pass");
                }
            } else {
                Log(kLogWarn, kTag, "Fail to watch \"" + path + "\": " + ErrorText(err));
            }
            return false;
        }
        auto known = wdPath.find(wd);
        if (known != wdPath.end() && known->second != rel) {
            auto back = pathWd.find(known->second);
            if (back != pathWd.end() && back->second == wd)
                pathWd.erase(back);
        }
        wdPath[wd] = rel;
        pathWd[rel] = wd;
        return true;
    }

    void Forget(int wd) {
        auto it = wdPath.find(wd);
        if (it == wdPath.end())
            return;
        auto back = pathWd.find(it->second);
        if (back != pathWd.end() && back->second == wd)
            pathWd.erase(back);
        wdPath.erase(it);
    }

    // The entries of pathWd for `rel` and everything below it.
    std::vector<std::pair<std::string, int>> Subtree(const std::string& rel) const {
        std::vector<std::pair<std::string, int>> found;
        auto self = pathWd.find(rel);
        if (self != pathWd.end())
            found.push_back(*self);
        const std::string prefix = rel.empty() ? std::string() : rel + "/";
        for (auto it = pathWd.lower_bound(prefix); it != pathWd.end() && Below(it->first, rel); ++it) {
            if (it->first != rel)
                found.push_back(*it);
        }
        return found;
    }

    // A folder left the tree: its watches and those below it go.
    void DropTree(const std::string& rel) {
        for (const auto& [path, wd] : Subtree(rel)) {
            ::inotify_rm_watch(ino, wd);  // the kernel may have dropped it already
            wdPath.erase(wd);
            pathWd.erase(path);
        }
    }

    // A folder was renamed inside the tree: the watches follow it, their names must too.
    void MoveTree(const std::string& from, const std::string& to) {
        const auto moved = Subtree(from);
        for (const auto& entry : moved)
            pathWd.erase(entry.first);
        for (const auto& [path, wd] : moved) {
            const std::string renamed = to + path.substr(from.size());
            wdPath[wd] = renamed;
            pathWd[renamed] = wd;
        }
    }

    // Watches `rel` (unless `watchTop` is false: it has its watch already) and, with the subtree
    // on, every folder below it. With `report` every entry found is reported as added: it may have
    // been made before its folder had a watch.
    void AddTree(const std::string& rel, std::vector<DirChange>* report, bool watchTop = true) {
        std::vector<std::string> stack{rel};
        bool top = true;
        while (!stack.empty()) {
            const std::string dir = std::move(stack.back());
            stack.pop_back();
            const bool watch = !top || watchTop;
            top = false;
            if (watch && !AddWatch(dir) && (LastError() == ENOENT || LastError() == ENOTDIR))
                continue;
            if (!subtree && !report)
                continue;
            DIR* d = ::opendir(Abs(dir).c_str());
            if (!d)
                continue;
            while (const dirent* e = ::readdir(d)) {
                if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                    continue;
                const std::string child = Join(dir, e->d_name);
                bool isDir = e->d_type == DT_DIR;
                if (e->d_type == DT_UNKNOWN) {
                    struct stat st;
                    isDir = ::lstat(Abs(child).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
                }
                Emit(report, kDirAdded, child, isDir ? kNotifyDirName : kNotifyFileName);
                if (isDir && subtree)
                    stack.push_back(child);
            }
            ::closedir(d);
        }
    }

    // After an overflow nothing in the tables can be trusted: the tree is walked again, folders
    // met get (or keep) their watch under their current name, the others are dropped.
    void Rescan() {
        std::unordered_set<int> before;
        for (const auto& entry : wdPath)
            before.insert(entry.first);
        wdPath.clear();
        pathWd.clear();
        incomplete = false;
        AddTree("", nullptr);
        for (int wd : before) {
            if (!wdPath.count(wd))
                ::inotify_rm_watch(ino, wd);
        }
        auto self = pathWd.find("");
        if (self == pathWd.end())
            rootGone = true;
        else
            rootWd = self->second;
    }

    void Process(const char* data, size_t n, std::vector<DirChange>* out) {
        for (size_t off = 0; off + sizeof(inotify_event) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(data + off);
            off += sizeof(inotify_event) + ev->len;
            if (off > n)
                break;  // the kernel hands out whole events; never reached
            if (ev->mask & IN_Q_OVERFLOW) {
                Log(kLogWarn, kTag,
                    "The inotify queue of \"" + root + "\" overflowed; the tree is watched anew");
                for (const PendingMove& p : pending)
                    (*out)[p.index].action = 0;
                pending.clear();
                Rescan();
                out->push_back(DirChange{kDirOverflow, std::string()});
                continue;
            }
            auto it = wdPath.find(ev->wd);
            if (it == wdPath.end())
                continue;  // a watch already dropped
            const std::string dirRel = it->second;
            if (ev->mask & IN_IGNORED) {
                if (ev->wd == rootWd)
                    rootGone = true;
                Forget(ev->wd);
                continue;
            }
            if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                // A folder below the root is reported by its parent; the root itself cannot be.
                if (ev->wd == rootWd)
                    rootGone = true;
                continue;
            }
            const std::string name =
                ev->len ? std::string(ev->name, ::strnlen(ev->name, ev->len)) : std::string();
            if (name.empty())
                continue;  // the folder's own times: its parent reports them under its name
            const std::string rel = Join(dirRel, name);
            const bool isDir = (ev->mask & IN_ISDIR) != 0;
            const uint32_t nameBit = isDir ? kNotifyDirName : kNotifyFileName;
            if (ev->mask & IN_CREATE) {
                Emit(out, kDirAdded, rel, nameBit);
                if (isDir && subtree)
                    AddTree(rel, out);
            } else if (ev->mask & IN_DELETE) {
                Emit(out, kDirRemoved, rel, nameBit);
                if (isDir)
                    DropTree(rel);
            } else if (ev->mask & IN_MOVED_FROM) {
                pending.push_back(PendingMove{ev->cookie, rel, isDir, out->size()});
                out->push_back(DirChange{0, rel});
            } else if (ev->mask & IN_MOVED_TO) {
                auto from = std::find_if(pending.begin(), pending.end(),
                                         [&](const PendingMove& p) { return p.cookie == ev->cookie; });
                if (from != pending.end()) {
                    // The pair goes out here, its two halves next to each other.
                    (*out)[from->index].action = 0;
                    Emit(out, kDirRenamedOld, from->rel, nameBit);
                    Emit(out, kDirRenamedNew, rel, nameBit);
                    if (isDir)
                        MoveTree(from->rel, rel);
                    pending.erase(from);
                } else {
                    // Moved in from outside the tree.
                    Emit(out, kDirAdded, rel, nameBit);
                    if (isDir && subtree)
                        AddTree(rel, out);
                }
            } else if (ev->mask & IN_MODIFY) {
                Emit(out, kDirModified, rel, kNotifySize | kNotifyLastWrite);
            } else if (ev->mask & IN_ATTRIB) {
                Emit(out, kDirModified, rel, kNotifyLastWrite);
            }
        }
    }

    // A MOVED_FROM without its MOVED_TO left the tree: a removal.
    void SettlePending(std::vector<DirChange>* out) {
        for (const PendingMove& p : pending) {
            DirChange& c = (*out)[p.index];
            c.action = (filter & (p.isDir ? kNotifyDirName : kNotifyFileName)) ? kDirRemoved : 0;
            if (p.isDir)
                DropTree(p.rel);
        }
        pending.clear();
        // Placeholders out; a run of one name's modifications is one record.
        std::vector<DirChange> kept;
        kept.reserve(out->size());
        for (DirChange& c : *out) {
            if (c.action == 0)
                continue;
            if (c.action == kDirModified && !kept.empty() && kept.back().action == kDirModified &&
                kept.back().name == c.name)
                continue;
            kept.push_back(std::move(c));
        }
        out->swap(kept);
    }

    void CloseLocked() {
        if (ino >= 0)
            ::close(ino);  // drops every watch with it
        ino = -1;
        rootWd = -1;
        rootGone = false;
        incomplete = false;
        limitLogged = false;
        wdPath.clear();
        pathWd.clear();
        pending.clear();
    }

    void DrainWake() {
        if (wake >= 0) {
            uint64_t count = 0;
            while (::read(wake, &count, sizeof count) > 0) {
            }
        }
        woken.store(false);
    }
};

DirWatch::DirWatch() : impl_(std::make_unique<Impl>()) {
    impl_->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

DirWatch::~DirWatch() {
    Close();
    if (impl_->wake >= 0)
        ::close(impl_->wake);
}

bool DirWatch::Open(const std::string& root, bool subtree, uint32_t filter) {
    Close();
    impl_->DrainWake();
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl& w = *impl_;
    struct stat st;
    const int found = ::lstat(root.c_str(), &st) == 0 ? 0 : errno;
    if (found != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(found != 0 ? found : ENOTDIR);
        Log(kLogError, kTag, "Fail to watch \"" + root + "\": " + ErrorText(LastError()));
        return false;
    }
    w.ino = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.ino < 0) {
        const int err = errno;
        SetLastError(err);
        Log(kLogError, kTag,
            "Fail to start inotify: " + ErrorText(err) +
                (err == EMFILE ? " (raise /proc/sys/fs/inotify/max_user_instances)" : ""));
        return false;
    }
    w.root = root;
    while (w.root.size() > 1 && w.root.back() == '/')
        w.root.pop_back();
    w.subtree = subtree;
    w.filter = filter;
    // Folder events are needed to follow the tree whatever the filter asks to report.
    w.mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
             IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
    if (filter & (kNotifySize | kNotifyLastWrite))
        w.mask |= IN_MODIFY;
    if (filter & kNotifyLastWrite)
        w.mask |= IN_ATTRIB;  // a time set alone (touch, a restore) is a change of its own
    if (!w.AddWatch("")) {
        const int err = LastError();
        w.CloseLocked();
        SetLastError(err);
        return false;
    }
    w.rootWd = w.pathWd[""];
    if (subtree)
        w.AddTree("", nullptr, false);
    return true;
}

void DirWatch::Close() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->CloseLocked();
}

bool DirWatch::IsOpen() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->ino >= 0;
}

DirWatch::ReadResult DirWatch::Read(std::vector<DirChange>* out, int timeoutMs) {
    Impl& w = *impl_;
    out->clear();
    int ino;
    {
        std::lock_guard<std::mutex> lock(w.mu);
        if (w.ino < 0 || w.rootGone)
            return ReadResult::kFailed;
        ino = w.ino;
    }
    pollfd fds[2] = {{ino, POLLIN, 0}, {w.wake, POLLIN, 0}};
    const nfds_t count = w.wake >= 0 ? 2 : 1;
    int timeout = timeoutMs;
    if (w.wake < 0 && (timeout < 0 || timeout > kWakeSliceMs))
        timeout = kWakeSliceMs;
    const int ready = ::poll(fds, count, timeout);
    if (ready < 0) {
        if (errno == EINTR)
            return ReadResult::kWoken;
        const int err = errno;
        SetLastError(err);
        Log(kLogError, kTag, "Fail to wait for changes of \"" + w.root + "\": " + ErrorText(err));
        return ReadResult::kFailed;
    }
    if ((count == 2 && fds[1].revents != 0) || w.woken.load()) {
        w.DrainWake();
        return ReadResult::kWoken;
    }
    if (ready == 0 || fds[0].revents == 0)
        return ReadResult::kWoken;

    std::lock_guard<std::mutex> lock(w.mu);
    bool waitedForPair = false;
    for (int reads = 0; reads < kMaxReadsPerBatch;) {
        const ssize_t n = ::read(w.ino, w.buffer.get(), kBufferSize);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            if (w.pending.empty() || waitedForPair)
                break;
            waitedForPair = true;
            pollfd more = {w.ino, POLLIN, 0};
            if (::poll(&more, 1, kPairWaitMs) <= 0)
                break;
            continue;
        }
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            SetLastError(err);
            Log(kLogError, kTag, "Fail to read the changes of \"" + w.root + "\": " + ErrorText(err));
            w.rootGone = true;
            break;
        }
        ++reads;
        w.Process(w.buffer.get(), static_cast<size_t>(n), out);
    }
    w.SettlePending(out);
    // What arrived before the root went is still handed out; the next read fails.
    if (w.rootGone && out->empty())
        return ReadResult::kFailed;
    return ReadResult::kChanges;
}

void DirWatch::Wake() {
    impl_->woken.store(true);
    if (impl_->wake >= 0) {
        const uint64_t one = 1;
        ssize_t ignored = ::write(impl_->wake, &one, sizeof one);
        (void)ignored;  // a full counter wakes the reader as well
    }
}

size_t DirWatch::WatchCount() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->wdPath.size();
}

bool DirWatch::IsWatched(const std::string& rel) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->pathWd.count(rel) != 0;
}

bool DirWatch::Incomplete() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->incomplete;
}

long DirWatch::MaxUserWatches() {
    std::string text;
    if (!ReadFileToString("/proc/sys/fs/inotify/max_user_watches", &text, 64))
        return -1;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return end == text.c_str() ? -1 : value;
}

}  // namespace platform
