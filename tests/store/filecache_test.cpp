// Share markers and removal of local files and folders.
#include "store/filecache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "support/logcapture.h"
#include "support/tempdir.h"

namespace {

constexpr uint32_t kHiddenSystem = platform::kAttrHidden | platform::kAttrSystem;

class FileCacheTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetMainWindow(&frontEnd_); }
    void TearDown() override {
        platform::SetMainWindow(nullptr);
        platform::ClearFaults();
    }
    uint32_t Attrs(const std::string& rel) { return platform::GetFileAttributes(t_.Sub(rel)); }

    testsupport::TempDir t_;
    platform::RecordingFrontEnd frontEnd_;
    CFileCache cache_;
};

TEST_F(FileCacheTest, MarkerRoundTrip) {
    t_.MakeDirs("shared");
    ASSERT_TRUE(cache_._SetShareFolder(t_.Sub("shared"), "10234"));
    EXPECT_EQ(t_.ReadFile("shared/.peltashare"), "10234");  // no line end
    EXPECT_EQ(Attrs("shared/.peltashare") & kHiddenSystem, kHiddenSystem);

    std::string id;
    ASSERT_TRUE(cache_._GetShareFolder(t_.Sub("shared"), &id));
    EXPECT_EQ(id, "10234");
    EXPECT_EQ(Attrs("shared/.peltashare") & kHiddenSystem, kHiddenSystem);  // restored after the read

    // A shorter id replaces a longer one completely, and a read-only marker is rewritten.
    ASSERT_TRUE(platform::SetFileAttributes(t_.Sub("shared/.peltashare"), platform::kAttrReadOnly));
    ASSERT_TRUE(cache_._SetShareFolder(t_.Sub("shared") + "/", "77"));
    EXPECT_EQ(t_.ReadFile("shared/.peltashare"), "77");

    t_.MakeDirs("plain");
    id = "untouched";
    EXPECT_FALSE(cache_._GetShareFolder(t_.Sub("plain"), &id));
    EXPECT_EQ(id, "untouched");
    EXPECT_TRUE(frontEnd_.Boxes().empty());
}

// A marker that grew (10 KB, not digits) is read as its first 128 bytes, nothing more.
TEST_F(FileCacheTest, LongMarkerGivesFirst128Bytes) {
    std::string big;
    for (int i = 0; i < 10240; ++i)
        big.push_back(static_cast<char>('A' + i % 26));
    big[5] = '\0';
    t_.WriteFile("big/.peltashare", big);
    std::string id;
    ASSERT_TRUE(cache_._GetShareFolder(t_.Sub("big"), &id));
    EXPECT_EQ(id, big.substr(0, 128));

    t_.WriteFile("empty/.peltashare", "");
    ASSERT_TRUE(cache_._GetShareFolder(t_.Sub("empty"), &id));
    EXPECT_EQ(id, "");
}

TEST_F(FileCacheTest, MarkersNeverGoThroughLinks) {
    t_.WriteFile("outside/.peltashare", "999");
    t_.WriteFile("victim.txt", "precious");
    t_.MakeDirs("tree/linked");
    ASSERT_EQ(::symlink(t_.Sub("outside").c_str(), t_.Sub("tree/dirlink").c_str()), 0);
    ASSERT_EQ(::symlink(t_.Sub("victim.txt").c_str(), t_.Sub("tree/linked/.peltashare").c_str()), 0);
    testsupport::LogCapture log;

    std::string id;
    EXPECT_FALSE(cache_._GetShareFolder(t_.Sub("tree/linked"), &id));  // a link is no marker
    EXPECT_FALSE(cache_._SetShareFolder(t_.Sub("tree/linked"), "1"));
    EXPECT_EQ(t_.ReadFile("victim.txt"), "precious");
    EXPECT_FALSE(cache_._SetShareFolder(t_.Sub("tree/dirlink"), "1"));
    EXPECT_EQ(t_.ReadFile("outside/.peltashare"), "999");
    EXPECT_EQ(log.LastError(), "Fail to creat file \"" + t_.Sub("tree/dirlink/.peltashare") + "\"");
}

