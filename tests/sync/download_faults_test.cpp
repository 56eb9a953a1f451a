// The download path when things go wrong: chunks that cannot be had, a service that refuses, delays
// or stops answering, a sign-out in the middle of a file, paths that would leave the home folder,
// links in the way, and another account on the same computer. Nothing half-written is left, and
// nothing local is lost.
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "download_fixture.h"
#include "journal/filejournal.h"
#include "platform/fault.h"

namespace {

using dltest::Bytes;
using dltest::kMiB;

class DownloadFaultsTest : public dltest::DownloadTest {
  public:
    // Entries of the home folder tree whose name holds `part` (files being built included).
    std::vector<std::string> Find(const std::string& folder, const std::string& part) {
        std::vector<std::string> out;
        std::vector<platform::DirEntry> entries;
        platform::ListDir(folder, &entries);
        for (const auto& e : entries) {
            const std::string path = folder + "/" + e.name;
            if (e.name.find(part) != std::string::npos)
                out.push_back(path);
            if (e.stat.kind == platform::EntryKind::Directory) {
                for (const std::string& p : Find(path, part))
                    out.push_back(p);
            }
        }
        return out;
    }
};

constexpr int64_t kOld = 1600000000;
constexpr int64_t kNew = 1650000000;

TEST_F(DownloadFaultsTest, AFileWhoseChunkCannotBeHadIsNotWrittenAndTheNextPassBringsIt) {
    Put("other.txt", "other", kOld);
    Put("update.bin", Bytes(5 * kMiB, 1), kOld);
    StartEngine();
    ASSERT_EQ(LastStatus(), "Sync finished");
    work_->GetTransmitter()->Channel().SetDeadlineMs(1500);

    struct Case {
        std::string name, path;
        std::string fault;  // armed on download_chunk
        int reason, ms;
    };
    const Case cases[] = {
        {"refused", "new-a.bin", "refuse", 8, -1},
        {"bytes changed on the way", "new-b.bin", "corrupt", -1, -1},
        {"no answer, then the connection dropped", "new-c.bin", "stall", -1, 3000},
        {"\"delay\" answered", "new-d.bin", "delay", -1, -1},
        {"refused for a changed file: the old version stays", "update.bin", "refuse", 21, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string before = ReadLocal(c.path);
        const std::string content = Bytes(5 * kMiB, 100 + static_cast<uint32_t>(c.name.size()));
        Put(c.path, content, kNew);
        Put("zz-" + c.path, "fine " + c.name, kNew);  // after the failing one: the fault is its
        ASSERT_TRUE(server_.Fault("download_chunk", c.fault, 1, c.reason, c.ms, c.fault == "stall"));
        ASSERT_TRUE(Sync());
        EXPECT_EQ(LastStatus(), "Sync unfinished");
        EXPECT_EQ(NotSynced("/" + c.path), notsynced::kDownload);
        EXPECT_TRUE(ReadLocal(c.path) == before) << "absent, or the old version";
        EXPECT_EQ(ReadLocal("zz-" + c.path), "fine " + c.name) << "the other files of the pass come down";
        EXPECT_TRUE(Find(HomeFolder(), ".kestrine-part").empty());
        EXPECT_EQ(Journal(Key(c.path)).onDisk, 0) << "still pending";

        ASSERT_TRUE(ResetFaults());
        ASSERT_TRUE(Sync());
        EXPECT_EQ(LastStatus(), "Sync finished");
        EXPECT_EQ(work_->GetSkipped().Count(), 0u) << "listed until it succeeds";
        EXPECT_TRUE(ReadLocal(c.path) == content);
        EXPECT_EQ(Journal(Key(c.path)).onDisk, 1);
    }
}

TEST_F(DownloadFaultsTest, ASignOutInTheMiddleOfAFileStopsBeforeItsNextChunk) {
    Put("other.txt", "other", kOld);
    StartEngine();
    const std::string content = Bytes(12 * kMiB, 7);
    Put("big.bin", content, kNew);
    ASSERT_TRUE(server_.Fault("download_chunk", "stall", 1, -1, 1500));

    const int ends = PassEnds();
    const int chunks = Requests("download_chunk");
    const std::string request = "[CTransmitter::DownloadChunk]: request:";
    const size_t requested = log_.Count(request);  // the first pass's file has its line already
    ASSERT_EQ(work_->Request(platform::WM_WORK_SYNC, 0), 1);
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::string& t : front_.Texts(platform::WM_SETMESSAGESTRING))
            if (t.rfind("下载新文件: alice/big.bin", 0) == 0)
                return true;
        return false;
    }));
    // The status comes before the chunk's request; a slow build could sign out in between.
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(request) > requested; }));
    ASSERT_TRUE(SignOut());  // asked while the first chunk is on its way
    EXPECT_TRUE(WaitForPassEnd(ends));
    EXPECT_TRUE(log_.Contains("[CWork::DownloadNewFile]: User request logout"));
    EXPECT_FALSE(Exists("big.bin"));
    EXPECT_TRUE(Find(HomeFolder(), ".kestrine-part").empty());
    // The service logs a request once it has answered it: under load the line may come a little
    // after the client has gone on.
    WaitUntil([&] { return Requests("download_chunk") - chunks >= 1; }, 10000);
    EXPECT_EQ(Requests("download_chunk") - chunks, 1) << "no chunk after the request";
    EXPECT_EQ(Journal(Key("big.bin")).onDisk, 0);

    const int ended = PassEnds();
    ASSERT_EQ(SignIn(), 1);
    ASSERT_TRUE(WaitForPassEnd(ended)) << "the sign-in queues a pass";
    EXPECT_TRUE(ReadLocal("big.bin") == content);
    EXPECT_EQ(Journal(Key("big.bin")).onDisk, 1);
}

