#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/fault.h"
#include "support/tempdir.h"

using namespace platform;
using testsupport::TempDir;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
    return st.st_mode & 07777;
}

std::string StoredAttrText(const std::string& path) {
    char buf[128];
    ssize_t n = ::lgetxattr(path.c_str(), "user.kestrine.attributes", buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

bool XattrsSupported(const std::string& dir) {
    std::string probe = dir + "/.xattr-probe";
    int fd = ::open(probe.c_str(), O_CREAT | O_WRONLY, 0600);
    ::close(fd);
    bool ok = ::lsetxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    ::unlink(probe.c_str());
    return ok;
}

}  // namespace

TEST(FileTime, ConversionsAroundTheEpochs) {
    struct Case {
        int64_t sec, nsec, fileTime;
    };
    const Case cases[] = {
        {0, 0, kFileTimeUnixOffset},
        {1, 500, kFileTimeUnixOffset + 10000005},
        {-1, 999999900, kFileTimeUnixOffset - 1},  // just before 1970
        {-11644473600LL, 0, 0},                    // 1601-01-01
        {1700000000, 123456700, 1700000000LL * 10000000 + 1234567 + kFileTimeUnixOffset},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.fileTime, UnixToFileTime(c.sec, c.nsec)) << c.sec;
        int64_t s = 0, ns = 0;
        FileTimeToUnix(c.fileTime, &s, &ns);
        EXPECT_EQ(c.sec, s);
        EXPECT_EQ(c.nsec, ns);
    }
}

TEST(FileTime, WriteTimeRoundTripsAt100ns) {
    TempDir dir;
    dir.WriteFile("a", "x");
    dir.MakeDirs("d");
    const int64_t t = UnixToFileTime(1600000000, 123456700);
    for (const std::string& p : {dir.Sub("a"), dir.Sub("d")}) {
        FileStat before;
        ASSERT_TRUE(Stat(p, &before));
        ASSERT_TRUE(SetFileWriteTime(p, t)) << ErrorText(LastError());
        int64_t got = 0;
        ASSERT_TRUE(GetFileWriteTime(p, &got));
        EXPECT_EQ(t, got) << p;
        FileStat after;
        ASSERT_TRUE(Stat(p, &after));
        EXPECT_EQ(before.accessTime, after.accessTime) << "access time must be kept";
    }
    File f;
    ASSERT_TRUE(f.Open(dir.Sub("a"), File::Mode::ReadWrite));
    ASSERT_TRUE(f.SetWriteTime(t + 1));
    int64_t got = 0;
    ASSERT_TRUE(f.GetWriteTime(&got));
    EXPECT_EQ(t + 1, got);
}

TEST(FileTime, SetWriteTimeDoesNotFollowLinks) {
    TempDir dir;
    dir.WriteFile("target", "x");
    ASSERT_EQ(0, ::symlink(dir.Sub("target").c_str(), dir.Sub("link").c_str()));
    int64_t before = 0;
    ASSERT_TRUE(GetFileWriteTime(dir.Sub("target"), &before));
    ASSERT_TRUE(SetFileWriteTime(dir.Sub("link"), UnixToFileTime(1000000000, 0)));
    int64_t after = 0;
    ASSERT_TRUE(GetFileWriteTime(dir.Sub("target"), &after));
    EXPECT_EQ(before, after);
}

TEST(Stat, KindsAndMissingPaths) {
    TempDir dir;
    dir.WriteFile("f", "12345");
    dir.MakeDirs("d");
    ASSERT_EQ(0, ::symlink("d", dir.Sub("l").c_str()));
    FileStat st;
    ASSERT_TRUE(Stat(dir.Sub("f"), &st));
    EXPECT_EQ(EntryKind::File, st.kind);
    EXPECT_EQ(5, st.size);
    ASSERT_TRUE(Stat(dir.Sub("l"), &st));
    EXPECT_EQ(EntryKind::Link, st.kind);
    EXPECT_TRUE(IsDirectory(dir.Sub("d")));
    EXPECT_FALSE(IsDirectory(dir.Sub("l"))) << "a link to a folder is not a folder";
    EXPECT_TRUE(IsRegularFile(dir.Sub("f")));
    EXPECT_FALSE(Stat(dir.Sub("missing"), &st));
    EXPECT_EQ(ENOENT, LastError());
    EXPECT_FALSE(Exists(dir.Sub("missing")));
}

