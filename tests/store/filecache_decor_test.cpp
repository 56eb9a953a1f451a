// Folder decoration (desktop.ini, attributes, icons of the install folder) and the sync states
// of paths and their parents in the shared status area.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "filecache_fixture.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "support/env.h"

namespace {

using fctest::FileCacheFixture;

constexpr uint32_t kHiddenSystem = platform::kAttrHidden | platform::kAttrSystem;

class DecorTest : public FileCacheFixture {
  protected:
    void SetUp() override {
        FileCacheFixture::SetUp();
        ASSERT_TRUE(cache_.Init(Root()));  // maps the status area inside the fake home
    }
    std::string Ini(const std::string& rel) { return Read(rel + "/desktop.ini"); }
    // The state stored for a relative path, -1 when it has no entry.
    int32_t State(const std::string& rel) {
        SharedStatusValues v;
        return cache_.SharedStatus().GetStatus(Abs(rel), &v) ? v.state : -1;
    }

    testsupport::FakeHome home_;
};

TEST_F(DecorTest, DesktopIniTexts) {
    ASSERT_TRUE(platform::RegistrySetString(platform::kClientKey, "install_path", "/opt/kestrine"));
    MakeDirs("/shared");
    ASSERT_TRUE(cache_.SetHomeFolderIcon(Root()));
    EXPECT_EQ(
        Read("/desktop.ini"),
        "[.ShellClassInfo]\r\nIconFile=/opt/kestrine/res/Home.ico\r\nIconIndex=0\r\nInfoTip=Kestrine\r\n");
    ASSERT_TRUE(cache_.SetShareFolderIcon("/shared", true, ""));
    EXPECT_EQ(
        Ini("/shared"),
        "[.ShellClassInfo]\r\nIconFile=/opt/kestrine/res/ShareTo.ico\r\nIconIndex=0\r\nInfoTip=Kestrine\r\n");
    ASSERT_TRUE(cache_.SetShareFolderIcon("/shared", false, "alice"));
    EXPECT_EQ(Ini("/shared"),
              "[.ShellClassInfo]\r\nIconFile=/opt/kestrine/res/ShareFrom.ico\r\nIconIndex=0\r\n"
              "InfoTip=share from alice\r\n");
    EXPECT_EQ(platform::GetFileAttributes(Abs("/shared/desktop.ini")) & kHiddenSystem, kHiddenSystem);
    // The folder carries read-only as an attribute only: it stays writable.
    EXPECT_TRUE(platform::GetFileAttributes(Abs("/shared")) & platform::kAttrReadOnly);
    Write("/shared/new.txt", "still writable");
    EXPECT_EQ(Read("/shared/new.txt"), "still writable");
    // A decoration file is never listed by the scan.
    ASSERT_TRUE(cache_.ScanRoot());
    EXPECT_FALSE(cache_.Find("/shared/desktop.ini", nullptr));
    EXPECT_FALSE(cache_.Find("/desktop.ini", nullptr));
}

TEST_F(DecorTest, IconsFromTheDefaultInstallFolder) {
    platform::RegistryDeleteValue(platform::kClientKey, "install_path");
    ASSERT_TRUE(cache_.SetHomeFolderIcon(""));
    EXPECT_EQ(Read("/desktop.ini"), "[.ShellClassInfo]\r\nIconFile=" + platform::InstallResourceDir() +
                                        "/res/Home.ico\r\nIconIndex=0\r\nInfoTip=Kestrine\r\n");
}

TEST_F(DecorTest, ReplacesReadOnlyDecorationAndReportsFailures) {
    Write("/s/desktop.ini", "old");
    ASSERT_TRUE(platform::SetFileAttributes(Abs("/s/desktop.ini"), platform::kAttrReadOnly | kHiddenSystem));
    ASSERT_TRUE(cache_._SetFolderIcon(Abs("/s"), "/i.ico", "bob"));
    EXPECT_EQ(Ini("/s"), "[.ShellClassInfo]\r\nIconFile=/i.ico\r\nIconIndex=0\r\nInfoTip=share from bob\r\n");

    EXPECT_FALSE(cache_._SetFolderIcon(Abs("/missing"), "/i.ico", ""));
    EXPECT_FALSE(Exists("/missing"));
    platform::FailCall(platform::Op::Open, 1, 13 /* EACCES */, "desktop.ini");
    EXPECT_FALSE(cache_._SetFolderIcon(Abs("/s"), "/i.ico", ""));
    EXPECT_EQ(log_.LastError(), "Fail to creat file \"" + Abs("/s/desktop.ini") + "\"");
    EXPECT_EQ(frontEnd_.Boxes().size(), 1u);
    // Through a link the decoration would land outside the tree.
    t_.MakeDirs("outside");
    ASSERT_EQ(::symlink(t_.Sub("outside/desktop.ini").c_str(), Abs("/s/desktop.ini.lnk").c_str()), 0);
    ASSERT_TRUE(testsupport::RemoveTree(Abs("/s/desktop.ini")));
    ASSERT_EQ(::rename(Abs("/s/desktop.ini.lnk").c_str(), Abs("/s/desktop.ini").c_str()), 0);
    EXPECT_FALSE(cache_._SetFolderIcon(Abs("/s"), "/i.ico", ""));
    EXPECT_FALSE(t_.Exists("outside/desktop.ini"));

    // Removing the decoration keeps the folder's attribute.
    Write("/t/desktop.ini", "x");
    ASSERT_TRUE(cache_._SetFolderIcon(Abs("/t"), "/i.ico", ""));
    EXPECT_TRUE(cache_.RemoveFolderIcon(Abs("/t")));
    EXPECT_FALSE(Exists("/t/desktop.ini"));
    EXPECT_TRUE(platform::GetFileAttributes(Abs("/t")) & platform::kAttrReadOnly);
}

// The decoration is listed in the folder's ".hidden" for file managers; a user's list keeps
// every line and gains the decoration's once.
TEST_F(DecorTest, HiddenListNamesTheDecorationAndKeepsTheUsersLines) {
    struct Case {
        const char* what;
        const char* before;  // nullptr: no list yet
        std::string after;
    };
    const Case cases[] = {
        {"none yet", nullptr, "desktop.ini\n"},
        {"an empty list", "", "desktop.ini\n"},
        {"the user's lines", "notes.txt\nplan b.odt\n", "notes.txt\nplan b.odt\ndesktop.ini\n"},
        {"no final newline", "notes.txt", "notes.txt\ndesktop.ini\n"},
        {"already listed, CRLF lines", "a\r\ndesktop.ini\r\nb", "a\r\ndesktop.ini\r\nb"},
        {"only alike names", "desktop.ini.bak\n desktop.ini\n",
         "desktop.ini.bak\n desktop.ini\ndesktop.ini\n"},
    };
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string rel = "/f" + std::to_string(i++);
        MakeDirs(rel);
        if (c.before)
            Write(rel + "/.hidden", c.before);
        ASSERT_TRUE(cache_._SetFolderIcon(Abs(rel), "/i.ico", ""));
        ASSERT_TRUE(cache_._SetFolderIcon(Abs(rel), "/i.ico", "bob"));  // kept, not added twice
        EXPECT_EQ(Read(rel + "/.hidden"), c.after);
        EXPECT_EQ(CFileCache::IsOwnHiddenList(Abs(rel + "/.hidden")), c.after == "desktop.ini\n");
        // Removing the decoration removes only a list the client made by itself.
        ASSERT_TRUE(cache_.RemoveFolderIcon(Abs(rel)));
        EXPECT_EQ(Exists(rel + "/.hidden"), c.after != "desktop.ini\n");
    }
    ASSERT_TRUE(cache_.SetHomeFolderIcon(Root()));
    EXPECT_EQ(Read("/.hidden"), "desktop.ini\n");
}

