#include "platform/dirwatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "platform/plog.h"
#include "support/tempdir.h"

using namespace platform;
using testsupport::TempDir;

namespace {

constexpr uint32_t kAll = kNotifyFileName | kNotifyDirName | kNotifySize | kNotifyLastWrite;
constexpr int kBoundMs = 20000;  // bound for changes to arrive; never reached when it works

std::string Show(const std::vector<DirChange>& changes) {
    std::string s;
    for (const DirChange& c : changes)
        s += std::to_string(c.action) + ":" + c.name + " ";
    return s;
}

bool Has(const std::vector<DirChange>& changes, int action, const std::string& name) {
    return std::find(changes.begin(), changes.end(), DirChange{action, name}) != changes.end();
}

void Write(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::app) << data;
}

// Lines the platform layer logs while a test runs.
class LogLines {
  public:
    LogLines() {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.clear();
        SetLogSink(&LogLines::Sink);
    }
    ~LogLines() { SetLogSink(nullptr); }
    int Count(const std::string& needle) const {
        std::lock_guard<std::mutex> lock(mu_);
        return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
            return l.find(needle) != std::string::npos;
        }));
    }

  private:
    static void Sink(int, const char*, const std::string& text) {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.push_back(text);
    }
    static inline std::mutex mu_;
    static inline std::vector<std::string> lines_;
};

// A watched tree "root" beside a folder "outside" of it, and what the watch reported so far.
class DirWatchTest : public ::testing::Test {
  public:  // the tables' steps take the fixture
    void SetUp() override {
        tmp_.MakeDirs("root");
        tmp_.MakeDirs("outside");
    }
    std::string Root(const std::string& rel = "") const {
        return tmp_.Sub(rel.empty() ? "root" : "root/" + rel);
    }
    std::string Outside(const std::string& rel) const { return tmp_.Sub("outside/" + rel); }

    // Reads batches until `done` holds for everything seen so far.
    bool ReadUntil(const std::function<bool(const std::vector<DirChange>&)>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        std::vector<DirChange> batch;
        while (!done(seen_)) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            if (watch_.Read(&batch, 100) == DirWatch::ReadResult::kFailed)
                return false;
            seen_.insert(seen_.end(), batch.begin(), batch.end());
        }
        return true;
    }
    bool ReadUntilHas(int action, const std::string& name) {
        return ReadUntil([&](const std::vector<DirChange>& s) { return Has(s, action, name); });
    }
    // Everything reported up to a marker entry made now: events of one watch arrive in order, so
    // what came before the marker is all that the earlier steps caused.
    std::vector<DirChange> UpToMarker(bool folderMarker = false) {
        const std::string marker = "zz-marker-" + std::to_string(++markers_);
        if (folderMarker)
            ::mkdir(Root(marker).c_str(), 0755);
        else
            Write(Root(marker), "");
        EXPECT_TRUE(ReadUntilHas(kDirAdded, marker)) << Show(seen_);
        std::vector<DirChange> before;
        for (const DirChange& c : seen_) {
            if (c.name == marker)
                break;
            before.push_back(c);
        }
        seen_.clear();
        return before;
    }

    TempDir tmp_;
    DirWatch watch_;
    std::vector<DirChange> seen_;
    int markers_ = 0;
};