TEST(ListDir, KindsWithoutFollowingLinks) {
    TempDir dir;
    dir.WriteFile("file", "abc");
    dir.WriteFile("sub/inner", "");
    ASSERT_EQ(0, ::symlink("sub", dir.Sub("dirlink").c_str()));
    ASSERT_EQ(0, ::symlink("nowhere", dir.Sub("dangling").c_str()));
    ASSERT_EQ(0, ::mkfifo(dir.Sub("fifo").c_str(), 0600));
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDir(dir.Path(), &entries));
    std::map<std::string, EntryKind> kinds;
    for (const DirEntry& e : entries) {
        kinds[e.name] = e.stat.kind;
    }
    std::map<std::string, EntryKind> want = {{"file", EntryKind::File},
                                             {"sub", EntryKind::Directory},
                                             {"dirlink", EntryKind::Link},
                                             {"dangling", EntryKind::Link},
                                             {"fifo", EntryKind::Other}};
    EXPECT_EQ(want, kinds);
    for (const DirEntry& e : entries) {
        if (e.name == "file") {
            EXPECT_EQ(3, e.stat.size);
        }
        if (e.name == "sub") {
            EXPECT_EQ(0, e.stat.size) << "folders carry no size";
        }
    }
    // The listed folder itself is not followed when it is a link.
    EXPECT_FALSE(ListDir(dir.Sub("dirlink"), &entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(ListDir(dir.Sub("missing"), &entries));
    EXPECT_EQ(ENOENT, LastError());
}

TEST(ListDir, AttributesMatchGetFileAttributes) {
    TempDir dir;
    if (!XattrsSupported(dir.Path())) {
        GTEST_SKIP() << "no user xattrs on " << dir.Path();
    }
    dir.WriteFile("plain", "");
    dir.WriteFile(".dot", "");
    dir.WriteFile("ro", "");
    dir.WriteFile("sys", "");
    dir.MakeDirs("folder");
    dir.MakeDirs("hiddenfolder");
    ASSERT_EQ(0, ::symlink("plain", dir.Sub(".link").c_str()));
    ASSERT_TRUE(SetFileAttributes(dir.Sub("ro"), kAttrReadOnly));
    ASSERT_TRUE(SetFileAttributes(dir.Sub("sys"), kAttrHidden | kAttrSystem));
    ASSERT_TRUE(SetFileAttributes(dir.Sub("hiddenfolder"), kAttrHidden));
    std::map<std::string, uint32_t> want = {
        {"plain", kAttrNormal},     {".dot", kAttrHidden},
        {"ro", kAttrReadOnly},      {"sys", kAttrHidden | kAttrSystem},
        {"folder", kAttrDirectory}, {"hiddenfolder", kAttrDirectory | kAttrHidden},
        {".link", kAttrHidden},
    };
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDir(dir.Path(), &entries, true));
    ASSERT_EQ(want.size(), entries.size());
    for (const DirEntry& e : entries) {
        EXPECT_EQ(want[e.name], e.attributes) << e.name;
        EXPECT_EQ(want[e.name], GetFileAttributes(dir.Sub(e.name))) << e.name;
    }
}

TEST(ListDir, FaultFailsTheListing) {
    TempDir dir;
    dir.WriteFile("a", "");
    FaultScope faults;
    FailCall(Op::ListDir, 1, EACCES, "kestrine-test");
    std::vector<DirEntry> entries;
    EXPECT_FALSE(ListDir(dir.Path(), &entries));
    EXPECT_EQ(EACCES, LastError());
    EXPECT_TRUE(ListDir(dir.Path(), &entries)) << "a fault of count 1 fires once";
    EXPECT_EQ(1u, entries.size());
}

TEST(Attributes, ReadOnlyFileLosesWriteBitsAndGetsThemBack) {
    TempDir dir;
    dir.WriteFile("f", "data");
    std::string p = dir.Sub("f");
    ::chmod(p.c_str(), 0664);
    ASSERT_TRUE(SetFileAttributes(p, kAttrReadOnly | kAttrHidden));
    EXPECT_EQ(0444u, ModeOf(p));
    EXPECT_EQ(kAttrReadOnly | kAttrHidden, GetFileAttributes(p));
    if (::geteuid() != 0) {  // root writes whatever the bits say
        File f;
        EXPECT_FALSE(f.Open(p, File::Mode::ReadWrite));
        EXPECT_EQ(EACCES, LastError());
    }
    ASSERT_TRUE(SetFileAttributes(p, kAttrNormal));
    EXPECT_EQ(0644u, ModeOf(p)) << "the owner's write bit comes back";
    EXPECT_EQ(kAttrNormal, GetFileAttributes(p));
    EXPECT_EQ("", StoredAttrText(p));
    File f;
    EXPECT_TRUE(f.Open(p, File::Mode::ReadWrite));
}

