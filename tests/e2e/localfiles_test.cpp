// What stays on one computer and what a file keeps of itself: programs' temporary files never
// reach the service, the decoration's hidden-name list stays each computer's own, and a file
// replaced by a newer version keeps its permission bits.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

using e2e::FileSig;
using e2e::Tree;

class LocalFiles : public e2e::TwoComputerTest {
  protected:
    // Asks the laptop for one more pass and waits until it has ended with the nudge down.
    ::testing::AssertionResult OneMoreLaptopPass(const std::string& nudge) {
        const int passes = laptop_->PassesEnded();
        desktop_->Write(nudge, "asks the laptop for a pass");
        if (!e2e::WaitUntil([&] { return laptop_->PassesEnded() > passes && laptop_->Exists(nudge); },
                            e2e::ConvergeMs()))
            return ::testing::AssertionFailure() << "no pass of the laptop's after " << nudge << "\n"
                                                 << Logs();
        return ::testing::AssertionSuccess();
    }
    static unsigned ModeOf(const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 01'0000;
    }
};

TEST_F(LocalFiles, EditorAndBrowserTemporariesNeverReachTheService) {
    // A LibreOffice lock made beside its document, and the other programs' short-lived names,
    // beside names that only look alike and must travel.
    const std::vector<std::string> stay = {".~lock.report.odt#",  ".report.txt.swp",     "report.txt~",
                                           ".#report.txt",        ".goutputstream-Q7Z1", "sub/movie.mkv.part",
                                           "movie.mkv.crdownload"};
    laptop_->Write("report.odt", "the document");
    for (const std::string& rel : stay)
        laptop_->Write(rel, "temporary " + rel);
    laptop_->Write("report.part.txt", "a part of a report");

    const Tree want = {
        {"report.odt", FileSig("the document")},
        {"report.part.txt", FileSig("a part of a report")},
        {"sub", "dir"},
    };
    ASSERT_TRUE(e2e::WaitUntil([&] { return desktop_->Files() == want; }, e2e::ConvergeMs()))
        << "desktop:\n"
        << e2e::Describe(desktop_->Files()) << Logs();
    // Edited again while the document is open: still nothing of them goes up.
    laptop_->Write(".~lock.report.odt#", "the lock, rewritten");
    ASSERT_TRUE(OneMoreLaptopPass("nudge.txt"));
    const std::string listing = server_.Ls(testsupport::TestServer::kUser);
    EXPECT_EQ(OnService("report.odt"), std::optional<std::string>("the document"));
    for (const std::string& rel : stay) {
        EXPECT_FALSE(OnService(rel)) << rel << " reached the service:\n" << listing;
        EXPECT_TRUE(laptop_->Exists(rel)) << "kept where it was made: " << rel;
        EXPECT_FALSE(desktop_->Exists(rel)) << rel;
    }
}

// A backup name that an earlier version synced is neither taken away from the service nor from
// either computer: the filter only keeps this computer's new changes of it from going up.
TEST_F(LocalFiles, ABackupNameSyncedBeforeIsKeptEverywhere) {
    ASSERT_TRUE(PutOnService("notes.txt~", "synced by an earlier version"));
    ASSERT_TRUE(e2e::WaitUntil(
        [&] {
            return laptop_->Exists("notes.txt~") && desktop_->Exists("notes.txt~") &&
                   laptop_->Read("notes.txt~") == "synced by an earlier version";
        },
        e2e::ConvergeMs()))
        << Logs();
    laptop_->Write("notes.txt~", "edited on the laptop");
    ASSERT_TRUE(OneMoreLaptopPass("nudge.txt"));
    EXPECT_EQ(OnService("notes.txt~"), std::optional<std::string>("synced by an earlier version"));
    EXPECT_EQ(laptop_->Read("notes.txt~"), "edited on the laptop");
    EXPECT_EQ(desktop_->Read("notes.txt~"), "synced by an earlier version");
}

// The home folder's ".hidden" names the decoration for file managers; the user's own lines in it
// stay, and it never goes up. One in a plain folder is the user's file and travels.
TEST_F(LocalFiles, TheDecorationsHiddenListStaysOnEachComputer) {
    ASSERT_TRUE(e2e::WaitUntil([&] { return laptop_->Exists(".hidden") && desktop_->Exists(".hidden"); },
                               e2e::ConvergeMs()))
        << Logs();
    EXPECT_EQ(laptop_->Read(".hidden"), "desktop.ini\n");
    laptop_->Write(".hidden", "desktop.ini\nnotes.txt\n");
    laptop_->Write("sub/.hidden", "draft.txt\n");
    ASSERT_TRUE(e2e::WaitUntil([&] { return desktop_->Exists("sub/.hidden"); }, e2e::ConvergeMs())) << Logs();
    ASSERT_TRUE(OneMoreLaptopPass("nudge.txt"));
    EXPECT_FALSE(OnService(".hidden")) << server_.Ls(testsupport::TestServer::kUser);
    EXPECT_EQ(OnService("sub/.hidden"), std::optional<std::string>("draft.txt\n"));
    EXPECT_EQ(laptop_->Read(".hidden"), "desktop.ini\nnotes.txt\n");
    EXPECT_EQ(desktop_->Read(".hidden"), "desktop.ini\n");
}

TEST_F(LocalFiles, AnExecutableReplacedByANewerVersionStaysExecutable) {
    laptop_->Write("tool.sh", "#!/bin/sh\necho one\n");
    ASSERT_TRUE(e2e::WaitUntil([&] { return desktop_->Exists("tool.sh"); }, e2e::ConvergeMs())) << Logs();
    EXPECT_EQ(ModeOf(desktop_->Path("tool.sh")) & 0111, 0u) << "a new file takes the user's default mode";
    ASSERT_EQ(::chmod(desktop_->Path("tool.sh").c_str(), 0755), 0);
    laptop_->Write("tool.sh", "#!/bin/sh\necho two, a newer version\n");
    ASSERT_TRUE(
        e2e::WaitUntil([&] { return desktop_->Read("tool.sh") == "#!/bin/sh\necho two, a newer version\n"; },
                       e2e::ConvergeMs()))
        << Logs();
    EXPECT_EQ(ModeOf(desktop_->Path("tool.sh")), 0755u);
}

}  // namespace
