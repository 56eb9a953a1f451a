// Confinement below a registered folder: a folder inside it swapped for a link must not carry
// any file operation outside, whether the kernel resolves with openat2 or the layer walks.
#include "platform/beneath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "support/tempdir.h"

using namespace platform;
using testsupport::TempDir;

namespace {

// Names, contents, modes and write times of everything in a folder tree (links as their target).
std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    std::vector<DirEntry> entries;
    ListDir(dir, &entries, true);
    for (const DirEntry& e : entries) {
        const std::string path = dir + "/" + e.name;
        struct stat st;
        ::lstat(path.c_str(), &st);
        std::string facts = std::to_string(st.st_mode) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
                            std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(e.attributes);
        if (e.stat.kind == EntryKind::File) {
            std::string data;
            ReadFileToString(path, &data);
            facts += ":" + data;
        }
        out[e.name] = facts;
        if (e.stat.kind == EntryKind::Directory) {
            for (const auto& [name, f] : Snapshot(path)) {
                out[e.name + "/" + name] = f;
            }
        }
    }
    return out;
}

// home/ is a boundary; home/race was a folder and is now a link to outside/, which holds a file
// "x", a folder "d" and a folder "sub" that every operation below would reach through the link.
class BeneathTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        home_ = tmp_.Sub("home");
        outside_ = tmp_.Sub("outside");
        tmp_.WriteFile("outside/x", "keep");
        tmp_.MakeDirs("outside/d");
        tmp_.WriteFile("outside/sub/y", "keep too");
        tmp_.WriteFile("home/a", "mine");
        ASSERT_EQ(0, ::symlink(outside_.c_str(), (home_ + "/race").c_str()));
        ConfineBeneath(home_);
        if (GetParam()) {
            FailCall(Op::Beneath, 1 << 20, ENOSYS);  // walk as a kernel without openat2 does
        }
        before_ = Snapshot(outside_);
    }
    void TearDown() override {
        ClearFaults();
        ReleaseConfinement(home_);
    }

    TempDir tmp_;
    std::string home_, outside_;
    std::map<std::string, std::string> before_;
};

TEST_P(BeneathTest, NoOperationReachesThroughALinkedFolder) {
    struct Case {
        const char* name;
        std::function<bool(const std::string& home)> run;
    };
    auto open = [](const std::string& path, File::Mode mode) {
        File f;
        return f.Open(path, mode) && f.WriteAll("evil", 4);
    };
    const Case cases[] = {
        {"stat",
         [](const std::string& h) {
             FileStat st;
             return Stat(h + "/race/x", &st);
         }},
        {"open read",
         [](const std::string& h) {
             File f;
             return f.Open(h + "/race/x", File::Mode::Read);
         }},
        {"open create", [&](const std::string& h) { return open(h + "/race/new", File::Mode::CreateNew); }},
        {"open truncate", [&](const std::string& h) { return open(h + "/race/x", File::Mode::CreateTrunc); }},
        {"open read-write", [&](const std::string& h) { return open(h + "/race/x", File::Mode::ReadWrite); }},
        {"open append", [&](const std::string& h) { return open(h + "/race/x", File::Mode::Append); }},
        {"make folder", [](const std::string& h) { return MakeDir(h + "/race/new"); }},
        {"remove file", [](const std::string& h) { return RemoveFile(h + "/race/x"); }},
        {"remove folder", [](const std::string& h) { return RemoveDir(h + "/race/d"); }},
        {"move in", [](const std::string& h) { return MoveFile(h + "/a", h + "/race/a"); }},
        {"move out", [](const std::string& h) { return MoveFile(h + "/race/x", h + "/x"); }},
        {"rename new", [](const std::string& h) { return RenameNew(h + "/a", h + "/race/a"); }},
        {"replace", [](const std::string& h) { return ReplaceFile(h + "/a", h + "/race/x"); }},
        {"exchange", [](const std::string& h) { return ExchangeFiles(h + "/a", h + "/race/x"); }},
        {"copy over", [](const std::string& h) { return CopyFile(h + "/a", h + "/race/x", true); }},
        {"copy new", [](const std::string& h) { return CopyFile(h + "/a", h + "/race/new", false); }},
        {"write atomic", [](const std::string& h) { return WriteFileAtomic(h + "/race/x", "evil"); }},
        {"attributes set",
         [](const std::string& h) { return SetFileAttributes(h + "/race/x", kAttrReadOnly); }},
        {"attributes read",
         [](const std::string& h) { return GetFileAttributes(h + "/race/x") != kInvalidAttributes; }},
        {"write time",
         [](const std::string& h) { return SetFileWriteTime(h + "/race/x", UnixToFileTime(1, 0)); }},
        {"list",
         [](const std::string& h) {
             std::vector<DirEntry> entries;
             return ListDir(h + "/race/sub", &entries);
         }},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.run(home_)) << c.name;
        EXPECT_EQ(ELOOP, LastError()) << c.name;
        EXPECT_EQ(before_, Snapshot(outside_)) << c.name;
    }
    EXPECT_EQ("mine", tmp_.ReadFile("home/a"));
}