TEST(Attributes, FileWithoutWriteBitReadsAsReadOnly) {
    TempDir dir;
    dir.WriteFile("f", "");
    ::chmod(dir.Sub("f").c_str(), 0444);
    EXPECT_EQ(kAttrReadOnly, GetFileAttributes(dir.Sub("f")));
}

TEST(Attributes, ReadOnlyFolderKeepsItsPermissions) {
    TempDir dir;
    dir.MakeDirs("d");
    std::string p = dir.Sub("d");
    ::chmod(p.c_str(), 0755);
    ASSERT_TRUE(SetFileAttributes(p, kAttrReadOnly | kAttrSystem));
    EXPECT_EQ(0755u, ModeOf(p)) << "a folder must stay writable";
    if (XattrsSupported(dir.Path())) {
        EXPECT_EQ(kAttrDirectory | kAttrReadOnly | kAttrSystem, GetFileAttributes(p));
    }
    dir.WriteFile("d/inside", "still writable");
    ::chmod(p.c_str(), 0555);
    ASSERT_TRUE(SetFileAttributes(p, kAttrNormal));
    EXPECT_EQ(0755u, ModeOf(p)) << "clearing everything gives the owner the folder back";
    EXPECT_EQ(kAttrDirectory, GetFileAttributes(p));
}

TEST(Attributes, StoredAsTextInTheExtendedAttribute) {
    TempDir dir;
    if (!XattrsSupported(dir.Path())) {
        GTEST_SKIP();
    }
    dir.WriteFile("f", "");
    std::string p = dir.Sub("f");
    ASSERT_TRUE(SetFileAttributes(p, kAttrHidden | kAttrSystem | kAttrReadOnly));
    EXPECT_EQ("hidden,system,readonly", StoredAttrText(p));
    // Text written by someone else, with spaces and an unknown word, still reads.
    ASSERT_EQ(0, ::lsetxattr(p.c_str(), "user.kestrine.attributes", "system, archive", 15, 0));
    ::chmod(p.c_str(), 0644);
    EXPECT_EQ(kAttrSystem, GetFileAttributes(p));
}

TEST(Attributes, LinksAndMissingPaths) {
    TempDir dir;
    dir.WriteFile("target", "");
    ASSERT_EQ(0, ::symlink("target", dir.Sub("link").c_str()));
    EXPECT_EQ(kInvalidAttributes, GetFileAttributes(dir.Sub("missing")));
    EXPECT_FALSE(SetFileAttributes(dir.Sub("missing"), kAttrNormal));
    EXPECT_EQ(ENOENT, LastError());
    EXPECT_FALSE(SetFileAttributes(dir.Sub("link"), kAttrReadOnly)) << "never through a link";
    EXPECT_TRUE(SetFileAttributes(dir.Sub("link"), kAttrNormal));
    EXPECT_EQ(kAttrNormal, GetFileAttributes(dir.Sub("target")));
}

TEST(Attributes, SetAttrFault) {
    TempDir dir;
    dir.WriteFile("f", "");
    FaultScope faults;
    FailCall(Op::SetAttr, 1, EROFS);
    EXPECT_FALSE(SetFileAttributes(dir.Sub("f"), kAttrReadOnly));
    EXPECT_EQ(EROFS, LastError());
    EXPECT_EQ(kAttrNormal, GetFileAttributes(dir.Sub("f")));
}

TEST(Paths, ReadLinkGivesTheStoredTargetOfALinkOnly) {
    TempDir dir;
    dir.WriteFile("file", "f");
    const std::string longTarget = "../" + std::string(250, 'x') + "/file";
    ASSERT_EQ(0, ::symlink("file", dir.Sub("short").c_str()));
    ASSERT_EQ(0, ::symlink(longTarget.c_str(), dir.Sub("long").c_str()));
    std::string target;
    ASSERT_TRUE(ReadLink(dir.Sub("short"), &target));
    EXPECT_EQ("file", target);
    ASSERT_TRUE(ReadLink(dir.Sub("long"), &target));
    EXPECT_EQ(longTarget, target) << "a target longer than the first buffer is read whole";

    const struct {
        const char* what;
        std::string path;
        int error;
    } failures[] = {
        {"a file", dir.Sub("file"), EINVAL},
        {"a missing path", dir.Sub("missing"), ENOENT},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(ReadLink(c.path, &target));
        EXPECT_EQ(c.error, LastError());
    }
    FaultScope faults;
    FailCall(Op::ReadLink, 1, EACCES, "short");
    EXPECT_FALSE(ReadLink(dir.Sub("short"), &target));
    EXPECT_EQ(EACCES, LastError());
    EXPECT_TRUE(ReadLink(dir.Sub("short"), &target)) << "the fault was for one call";
}

