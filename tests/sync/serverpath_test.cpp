// The safety check of paths the service lists: names that climb out of the home folder, and
// links or files on the way down.
#include "sync/serverpath.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/file.h"
#include "support/tempdir.h"
#include "sync/skippeditems.h"

namespace {

TEST(ServerPathTest, OnlyPlainNamesPass) {
    // Each case as a server path, and its part from the first "/" on as a root-relative path.
    struct Case {
        std::string path;
        bool safe;
    };
    const Case cases[] = {
        {"u1/a.txt", true},
        {"u1/docs/it's/报告.txt", true},
        {"17/plan.doc", true},
        {"u1/.hidden/..x", true},  // dots inside a name are fine
        {"u1/a\\b.txt", true},     // "\" becomes "/" in the journal: two plain names
        {"u1/", false},
        {"u1//a.txt", false},
        {"u1/./a.txt", false},
        {"u1/../a.txt", false},
        {"u1/a/..", false},
        {"u1/..\\..\\evil.txt", false},
        {"u1/a\\.\\b", false},
        {"u1/a\\\\b", false},
        {std::string("u1/a\0b", 6), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(serverpath::IsSafeServerPath(c.path), c.safe);
        EXPECT_EQ(serverpath::IsSafeRelativePath(c.path.substr(c.path.find('/'))), c.safe);
    }
    // Server paths need a head and something below it.
    for (const std::string bad : {"", "u1", "/a.txt", "../a.txt", "./a.txt"})
        EXPECT_FALSE(serverpath::IsSafeServerPath(bad)) << bad;
    // A root-relative path starts with "/" and names something.
    for (const std::string bad : {"", "/", "a/b"})
        EXPECT_FALSE(serverpath::IsSafeRelativePath(bad)) << bad;
}

// A folder holds what lies under it at a "/", never a sibling whose name begins the same.
TEST(ServerPathTest, InsideBelowAndRebase) {
    struct Case {
        std::string path, folder;
        bool inside, below;
        std::string rebased;  // `path` with `folder` moved to "u1/new"
    };
    const Case cases[] = {
        {"u1/docs", "u1/docs", true, false, "u1/new"},
        {"u1/docs/a.txt", "u1/docs", true, true, "u1/new/a.txt"},
        {"u1/docs/deep/b", "u1/docs", true, true, "u1/new/deep/b"},
        {"u1/docs2/a.txt", "u1/docs", false, false, "u1/docs2/a.txt"},
        {"u1/doc", "u1/docs", false, false, "u1/doc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(serverpath::IsInside(c.path, c.folder), c.inside);
        EXPECT_EQ(serverpath::IsBelow(c.path, c.folder), c.below);
        EXPECT_EQ(serverpath::Rebase(c.path, c.folder, "u1/new"), c.rebased);
    }
}

TEST(ServerPathTest, NoLinkOrFileOnTheWayDown) {
    testsupport::TempDir root, outside;
    root.MakeDirs("real/sub");
    root.WriteFile("file.txt", "x");
    ASSERT_EQ(symlink(outside.Path().c_str(), root.Sub("link").c_str()), 0);
    ASSERT_EQ(symlink(outside.Path().c_str(), root.Sub("real/sublink").c_str()), 0);

    EXPECT_TRUE(serverpath::StaysUnderRoot(root.Path(), "/top.txt"));
    EXPECT_TRUE(serverpath::StaysUnderRoot(root.Path(), "/real/sub/x.txt"));
    EXPECT_TRUE(serverpath::StaysUnderRoot(root.Path(), "/missing/deeper/x.txt")) << "created later";
    EXPECT_TRUE(serverpath::StaysUnderRoot(root.Path(), "/link"))
        << "the entry itself is the writer's to check";
    EXPECT_FALSE(serverpath::StaysUnderRoot(root.Path(), "/link/x.txt"));
    EXPECT_FALSE(serverpath::StaysUnderRoot(root.Path(), "/real/sublink/deeper/x.txt"));
    EXPECT_FALSE(serverpath::StaysUnderRoot(root.Path(), "/file.txt/x.txt"));
    EXPECT_FALSE(serverpath::StaysUnderRoot(root.Path(), "/link\\x.txt")) << "\\ separates names too";
}

// Names the client writes into the tree itself never come from the service, in any letter case;
// names that merely look alike, and what an interrupted removal leaves, do.
TEST(ServerPathTest, ReservedNamesAreRefused) {
    struct Case {
        std::string name;
        bool reserved;
    };
    const Case cases[] = {
        {".peltashare", true},
        {".PeltaShare", true},
        {"desktop.ini", true},
        {"Desktop.ini", true},
        {"DESKTOP.INI", true},
        {".a.txt.kestrine-part", true},
        {".a.txt.old.kestrine-part", true},
        {".A.TXT.Kestrine-Part", true},
        {".kestrine-part", true},
        {"a.txt.kestrine-part", false},  // not hidden: not a name the client builds in
        {".a.txt.kestrine-part2", false},
        {".a.txt.kestrine-removing-00ff12", false},  // user data an interrupted removal left
        {"peltashare", false},
        {".peltashare.txt", false},
        {"desktop.ini.bak", false},
        {"my desktop.ini", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(serverpath::IsReservedName(c.name), c.reserved);
        // Anywhere in a path: a folder named so would hold what is written below it.
        EXPECT_EQ(serverpath::HasReservedName("/Q3/" + c.name + "/x.txt"), c.reserved);
        EXPECT_EQ(serverpath::HasReservedName("/Q3\\" + c.name), c.reserved);
        const char* want = c.name.empty() ? notsynced::kUnsafeName
                           : c.reserved   ? notsynced::kReservedName
                                          : nullptr;
        EXPECT_STREQ(serverpath::RefusalOf("17/sub/" + c.name), want);
    }
    // The head names the account's root or a share, no folder of the tree.
    EXPECT_STREQ(serverpath::RefusalOf("desktop.ini/a.txt"), nullptr);
    EXPECT_STREQ(serverpath::RefusalOf("u1/../desktop.ini"), notsynced::kUnsafeName);
}

// The hidden-name list right below the head (the home folder or a shared folder) is each
// computer's own; deeper, or named otherwise, it is the user's file.
TEST(ServerPathTest, HiddenListBesideTheDecorationIsNeverSynced) {
    struct Case {
        const char* path;
        const char* refusal;
    };
    const Case cases[] = {
        {"u1/.hidden", notsynced::kReservedName},
        {"17/.hidden", notsynced::kReservedName},
        {"17\\.hidden", notsynced::kReservedName},
        {"u1/.HIDDEN", notsynced::kReservedName},  // a peer on a case-blind file system
        {"u1/sub/.hidden", nullptr},
        {"u1/.hidden/a.txt", nullptr},  // a folder so named holds the user's files
        {"u1/.hidden.txt", nullptr},
        {"u1/hidden", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_STREQ(serverpath::RefusalOf(c.path), c.refusal);
    }
    EXPECT_FALSE(serverpath::HasReservedName("/sub/.hidden")) << "an ordinary name elsewhere";
}

// A folder name from the portal names a folder beside the home folder: only a plain, visible name.
TEST(ServerPathTest, PortalFolderNameIsOnePlainName) {
    struct Case {
        std::string name;
        bool plain;
    };
    const Case cases[] = {
        {"13800138000", true},
        {"carol@example.com", true},
        {"报告 2024", true},
        {std::string(platform::kMaxNameBytes, 'a'), true},
        {std::string(platform::kMaxNameBytes + 1, 'a'), false},
        {"", false},
        {".", false},
        {"..", false},
        {".db", false},
        {".cache", false},
        {".log", false},
        {".trash", false},
        {"../outside", false},
        {"d/e", false},
        {"d\\e", false},
        {std::string("a\0b", 3), false},
        {"a\tb", false},
        {"a\nb", false},
        {"a\x7f", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(serverpath::IsPlainFolderName(c.name), c.plain);
    }
}

}  // namespace