// A list that cannot be written, or is not a regular file, never costs the decoration nor the
// user's lines, and is never written through a link.
TEST_F(DecorTest, HiddenListFailuresLeaveItAsItWas) {
    Write("/w/.hidden", "mine\n");
    platform::FailCall(platform::Op::Write, 1, 28 /* ENOSPC */, "/w/.hidden");
    EXPECT_TRUE(cache_._SetFolderIcon(Abs("/w"), "/i.ico", ""));
    EXPECT_EQ(Read("/w/.hidden"), "mine\n");
    EXPECT_TRUE(log_.Contains("Fail to write \"" + Abs("/w/.hidden") + "\""));
    EXPECT_TRUE(Exists("/w/desktop.ini"));

    MakeDirs("/d/.hidden");
    EXPECT_TRUE(cache_._SetFolderIcon(Abs("/d"), "/i.ico", ""));
    EXPECT_TRUE(Exists("/d/desktop.ini"));

    t_.WriteFile("outside.txt", "theirs\n");
    MakeDirs("/l");
    ASSERT_EQ(::symlink(t_.Sub("outside.txt").c_str(), Abs("/l/.hidden").c_str()), 0);
    EXPECT_TRUE(cache_._SetFolderIcon(Abs("/l"), "/i.ico", ""));
    EXPECT_EQ(t_.ReadFile("outside.txt"), "theirs\n");
    EXPECT_TRUE(cache_.RemoveFolderIcon(Abs("/l")));
    EXPECT_TRUE(t_.Exists("outside.txt"));
}