TEST(Paths, LexicalPathFoldsDotsAndRepeatedSlashes) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"/", "/"},
        {"//a///b/", "/a/b"},
        {"/a/./b/.", "/a/b"},
        {"/a/b/../c", "/a/c"},
        {"/a/b/../../..", "/"},
        {"/../a", "/a"},
        {"a/..", "."},
        {"./", "."},
        {"a/../../b", "../b"},
        {"../a/../..", "../.."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.out, LexicalPath(c.in)) << "\"" << c.in << "\"";
    }
}

TEST(Paths, ResolvePathFollowsLinksAsFarAsThePathExists) {
    TempDir dir;
    dir.MakeDirs("real/sub");
    dir.WriteFile("real/file", "f");
    dir.MakeDirs("deep/inner");
    ASSERT_EQ(0, ::symlink("real", dir.Sub("link").c_str()));
    ASSERT_EQ(0, ::symlink("deep/inner", dir.Sub("jump").c_str()));
    std::string base;  // the temporary folder itself may lie below a link
    ASSERT_TRUE(ResolvePath(dir.Path(), &base));
    const struct {
        const char* what;
        const char* rel;
        std::string resolved;
    } cases[] = {
        {"an existing folder through a link", "link/sub", base + "/real/sub"},
        {"a trailing slash", "link/sub/", base + "/real/sub"},
        {"'..' after a link climbs from its target", "jump/../inner", base + "/deep/inner"},
        {"a missing rest is folded by its text", "link/missing/./x/../y", base + "/real/missing/y"},
        {"nothing below a file", "link/file/x", base + "/real/file/x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string resolved;
        ASSERT_TRUE(ResolvePath(dir.Sub(c.rel), &resolved)) << ErrorText(LastError());
        EXPECT_EQ(c.resolved, resolved);
    }
    std::string resolved;
    FaultScope faults;
    FailCall(Op::Stat, 1, EACCES, "link/sub");
    EXPECT_FALSE(ResolvePath(dir.Sub("link/sub"), &resolved));
    EXPECT_EQ(EACCES, LastError());
}

TEST(MoveFile, NeverReplacesAnExistingTarget) {
    TempDir dir;
    dir.WriteFile("a", "A");
    dir.WriteFile("b", "B");
    dir.MakeDirs("d1");
    dir.MakeDirs("d2");
    EXPECT_FALSE(MoveFile(dir.Sub("a"), dir.Sub("b")));
    EXPECT_EQ(EEXIST, LastError());
    EXPECT_EQ("A", dir.ReadFile("a"));
    EXPECT_EQ("B", dir.ReadFile("b"));
    EXPECT_FALSE(MoveFile(dir.Sub("d1"), dir.Sub("d2")));
    EXPECT_TRUE(dir.Exists("d1"));
    ASSERT_TRUE(MoveFile(dir.Sub("a"), dir.Sub("c")));
    EXPECT_FALSE(dir.Exists("a"));
    EXPECT_EQ("A", dir.ReadFile("c"));
    EXPECT_FALSE(MoveFile(dir.Sub("missing"), dir.Sub("x")));
    EXPECT_EQ(ENOENT, LastError());
}

TEST(MoveFile, AcrossDevicesCopiesTreeThenDeletes) {
    TempDir dir;
    dir.WriteFile("src/top.txt", "top");
    dir.WriteFile("src/sub/deep.bin", std::string(300000, '\x5a'));
    dir.WriteFile("src/sub/.hidden", "h");
    dir.WriteFile("outside", "must survive");
    ASSERT_EQ(0, ::symlink(dir.Sub("outside").c_str(), dir.Sub("src/sub/link").c_str()));
    const std::string longTarget(300, 'n');  // longer than a first guess at a link's size
    ASSERT_EQ(0, ::symlink(longTarget.c_str(), dir.Sub("src/long").c_str()));
    const int64_t t = UnixToFileTime(1500000000, 987654300);
    ASSERT_TRUE(SetFileWriteTime(dir.Sub("src/sub/deep.bin"), t));
    ASSERT_TRUE(SetFileWriteTime(dir.Sub("src/sub"), t + 10));
    ::chmod(dir.Sub("src/top.txt").c_str(), 0640);

    FaultScope faults;
    FailCall(Op::CrossDevice, 1);
    ASSERT_TRUE(MoveFile(dir.Sub("src"), dir.Sub("dst"))) << ErrorText(LastError());
    EXPECT_FALSE(dir.Exists("src"));
    EXPECT_EQ("top", dir.ReadFile("dst/top.txt"));
    EXPECT_EQ(std::string(300000, '\x5a'), dir.ReadFile("dst/sub/deep.bin"));
    EXPECT_EQ("h", dir.ReadFile("dst/sub/.hidden"));
    EXPECT_EQ(0640u, ModeOf(dir.Sub("dst/top.txt")));
    FileStat st;
    ASSERT_TRUE(Stat(dir.Sub("dst/sub/link"), &st));
    EXPECT_EQ(EntryKind::Link, st.kind) << "links are copied as links";
    std::string target;
    ASSERT_TRUE(ReadLink(dir.Sub("dst/sub/link"), &target));
    EXPECT_EQ(dir.Sub("outside"), target);
    ASSERT_TRUE(ReadLink(dir.Sub("dst/long"), &target));
    EXPECT_EQ(longTarget, target);
    EXPECT_EQ("must survive", dir.ReadFile("outside"));
    int64_t got = 0;
    ASSERT_TRUE(GetFileWriteTime(dir.Sub("dst/sub/deep.bin"), &got));
    EXPECT_EQ(t, got);
    ASSERT_TRUE(GetFileWriteTime(dir.Sub("dst/sub"), &got));
    EXPECT_EQ(t + 10, got);
}

TEST(MoveFile, AcrossDevicesFailureLeavesSourceAndNoTarget) {
    TempDir dir;
    dir.WriteFile("src/one", "1");
    dir.WriteFile("src/two", "2");
    dir.WriteFile("exists", "keep");
    FaultScope faults;
    // A failing write halfway through the copy.
    FailCall(Op::CrossDevice, 1);
    FailCall(Op::Write, 1, ENOSPC, "/dst/", 1);
    EXPECT_FALSE(MoveFile(dir.Sub("src"), dir.Sub("dst")));
    EXPECT_EQ(ENOSPC, LastError());
    EXPECT_FALSE(dir.Exists("dst"));
    EXPECT_EQ("1", dir.ReadFile("src/one"));
    EXPECT_EQ("2", dir.ReadFile("src/two"));
    // The copy path refuses an existing target too.
    FailCall(Op::CrossDevice, 1);
    EXPECT_FALSE(MoveFile(dir.Sub("src/one"), dir.Sub("exists")));
    EXPECT_EQ(EEXIST, LastError());
    EXPECT_EQ("keep", dir.ReadFile("exists"));
    EXPECT_EQ("1", dir.ReadFile("src/one"));
}

TEST(MoveFile, RenameFaultAndReplace) {
    TempDir dir;
    dir.WriteFile("a", "new");
    dir.WriteFile("b", "old");
    {
        FaultScope faults;
        FailCall(Op::Rename, 1, EIO, "/a");
        EXPECT_FALSE(ReplaceFile(dir.Sub("a"), dir.Sub("b")));
        EXPECT_EQ(EIO, LastError());
        EXPECT_EQ("old", dir.ReadFile("b"));
    }
    ASSERT_TRUE(ReplaceFile(dir.Sub("a"), dir.Sub("b")));
    EXPECT_EQ("new", dir.ReadFile("b"));
    EXPECT_FALSE(dir.Exists("a"));
}

TEST(CopyFile, ReplaceOrRefuse) {
    TempDir dir;
    dir.WriteFile("src", "source bytes");
    dir.WriteFile("dst", "existing");
    const int64_t t = UnixToFileTime(1400000000, 500);
    ASSERT_TRUE(SetFileWriteTime(dir.Sub("src"), t));
    EXPECT_FALSE(CopyFile(dir.Sub("src"), dir.Sub("dst"), false));
    EXPECT_EQ(EEXIST, LastError());
    EXPECT_EQ("existing", dir.ReadFile("dst"));
    ASSERT_TRUE(CopyFile(dir.Sub("src"), dir.Sub("dst"), true));
    EXPECT_EQ("source bytes", dir.ReadFile("dst"));
    ASSERT_TRUE(CopyFile(dir.Sub("src"), dir.Sub("fresh"), false));
    EXPECT_EQ("source bytes", dir.ReadFile("fresh"));
    int64_t got = 0;
    ASSERT_TRUE(GetFileWriteTime(dir.Sub("fresh"), &got));
    EXPECT_EQ(t, got);
    // Only the three files: no temporary copies are left behind.
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDir(dir.Path(), &entries));
    EXPECT_EQ(3u, entries.size());
}

