// Private folders and files whatever the umask: creation, tightening of existing entries, links
// left alone, and the fault layer failing the permission change.
#include "platform/filemode.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/fault.h"
#include "support/env.h"
#include "support/tempdir.h"

namespace {

unsigned ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 01'0000;
}

TEST(FileMode, CreatesPrivateFoldersAndFilesAndTightensExistingOnes) {
    testsupport::UmaskScope mask(022);
    testsupport::TempDir dir;
    const std::string fresh = dir.Sub("fresh");
    ASSERT_TRUE(platform::MakeDirPrivate(fresh));
    EXPECT_EQ(ModeOf(fresh), 0700u);
    ASSERT_TRUE(platform::MakeDirPrivate(fresh));  // existing: fine
    const std::string old = dir.Sub("old");
    ASSERT_EQ(::mkdir(old.c_str(), 0755), 0);
    ASSERT_TRUE(platform::MakeDirPrivate(old));
    EXPECT_EQ(ModeOf(old), 0700u);

    const std::string file = dir.Sub("fresh/a.db");
    ASSERT_TRUE(platform::MakeFilePrivate(file));
    EXPECT_EQ(ModeOf(file), 0600u);
    dir.WriteFile("old/b.log", "kept");
    ASSERT_EQ(::chmod(dir.Sub("old/b.log").c_str(), 0644), 0);
    ASSERT_TRUE(platform::MakeFilePrivate(dir.Sub("old/b.log")));
    EXPECT_EQ(ModeOf(dir.Sub("old/b.log")), 0600u);
    EXPECT_EQ(dir.ReadFile("old/b.log"), "kept");  // never truncated

    dir.WriteFile("c", "x");
    ASSERT_EQ(::chmod(dir.Sub("c").c_str(), 0666), 0);
    EXPECT_TRUE(platform::TightenFile(dir.Sub("c")));
    EXPECT_EQ(ModeOf(dir.Sub("c")), 0600u);
    EXPECT_TRUE(platform::TightenFile(dir.Sub("missing")));  // nothing to tighten

    unsigned mode = 0;
    ASSERT_TRUE(platform::GetMode(dir.Sub("c"), &mode));
    EXPECT_EQ(mode, 0600u);
    ASSERT_TRUE(platform::SetMode(dir.Sub("c"), 0640));
    EXPECT_EQ(ModeOf(dir.Sub("c")), 0640u);
}

// A link planted where a private file or folder belongs must not pass the change to its target.
TEST(FileMode, LinksAreNeverFollowed) {
    testsupport::UmaskScope mask(022);
    testsupport::TempDir dir;
    dir.WriteFile("target", "t");
    ASSERT_EQ(::chmod(dir.Sub("target").c_str(), 0644), 0);
    ASSERT_EQ(::mkdir(dir.Sub("targetdir").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(dir.Sub("target").c_str(), dir.Sub("link").c_str()), 0);
    ASSERT_EQ(::symlink(dir.Sub("targetdir").c_str(), dir.Sub("dirlink").c_str()), 0);

    EXPECT_FALSE(platform::MakeFilePrivate(dir.Sub("link")));
    EXPECT_FALSE(platform::SetMode(dir.Sub("link"), 0600));
    EXPECT_TRUE(platform::TightenFile(dir.Sub("link")));  // not a file of ours: left alone
    EXPECT_FALSE(platform::MakeDirPrivate(dir.Sub("dirlink")));
    EXPECT_EQ(ModeOf(dir.Sub("target")), 0644u);
    EXPECT_EQ(ModeOf(dir.Sub("targetdir")), 0755u);
}

TEST(FileMode, FailuresAreReported) {
    testsupport::UmaskScope mask(022);
    testsupport::TempDir dir;
    platform::FaultScope faults;
    platform::FailCall(platform::Op::SetMode, 1, EPERM, "/d");
    EXPECT_FALSE(platform::MakeDirPrivate(dir.Sub("d")));
    EXPECT_EQ(platform::LastError(), EPERM);
    platform::FailCall(platform::Op::SetMode, 1, EPERM, "/f");
    EXPECT_FALSE(platform::MakeFilePrivate(dir.Sub("f")));
    EXPECT_EQ(platform::LastError(), EPERM);
    platform::FailCall(platform::Op::MakeDir, 1, EACCES, "/e");
    EXPECT_FALSE(platform::MakeDirPrivate(dir.Sub("e")));
    EXPECT_FALSE(platform::MakeFilePrivate(dir.Sub("no/such/file")));
    EXPECT_EQ(platform::LastError(), ENOENT);
    dir.WriteFile("plain", "p");
    EXPECT_FALSE(platform::MakeDirPrivate(dir.Sub("plain")));
    EXPECT_EQ(platform::LastError(), ENOTDIR);
}

// The names `path` carries, sorted; values are compared by the caller.
std::vector<std::string> XattrNames(const std::string& path) {
    char buf[4096];
    const ssize_t n = ::llistxattr(path.c_str(), buf, sizeof buf);
    std::vector<std::string> names;
    for (ssize_t at = 0; at < n;) {
        names.emplace_back(buf + at);
        at += static_cast<ssize_t>(names.back().size()) + 1;
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string XattrValue(const std::string& path, const char* name) {
    std::string value(65536, '\0');
    const ssize_t n = ::lgetxattr(path.c_str(), name, value.data(), value.size());
    return n < 0 ? "(none)" : value.substr(0, static_cast<size_t>(n));
}

// Attributes are copied whole (one longer than a first read's buffer too), the skipped prefix is
// left behind, and a failure of one attribute still copies the others and is reported.
TEST(FileMode, CopiesExtendedAttributesExceptTheSkippedOnes) {
    testsupport::TempDir dir;
    platform::FaultScope faults;
    dir.WriteFile("from", "f");
    const std::string from = dir.Sub("from");
    if (::lsetxattr(from.c_str(), "user.one", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user extended attributes on this file system";
    const std::string big(3000, 'b');
    ASSERT_EQ(::lsetxattr(from.c_str(), "user.big", big.data(), big.size(), 0), 0);
    ASSERT_EQ(::lsetxattr(from.c_str(), "user.kestrine.attributes", "2", 1, 0), 0);

    dir.WriteFile("to", "t");
    const std::string to = dir.Sub("to");
    ASSERT_TRUE(platform::CopyExtendedAttributes(from, to, "user.kestrine."));
    EXPECT_EQ(XattrNames(to), (std::vector<std::string>{"user.big", "user.one"}));
    EXPECT_EQ(XattrValue(to, "user.big"), big);
    EXPECT_EQ(XattrValue(to, "user.one"), "1");

    dir.WriteFile("half", "h");
    platform::FailCall(platform::Op::Xattr, 1, EIO, "/half");
    EXPECT_FALSE(platform::CopyExtendedAttributes(from, dir.Sub("half"), "user.kestrine."));
    EXPECT_EQ(platform::LastError(), EIO);
    EXPECT_EQ(XattrNames(dir.Sub("half")).size(), 1u) << "the other attribute was still copied";

    EXPECT_FALSE(platform::CopyExtendedAttributes(dir.Sub("missing"), to, ""));
    EXPECT_EQ(platform::LastError(), ENOENT);
}

}  // namespace