TEST_F(DecorTest, ShareMarkerThroughRelativePath) {
    MakeDirs("/Team");
    ASSERT_TRUE(cache_.SetShareFolder("/Team", "4242"));
    EXPECT_EQ(Read("/Team/.peltashare"), "4242");
    // The scan follows the marker of a known share that moved here.
    cache_.SetKnownShares({{"4242", "/Before"}});
    ASSERT_TRUE(cache_.ScanRoot());
    CFileInfo team;
    ASSERT_TRUE(cache_.Find("/team", &team));
    EXPECT_EQ(team.dirFlag, 4242);
    EXPECT_FALSE(cache_.SetShareFolder("/NoSuch", "1"));
}

TEST_F(DecorTest, PathStateWalksParentsBelowTheRoot) {
    cache_.SetPathState("/a/b/c.txt", 2);
    EXPECT_EQ(State("/a/b/c.txt"), 2);
    EXPECT_EQ(State("/a/b"), 2);
    EXPECT_EQ(State("/a"), 2);
    EXPECT_EQ(State(""), -1);  // never the root
    EXPECT_EQ(cache_.SharedStatus().Count(), 3);

    cache_.SetPathState("/a/b/d.txt", 3);  // synced: this path only
    EXPECT_EQ(State("/a/b/d.txt"), 3);
    EXPECT_EQ(State("/a/b"), 2);
    cache_.SetPathState("", 1);
    EXPECT_EQ(cache_.SharedStatus().Count(), 4);

    // Relative and absolute forms, any letter case, name one entry.
    cache_.SetPathState(Abs("/A/B/C.TXT"), 1);
    EXPECT_EQ(State("/a/b/c.txt"), 1);
    EXPECT_EQ(cache_.SharedStatus().Count(), 4);
}

TEST_F(DecorTest, PathStateUpToStopsAtCommonAncestor) {
    struct Case {
        const char* path;
        const char* stop;
        std::vector<std::string> stored;
        std::vector<std::string> untouched;
    };
    const Case cases[] = {
        {"/a/b/c/d.txt", "/a/b/x/y.txt", {"/a/b/c/d.txt", "/a/b/c"}, {"/a/b", "/a"}},
        {"/a/b/c/d.txt", "/A/B/X", {"/a/b/c/d.txt", "/a/b/c"}, {"/a/b", "/a"}},  // letter case
        {"/a/b/f.txt", "/a/bc/x", {"/a/b/f.txt", "/a/b"}, {"/a"}},  // "/a/b" is no parent of "/a/bc/x"
        {"/a/b/f.txt", "", {"/a/b/f.txt", "/a/b", "/a"}, {""}},
        {"/a/b/f.txt", "/a/b/f.txt", {}, {"/a/b/f.txt", "/a/b", "/a"}},
    };
    for (const Case& c : cases) {
        cache_.SharedStatus().Reset();
        cache_.SetPathStateUpTo(c.path, 3, c.stop);
        for (const std::string& p : c.stored)
            EXPECT_EQ(State(p), 3) << c.path << " stop " << c.stop << ": " << p;
        for (const std::string& p : c.untouched)
            EXPECT_EQ(State(p), -1) << c.path << " stop " << c.stop << ": " << p;
        EXPECT_EQ(cache_.SharedStatus().Count(), static_cast<int32_t>(c.stored.size()));
    }
}

TEST_F(DecorTest, PathProgressMarksTheFolderLeft) {
    cache_.SetPathProgress("/d1/f1", SharedStatusValues{2, 1000, 1});
    SharedStatusValues v;
    ASSERT_TRUE(cache_.SharedStatus().GetStatus(Abs("/d1/f1"), &v));
    EXPECT_EQ(v.state, 2);
    EXPECT_EQ(v.progress1, 1000);
    EXPECT_EQ(v.progress2, 1);
    EXPECT_EQ(State("/d1"), 2);

    cache_.SetPathProgress("/d1/f1", SharedStatusValues{2, 1000, 4});  // same path: no change of folder
    EXPECT_EQ(State("/d1"), 2);
    cache_.SetPathProgress("/d1/f2", SharedStatusValues{2, 10, 0});  // same folder
    EXPECT_EQ(State("/d1"), 2);
    cache_.SetPathProgress("/d2/f3", SharedStatusValues{2, 10, 0});  // another folder: d1 is done
    EXPECT_EQ(State("/d1"), 3);
    EXPECT_EQ(State("/d2"), 2);
    cache_.SetPathProgress("/top.txt", SharedStatusValues{2, 10, 0});
    EXPECT_EQ(State("/d2"), 3);
    cache_.SetPathProgress("/d3/f4", SharedStatusValues{2, 10, 0});  // left the root's files: the root stays
    EXPECT_EQ(State(""), -1);
}

}  // namespace