TEST_F(FileCacheTest, MarkerFailures) {
    t_.WriteFile("shared/.peltashare", "10234");
    testsupport::LogCapture log;

    platform::FailCall(platform::Op::Open, 1, 13 /* EACCES */, ".peltashare");
    std::string id = "untouched";
    EXPECT_FALSE(cache_._GetShareFolder(t_.Sub("shared"), &id));
    EXPECT_EQ(id, "untouched");
    EXPECT_EQ(log.LastError(), "Fail to open file \"" + t_.Sub("shared/.peltashare") + "\"");
    EXPECT_TRUE(log.Contains("[CFileCache::_GetShareFolder]"));
    EXPECT_TRUE(frontEnd_.Boxes().empty());

    platform::FailCall(platform::Op::Open, 1, 13 /* EACCES */, ".peltashare");
    EXPECT_FALSE(cache_._SetShareFolder(t_.Sub("shared"), "55"));
    EXPECT_EQ(log.LastError(), "Fail to creat file \"" + t_.Sub("shared/.peltashare") + "\"");
    ASSERT_EQ(frontEnd_.Boxes().size(), 1u);
    EXPECT_NE(frontEnd_.Boxes()[0].text.find(".peltashare"), std::string::npos);
    EXPECT_EQ(t_.ReadFile("shared/.peltashare"), "10234");

    // A write that fails leaves no marker rather than a cut-off id.
    platform::FailCall(platform::Op::Write, 1, 28 /* ENOSPC */, ".peltashare");
    EXPECT_FALSE(cache_._SetShareFolder(t_.Sub("shared"), "55"));
    EXPECT_FALSE(t_.Exists("shared/.peltashare"));
}

TEST_F(FileCacheTest, RemoveFilesFoldersAndLinks) {
    t_.WriteFile("ro.txt", "r");
    ASSERT_TRUE(
        platform::SetFileAttributes(t_.Sub("ro.txt"), platform::kAttrReadOnly | platform::kAttrSystem));
    t_.WriteFile("dir/sub/f.txt", "f");
    ASSERT_TRUE(platform::SetFileAttributes(t_.Sub("dir/sub/f.txt"), platform::kAttrReadOnly));
    t_.WriteFile("outside/keep.txt", "keep");
    ASSERT_EQ(::symlink(t_.Sub("outside").c_str(), t_.Sub("dirlink").c_str()), 0);
    testsupport::LogCapture log;

    EXPECT_TRUE(cache_.Remove(t_.Sub("ro.txt")));
    EXPECT_FALSE(t_.Exists("ro.txt"));
    EXPECT_TRUE(log.Contains("Remove a local file: " + t_.Sub("ro.txt")));
    EXPECT_TRUE(cache_.Remove(t_.Sub("dir")));
    EXPECT_FALSE(t_.Exists("dir"));
    EXPECT_TRUE(log.Contains("Remove a local folder: " + t_.Sub("dir")));
    EXPECT_TRUE(cache_.Remove(t_.Sub("dirlink")));
    struct stat st;
    EXPECT_NE(::lstat(t_.Sub("dirlink").c_str(), &st), 0);
    EXPECT_EQ(t_.ReadFile("outside/keep.txt"), "keep");
    EXPECT_FALSE(cache_.Remove(t_.Sub("missing")));
}

TEST_F(FileCacheTest, RemoveMarkerAndDecoration) {
    t_.WriteFile("shared/.peltashare", "10234");
    t_.WriteFile("shared/desktop.ini", "[.ShellClassInfo]");
    t_.WriteFile("shared/doc.txt", "d");
    ASSERT_TRUE(platform::SetFileAttributes(t_.Sub("shared/.peltashare"), kHiddenSystem));
    ASSERT_TRUE(platform::SetFileAttributes(t_.Sub("shared/desktop.ini"), kHiddenSystem));
    ASSERT_TRUE(platform::SetFileAttributes(t_.Sub("shared"), platform::kAttrReadOnly));

    EXPECT_TRUE(cache_.RemoveShareMarker(t_.Sub("shared")));
    EXPECT_TRUE(cache_.RemoveFolderIcon(t_.Sub("shared")));
    EXPECT_FALSE(t_.Exists("shared/.peltashare"));
    EXPECT_FALSE(t_.Exists("shared/desktop.ini"));
    EXPECT_TRUE(t_.Exists("shared/doc.txt"));
    EXPECT_TRUE(Attrs("shared") & platform::kAttrReadOnly);   // the folder keeps its attribute
    EXPECT_TRUE(cache_.RemoveShareMarker(t_.Sub("shared")));  // nothing left to remove
}

}  // namespace
