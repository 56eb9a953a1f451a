// A client killed outright in the middle of a large upload or download: started again, it
// finishes the job, and both computers end with every byte of the file and nothing half-written.
#include <gtest/gtest.h>

#include <memory>

#include "e2e/harness.h"

namespace {

using e2e::Computer;
using e2e::FileSig;
using e2e::Tree;

constexpr size_t kMiB = 1024 * 1024;

class CrashTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start()) << server_.Error();
        laptop_ = std::make_unique<Computer>(server_, "laptop");
        desktop_ = std::make_unique<Computer>(server_, "desktop");
        for (Computer* c : {laptop_.get(), desktop_.get()})
            ASSERT_TRUE(StartAndSignIn(*c));
    }

    void TearDown() override {
        server_.ResetFaults();
        for (Computer* c : {laptop_.get(), desktop_.get()}) {
            if (c) {
                EXPECT_TRUE(c->Stop()) << c->Name() << " did not end cleanly:\n" << c->Console();
            }
        }
    }

    ::testing::AssertionResult StartAndSignIn(Computer& c) {
        std::string error;
        if (!c.Start(&error))
            return ::testing::AssertionFailure() << error;
        if (!c.WaitSignedIn())
            return ::testing::AssertionFailure() << c.Name() << ":\n" << c.Console() << e2e::Tail(c.Log());
        return ::testing::AssertionSuccess();
    }

    // Lets the next `passing` requests of `op` through (each a second late, so the client is
    // seen at work) and holds the one after them.
    bool HoldAfter(const std::string& op, int passing) {
        return (passing == 0 || server_.Fault(op, "stall", passing, -1, 1000)) &&
               server_.Fault(op, "stall", 1, -1, 120000);
    }
    // Waits until a request has run into the hold.
    ::testing::AssertionResult Held(const std::string& op) {
        if (!e2e::WaitUntil([&] { return server_.Faults().find(op) == std::string::npos; },
                            e2e::ConvergeMs()))
            return ::testing::AssertionFailure() << "the " << op << " requests did not come:\n"
                                                 << server_.Faults();
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult BothHold(const Tree& want) {
        if (e2e::WaitUntil([&] { return laptop_->Files() == want && desktop_->Files() == want; },
                           e2e::ConvergeMs()))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "want:\n"
                                             << e2e::Describe(want) << "laptop:\n"
                                             << e2e::Describe(laptop_->Files()) << "desktop:\n"
                                             << e2e::Describe(desktop_->Files()) << "laptop log (end):\n"
                                             << e2e::Tail(laptop_->Log()) << "desktop log (end):\n"
                                             << e2e::Tail(desktop_->Log());
    }

    std::string OnService(const std::string& rel) {
        const std::string local = scratch_.Sub("fetched");
        std::remove(local.c_str());
        return server_.Get(testsupport::TestServer::kUser, rel, local) ? scratch_.ReadFile("fetched")
                                                                       : "(none)";
    }

    testsupport::TestServer server_;
    testsupport::TempDir scratch_;
    std::unique_ptr<Computer> laptop_, desktop_;
};

TEST_F(CrashTest, KilledInTheMiddleOfAnUploadAndOfADownload) {
    // The upload: the laptop is killed once two chunks of a new file are on the service and the
    // third is on its way.
    const std::string big = e2e::RandomBytes(40 * kMiB, 7);
    ASSERT_TRUE(HoldAfter("upload_chunk", 2));
    laptop_->Write("big.bin", big);
    ASSERT_TRUE(Held("upload_chunk")) << laptop_->Console();
    laptop_->Kill();
    ASSERT_TRUE(server_.ResetFaults());
    ASSERT_NE(OnService("big.bin"), big) << "the upload had ended before the crash";
    ASSERT_TRUE(StartAndSignIn(*laptop_));
    ASSERT_TRUE(BothHold({{"big.bin", FileSig(big)}}));
    EXPECT_EQ(FileSig(OnService("big.bin")), FileSig(big));

    // The download: a new version that differs from the desktop's from the third chunk on, so the
    // desktop has assembled its first chunks from its own copy when the network chunk stalls.
    // The laptop's upload downloads no chunk: the hold is the desktop's, after one network chunk.
    std::string v2 = big;
    for (size_t at = 9 * kMiB; at < v2.size(); at += kMiB)
        v2[at] ^= 0x33;
    ASSERT_TRUE(HoldAfter("download_chunk", 1));
    // Saved in place while the laptop's client looks away: it would otherwise send a half-written
    // version, which the desktop would then take in place of the old one.
    ASSERT_TRUE(laptop_->Freeze());
    laptop_->Write("big.bin", v2);
    ASSERT_TRUE(laptop_->Thaw());
    ASSERT_TRUE(Held("download_chunk")) << e2e::Tail(desktop_->Log());
    desktop_->Kill();
    ASSERT_TRUE(server_.ResetFaults());
    EXPECT_EQ(FileSig(desktop_->Read("big.bin")), FileSig(big))
        << "the old version stays whole until the new one is complete\n"
        << e2e::Tail(desktop_->Log(), 20000);
    ASSERT_TRUE(StartAndSignIn(*desktop_));
    ASSERT_TRUE(BothHold({{"big.bin", FileSig(v2)}}));
    EXPECT_EQ(FileSig(OnService("big.bin")), FileSig(v2));
}

}  // namespace