TEST(CopyFile, FailedCopyKeepsTheOldTarget) {
    TempDir dir;
    dir.WriteFile("src", std::string(1 << 20, 'n'));
    dir.WriteFile("dst", "old");
    ASSERT_EQ(0, ::symlink(dir.Sub("src").c_str(), dir.Sub("srclink").c_str()));
    FaultScope faults;
    FailCall(Op::Write, 1, ENOSPC, "dst");
    EXPECT_FALSE(CopyFile(dir.Sub("src"), dir.Sub("dst"), true));
    EXPECT_EQ(ENOSPC, LastError());
    EXPECT_EQ("old", dir.ReadFile("dst"));
    FailCall(Op::Copy, 1, EACCES);
    EXPECT_FALSE(CopyFile(dir.Sub("src"), dir.Sub("other"), true));
    EXPECT_EQ(EACCES, LastError());
    EXPECT_FALSE(CopyFile(dir.Sub("srclink"), dir.Sub("other"), true)) << "a link is not a regular file";
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDir(dir.Path(), &entries));
    EXPECT_EQ(3u, entries.size()) << "no temporary copies are left behind";
}

TEST(MakeAndRemove, OneLevelAndNoFollow) {
    TempDir dir;
    EXPECT_TRUE(MakeDir(dir.Sub("d")));
    EXPECT_FALSE(MakeDir(dir.Sub("d")));
    EXPECT_EQ(EEXIST, LastError());
    EXPECT_FALSE(MakeDir(dir.Sub("x/y")));
    EXPECT_EQ(ENOENT, LastError());
    dir.WriteFile("d/f", "");
    EXPECT_FALSE(RemoveDir(dir.Sub("d")));
    EXPECT_EQ(ENOTEMPTY, LastError());
    dir.WriteFile("target", "t");
    ASSERT_EQ(0, ::symlink(dir.Sub("target").c_str(), dir.Sub("link").c_str()));
    EXPECT_TRUE(RemoveFile(dir.Sub("link")));
    EXPECT_EQ("t", dir.ReadFile("target"));
    FaultScope faults;
    FailCall(Op::MakeDir, 1, EDQUOT);
    EXPECT_FALSE(MakeDir(dir.Sub("e")));
    EXPECT_EQ(EDQUOT, LastError());
    FailCall(Op::Remove, 1, EBUSY, "/target");
    EXPECT_FALSE(RemoveFile(dir.Sub("target")));
    EXPECT_TRUE(dir.Exists("target"));
}