// The new version is fetched while the user saves an edit of the old one: the update must not
// write over it, and the next pass keeps it beside the service's version.
TEST_F(DownloadFaultsTest, AnEditSavedWhileTheNewVersionComesDownIsKept) {
    Put("doc.bin", Bytes(1 * kMiB, 3), kOld);
    StartEngine();
    ASSERT_EQ(LastStatus(), "Sync finished");
    const std::string server = Bytes(1 * kMiB, 4);
    Put("doc.bin", server, kNew);
    ASSERT_TRUE(server_.Fault("download_chunk", "stall", 1, -1, 1500));

    const int ends = PassEnds();
    ASSERT_EQ(work_->Request(platform::WM_WORK_SYNC, 0), 1);
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::string& t : front_.Texts(platform::WM_SETMESSAGESTRING))
            if (t.rfind("更新文件: alice/doc.bin", 0) == 0)
                return true;
        return false;
    }));
    WriteLocal("doc.bin", "the user's edit", kNew + 100);  // while the chunk is on its way
    ASSERT_TRUE(WaitForPassEnd(ends));
    EXPECT_TRUE(log_.Contains("it changed during the update"));
    EXPECT_EQ(ReadLocal("doc.bin"), "the user's edit");

    ASSERT_TRUE(ResetFaults());
    for (int pass = 0; pass < 3 && LastStatus() != "Sync finished"; ++pass)
        ASSERT_TRUE(Sync());
    std::vector<std::string> contents;
    for (const std::string& path : Find(HomeFolder(), "doc"))
        contents.push_back(ReadPath(path));
    EXPECT_EQ(contents.size(), 2u);
    EXPECT_NE(std::find(contents.begin(), contents.end(), "the user's edit"), contents.end());
    EXPECT_NE(std::find(contents.begin(), contents.end(), server), contents.end());
}

