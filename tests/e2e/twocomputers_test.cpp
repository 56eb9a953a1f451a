// Two computers of one account, each a full client process, against one reference service: what
// the user does in one home folder shows up in the other, and nothing is lost on the way.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "e2e/harness.h"

namespace {

using e2e::Computer;
using e2e::FileSig;
using e2e::Tree;

class TwoComputers : public e2e::TwoComputerTest {
  protected:
    // True when the service's listing could be read and does not name `rel`.
    bool ServiceLacks(const std::string& rel) {
        std::string out;
        if (server_.Cli("ls", {testsupport::TestServer::kUser}, &out) != 0)
            return false;
        for (const testsupport::ListedItem& item : testsupport::ParseListing(out)) {
            if (item.path == rel || item.path == "/" + rel)
                return false;
        }
        return true;
    }
    // The modify time the service lists for `rel`, or -1.
    long long ServiceTime(const std::string& rel) {
        for (const testsupport::ListedItem& item :
             testsupport::ParseListing(server_.Ls(testsupport::TestServer::kUser))) {
            if (item.path == rel || item.path == "/" + rel)
                return item.modifyTime;
        }
        return -1;
    }
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
    // A folder the laptop deletes while the desktop changes what is inside.
    laptop_->Write("old-folder/plain.txt", v1);
    laptop_->Write("old-folder/edited.txt", v1);
    want["old-folder"] = "dir";
    want["old-folder/plain.txt"] = FileSig(v1);
    want["old-folder/edited.txt"] = FileSig(v1);
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
    laptop_->Remove("old-folder");
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
            return ServiceTime("fresh-folder") != -1 && ServiceTime("old-folder") == -1;
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
    desktop_->Write("old-folder/edited.txt", "edited inside the deleted folder");
    desktop_->Write("old-folder/added.txt", "added inside the deleted folder");
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
    // What changed inside the deleted folder survives, at its path or under a conflict name;
    // what did not change goes with the folder.
    const std::multiset<std::string> keptInFolder = {FileSig("edited inside the deleted folder"),
                                                     FileSig("added inside the deleted folder")};
    auto split = [](const Tree& tree, std::multiset<std::string>* inFolder) {
        Tree rest;
        for (const auto& [rel, sig] : e2e::WithoutConflictTimes(tree)) {
            if (rel.rfind("old-folder", 0) != 0)
                rest[rel] = sig;
            else if (sig != "dir")
                inFolder->insert(sig);
        }
        return rest;
    };
    const bool met = e2e::WaitUntil(
        [&] {
            const Tree laptop = laptop_->Files();
            std::multiset<std::string> inFolder;
            return laptop == desktop_->Files() && split(laptop, &inFolder) == want &&
                   inFolder == keptInFolder;
        },
        e2e::ConvergeMs());
    ASSERT_TRUE(met) << "want:\n"
                     << e2e::Describe(want) << "laptop:\n"
                     << e2e::Describe(laptop_->Files()) << "desktop:\n"
                     << e2e::Describe(desktop_->Files()) << "desktop console:\n"
                     << desktop_->Console() << "desktop log (end):\n"
                     << e2e::Tail(desktop_->Log());
    // A file whose time alone moved is set back, not uploaded.
    EXPECT_LE(std::llabs(desktop_->Mtime("base/touched.txt") - touchedTime), 1);
    EXPECT_EQ(ServiceTime("base/touched.txt"), serviceTouched);
}

TEST_F(TwoComputers, AFileThatNeverCameDownIsNotTakenForADeletion) {
    // The desktop lists a new file but cannot fetch it; the laptop deletes it again, and the user
    // of the desktop makes a file of that name meanwhile: the desktop's file is new, not a local
    // copy of the deleted one, and must travel up rather than go.
    // Another file keeps the listing from being empty: an empty listing is not trusted to remove
    // anything.
    laptop_->Write("other.txt", "stays");
    ASSERT_TRUE(BothHold({{"other.txt", FileSig("stays")}}));
    ASSERT_TRUE(server_.Fault("download_chunk", "refuse", 1000));
    laptop_->Write("pending.txt", "the laptop's, never downloaded");
    ASSERT_TRUE(
        e2e::WaitUntil([&] { return desktop_->Console().find("alice/pending.txt") != std::string::npos; },
                       e2e::ConvergeMs()))
        << desktop_->Console();
    const int passes = desktop_->PassesEnded();
    ASSERT_TRUE(e2e::WaitUntil([&] { return desktop_->PassesEnded() > passes; }, e2e::ConvergeMs()))
        << desktop_->Console();
    ASSERT_FALSE(desktop_->Exists("pending.txt"));
    laptop_->Remove("pending.txt");
    ASSERT_TRUE(e2e::WaitUntil([&] { return ServiceLacks("pending.txt"); }, e2e::ConvergeMs()));
    desktop_->Write("pending.txt", "made on the desktop");
    ASSERT_TRUE(server_.ResetFaults());
    ASSERT_TRUE(BothHold({{"other.txt", FileSig("stays")}, {"pending.txt", FileSig("made on the desktop")}}));
    EXPECT_EQ(OnService("pending.txt"), "made on the desktop");
}

TEST_F(TwoComputers, RenamesOfFilesAndFoldersCarryTheirContent) {
    const std::string big = e2e::RandomBytes(5 * 1024 * 1024, 2);
    laptop_->Write("old name.txt", "renamed file");
    laptop_->Write("project/a/b.bin", big);
    laptop_->Write("project/c.txt", "c");
    laptop_->Write("project/d.txt", "d");
    Tree want = {
        {"old name.txt", FileSig("renamed file")},
        {"project", "dir"},
        {"project/a", "dir"},
        {"project/a/b.bin", FileSig(big)},
        {"project/c.txt", FileSig("c")},
        {"project/d.txt", FileSig("d")},
    };
    ASSERT_TRUE(BothHold(want));

    // A file and a whole folder renamed on one computer, then a file moved out of that folder
    // into a new one on the other.
    laptop_->Rename("old name.txt", "new name.txt");
    laptop_->Rename("project", "project renamed");
    want = {
        {"new name.txt", FileSig("renamed file")},
        {"project renamed", "dir"},
        {"project renamed/a", "dir"},
        {"project renamed/a/b.bin", FileSig(big)},
        {"project renamed/c.txt", FileSig("c")},
        {"project renamed/d.txt", FileSig("d")},
    };
    ASSERT_TRUE(BothHold(want));
    desktop_->MakeDir("moved");
    desktop_->Rename("project renamed/d.txt", "moved/d.txt");
    want = {
        {"new name.txt", FileSig("renamed file")},
        {"project renamed", "dir"},
        {"project renamed/a", "dir"},
        {"project renamed/a/b.bin", FileSig(big)},
        {"project renamed/c.txt", FileSig("c")},
        {"moved", "dir"},
        {"moved/d.txt", FileSig("d")},
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
                     << e2e::Describe(desktop_->Files());
}

TEST_F(TwoComputers, AOneByteEditOfALargeFileGoesUpAsADelta) {
    std::string data = e2e::RandomBytes(12 * 1024 * 1024, 3);
    laptop_->Write("large.bin", data);
    ASSERT_TRUE(BothHold({{"large.bin", FileSig(data)}}));
    ASSERT_EQ(laptop_->CountInLog("delta_flag=\"yes\""), 0u)
        << "a new file has nothing to be a delta against";

    data[6 * 1024 * 1024 + 12345] ^= 0x5a;
    laptop_->Write("large.bin", data);
    ASSERT_TRUE(BothHold({{"large.bin", FileSig(data)}}));
    EXPECT_GE(laptop_->CountInLog("delta_flag=\"yes\""), 1u);
    EXPECT_EQ(OnService("large.bin"), data);

    // The same once more from the other computer, whose previous version came down, not up.
    data[100] ^= 0x01;
    desktop_->Write("large.bin", data);
    ASSERT_TRUE(BothHold({{"large.bin", FileSig(data)}}));
    EXPECT_GE(desktop_->CountInLog("delta_flag=\"yes\""), 1u);
}

TEST_F(TwoComputers, ABothSidedEditAtOnceKeepsBothVersions) {
    laptop_->Write("plan.txt", "first");
    ASSERT_TRUE(BothHold({{"plan.txt", FileSig("first")}}));

    laptop_->Write("plan.txt", "the laptop's plan");
    desktop_->Write("plan.txt", "the desktop's plan, longer");
    Tree laptop;
    const bool met = e2e::WaitUntil(
        [&] {
            laptop = laptop_->Files();
            return laptop == desktop_->Files() && e2e::WithoutConflictTimes(laptop).size() == 2 &&
                   e2e::ConflictCopies(laptop, "plan.txt").size() == 1;
        },
        e2e::ConvergeMs());
    ASSERT_TRUE(met) << "laptop:\n"
                     << e2e::Describe(laptop_->Files()) << "desktop:\n"
                     << e2e::Describe(desktop_->Files());
    const std::string copy = e2e::ConflictCopies(laptop, "plan.txt")[0];
    const std::multiset<std::string> versions = {laptop.at("plan.txt"), laptop.at(copy)};
    EXPECT_EQ(versions, (std::multiset<std::string>{FileSig("the laptop's plan"),
                                                    FileSig("the desktop's plan, longer")}));
}

TEST_F(TwoComputers, OfficeTemporaryFilesNeverLeaveTheComputer) {
    // Hidden lock and temporary files as office programs make them, beside names that only
    // look alike and must travel.
    const std::vector<std::string> stay = {"~$report.docx", "~WRL0001.tmp", "~$sheet.xlsx", "Thumbs.db",
                                           "sub/~$slides.pptx"};
    for (const std::string& rel : stay)
        laptop_->WriteHidden(rel, "temporary " + rel);
    laptop_->Write("~visible.docx", "a visible file named like a lock file");
    laptop_->WriteHidden("~data.DOCX", "case differs from the filter's list");
    laptop_->Write("sub/report.docx", "the document itself");

    const Tree want = {
        {"~visible.docx", FileSig("a visible file named like a lock file")},
        {"~data.DOCX", FileSig("case differs from the filter's list")},
        {"sub", "dir"},
        {"sub/report.docx", FileSig("the document itself")},
    };
    ASSERT_TRUE(e2e::WaitUntil(
        [&] {
            Tree laptop = laptop_->Files();
            for (const std::string& rel : stay)
                laptop.erase(rel);
            return laptop == want && desktop_->Files() == want;
        },
        e2e::ConvergeMs()))
        << "laptop:\n"
        << e2e::Describe(laptop_->Files()) << "desktop:\n"
        << e2e::Describe(desktop_->Files());
    // One more pass of the laptop's after the document arrived, and still nothing of them.
    const int passes = laptop_->PassesEnded();
    desktop_->Write("nudge.txt", "asks the laptop for a pass");
    ASSERT_TRUE(e2e::WaitUntil(
        [&] { return laptop_->PassesEnded() > passes && laptop_->Exists("nudge.txt"); }, e2e::ConvergeMs()));
    const std::string listing = server_.Ls(testsupport::TestServer::kUser);
    for (const std::string& rel : stay) {
        EXPECT_FALSE(OnService(rel)) << rel << " reached the service:\n" << listing;
        EXPECT_EQ(laptop_->Read(rel), "temporary " + rel) << "kept where it was made";
        EXPECT_FALSE(desktop_->Exists(rel)) << rel;
    }
}

}  // namespace