TEST_P(BeneathTest, FoldersBelowTheBoundaryStillWork) {
    ASSERT_TRUE(MakeDir(home_ + "/real"));
    ASSERT_TRUE(MakeDir(home_ + "/real/deep"));
    ASSERT_TRUE(WriteFileAtomic(home_ + "/real/deep/f", "data"));
    ASSERT_TRUE(RenameNew(home_ + "/a", home_ + "/real/deep/a"));
    ASSERT_TRUE(SetFileAttributes(home_ + "/real/deep/f", kAttrHidden));
    EXPECT_NE(0u, GetFileAttributes(home_ + "/real/deep/f") & kAttrHidden);
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDir(home_ + "/real/deep", &entries, true));
    EXPECT_EQ(2u, entries.size());
    for (const DirEntry& e : entries) {
        EXPECT_EQ(e.name == "f", (e.attributes & kAttrHidden) != 0) << e.name;
    }
    // A link is still an entry of its own: it can be seen, moved and removed, never entered.
    FileStat st;
    ASSERT_TRUE(Stat(home_ + "/race", &st));
    EXPECT_EQ(EntryKind::Link, st.kind);
    ASSERT_TRUE(MoveFile(home_ + "/race", home_ + "/real/race"));
    EXPECT_TRUE(RemoveFile(home_ + "/real/race"));
    EXPECT_EQ(before_, Snapshot(outside_));
}

INSTANTIATE_TEST_SUITE_P(Resolution, BeneathTest, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "Walk" : "Openat2"; });

TEST(Beneath, ClimbingNamesAreRefusedAndOtherPathsResolveAsBefore) {
    TempDir tmp;
    tmp.WriteFile("outside/x", "keep");
    tmp.MakeDirs("home/in");
    ASSERT_EQ(0, ::symlink(tmp.Sub("outside").c_str(), tmp.Sub("elsewhere").c_str()));
    const std::string home = tmp.Sub("home");
    ConfineBeneath(home);
    FileStat st;
    for (const char* climb : {"/../outside/x", "/in/../../outside/x", "/./in", "/in/.."}) {
        SetLastError(0);
        EXPECT_FALSE(Stat(home + climb, &st)) << climb;
        EXPECT_EQ(EXDEV, LastError()) << climb;
    }
    // Outside every boundary a link in a folder of the path is the system's business.
    EXPECT_TRUE(Stat(tmp.Sub("elsewhere/x"), &st));
    // So is the boundary's own path: a home reached through a link works below it.
    ConfineBeneath(tmp.Sub("elsewhere"));
    EXPECT_TRUE(WriteFileAtomic(tmp.Sub("elsewhere/y"), "ok"));
    EXPECT_EQ("ok", tmp.ReadFile("outside/y"));
    ReleaseConfinement(tmp.Sub("elsewhere"));
    ReleaseConfinement(home);
    EXPECT_FALSE(IsConfined(home + "/in"));
}

}  // namespace
