// Two computers racing on one account lose nothing: a folder renamed on one while the other adds
// to it, a file deleted on one while the other edits it, and a home folder that vanishes from
// under a running client. A held service call or a frozen client makes each window certain.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "e2e/harness.h"

namespace {

using e2e::Computer;
using e2e::FileSig;
using e2e::Tree;

class NoLoss : public e2e::TwoComputerTest {
  protected:
    // Both computers agree, and the tree holds each of `contents` somewhere.
    ::testing::AssertionResult AgreeAndHold(const std::vector<std::string>& contents) {
        auto holds = [&](const Tree& t) {
            for (const std::string& c : contents) {
                bool found = false;
                for (const auto& [path, sig] : t)
                    found = found || sig == FileSig(c);
                if (!found)
                    return false;
            }
            return true;
        };
        if (e2e::WaitUntil(
                [&] {
                    const Tree l = laptop_->Files();
                    return l == desktop_->Files() && holds(l);
                },
                e2e::ConvergeMs()))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "laptop:\n"
                                             << e2e::Describe(laptop_->Files()) << "desktop:\n"
                                             << e2e::Describe(desktop_->Files()) << Logs();
    }
};

// The laptop renames a folder while one of its passes runs; the desktop adds to the folder under
// the old name before the laptop's upload phase. The rename goes first, and the desktop's files
// survive on both computers.
TEST_F(NoLoss, AFolderRenamedDuringAPassIsNotTakenForADeletion) {
    const std::string a = e2e::RandomBytes(100000, 1), other = e2e::RandomBytes(90000, 2),
                      added = e2e::RandomBytes(80000, 3);
    laptop_->Write("music/live/a.mp3", a);
    laptop_->Write("music/other.mp3", other);
    ASSERT_TRUE(BothHold({{"music", "dir"},
                          {"music/live", "dir"},
                          {"music/live/a.mp3", FileSig(a)},
                          {"music/other.mp3", FileSig(other)}}));

    // The laptop's next pass is held at its listing while the user renames the folder. A pass
    // still running would upload the trigger before the hold of its upload is set.
    ASSERT_TRUE(laptop_->WaitQuiet());
    ASSERT_TRUE(desktop_->Freeze());
    ASSERT_TRUE(server_.Fault("file_list", "stall", 1, -1, 3000));
    laptop_->Write("trigger.txt", "starts a pass");
    ASSERT_TRUE(Held("file_list"));
    laptop_->Rename("music/live", "music/r24-live");
    // ...and at its first upload while the desktop moves a file in and adds another.
    ASSERT_TRUE(server_.Fault("upload_file", "stall", 1, -1, 120000));
    ASSERT_TRUE(Held("upload_file"));
    desktop_->Rename("music/other.mp3", "music/live/moved.mp3");
    desktop_->Write("music/live/new.mp3", added);
    ASSERT_TRUE(desktop_->Thaw());
    ASSERT_TRUE(
        e2e::WaitUntil([&] { return OnService("music/live/new.mp3").has_value(); }, e2e::ConvergeMs()))
        << Logs();
    ASSERT_TRUE(server_.ResetFaults());

    ASSERT_TRUE(AgreeAndHold({a, other, added}));
    EXPECT_EQ(OnService("music/r24-live/a.mp3"), a);
}

// The laptop deletes a file while the desktop edits it; the edit reaches the service after the
// laptop's listing and before its removal. The laptop looks again and keeps the edit.
TEST_F(NoLoss, ADeletionDoesNotTakeAnEditItNeverSaw) {
    laptop_->Write("data.csv", "1,2,3");
    ASSERT_TRUE(BothHold({{"data.csv", FileSig("1,2,3")}}));

    // Both changes in one batch of the laptop's, so its pass uploads the trigger before it removes.
    ASSERT_TRUE(desktop_->Freeze());
    ASSERT_TRUE(laptop_->Freeze());
    laptop_->Remove("data.csv");
    laptop_->Write("trigger.txt", "t");
    ASSERT_TRUE(server_.Fault("upload_file", "stall", 1, -1, 120000));
    ASSERT_TRUE(laptop_->Thaw());
    ASSERT_TRUE(Held("upload_file"));
    desktop_->Write("data.csv", "1,2,3,4 edited on the desktop");
    ASSERT_TRUE(desktop_->Thaw());
    ASSERT_TRUE(e2e::WaitUntil([&] { return OnService("data.csv") == "1,2,3,4 edited on the desktop"; },
                               e2e::ConvergeMs()))
        << Logs();
    ASSERT_TRUE(server_.ResetFaults());

    ASSERT_TRUE(
        BothHold({{"data.csv", FileSig("1,2,3,4 edited on the desktop")}, {"trigger.txt", FileSig("t")}}));
    EXPECT_EQ(OnService("data.csv"), "1,2,3,4 edited on the desktop");
}

// The laptop's home folder is moved away while the client runs, and again while it is off:
// nothing is removed on the service or on the desktop; put back, it syncs on.
TEST_F(NoLoss, AHomeFolderThatVanishesRemovesNothing) {
    laptop_->Write("a.txt", "a");
    laptop_->Write("docs/b.txt", "b");
    const Tree all = {{"a.txt", FileSig("a")}, {"docs", "dir"}, {"docs/b.txt", FileSig("b")}};
    ASSERT_TRUE(BothHold(all));
    const std::string home = laptop_->HomeFolder(), away = laptop_->Root() + "/home.away";
    auto paused = [&](int times) {
        return e2e::WaitUntil(
            [&] {
                const std::string out = laptop_->Console();
                size_t n = 0;
                for (size_t at = out.find("同步已暂停"); at != std::string::npos;
                     at = out.find("同步已暂停", at + 1))
                    ++n;
                return n >= static_cast<size_t>(times);
            },
            e2e::ConvergeMs());
    };

    ASSERT_EQ(std::rename(home.c_str(), away.c_str()), 0);
    desktop_->Write("docs/c.txt", "made on the desktop meanwhile");  // the laptop's heartbeat asks for a pass
    // Paused, or (the fault) everything removed on the service.
    ASSERT_TRUE(e2e::WaitUntil(
        [&] { return laptop_->Console().find("同步已暂停") != std::string::npos || !OnService("a.txt"); },
        e2e::ConvergeMs()));
    EXPECT_EQ(OnService("a.txt"), "a");
    ASSERT_TRUE(paused(1)) << Logs();
    ASSERT_TRUE(e2e::WaitUntil([&] { return OnService("docs/c.txt").has_value(); }, e2e::ConvergeMs()));
    EXPECT_FALSE(laptop_->Exists(""));
    EXPECT_EQ(desktop_->Read("docs/b.txt"), "b");

    ASSERT_EQ(std::rename(away.c_str(), home.c_str()), 0);
    Tree more = all;
    more["docs/c.txt"] = FileSig("made on the desktop meanwhile");
    ASSERT_TRUE(BothHold(more));

    // Off while the folder goes: the sign-in does not make it again, the first pass pauses.
    ASSERT_TRUE(laptop_->Stop());
    ASSERT_EQ(std::rename(home.c_str(), away.c_str()), 0);
    std::string error;
    ASSERT_TRUE(laptop_->Start(&error)) << error;
    ASSERT_TRUE(paused(1)) << Logs();
    EXPECT_FALSE(laptop_->Exists(""));
    EXPECT_EQ(OnService("docs/c.txt"), "made on the desktop meanwhile");
    ASSERT_EQ(std::rename(away.c_str(), home.c_str()), 0);
    ASSERT_TRUE(BothHold(more));
}

}  // namespace