TEST(File, ModesAndReadWrite) {
    TempDir dir;
    std::string p = dir.Sub("f");
    File f;
    EXPECT_FALSE(f.Open(p, File::Mode::Read));
    EXPECT_EQ(ENOENT, LastError());
    ASSERT_TRUE(f.Open(p, File::Mode::CreateNew));
    ASSERT_TRUE(f.WriteAll("hello world", 11));
    f.Close();
    EXPECT_FALSE(f.Open(p, File::Mode::CreateNew));
    EXPECT_EQ(EEXIST, LastError());
    ASSERT_TRUE(f.Open(p, File::Mode::CreateRW));
    EXPECT_EQ(11, f.Size()) << "CreateRW never truncates";
    ASSERT_TRUE(f.SeekToEnd());
    ASSERT_TRUE(f.WriteAll("!", 1));
    ASSERT_TRUE(f.Seek(6));
    char buf[6] = {0};
    ASSERT_TRUE(f.ReadAll(buf, 6));
    EXPECT_EQ("world!", std::string(buf, 6));
    EXPECT_FALSE(f.ReadAll(buf, 1));
    EXPECT_EQ(ENODATA, LastError());
    EXPECT_EQ(0, f.Read(buf, 1));
    ASSERT_TRUE(f.Truncate(5));
    ASSERT_TRUE(f.Sync());
    EXPECT_EQ(5, f.Size());
    File moved = std::move(f);
    EXPECT_FALSE(f.IsOpen());
    EXPECT_TRUE(moved.IsOpen());
    EXPECT_EQ(p, moved.Path());
    moved.Close();
    EXPECT_EQ(-1, moved.Read(buf, 1));
    EXPECT_EQ(EBADF, LastError());
    ASSERT_TRUE(f.Open(p, File::Mode::CreateTrunc));
    EXPECT_EQ(0, f.Size());
}

