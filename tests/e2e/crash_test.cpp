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

using CrashTest = e2e::TwoComputerTest;

TEST_F(CrashTest, KilledInTheMiddleOfAnUploadAndOfADownload) {
    // The upload: the laptop is killed once two chunks of a new file are on the service and the
    // third is on its way.
    const std::string big = e2e::RandomBytes(40 * kMiB, 7);
    ASSERT_TRUE(HoldAfter("upload_chunk", 2));
    laptop_->Write("big.bin", big);
    ASSERT_TRUE(Held("upload_chunk"));
    laptop_->Kill();
    ASSERT_TRUE(server_.ResetFaults());
    ASSERT_NE(OnService("big.bin"), big) << "the upload had ended before the crash";
    ASSERT_TRUE(StartAndSignIn(*laptop_));
    ASSERT_TRUE(BothHold({{"big.bin", FileSig(big)}}));
    EXPECT_EQ(FileSig(OnService("big.bin").value_or("(none)")), FileSig(big));

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
    ASSERT_TRUE(Held("download_chunk"));
    desktop_->Kill();
    ASSERT_TRUE(server_.ResetFaults());
    EXPECT_EQ(FileSig(desktop_->Read("big.bin")), FileSig(big))
        << "the old version stays whole until the new one is complete\n"
        << e2e::Tail(desktop_->Log(), 20000);
    ASSERT_TRUE(StartAndSignIn(*desktop_));
    ASSERT_TRUE(BothHold({{"big.bin", FileSig(v2)}}));
    EXPECT_EQ(FileSig(OnService("big.bin").value_or("(none)")), FileSig(v2));
}

}  // namespace
