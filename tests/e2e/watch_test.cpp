// The real client's watch of its home folder ends when the folder is moved away and back: it comes
// back by itself, the tray says so while it is down, and changes are seen the moment they are made
// again, not only at the next pass the service asks for.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "e2e/harness.h"

namespace {

using e2e::FileSig;

using WatchRestart = e2e::TwoComputerTest;

TEST_F(WatchRestart, AWatchLostWithItsFolderComesBackAndSeesChangesAgain) {
    ASSERT_TRUE(laptop_->WaitQuiet());
    // Frozen, the client reads the two moves only once thawed; its watch followed the folder and
    // ends at the first.
    ASSERT_TRUE(laptop_->Freeze());
    const std::string away = laptop_->Root() + "/home-away";
    ASSERT_EQ(0, std::rename(laptop_->HomeFolder().c_str(), away.c_str()));
    ASSERT_EQ(0, std::rename(away.c_str(), laptop_->HomeFolder().c_str()));
    ASSERT_TRUE(laptop_->Thaw());
    ASSERT_TRUE(
        e2e::WaitUntil([&] { return laptop_->CountInLog("Monitor restarted") >= 1; }, e2e::ConvergeMs()))
        << Logs();
    EXPECT_GE(laptop_->CountInLog("Cancel Monitor"), 1u);
    EXPECT_NE(laptop_->Console().find("本地文件监视中断"), std::string::npos) << laptop_->Console();

    laptop_->Write("after.txt", "seen");
    // Seen by the watch itself, and carried over.
    ASSERT_TRUE(
        e2e::WaitUntil([&] { return laptop_->CountInLog("Added     - after.txt") >= 1; }, e2e::ConvergeMs()))
        << Logs();
    ASSERT_TRUE(BothHold({{"after.txt", FileSig("seen")}})) << Logs();
    EXPECT_EQ(laptop_->CountInLog("Monitor restarted"), 1u);
    // At the client's info level the passes' listings are counted, never written entry by entry.
    EXPECT_GE(laptop_->CountInLog("Server FS: "), 1u);
    EXPECT_EQ(laptop_->CountInLog("Server FS: "), laptop_->CountInLog(" entries\r\n"));
}

}  // namespace