TEST(File, NeverOpensThroughALink) {
    TempDir dir;
    dir.WriteFile("target", "secret");
    ASSERT_EQ(0, ::symlink(dir.Sub("target").c_str(), dir.Sub("link").c_str()));
    for (File::Mode m : {File::Mode::Read, File::Mode::CreateTrunc, File::Mode::CreateRW}) {
        File f;
        EXPECT_FALSE(f.Open(dir.Sub("link"), m));
        EXPECT_EQ(ELOOP, LastError());
    }
    EXPECT_EQ("secret", dir.ReadFile("target"));
}

TEST(File, ExclusiveOpenFailsWhileAnotherProgramHoldsTheLock) {
    TempDir dir;
    dir.WriteFile("f", "contents");
    std::string p = dir.Sub("f");
    int toChild[2], toParent[2];
    ASSERT_EQ(0, ::pipe(toChild));
    ASSERT_EQ(0, ::pipe(toParent));
    pid_t child = ::fork();
    if (child == 0) {
        int fd = ::open(p.c_str(), O_RDONLY);
        ::flock(fd, LOCK_EX);
        ::write(toParent[1], "x", 1);
        char c;
        ::read(toChild[0], &c, 1);  // hold the lock until the parent has checked
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(1, ::read(toParent[0], &c, 1));
    File f;
    EXPECT_FALSE(f.Open(p, File::Mode::CreateTrunc, true));
    EXPECT_EQ(EWOULDBLOCK, LastError());
    EXPECT_EQ("contents", dir.ReadFile("f")) << "not truncated while locked elsewhere";
    EXPECT_TRUE(f.Open(p, File::Mode::Read, false)) << "a shared open still works";
    ::write(toChild[1], "x", 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) {
        ::close(fd);
    }
    EXPECT_TRUE(f.Open(p, File::Mode::CreateTrunc, true));
    EXPECT_EQ(0, f.Size());
}

TEST(File, FaultsOfEachCall) {
    TempDir dir;
    std::string p = dir.Sub("f");
    dir.WriteFile("f", "abc");
    FaultScope faults;
    File f;
    FailCall(Op::Open, 1, EMFILE, "/f");
    EXPECT_FALSE(f.Open(p, File::Mode::ReadWrite));
    EXPECT_EQ(EMFILE, LastError());
    ASSERT_TRUE(f.Open(p, File::Mode::ReadWrite));
    char buf[3];
    struct Case {
        Op op;
        std::function<bool()> call;
    };
    const Case cases[] = {
        {Op::Read, [&] { return f.Read(buf, 3) >= 0; }},
        {Op::Write, [&] { return f.WriteAll("x", 1); }},
        {Op::Fsync, [&] { return f.Sync(); }},
        {Op::Truncate, [&] { return f.Truncate(0); }},
        {Op::SetTime, [&] { return f.SetWriteTime(kFileTimeUnixOffset); }},
        {Op::Lock,
         [&] {
             File g;
             return g.Open(dir.Sub("g"), File::Mode::CreateRW, true);
         }},
    };
    for (const Case& c : cases) {
        FailCall(c.op, 1, EIO);
        EXPECT_FALSE(c.call()) << static_cast<int>(c.op);
        EXPECT_EQ(EIO, LastError());
        EXPECT_TRUE(c.call()) << "fault consumed: " << static_cast<int>(c.op);
    }
}

TEST(Faults, SkipCountAndPathFilter) {
    TempDir dir;
    dir.WriteFile("a", "");
    dir.WriteFile("b", "");
    FaultScope faults;
    FailCall(Op::Stat, 2, EIO, "/b", 1);
    FileStat st;
    EXPECT_TRUE(Stat(dir.Sub("a"), &st)) << "other paths do not match";
    EXPECT_TRUE(Stat(dir.Sub("b"), &st)) << "skipped once";
    EXPECT_FALSE(Stat(dir.Sub("b"), &st));
    EXPECT_FALSE(Stat(dir.Sub("b"), &st));
    EXPECT_TRUE(Stat(dir.Sub("b"), &st)) << "count exhausted";
    FailCall(Op::Stat, 1, EIO);
    FailCall(Op::Stat, 1, EACCES);
    EXPECT_FALSE(Stat(dir.Sub("a"), &st));
    EXPECT_EQ(EIO, LastError()) << "faults of one op fire in the order armed";
    EXPECT_FALSE(Stat(dir.Sub("a"), &st));
    EXPECT_EQ(EACCES, LastError());
    FailCall(Op::Stat, 5, EIO);
    ClearFaults();
    EXPECT_TRUE(Stat(dir.Sub("a"), &st));
}

TEST(WholeFile, AtomicWriteAndLimitedRead) {
    TempDir dir;
    std::string p = dir.Sub("f");
    ASSERT_TRUE(WriteFileAtomic(p, "first"));
    ASSERT_TRUE(WriteFileAtomic(p, std::string("sec\0ond", 7)));
    std::string out;
    ASSERT_TRUE(ReadFileToString(p, &out));
    EXPECT_EQ(std::string("sec\0ond", 7), out);
    ASSERT_TRUE(ReadFileToString(p, &out, 3));
    EXPECT_EQ("sec", out);
    {
        FaultScope faults;
        FailCall(Op::Fsync, 1, EIO);
        EXPECT_FALSE(WriteFileAtomic(p, "third"));
        FailCall(Op::Rename, 1, EIO);
        EXPECT_FALSE(WriteFileAtomic(p, "fourth"));
        FailCall(Op::Read, 1, EIO);
        out = "unchanged";
        EXPECT_FALSE(ReadFileToString(p, &out));
        EXPECT_EQ("unchanged", out);
    }
    ASSERT_TRUE(ReadFileToString(p, &out));
    EXPECT_EQ(std::string("sec\0ond", 7), out) << "a failed atomic write leaves the old content";
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDir(dir.Path(), &entries));
    EXPECT_EQ(1u, entries.size()) << "no temporary file is left";
    // Never through a link at the target: the link is replaced, its target untouched.
    dir.WriteFile("target", "t");
    ASSERT_EQ(0, ::symlink(dir.Sub("target").c_str(), dir.Sub("link").c_str()));
    ASSERT_TRUE(WriteFileAtomic(dir.Sub("link"), "new"));
    EXPECT_EQ("t", dir.ReadFile("target"));
    EXPECT_TRUE(IsRegularFile(dir.Sub("link")));
}

