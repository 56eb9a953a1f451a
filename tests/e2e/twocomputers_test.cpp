// Two computers of one account, each a full client process, against one reference service: what
// the user does in one home folder shows up in the other, and nothing is lost on the way.
#include <gtest/gtest.h>

#include <memory>

#include "e2e/harness.h"

namespace {

using e2e::Computer;
using e2e::FileSig;
using e2e::Tree;

class TwoComputers : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start()) << server_.Error();
        laptop_ = std::make_unique<Computer>(server_, "laptop");
        desktop_ = std::make_unique<Computer>(server_, "desktop");
        for (Computer* c : {laptop_.get(), desktop_.get()}) {
            std::string error;
            ASSERT_TRUE(c->Start(&error)) << error;
        }
        for (Computer* c : {laptop_.get(), desktop_.get()})
            ASSERT_TRUE(c->WaitSignedIn()) << c->Name() << ":\n" << c->Console();
    }

    void TearDown() override {
        for (Computer* c : {laptop_.get(), desktop_.get()}) {
            if (c) {
                EXPECT_TRUE(c->Stop()) << c->Name() << " did not end cleanly:\n" << c->Console();
            }
        }
    }

    // Waits until both home folders hold exactly `want`.
    ::testing::AssertionResult BothHold(const Tree& want) {
        const bool same = e2e::WaitUntil(
            [&] { return laptop_->Files() == want && desktop_->Files() == want; }, e2e::ConvergeMs());
        if (same)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "want:\n"
                                             << e2e::Describe(want) << "laptop:\n"
                                             << e2e::Describe(laptop_->Files()) << "desktop:\n"
                                             << e2e::Describe(desktop_->Files()) << "laptop console:\n"
                                             << laptop_->Console() << "desktop console:\n"
                                             << desktop_->Console();
    }

    testsupport::TestServer server_;
    std::unique_ptr<Computer> laptop_, desktop_;
};

TEST_F(TwoComputers, AddsEditsAndDeletionsCrossOver) {
    // New entries of every awkward shape made on the laptop come down to the desktop.
    const std::string big = e2e::RandomBytes(4 * 1024 * 1024, 1);
    Tree want = {
        {"docs", "dir"},
        {"docs/deep", "dir"},
        {"docs/deep/er", "dir"},
        {"docs/deep/er/note.txt", FileSig("nested")},
        {"empty.txt", FileSig("")},
        {"empty folder", "dir"},
        {"Ünïcødé 文件.txt", FileSig("non-ascii")},
        {"it's mine.txt", FileSig("apostrophe")},
        {"four.bin", FileSig(big)},
    };
    laptop_->Write("docs/deep/er/note.txt", "nested");
    laptop_->Write("empty.txt", "");
    laptop_->MakeDir("empty folder");
    laptop_->Write("Ünïcødé 文件.txt", "non-ascii");
    laptop_->Write("it's mine.txt", "apostrophe");
    laptop_->Write("four.bin", big);
    ASSERT_TRUE(BothHold(want));

    // Edits and deletions made on the desktop go back up to the laptop.
    desktop_->Write("Ünïcødé 文件.txt", "non-ascii, edited on the desktop");
    want["Ünïcødé 文件.txt"] = FileSig("non-ascii, edited on the desktop");
    desktop_->Write("empty.txt", "no longer empty");
    want["empty.txt"] = FileSig("no longer empty");
    desktop_->Remove("it's mine.txt");
    want.erase("it's mine.txt");
    desktop_->Remove("docs/deep");
    want.erase("docs/deep");
    want.erase("docs/deep/er");
    want.erase("docs/deep/er/note.txt");
    ASSERT_TRUE(BothHold(want));
    // Deleting /docs/deep must not have held back anything beside it.
    EXPECT_EQ(laptop_->Read("four.bin"), big);
}

}  // namespace