TEST_F(DownloadFaultsTest, TheServiceRefusingOrDelayingTheListingChangesNothingLocal) {
    Put("a.txt", "a", kOld);
    StartEngine();
    struct Case {
        std::string name;
        std::string action;
        int reason;
        bool signInAgain;  // 28 and 29 make the pass loop sign in again
    };
    const Case cases[] = {
        {"delay", "delay", -1, false},
        {"unknown host", "refuse", 2, false},
        {"host id of another account", "refuse", 28, true},
        {"passport invalid", "refuse", 29, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "new-" + std::to_string(++n) + ".txt";
        Put(path, c.name, kNew);
        const int logins = work_->Logins();
        ASSERT_TRUE(server_.Fault("file_list", c.action, 1, c.reason));
        const int ends = PassEnds();
        ASSERT_EQ(work_->Request(platform::WM_WORK_SYNC, 0), 1);
        ASSERT_TRUE(WaitForPassEnd(ends));
        if (c.signInAgain) {
            // Signed in again; the sign-in queues the pass that brings the file.
            EXPECT_EQ(work_->Logins(), logins + 1);
            ASSERT_TRUE(WaitForPassEnd(ends + 1));
            EXPECT_EQ(LastStatus(), "Sync finished");
            EXPECT_EQ(ReadLocal(path), c.name);
        } else {
            const std::string code = c.reason < 0 ? "24" : std::to_string(c.reason);
            EXPECT_EQ(LastStatus(), "服务器信息: " + CUtil::GetErrorMessage(std::stoi(code)));
            EXPECT_FALSE(Exists(path));
            EXPECT_EQ(work_->Logins(), logins);
            ASSERT_TRUE(Sync());
            EXPECT_EQ(ReadLocal(path), c.name);
        }
        EXPECT_EQ(ReadLocal("a.txt"), "a");
    }

    // A service that stops answering the listing: the pass gives up within its deadline.
    work_->GetBack()->Channel().SetDeadlineMs(1000);
    ASSERT_TRUE(server_.Fault("file_list", "stall", 1, -1, 3000, true));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "同步未完成");
    EXPECT_TRUE(log_.Contains("fail to get server file system list"));
    EXPECT_EQ(ReadLocal("a.txt"), "a");
}

TEST_F(DownloadFaultsTest, PathsThatWouldLeaveTheHomeFolderAreRefused) {
    // The service takes "\\" as part of a name; the journal turns it into "/".
    Put("fine.txt", "fine", kOld);
    Put("..\\..\\evil.txt", "evil", kOld);
    Put("sub\\..\\..\\..\\evil2.txt", "evil", kOld);
    Put("a\\.\\b.txt", "dot", kOld);
    StartEngine();

    auto nothingOutside = [&] {
        for (const std::string& dir : {home_.Home(), Root(), HomeFolder(), home_.Dir().Path()}) {
            EXPECT_TRUE(Find(dir, "evil").empty()) << dir;
            EXPECT_TRUE(Find(dir, "b.txt").empty()) << dir;
        }
    };
    EXPECT_EQ(ReadLocal("fine.txt"), "fine");
    EXPECT_EQ(LastStatus(), "Sync unfinished") << "unfinished while the service lists them";
    EXPECT_TRUE(log_.Contains("[CWork::GetAll]: Refuse the server path \"alice/..\\..\\evil.txt\""));
    nothingOutside();
    EXPECT_FALSE(Journal(Key("..\\..\\evil.txt")).exists);

    // The incremental snapshot refuses them too.
    Put("fine2.txt", "fine2", kNew);
    ASSERT_TRUE(Sync());
    EXPECT_TRUE(
        log_.Contains("[CWork::GetServerAdd]: Refuse the server path \"alice/sub\\..\\..\\..\\evil2.txt\""));
    EXPECT_EQ(LastStatus(), "Sync unfinished");
    nothingOutside();
    EXPECT_EQ(ReadLocal("fine2.txt"), "fine2");

    // A refused entry the service keeps listing does not hold local changes back.
    WriteLocal("mine.txt", "mine", kNew);
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync unfinished");
    EXPECT_EQ(ServerLine("mine.txt").rfind("mine.txt file 4 ", 0), 0u) << ServerLs();
}

TEST_F(DownloadFaultsTest, NothingIsWrittenThroughALink) {
    testsupport::TempDir outside;
    Put("known/a.txt", "a", kOld);
    StartEngine();

    // A link where the service now has a folder is moved aside; one in place of a known folder
    // stops the files below it.
    ASSERT_EQ(symlink(outside.Path().c_str(), Local("link").c_str()), 0);
    ASSERT_TRUE(platform::RemoveFile(Local("known/a.txt")));
    ASSERT_TRUE(platform::RemoveDir(Local("known")));
    ASSERT_EQ(symlink(outside.Path().c_str(), Local("known").c_str()), 0);
    Put("link/x.txt", "x", kNew);
    Put("known/y.txt", "y", kNew);
    ASSERT_TRUE(Sync());

    EXPECT_TRUE(IsDir("link"));
    EXPECT_EQ(ReadLocal("link/x.txt"), "x");
    ASSERT_EQ(Conflicts("link").size(), 1u);
    platform::FileStat st;
    ASSERT_TRUE(platform::Stat(Conflicts("link")[0], &st));
    EXPECT_EQ(st.kind, platform::EntryKind::Link) << "the link itself, moved aside";
    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::ListDir(outside.Path(), &entries));
    EXPECT_TRUE(entries.empty()) << "nothing reached the link's target";
    EXPECT_TRUE(log_.Contains("Refuse the server path \"alice/known/y.txt\""));
    EXPECT_EQ(LastStatus(), "Sync unfinished");
    EXPECT_EQ(NotSynced("/known/y.txt"), notsynced::kInTheWay);
}

