// One bad item does not stop a client: an entry it cannot hold is listed once on its console (and
// again when asked), the new local files of the same pass still reach the service, and the
// heartbeat does not rerun a pass that only holds such items.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sstream>
#include <string>
#include <thread>

#include "e2e/harness.h"

namespace {

// About 4,000 bytes: the service takes it, no computer's home folder can hold it.
std::string OverlongPath() {
    std::string path;
    for (int i = 0; i < 20; ++i)
        path += std::string(200, static_cast<char>('a' + i)) + "/";
    return path + "deep.txt";
}

class KeepGoing : public e2e::TwoComputerTest {};

TEST_F(KeepGoing, EntriesAComputerCannotHoldAreListedAndItsNewFilesStillGoUp) {
    ASSERT_TRUE(PutOnService("..\\climbs.txt", "climbs"));
    ASSERT_TRUE(PutOnService(OverlongPath(), "deep"));
    laptop_->Write("mine.txt", "mine");
    desktop_->Write("Case.txt", "upper");
    desktop_->Write("case.txt", "lower");

    ASSERT_TRUE(
        e2e::WaitUntil([&] { return OnService("mine.txt") == std::string("mine"); }, e2e::ConvergeMs()))
        << Logs();
    // Console lines naming an item not synced whose text holds `part`.
    auto listed = [](e2e::Computer& c, const std::string& part) {
        size_t n = 0;
        std::istringstream lines(c.Console());
        for (std::string line; std::getline(lines, line);)
            n += line.rfind("[not synced] ", 0) == 0 && line.find(part) != std::string::npos ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(e2e::WaitUntil(
        [&] {
            return listed(*laptop_, "climbs.txt") == 1 && listed(*laptop_, "deep.txt") == 1 &&
                   listed(*desktop_, "ase.txt: another name") == 1;
        },
        e2e::ConvergeMs()))
        << Logs();
    EXPECT_EQ(laptop_->Read("mine.txt"), "mine");
    ASSERT_TRUE(e2e::WaitUntil([&] { return desktop_->Read("mine.txt") == "mine"; }, e2e::ConvergeMs()));

    // Quiet: the heartbeat (a cycle of a second here) starts no pass for them.
    ASSERT_TRUE(laptop_->WaitQuiet());
    const int passes = laptop_->PassesEnded();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_EQ(laptop_->PassesEnded(), passes) << Logs();
    EXPECT_EQ(listed(*laptop_, "climbs.txt"), 1u) << "told once";

    // Asked for, the list comes again.
    ASSERT_TRUE(laptop_->Signal(SIGUSR1));
    ASSERT_TRUE(e2e::WaitUntil(
        [&] { return listed(*laptop_, "climbs.txt") == 2 && listed(*laptop_, "deep.txt") == 2; }, 10000))
        << laptop_->Console();
}

}  // namespace
