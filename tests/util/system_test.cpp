// Folders, shell-style operations, registry values, proxy and log cleaning.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "support/env.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "util/util.h"

namespace {

using testsupport::TempDir;

int64_t DaysAgo(double days) {
    return platform::UnixToFileTime(static_cast<int64_t>(std::time(nullptr) - days * 86400), 0);
}

TEST(Folders, CreateFolderOneLevel) {
    TempDir t;
    t.WriteFile("file", "x");
    t.MakeDirs("real");
    ASSERT_EQ(::symlink(t.Sub("real").c_str(), t.Sub("link").c_str()), 0);
    EXPECT_TRUE(CUtil::CreateFolder(t.Sub("new")));
    EXPECT_TRUE(CUtil::IsDirectory(t.Sub("new")));
    EXPECT_TRUE(CUtil::CreateFolder(t.Sub("new")));   // exists already
    EXPECT_FALSE(CUtil::CreateFolder(t.Sub("a/b")));  // one level only
    EXPECT_FALSE(CUtil::CreateFolder(t.Sub("file")));
    EXPECT_FALSE(CUtil::IsDirectory(t.Sub("link")));  // a link to a folder is not one
    EXPECT_FALSE(CUtil::CreateFolder(t.Sub("link")));
    EXPECT_FALSE(CUtil::IsDirectory(""));
}

// Read-only and hidden files, a folder with the read-only attribute and one that nobody may
// write to or list: all of it goes.
TEST(DeleteFolder, RemovesTreeWithReadOnlyContent) {
    TempDir t;
    t.WriteFile("tree/a.txt", "a");
    t.WriteFile("tree/.hidden", "h");
    t.WriteFile("tree/ro/inner.txt", "i");
    t.WriteFile("tree/locked/deep/f.txt", "f");
    t.WriteFile("tree/noread/g.txt", "g");
    ASSERT_TRUE(platform::SetFileAttributes(t.Sub("tree/a.txt"), platform::kAttrReadOnly));
    ASSERT_TRUE(
        platform::SetFileAttributes(t.Sub("tree/.hidden"), platform::kAttrHidden | platform::kAttrSystem));
    ASSERT_TRUE(platform::SetFileAttributes(t.Sub("tree/ro/inner.txt"), platform::kAttrReadOnly));
    ASSERT_TRUE(platform::SetFileAttributes(t.Sub("tree/ro"), platform::kAttrReadOnly));
    ASSERT_EQ(::chmod(t.Sub("tree/locked/deep").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(t.Sub("tree/locked").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(t.Sub("tree/noread").c_str(), 0300), 0);
    if (::geteuid() == 0)
        GTEST_LOG_(INFO) << "running as root: permission bits do not bind";

    EXPECT_TRUE(CUtil::DeleteFolder(t.Sub("tree")));
    EXPECT_FALSE(t.Exists("tree"));
}

// A link inside the tree is removed as a link; what it points to stays whole. A link given as
// the folder itself is removed without touching its target.
TEST(DeleteFolder, NeverFollowsLinks) {
    TempDir t;
    t.WriteFile("outside/keep.txt", "keep");
    t.WriteFile("outside/sub/keep2.txt", "keep2");
    t.WriteFile("tree/own.txt", "own");
    ASSERT_EQ(::symlink(t.Sub("outside").c_str(), t.Sub("tree/dirlink").c_str()), 0);
    ASSERT_EQ(::symlink(t.Sub("outside/keep.txt").c_str(), t.Sub("tree/filelink").c_str()), 0);
    ASSERT_EQ(::symlink(t.Sub("missing").c_str(), t.Sub("tree/dangling").c_str()), 0);

    EXPECT_TRUE(CUtil::DeleteFolder(t.Sub("tree")));
    EXPECT_FALSE(t.Exists("tree"));
    EXPECT_EQ(t.ReadFile("outside/keep.txt"), "keep");
    EXPECT_EQ(t.ReadFile("outside/sub/keep2.txt"), "keep2");

    ASSERT_EQ(::symlink(t.Sub("outside").c_str(), t.Sub("toplink").c_str()), 0);
    EXPECT_TRUE(CUtil::DeleteFolder(t.Sub("toplink")));
    struct stat st;
    EXPECT_NE(::lstat(t.Sub("toplink").c_str(), &st), 0);
    EXPECT_EQ(t.ReadFile("outside/keep.txt"), "keep");
}

TEST(DeleteFolder, FailureIsLoggedWithTheErrorCode) {
    TempDir t;
    t.MakeDirs("victim");
    testsupport::LogCapture log;
    platform::FaultScope faults;
    platform::FailCall(platform::Op::Remove, 2, 16 /* EBUSY */, "victim");
    EXPECT_FALSE(CUtil::DeleteFolder(t.Sub("victim")));
    EXPECT_EQ(log.LastError(), "Fail to remove folder:" + t.Sub("victim") + " error code: 16");
    EXPECT_TRUE(log.Contains("[CUtil::DeleteFolder]"));
    EXPECT_TRUE(t.Exists("victim"));

    platform::ClearFaults();
    EXPECT_FALSE(CUtil::DeleteFolder(t.Sub("never-was")));
    EXPECT_EQ(log.LastError(), "Fail to remove folder:" + t.Sub("never-was") + " error code: 2");
}

TEST(ShellOperations, CopyMoveRenameDelete) {
    TempDir t;
    t.WriteFile("src/a.txt", "alpha");
    t.WriteFile("src/sub/b.txt", "beta");
    t.WriteFile("src/.peltashare", "10234");
    ASSERT_TRUE(
        platform::SetFileAttributes(t.Sub("src/.peltashare"), platform::kAttrHidden | platform::kAttrSystem));
    ASSERT_TRUE(platform::SetFileWriteTime(t.Sub("src/a.txt"), DaysAgo(3)));
    ASSERT_EQ(::symlink("/etc/passwd", t.Sub("src/link").c_str()), 0);

    ASSERT_TRUE(CUtil::ShellCopy(t.Sub("src"), t.Sub("copy")));
    EXPECT_EQ(t.ReadFile("copy/a.txt"), "alpha");
    EXPECT_EQ(t.ReadFile("copy/sub/b.txt"), "beta");
    int64_t a = 0, b = 0;
    ASSERT_TRUE(platform::GetFileWriteTime(t.Sub("src/a.txt"), &a));
    ASSERT_TRUE(platform::GetFileWriteTime(t.Sub("copy/a.txt"), &b));
    EXPECT_EQ(a, b);  // a moved data folder must not look changed to the next scan
    EXPECT_TRUE(platform::GetFileAttributes(t.Sub("copy/.peltashare")) & platform::kAttrSystem);
    struct stat st;
    EXPECT_NE(::lstat(t.Sub("copy/link").c_str(), &st), 0);  // links are not copied
    EXPECT_FALSE(CUtil::ShellCopy(t.Sub("src"), t.Sub("src/inside")));
    EXPECT_FALSE(t.Exists("src/inside"));

    ASSERT_TRUE(CUtil::ShellMove(t.Sub("copy"), t.Sub("moved")));
    EXPECT_FALSE(t.Exists("copy"));
    EXPECT_EQ(t.ReadFile("moved/sub/b.txt"), "beta");
    ASSERT_TRUE(CUtil::ShellRename(t.Sub("moved"), t.Sub("renamed")));
    EXPECT_FALSE(CUtil::ShellRename(t.Sub("renamed"), t.Sub("src")));  // never replaces

    ASSERT_TRUE(platform::SetFileAttributes(t.Sub("renamed/a.txt"), platform::kAttrReadOnly));
    EXPECT_TRUE(CUtil::ShellDelete(t.Sub("renamed/a.txt"), ""));
    EXPECT_TRUE(CUtil::ShellDelete(t.Sub("renamed"), ""));
    EXPECT_FALSE(t.Exists("renamed"));
    EXPECT_FALSE(CUtil::ShellDelete(t.Sub("renamed"), ""));
}

TEST(Registry, RootAndInstallPaths) {
    testsupport::FakeHome home;
    std::string out = "untouched";
    EXPECT_FALSE(CUtil::GetRootPath(&out));
    EXPECT_FALSE(CUtil::GetInstallPath(&out));
    EXPECT_EQ(out, "untouched");

    const std::string longest(CUtil::kMaxRootPath, 'r');
    EXPECT_TRUE(CUtil::SetRootPath("/home/u/Kestrine"));
    ASSERT_TRUE(CUtil::GetRootPath(&out));
    EXPECT_EQ(out, "/home/u/Kestrine");
    EXPECT_TRUE(CUtil::SetRootPath(longest));
    ASSERT_TRUE(CUtil::GetRootPath(&out));
    EXPECT_EQ(out, longest);
    EXPECT_FALSE(CUtil::SetRootPath(longest + "r"));  // could not be read back
    ASSERT_TRUE(CUtil::GetRootPath(&out));
    EXPECT_EQ(out, longest);

    // install_path is read with an 80-byte buffer.
    ASSERT_TRUE(platform::RegistrySetString(platform::kClientKey, "install_path", std::string(79, 'i')));
    ASSERT_TRUE(CUtil::GetInstallPath(&out));
    EXPECT_EQ(out, std::string(79, 'i'));
    ASSERT_TRUE(platform::RegistrySetString(platform::kClientKey, "install_path", std::string(80, 'i')));
    out = "untouched";
    EXPECT_FALSE(CUtil::GetInstallPath(&out));
    EXPECT_EQ(out, "untouched");
}

TEST(Registry, ShellFolderTargetIsTheBookmark) {
    testsupport::FakeHome home;
    EXPECT_TRUE(CUtil::SetShellFolderTarget("/data/KestrineHome"));
    EXPECT_TRUE(CUtil::SetShellFolderTarget("/data/KestrineHome2"));
    const std::string marks = home.Dir().ReadFile("home/.config/gtk-3.0/bookmarks");
    EXPECT_EQ(marks, "file:///data/KestrineHome2 Kestrine\n");
}

TEST(Proxy, EnvironmentAndParts) {
    testsupport::ScopedEnv env;
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
        env.Unset(name);
    std::string proxy = "untouched";
    EXPECT_FALSE(CUtil::GetIEProxySet("http://svc.example/", &proxy));  // direct connection
    EXPECT_EQ(proxy, "untouched");
    env.Set("http_proxy", "http://proxy.example:8080/");
    ASSERT_TRUE(CUtil::GetIEProxySet("http://svc.example/", &proxy));
    EXPECT_EQ(proxy, "proxy.example:8080");
    env.Set("NO_PROXY", ".example");
    proxy = "untouched";
    EXPECT_FALSE(CUtil::GetIEProxySet("http://svc.example/", &proxy));
    EXPECT_EQ(proxy, "untouched");

    const struct {
        const char *in, *host, *port;
    } cases[] = {
        {"proxy:8080", "proxy", "8080"}, {"proxy", "proxy", "80"},        {"", "", ""},
        {"a:b:3128", "a:b", "3128"},     {"[::1]:3128", "[::1]", "3128"}, {"[::1]", "[::1]", "80"},
        {"proxy:", "proxy", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CUtil::GetProxyHost(c.in), c.host) << c.in;
        EXPECT_EQ(CUtil::GetProxyPort(c.in), c.port) << c.in;
    }
}

TEST(Browser, DefaultIsXdgOpen) {
    std::string path;
    EXPECT_TRUE(CUtil::GetDefaultBrowser(&path));
    EXPECT_EQ(path, "xdg-open");
}

TEST(CleanLogs, DeletesOnlyOldLogFiles) {
    TempDir t;
    t.WriteFile("outside.log", "target of a link");
    const struct {
        const char* name;
        double age;
        bool kept;
    } files[] = {
        {"logs/old.log", 8, false}, {"logs/young.log", 6, true},    {"logs/OLDER.LOG", 30, false},
        {"logs/old.txt", 30, true}, {"logs/old.log.bak", 30, true}, {"logs/log", 30, true},
    };
    for (const auto& f : files) {
        t.WriteFile(f.name, "x");
        ASSERT_TRUE(platform::SetFileWriteTime(t.Sub(f.name), DaysAgo(f.age)));
    }
    t.MakeDirs("logs/folder.log");
    ASSERT_TRUE(platform::SetFileWriteTime(t.Sub("logs/folder.log"), DaysAgo(30)));
    ASSERT_TRUE(platform::SetFileWriteTime(t.Sub("outside.log"), DaysAgo(30)));
    ASSERT_EQ(::symlink(t.Sub("outside.log").c_str(), t.Sub("logs/link.log").c_str()), 0);

    EXPECT_TRUE(CUtil::CleanLogs(t.Sub("logs"), 7));
    for (const auto& f : files)
        EXPECT_EQ(t.Exists(f.name), f.kept) << f.name;
    EXPECT_TRUE(t.Exists("logs/folder.log"));
    EXPECT_TRUE(t.Exists("outside.log"));

    EXPECT_TRUE(CUtil::CleanLogs(t.Sub("fresh"), 3));  // a missing folder is created
    EXPECT_TRUE(CUtil::IsDirectory(t.Sub("fresh")));
}

}  // namespace