TEST_F(DownloadFaultsTest, AnotherAccountOnTheSameComputerStartsFromItsOwnTree) {
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    Put("alice.txt", "alice's", kOld);
    Put("bob.txt", "bob's", kOld, "bob");
    Put("shared name.txt", "bob's version", kOld, "bob");
    StartEngine();
    ASSERT_EQ(ReadLocal("alice.txt"), "alice's");

    ASSERT_TRUE(SignOut());
    SetAccount("bob", "pw-bob");
    front_.ScriptAnswers({platform::IDOK});  // "更换用户？" - yes
    const int ends = PassEnds();
    ASSERT_EQ(SignIn(), 1);
    ASSERT_TRUE(WaitForPassEnd(ends));
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(ReadLocal("bob.txt"), "bob's");
    EXPECT_EQ(ReadLocal("shared name.txt"), "bob's version");
    EXPECT_FALSE(Exists("alice.txt"));
    EXPECT_EQ(JournalRows(), 2) << "bob.txt and shared name.txt";
    EXPECT_TRUE(Journal("bob/bob.txt").exists);
    EXPECT_FALSE(Journal(Key("alice.txt")).exists);
    EXPECT_EQ(work_->GetConfig()->Get(CConfig::kServerRoot), "bob");
}

// A sign-out while the full download of a new account waits for its listing leaves the account's
// journal empty and the full download to do: the next sign-in starts it over. What the user saved
// in the home folder meanwhile is not the earlier account's and is not deleted with it.
TEST_F(DownloadFaultsTest, ASignOutDuringAFullDownloadStartsItOverAtTheNextSignIn) {
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    Put("alice.txt", "alice's", kOld);
    Put("bob.txt", "bob's", kOld, "bob");
    Put("sub/deep.txt", "bob's deep", kOld, "bob");
    StartEngine();
    ASSERT_TRUE(SignOut());
    auto fulls = [&] {
        const std::string text = log_.Text();
        int n = 0;
        for (size_t pos = text.find("---- download all ----"); pos != std::string::npos;
             pos = text.find("---- download all ----", pos + 1))
            ++n;
        return n;
    };
    const int fullsBefore = fulls();

    SetAccount("bob", "pw-bob");
    front_.ScriptAnswers({platform::IDOK});  // "更换用户？" - yes
    ASSERT_TRUE(server_.Fault("download_all_file", "stall", 1, -1, 3000));
    ASSERT_EQ(SignIn(), 1);
    ASSERT_TRUE(WaitUntil([&] { return fulls() > fullsBefore; }));
    ASSERT_TRUE(SignOut());
    EXPECT_TRUE(log_.Contains("[CWork::GetAll]: User request logout"));
    EXPECT_EQ(work_->IsResetUserData(), 1);
    EXPECT_EQ(JournalRows(), 0);
    EXPECT_FALSE(Exists("alice.txt"));
    EXPECT_FALSE(Exists("bob.txt"));

    WriteLocal("saved-meanwhile.txt", "the user's own");
    const int ends = PassEnds();
    ASSERT_EQ(SignIn(), 1);
    ASSERT_TRUE(WaitForPassEnd(ends));
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(fulls() - fullsBefore, 2) << "the full download starts over";
    EXPECT_EQ(work_->IsResetUserData(), 0);
    EXPECT_EQ(ReadLocal("bob.txt"), "bob's");
    EXPECT_EQ(ReadLocal("sub/deep.txt"), "bob's deep");
    EXPECT_EQ(JournalRows(), 3) << "bob.txt, sub and sub/deep.txt";
    EXPECT_EQ(front_.Boxes().size(), 1u) << "the account change is asked about once";

    // The file saved meanwhile is still there: in the home folder or kept beside it.
    std::vector<std::string> found = Find(HomeFolder(), "saved-meanwhile.txt");
    std::vector<platform::DirEntry> siblings;
    platform::ListDir(Root(), &siblings);
    for (const auto& e : siblings)
        if (e.name.rfind("home.", 0) == 0)
            for (const std::string& p : Find(Root() + "/" + e.name, "saved-meanwhile.txt"))
                found.push_back(p);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(ReadPath(found[0]), "the user's own");
}

