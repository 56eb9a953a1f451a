// `kestrine status --json` and `kestrine sync` against a running client: the state while a large
// upload is held and after it, an item the computer cannot hold listed, a pass asked for, and
// exit code 3 once no client runs (stopped, or killed with its socket left behind).
#include <gtest/gtest.h>

#include <string>

#include "e2e/harness.h"

namespace {

constexpr size_t kMiB = 1024 * 1024;

class StatusCommand : public e2e::TwoComputerTest {
  protected:
    // The JSON answer of the laptop's client; empty when the command failed.
    std::string Status() {
        std::string out, err;
        const int code = laptop_->Command({"status", "--json"}, &out, &err);
        last_ = out + err;
        return code == 0 ? out : std::string();
    }
    bool StatusHas(const std::string& part) {
        return e2e::WaitUntil([&] { return Status().find(part) != std::string::npos; }, e2e::ConvergeMs());
    }
    std::string last_;
};

TEST_F(StatusCommand, StateDuringALargeUploadAndAfterItAndItemsNotSynced) {
    const std::string big = e2e::RandomBytes(20 * kMiB, 11);
    ASSERT_TRUE(HoldAfter("upload_chunk", 1));
    laptop_->Write("big.bin", big);
    ASSERT_TRUE(Held("upload_chunk"));
    const std::string during = Status();
    EXPECT_NE(during.find("\"state\":\"syncing\""), std::string::npos) << last_;
    EXPECT_NE(during.find("\"action\":\"upload\",\"item\":\"/big.bin\""), std::string::npos) << last_;
    EXPECT_NE(during.find("\"total_bytes\":" + std::to_string(20 * kMiB)), std::string::npos) << last_;
    EXPECT_NE(during.find("\"account\":\"" + std::string(testsupport::TestServer::kUser) + "\""),
              std::string::npos)
        << last_;
    std::string human;
    ASSERT_EQ(laptop_->Command({"status"}, &human), 0);
    EXPECT_NE(human.find("/big.bin"), std::string::npos) << human;
    // Asking for a pass while one runs is no failure: the caller gets what it asked for.
    std::string asked, askErr;
    EXPECT_EQ(laptop_->Command({"sync"}, &asked, &askErr), 0) << askErr;
    EXPECT_NE(asked.find("同步已在进行中"), std::string::npos) << asked << askErr;

    ASSERT_TRUE(server_.ResetFaults());
    ASSERT_TRUE(StatusHas("\"state\":\"up to date\"")) << last_ << Logs();
    const std::string after = Status();
    EXPECT_NE(after.find("\"current\":null"), std::string::npos) << after;
    EXPECT_NE(after.find("\"result\":\"succeeded\""), std::string::npos) << after;
    EXPECT_EQ(OnService("big.bin"), big);

    // An entry no computer's folder may hold is listed, and the state says the sync is unfinished.
    ASSERT_TRUE(PutOnService("..\\climbs.txt", "climbs"));
    ASSERT_TRUE(StatusHas("climbs.txt")) << last_ << Logs();
    ASSERT_TRUE(StatusHas("\"state\":\"unfinished\"")) << last_;
    EXPECT_NE(Status().find("\"not_synced_count\":1"), std::string::npos) << last_;

    // `sync` asks for a pass as the tray's command does: one more pass ends.
    ASSERT_TRUE(laptop_->WaitQuiet());
    const int passes = laptop_->PassesEnded();
    std::string out, err;
    ASSERT_EQ(laptop_->Command({"sync"}, &out, &err), 0) << out << err;
    EXPECT_TRUE(e2e::WaitUntil([&] { return laptop_->PassesEnded() > passes; }, e2e::ConvergeMs())) << Logs();
}

TEST_F(StatusCommand, NoClientRunningExitsWithThree) {
    std::string out, err;
    ASSERT_EQ(laptop_->Command({"status"}, &out, &err), 0) << err;
    ASSERT_TRUE(laptop_->Stop());
    EXPECT_EQ(laptop_->Command({"status", "--json"}, &out, &err), 3) << out << err;
    EXPECT_EQ(out, "");
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(laptop_->Command({"sync"}, &out, &err), 3);

    // Killed, the client leaves its socket: still no client, and the next start takes it over.
    ASSERT_TRUE(StartAndSignIn(*laptop_));
    laptop_->Kill();
    EXPECT_EQ(laptop_->Command({"status"}, &out, &err), 3) << out << err;
    ASSERT_TRUE(StartAndSignIn(*laptop_));
    EXPECT_EQ(laptop_->Command({"status", "--json"}, &out, &err), 0) << err;
}

}  // namespace
