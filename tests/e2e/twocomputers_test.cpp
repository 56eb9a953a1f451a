// Two computers of one account, each a full client process, against one reference service: what
// the user does in one home folder shows up in the other, and nothing is lost on the way.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

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

    // The service's copy of `rel`, or nullopt when it has none.
    std::optional<std::string> OnService(const std::string& rel) {
        const std::string local = scratch_.Sub("fetched");
        std::remove(local.c_str());
        if (!server_.Get(testsupport::TestServer::kUser, rel, local))
            return std::nullopt;
        return scratch_.ReadFile("fetched");
    }
    // The modify time the service lists for `rel`, or -1.
    long long ServiceTime(const std::string& rel) {
        std::istringstream lines(server_.Ls(testsupport::TestServer::kUser));
        std::string path, kind, size;
        long long time = -1;
        while (lines >> path >> kind >> size >> time) {
            if (path == rel || path == "/" + rel)
                return time;
        }
        return -1;
    }

    testsupport::TestServer server_;
    testsupport::TempDir scratch_;
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

TEST_F(TwoComputers, ChangesMadeApartMeetWithoutLoss) {
    // Every way the two sides can disagree about one path, set up while the desktop is off: the
    // laptop's changes are on the service before the desktop starts again and decides.
    const std::string v1 = "version one";
    const std::vector<std::string> base = {"untouched",    "edited-there",   "same-edit",
                                           "both-edited",  "edit-vs-delete", "delete-vs-edit",
                                           "deleted-both", "deleted-there",  "touched"};
    for (const std::string& name : base)
        laptop_->Write("base/" + name + ".txt", v1);
    Tree want = {{"base", "dir"}};
    for (const std::string& name : base)
        want["base/" + name + ".txt"] = FileSig(v1);
    ASSERT_TRUE(BothHold(want));
    const long long touchedTime = desktop_->Mtime("base/touched.txt");
    ASSERT_TRUE(desktop_->Stop()) << desktop_->Console();

    // The laptop's side.
    laptop_->Write("base/edited-there.txt", "laptop v2");
    laptop_->Write("base/same-edit.txt", "the same v2");
    laptop_->Write("base/both-edited.txt", "laptop's edit");
    laptop_->Write("base/edit-vs-delete.txt", "laptop edited what the desktop deleted");
    laptop_->Remove("base/delete-vs-edit.txt");
    laptop_->Remove("base/deleted-both.txt");
    laptop_->Remove("base/deleted-there.txt");
    laptop_->Write("fresh-same.txt", "made twice alike");
    laptop_->Write("fresh-other.txt", "laptop's fresh file");
    laptop_->MakeDir("fresh-folder");
    laptop_->Write("kind", "a file on the laptop");
    const std::map<std::string, std::optional<std::string>> onService = {
        {"base/edited-there.txt", "laptop v2"},
        {"base/same-edit.txt", "the same v2"},
        {"base/both-edited.txt", "laptop's edit"},
        {"base/edit-vs-delete.txt", "laptop edited what the desktop deleted"},
        {"base/delete-vs-edit.txt", std::nullopt},
        {"base/deleted-both.txt", std::nullopt},
        {"base/deleted-there.txt", std::nullopt},
        {"fresh-same.txt", "made twice alike"},
        {"fresh-other.txt", "laptop's fresh file"},
        {"kind", "a file on the laptop"},
    };
    ASSERT_TRUE(e2e::WaitUntil(
        [&] {
            for (const auto& [rel, content] : onService) {
                if (OnService(rel) != content)
                    return false;
            }
            return ServiceTime("fresh-folder") != -1;
        },
        e2e::ConvergeMs()))
        << server_.Ls(testsupport::TestServer::kUser) << laptop_->Console();
    const long long serviceTouched = ServiceTime("base/touched.txt");

    // The desktop's side, while it is off.
    desktop_->Write("base/same-edit.txt", "the same v2");
    desktop_->Write("base/both-edited.txt", "desktop's edit");
    desktop_->Remove("base/edit-vs-delete.txt");
    desktop_->Write("base/delete-vs-edit.txt", "desktop edited what the laptop deleted");
    desktop_->Remove("base/deleted-both.txt");
    desktop_->SetMtime("base/touched.txt", touchedTime + 3600);
    desktop_->Write("fresh-same.txt", "made twice alike");
    desktop_->Write("fresh-other.txt", "desktop's fresh file");
    desktop_->MakeDir("fresh-folder");
    desktop_->Write("kind/inside.txt", "in the desktop's folder");
    desktop_->Write("desktop-only.txt", "made while off");
    std::string error;
    ASSERT_TRUE(desktop_->Start(&error)) << error;
    ASSERT_TRUE(desktop_->WaitSignedIn()) << desktop_->Console();

    want = {
        {"base", "dir"},
        {"base/untouched.txt", FileSig(v1)},
        {"base/edited-there.txt", FileSig("laptop v2")},
        {"base/same-edit.txt", FileSig("the same v2")},
        // Both edits survive: the service's at the path, the desktop's as its conflict copy.
        {"base/both-edited.txt", FileSig("laptop's edit")},
        {"base/both-edited.txt.conflict(*)", FileSig("desktop's edit")},
        // An edit never dies by a deletion from the other side: it comes back as a conflict copy.
        {"base/edit-vs-delete.txt.conflict(*)", FileSig("laptop edited what the desktop deleted")},
        {"base/delete-vs-edit.txt.conflict(*)", FileSig("desktop edited what the laptop deleted")},
        {"base/touched.txt", FileSig(v1)},
        {"fresh-same.txt", FileSig("made twice alike")},
        {"fresh-other.txt", FileSig("laptop's fresh file")},
        {"fresh-other.txt.conflict(*)", FileSig("desktop's fresh file")},
        {"fresh-folder", "dir"},
        {"kind", FileSig("a file on the laptop")},
        {"kind.conflict(*)", "dir"},
        {"kind.conflict(*)/inside.txt", FileSig("in the desktop's folder")},
        {"desktop-only.txt", FileSig("made while off")},
    };
    const bool met = e2e::WaitUntil(
        [&] {
            const Tree laptop = laptop_->Files();
            return laptop == desktop_->Files() && e2e::WithoutConflictTimes(laptop) == want;
        },
        e2e::ConvergeMs());
    ASSERT_TRUE(met) << "want:\n"
                     << e2e::Describe(want) << "laptop:\n"
                     << e2e::Describe(laptop_->Files()) << "desktop:\n"
                     << e2e::Describe(desktop_->Files()) << "desktop console:\n"
                     << desktop_->Console();
    // A file whose time alone moved is set back, not uploaded.
    EXPECT_LE(std::llabs(desktop_->Mtime("base/touched.txt") - touchedTime), 1);
    EXPECT_EQ(ServiceTime("base/touched.txt"), serviceTouched);
}

}  // namespace