TEST(FileTime, CoarseTimeFaultStoresTwoSecondSteps) {
    TempDir dir;
    dir.WriteFile("a", "x");
    struct Case {
        int64_t sec, nsec, storedSec;
    };
    const Case cases[] = {{1600000001, 999999900, 1600000000}, {1600000002, 100, 1600000002}, {-3, 500, -4}};
    FaultScope faults;
    for (const Case& c : cases) {
        FailCall(Op::CoarseTime, 1, 0, "/a");
        ASSERT_TRUE(SetFileWriteTime(dir.Sub("a"), UnixToFileTime(c.sec, c.nsec)));
        int64_t got = 0;
        ASSERT_TRUE(GetFileWriteTime(dir.Sub("a"), &got));
        EXPECT_EQ(UnixToFileTime(c.storedSec, 0), got) << c.sec;
    }
    // Without the fault the time is kept to 100 ns.
    ASSERT_TRUE(SetFileWriteTime(dir.Sub("a"), UnixToFileTime(1600000001, 300)));
    int64_t got = 0;
    ASSERT_TRUE(GetFileWriteTime(dir.Sub("a"), &got));
    EXPECT_EQ(UnixToFileTime(1600000001, 300), got);
}

// Two handles appending to one file (as two processes logging to one file do) never overwrite
// each other, whatever position each handle last had.
TEST(File, AppendModeWritesLandAtTheEndForEveryHandle) {
    testsupport::TempDir dir;
    const std::string path = dir.Path() + "/shared.log";
    platform::File a, b;
    ASSERT_TRUE(a.Open(path, platform::File::Mode::Append));
    ASSERT_TRUE(b.Open(path, platform::File::Mode::Append));
    ASSERT_TRUE(a.WriteAll("one\n", 4));
    ASSERT_TRUE(b.WriteAll("two\n", 4));
    ASSERT_TRUE(a.WriteAll("three\n", 6));
    std::string text;
    ASSERT_TRUE(platform::ReadFileToString(path, &text));
    EXPECT_EQ(text, "one\ntwo\nthree\n");
}