// Where a new file is built from: below 20 MiB from the chunks held in memory, from 20 MiB on from
// the chunk cache. With every read of the cache failing, only the larger file cannot be built; it
// is not half-written, and the next pass builds it.
TEST_F(DownloadFaultsTest, FilesOf20MiBAndMoreAreBuiltFromTheChunkCache) {
    Put("other.txt", "other", kOld);
    StartEngine();
    struct Case {
        std::string path;
        int64_t size;
        bool fromCache;
    };
    const Case cases[] = {
        {"less.bin", 20 * kMiB - 1, false},
        {"exact.bin", 20 * kMiB, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string content = Bytes(static_cast<size_t>(c.size), static_cast<uint32_t>(c.size % 1000));
        Put(c.path, content, kNew);
        {
            platform::FaultScope faults;
            platform::FailCall(platform::Op::Read, 1000000, 5, "/.cache/");
            ASSERT_TRUE(Sync());
        }
        EXPECT_EQ(LastStatus(), c.fromCache ? "Sync unfinished" : "Sync finished");
        EXPECT_EQ(Exists(c.path), !c.fromCache);
        EXPECT_TRUE(Find(HomeFolder(), ".kestrine-part").empty());
        if (c.fromCache) {
            EXPECT_EQ(Journal(Key(c.path)).onDisk, 0) << "still pending";
            const int chunks = Requests("download_chunk");
            ASSERT_TRUE(Sync());
            EXPECT_EQ(LastStatus(), "Sync finished");
            EXPECT_EQ(Requests("download_chunk"), chunks) << "the chunks are in the cache";
        }
        EXPECT_TRUE(ReadLocal(c.path) == content);
        EXPECT_EQ(Journal(Key(c.path)).onDisk, 1);
    }
}

}  // namespace

// A folder of the home swapped for a link to a folder elsewhere while its file comes down: the
// file is not written there (nor anywhere through the link), and it comes down once the folder
// is a folder again.
TEST_F(DownloadFaultsTest, AFolderSwappedForALinkMidDownloadSendsNothingOutside) {
    testsupport::TempDir outside;
    Put("race/keep.txt", "keep", kOld);
    StartEngine();
    ASSERT_EQ(ReadLocal("race/keep.txt"), "keep");
    const std::string content = Bytes(12 * kMiB, 9);
    Put("race/big.bin", content, kNew);
    ASSERT_TRUE(server_.Fault("download_chunk", "stall", 1, -1, 4000));

    const int ends = PassEnds();
    const std::string request = "[CTransmitter::DownloadChunk]: request:";
    const size_t requested = log_.Count(request);
    ASSERT_EQ(work_->Request(platform::WM_WORK_SYNC, 0), 1);
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(request) > requested; }));
    ASSERT_EQ(::rename(Local("race").c_str(), Local("race.real").c_str()), 0);
    ASSERT_EQ(::symlink(outside.Path().c_str(), Local("race").c_str()), 0);
    ASSERT_TRUE(WaitForPassEnd(ends));

    std::vector<platform::DirEntry> there;
    ASSERT_TRUE(platform::ListDir(outside.Path(), &there));
    EXPECT_TRUE(there.empty()) << "written outside the home: " << there.front().name;
    EXPECT_TRUE(Find(HomeFolder(), ".kestrine-part").empty());
    const std::string listed = "race/big.bin file " + std::to_string(content.size());
    EXPECT_NE(server_.Ls(testsupport::TestServer::kUser).find(listed), std::string::npos);

    // The user puts the folder back: the file comes down where it belongs.
    ASSERT_TRUE(platform::RemoveFile(Local("race")));
    ASSERT_EQ(::rename(Local("race.real").c_str(), Local("race").c_str()), 0);
    ASSERT_TRUE(Sync());
    EXPECT_TRUE(ReadLocal("race/big.bin") == content);
    EXPECT_EQ(ReadLocal("race/keep.txt"), "keep");
    ASSERT_TRUE(platform::ListDir(outside.Path(), &there));
    EXPECT_TRUE(there.empty());
}