TEST_F(DirWatchTest, EachChangeBecomesItsAction) {
    using Step = std::function<void(DirWatchTest&)>;
    struct Case {
        const char* what;
        Step before;  // made before the watch starts
        Step act;
        std::vector<DirChange> expected;
    };
    auto file = [](const char* rel) { return [rel](DirWatchTest& t) { Write(t.Root(rel), "x"); }; };
    auto none = [](DirWatchTest&) {};
    const Case cases[] = {
        {"new empty file",
         none,
         [](DirWatchTest& t) { ::close(::open(t.Root("f").c_str(), O_CREAT | O_WRONLY, 0644)); },
         {{kDirAdded, "f"}}},
        {"write", file("f"), file("f"), {{kDirModified, "f"}}},
        {"many writes of one file are one record",
         file("f"),
         [](DirWatchTest& t) {
             for (int i = 0; i < 50; ++i)
                 Write(t.Root("f"), "y");
         },
         {{kDirModified, "f"}}},
        {"time set alone",
         file("f"),
         [](DirWatchTest& t) { ::utimensat(AT_FDCWD, t.Root("f").c_str(), nullptr, 0); },
         {{kDirModified, "f"}}},
        {"delete", file("f"), [](DirWatchTest& t) { ::unlink(t.Root("f").c_str()); }, {{kDirRemoved, "f"}}},
        {"rename",
         file("f"),
         [](DirWatchTest& t) { ::rename(t.Root("f").c_str(), t.Root("g").c_str()); },
         {{kDirRenamedOld, "f"}, {kDirRenamedNew, "g"}}},
        {"rename across folders",
         [](DirWatchTest& t) {
             ::mkdir(t.Root("d").c_str(), 0755);
             Write(t.Root("d/f"), "x");
         },
         [](DirWatchTest& t) { ::rename(t.Root("d/f").c_str(), t.Root("g").c_str()); },
         {{kDirRenamedOld, "d/f"}, {kDirRenamedNew, "g"}}},
        {"rename over an existing file",
         [](DirWatchTest& t) { Write(t.Root("f"), "1"), Write(t.Root("g"), "2"); },
         [](DirWatchTest& t) { ::rename(t.Root("f").c_str(), t.Root("g").c_str()); },
         {{kDirRenamedOld, "f"}, {kDirRenamedNew, "g"}}},
        {"moved out of the tree is a removal",
         file("f"),
         [](DirWatchTest& t) { ::rename(t.Root("f").c_str(), t.Outside("f").c_str()); },
         {{kDirRemoved, "f"}}},
        {"moved in from outside is an addition",
         [](DirWatchTest& t) { Write(t.Outside("f"), "x"); },
         [](DirWatchTest& t) { ::rename(t.Outside("f").c_str(), t.Root("f").c_str()); },
         {{kDirAdded, "f"}}},
        {"new file in a subfolder",
         [](DirWatchTest& t) { ::mkdir(t.Root("d").c_str(), 0755); },
         [](DirWatchTest& t) { ::close(::open(t.Root("d/f").c_str(), O_CREAT | O_WRONLY, 0644)); },
         {{kDirAdded, "d/f"}}},
        {"new empty folder",
         none,
         [](DirWatchTest& t) { ::mkdir(t.Root("d").c_str(), 0755); },
         {{kDirAdded, "d"}}},
        {"removed empty folder",
         [](DirWatchTest& t) { ::mkdir(t.Root("d").c_str(), 0755); },
         [](DirWatchTest& t) { ::rmdir(t.Root("d").c_str()); },
         {{kDirRemoved, "d"}}},
        {"name with a space and a bar",
         none,
         [](DirWatchTest& t) { Write(t.Root("a b|c"), ""); },
         {{kDirAdded, "a b|c"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(testsupport::RemoveTree(Root()));
        tmp_.MakeDirs("root");
        ASSERT_TRUE(testsupport::RemoveTree(tmp_.Sub("outside")));
        tmp_.MakeDirs("outside");
        c.before(*this);
        ASSERT_TRUE(watch_.Open(Root() + "/", true, kAll));  // a trailing "/" changes no name
        seen_.clear();
        c.act(*this);
        const std::vector<DirChange> got = UpToMarker();
        EXPECT_EQ(got, c.expected) << Show(got);
        watch_.Close();
    }
}

TEST_F(DirWatchTest, FilterLeavesOutWhatItDoesNotName) {
    struct Case {
        uint32_t filter;
        bool folderMarker;
        std::vector<DirChange> expected;
    };
    // Each run: a file written, a file made, a folder made.
    const Case cases[] = {
        {kNotifyFileName, false, {{kDirAdded, "new"}}},
        {kNotifyDirName, true, {{kDirAdded, "dir"}}},
        {kNotifyFileName | kNotifySize, false, {{kDirModified, "f"}, {kDirAdded, "new"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        ASSERT_TRUE(testsupport::RemoveTree(Root()));
        tmp_.MakeDirs("root");
        Write(Root("f"), "x");
        ASSERT_TRUE(watch_.Open(Root(), true, c.filter));
        seen_.clear();
        Write(Root("f"), "y");
        Write(Root("new"), "");
        ::mkdir(Root("dir").c_str(), 0755);
        const std::vector<DirChange> got = UpToMarker(c.folderMarker);
        EXPECT_EQ(got, c.expected) << Show(got);
        watch_.Close();
    }
}

TEST_F(DirWatchTest, FoldersMadeLaterAreWatchedAndTheirFirstFilesSeen) {
    ASSERT_TRUE(watch_.Open(Root(), true, kAll));
    // A tree made at once: its inner folders and the file exist before any watch can be on them.
    tmp_.MakeDirs("root/a/b/c");
    Write(Root("a/b/c/f"), "x");
    ASSERT_TRUE(ReadUntil([](const std::vector<DirChange>& s) {
        return Has(s, kDirAdded, "a") && Has(s, kDirAdded, "a/b") && Has(s, kDirAdded, "a/b/c") &&
               Has(s, kDirAdded, "a/b/c/f");
    })) << Show(seen_);
    EXPECT_TRUE(watch_.IsWatched("a/b/c"));
    seen_.clear();
    Write(Root("a/b/c/g"), "x");
    EXPECT_TRUE(ReadUntilHas(kDirAdded, "a/b/c/g")) << Show(seen_);

    // A tree moved in from outside: its files are reported, its folders watched.
    tmp_.MakeDirs("outside/t/u");
    Write(Outside("t/u/f"), "x");
    seen_.clear();
    ASSERT_EQ(0, ::rename(Outside("t").c_str(), Root("t").c_str()));
    ASSERT_TRUE(ReadUntil([](const std::vector<DirChange>& s) {
        return Has(s, kDirAdded, "t") && Has(s, kDirAdded, "t/u") && Has(s, kDirAdded, "t/u/f");
    })) << Show(seen_);
    seen_.clear();
    Write(Root("t/u/g"), "x");
    EXPECT_TRUE(ReadUntilHas(kDirAdded, "t/u/g")) << Show(seen_);
    EXPECT_EQ(watch_.WatchCount(), 6u);  // root, a, a/b, a/b/c, t, t/u
}

TEST_F(DirWatchTest, WatchesFollowRenamedFoldersAndGoWithRemovedOnes) {
    struct Case {
        const char* what;
        std::function<void(DirWatchTest&)> act;
        std::vector<DirChange> expected;  // at the top level
    };
    const Case cases[] = {
        {"deleted", [](DirWatchTest& t) { testsupport::RemoveTree(t.Root("a")); }, {{kDirRemoved, "a"}}},
        {"moved out",
         [](DirWatchTest& t) { ::rename(t.Root("a").c_str(), t.Outside("a").c_str()); },
         {{kDirRemoved, "a"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(testsupport::RemoveTree(Root()));
        ASSERT_TRUE(testsupport::RemoveTree(tmp_.Sub("outside")));
        tmp_.MakeDirs("outside");
        tmp_.MakeDirs("root/a/b/c");
        Write(Root("a/b/c/f"), "x");
        ASSERT_TRUE(watch_.Open(Root(), true, kAll));
        ASSERT_EQ(watch_.WatchCount(), 4u);
        seen_.clear();
        c.act(*this);
        std::vector<DirChange> got = UpToMarker();
        // What went inside a deleted folder is reported too, and the folder's own link count
        // changes (a modification); the folder's removal comes last.
        got.erase(std::remove_if(got.begin(), got.end(),
                                 [](const DirChange& d) {
                                     return d.name.find('/') != std::string::npos || d.action == kDirModified;
                                 }),
                  got.end());
        EXPECT_EQ(got, c.expected) << Show(got);
        EXPECT_EQ(watch_.WatchCount(), 1u);
        EXPECT_FALSE(watch_.IsWatched("a/b"));
        // A folder made again under the same name is a new folder with a watch of its own.
        tmp_.MakeDirs("root/a/b");
        ASSERT_TRUE(ReadUntil([](const std::vector<DirChange>& s) { return Has(s, kDirAdded, "a/b"); }))
            << Show(seen_);
        EXPECT_TRUE(watch_.IsWatched("a/b"));
        watch_.Close();
    }

    // A rename inside the tree: the watches stay and report under the new names.
    ASSERT_TRUE(testsupport::RemoveTree(Root()));
    tmp_.MakeDirs("root/a/b/c");
    ASSERT_TRUE(watch_.Open(Root(), true, kAll));
    seen_.clear();
    ASSERT_EQ(0, ::rename(Root("a").c_str(), Root("z").c_str()));
    EXPECT_EQ(UpToMarker(), (std::vector<DirChange>{{kDirRenamedOld, "a"}, {kDirRenamedNew, "z"}}));
    EXPECT_TRUE(watch_.IsWatched("z/b/c"));
    EXPECT_FALSE(watch_.IsWatched("a/b/c"));
    Write(Root("z/b/c/f"), "x");
    EXPECT_EQ(UpToMarker(), (std::vector<DirChange>{{kDirAdded, "z/b/c/f"}, {kDirModified, "z/b/c/f"}}));
    EXPECT_EQ(watch_.WatchCount(), 4u);
}

TEST_F(DirWatchTest, OverflowIsReportedAndTheTreeWatchedAnew) {
    long maxQueued = 16384;
    {
        std::ifstream in("/proc/sys/fs/inotify/max_queued_events");
        in >> maxQueued;
    }
    ASSERT_GT(maxQueued, 0);
    if (maxQueued > 1000000)
        GTEST_SKIP() << "the kernel queues " << maxQueued << " events; too many to fill here";
    tmp_.MakeDirs("root/d");
    ASSERT_TRUE(watch_.Open(Root(), true, kAll));
    // Writes to two files in turn are never merged by the kernel, so the queue fills up.
    const int a = ::open(Root("a").c_str(), O_CREAT | O_WRONLY, 0644);
    const int b = ::open(Root("b").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    for (long i = 0; i < maxQueued / 2 + 100; ++i) {
        ASSERT_EQ(1, ::write(a, "x", 1));
        ASSERT_EQ(1, ::write(b, "x", 1));
    }
    ::close(a);
    ::close(b);
    // Made while the queue is full: their events are lost, only a fresh look at the tree finds them.
    tmp_.MakeDirs("root/late");
    ASSERT_EQ(0, ::rename(Root("d").c_str(), Root("e").c_str()));
    ASSERT_TRUE(ReadUntilHas(kDirOverflow, "")) << seen_.size();
    EXPECT_TRUE(watch_.IsWatched("late"));
    EXPECT_TRUE(watch_.IsWatched("e"));
    EXPECT_FALSE(watch_.IsWatched("d"));
    seen_.clear();
    Write(Root("late/f"), "x");
    Write(Root("e/f"), "x");
    const std::vector<DirChange> got = UpToMarker();
    EXPECT_TRUE(Has(got, kDirAdded, "late/f")) << Show(got);
    EXPECT_TRUE(Has(got, kDirAdded, "e/f")) << Show(got);
}

TEST_F(DirWatchTest, OutOfWatchesIsLoggedOnceWithTheLimitToRaise) {
    LogLines log;
    FaultScope faults;
    tmp_.MakeDirs("root/a");
    tmp_.MakeDirs("root/b");
    tmp_.MakeDirs("root/c");
    // The root gets its watch, no folder below it does.
    FailCall(Op::Watch, 1000, ENOSPC, "", 1);
    ASSERT_TRUE(watch_.Open(Root(), true, kAll));
    EXPECT_TRUE(watch_.Incomplete());
    EXPECT_EQ(watch_.WatchCount(), 1u);
    EXPECT_EQ(log.Count("/proc/sys/fs/inotify/max_user_watches"), 1);
    // Changes at the top are still seen; a new folder cannot be watched and says nothing more.
    ::mkdir(Root("d").c_str(), 0755);
    Write(Root("f"), "x");
    ASSERT_TRUE(ReadUntilHas(kDirAdded, "f")) << Show(seen_);
    EXPECT_TRUE(Has(seen_, kDirAdded, "d"));
    EXPECT_FALSE(watch_.IsWatched("d"));
    EXPECT_EQ(log.Count("/proc/sys/fs/inotify/max_user_watches"), 1);

    // Without a watch for the root there is nothing to read at all.
    watch_.Close();
    ClearFaults();
    FailCall(Op::Watch, 1, ENOSPC);
    EXPECT_FALSE(watch_.Open(Root(), true, kAll));
    EXPECT_FALSE(watch_.IsOpen());
    EXPECT_EQ(log.Count("/proc/sys/fs/inotify/max_user_watches"), 2);
    // Another error is a plain warning naming the folder.
    ClearFaults();
    FailCall(Op::Watch, 1, EACCES, "/root/b");
    ASSERT_TRUE(watch_.Open(Root(), true, kAll));
    EXPECT_TRUE(watch_.Incomplete());
    EXPECT_TRUE(watch_.IsWatched("a"));
    EXPECT_FALSE(watch_.IsWatched("b"));
    EXPECT_EQ(log.Count("Fail to watch \"" + Root("b") + "\""), 1);
}

TEST_F(DirWatchTest, OpenRefusesWhatIsNoFolder) {
    Write(Root("file"), "x");
    ASSERT_EQ(0, ::symlink(Root().c_str(), tmp_.Sub("link").c_str()));
    for (const std::string& path : {Root("missing"), Root("file"), tmp_.Sub("link")}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(watch_.Open(path, true, kAll));
        EXPECT_FALSE(watch_.IsOpen());
        std::vector<DirChange> out;
        EXPECT_EQ(watch_.Read(&out, 0), DirWatch::ReadResult::kFailed);
    }
}

TEST_F(DirWatchTest, WakeEndsABlockedReadAndALostRootEndsTheWatch) {
    ASSERT_TRUE(watch_.Open(Root(), true, kAll));
    std::atomic<int> result{-1};
    std::thread reader([&] {
        std::vector<DirChange> out;
        result = static_cast<int>(watch_.Read(&out, -1));  // no timeout: only Wake ends it
    });
    watch_.Wake();
    reader.join();
    EXPECT_EQ(result.load(), static_cast<int>(DirWatch::ReadResult::kWoken));

    // The woken state does not linger: the next read sees the next change.
    Write(Root("f"), "x");
    EXPECT_TRUE(ReadUntilHas(kDirAdded, "f")) << Show(seen_);

    ASSERT_TRUE(testsupport::RemoveTree(Root()));
    std::vector<DirChange> out;
    DirWatch::ReadResult r = DirWatch::ReadResult::kChanges;
    for (int i = 0; i < 200 && r != DirWatch::ReadResult::kFailed; ++i)
        r = watch_.Read(&out, 100);
    EXPECT_EQ(r, DirWatch::ReadResult::kFailed);
}

}  // namespace
