// The upload phase in whole passes of the engine against the reference service: new entries,
// edits (as deltas), a time that alone changed, deletions, renames, conflicts with another
// computer, a shared folder, a locked file, entries that changed their kind, and a sign-out in the
// middle of a file. The service's copy is read back through its command line, byte for byte.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/fault.h"
#include "platform/messages.h"
#include "store/filecache.h"
#include "store/sharedfilestatus.h"
#include "upload_fixture.h"

namespace {

using uptest::Bytes;
using uptest::kMiB;
using uptest::UploadTest;

constexpr int64_t kOld = 1600000000;
constexpr int64_t kNew = 1650000000;
constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;

int64_t FileTime(int64_t unixSeconds, long ns = 0) {
    return kFileTimeOf1970 + unixSeconds * 10000000LL + ns / 100;
}

TEST_F(UploadTest, NewFilesAndFoldersGoUpByteForByte) {
    StartUploadEngine();
    const std::map<std::string, std::string> files = {
        {"docs/a/deep.txt", "deep down"},
        {"docs/empty.txt", ""},
        {"four.bin", Bytes(4 * kMiB, 1)},
        {"twenty.bin", Bytes(20 * kMiB, 2)},  // read back from the chunk cache
        {"twenty-less.bin", Bytes(20 * kMiB - 1, 3)},
        {"it's here.txt", "apostrophe"},
        {"计划/说明.txt", "non-ASCII name"},
    };
    std::filesystem::create_directories(Local("docs/a"));
    for (const auto& [rel, content] : files)
        WriteLocal(rel, content, kOld);
    ASSERT_TRUE(CUtil::CreateFolder(Local("empty-folder")));

    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
    for (const auto& [rel, content] : files) {
        EXPECT_EQ(ServerBytes(rel), content) << rel;
        const dltest::Row row = Journal(Key(rel));
        EXPECT_EQ(row.onDisk, 1) << rel;
        EXPECT_EQ(row.activeSize, static_cast<int64_t>(content.size())) << rel;
        EXPECT_EQ(row.activeTime, FileTime(kOld)) << rel;
    }
    EXPECT_NE(ServerLine("empty-folder").find(" dir "), std::string::npos);
    EXPECT_EQ(Journal(Key("docs/a")).activeDir, 1);

    // Everything is in step: the next pass offers nothing.
    const int offers = Requests("upload_file");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(Requests("upload_file"), offers);
    EXPECT_EQ(LastStatus(), "Sync finished");
}

// A new file whose chunks the service already holds (the content of another file, this account's
// or another's) is recorded at the offer's answer: the service says "all_chunk_exist" and no chunk
// travels.
TEST_F(UploadTest, ANewFileWhoseChunksTheServiceHoldsSendsNone) {
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    struct Case {
        std::string owner, rel;
        std::string content;
    };
    const std::vector<Case> cases = {
        {"alice", "copy-of-mine.bin", Bytes(5 * kMiB, 41)},  // two chunks
        {"bob", "copy-of-bobs.bin", Bytes(3 * kMiB, 42)},
    };
    for (const Case& c : cases)
        Put("held/" + c.rel, c.content, kOld, c.owner);
    StartUploadEngine();
    ASSERT_EQ(ReadLocal("held/copy-of-mine.bin"), cases[0].content);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.rel);
        WriteLocal(c.rel, c.content, kNew);
        const int offers = Requests("upload_file"), chunks = Requests("upload_chunk"),
                  done = Requests("chunk_uploaded");
        ASSERT_TRUE(Sync());
        EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
        EXPECT_EQ(Requests("upload_file") - offers, 1);
        EXPECT_EQ(Requests("upload_chunk"), chunks) << "no chunk is sent";
        EXPECT_EQ(Requests("chunk_uploaded"), done);
        EXPECT_EQ(ServerBytes(c.rel), c.content);
        const dltest::Row row = Journal(Key(c.rel));
        EXPECT_EQ(row.onDisk, 1);
        EXPECT_EQ(row.activeSize, static_cast<int64_t>(c.content.size()));
        EXPECT_EQ(row.activeTime, FileTime(kNew));
    }
}

// An edit goes up against the previous version: only the chunks the service lacks travel, a
// changed chunk as a delta, and the whole chunk when the delta is refused. A file of 20 MiB or more
// has its chunks read from the chunk cache instead of memory.
TEST_F(UploadTest, AnEditSendsOnlyTheChangedChunkAsADelta) {
    StartUploadEngine();
    struct Case {
        std::string rel;
        bool refuseDelta;
        int64_t size;
    };
    const std::vector<Case> cases = {
        {"plain.bin", false, 12 * kMiB}, {"refused.bin", true, 12 * kMiB}, {"large.bin", false, 24 * kMiB}};
    std::map<std::string, std::string> content;
    for (size_t i = 0; i < cases.size(); ++i) {
        content[cases[i].rel] = Bytes(static_cast<size_t>(cases[i].size), static_cast<uint32_t>(10 + i));
        WriteLocal(cases[i].rel, content[cases[i].rel], kOld);
    }
    WriteLocal("small.txt", "first", kOld);
    ASSERT_TRUE(Sync());
    ASSERT_EQ(LastStatus(), "Sync finished");

    for (const Case& c : cases) {
        SCOPED_TRACE(c.rel);
        std::string& bytes = content[c.rel];
        bytes[6 * kMiB + 5] = static_cast<char>(bytes[6 * kMiB + 5] ^ 0x5a);  // one byte of chunk 2
        WriteLocal(c.rel, bytes, kNew);
        if (c.refuseDelta) {
            ASSERT_TRUE(server_.Fault("upload_chunk", "refuse", 1, 9));
        }
        const int deltas = LogCount("delta_flag=\"yes\"");
        const int chunks = Requests("upload_chunk");
        ASSERT_TRUE(Sync());
        EXPECT_EQ(LastStatus(), "Sync finished");
        EXPECT_EQ(ServerBytes(c.rel), bytes);
        EXPECT_EQ(LogCount("delta_flag=\"yes\"") - deltas, 1);
        // The refused delta is followed by the whole chunk.
        EXPECT_EQ(Requests("upload_chunk") - chunks, c.refuseDelta ? 2 : 1);
        EXPECT_EQ(Journal(Key(c.rel)).activeTime, FileTime(kNew));
        // The tip counts the chunks before the one asked for (4 MiB each) against the file's size.
        EXPECT_TRUE(HasText(platform::WM_TRAY_TIP,
                            "上传文件: /" + c.rel + "  4096KB/" + std::to_string(c.size / 1024 + 1) + "KB"));
    }

    // The large file's chunk really comes from the cache: with the cache unreadable it cannot go
    // up, and the service keeps the version it has.
    {
        std::string& bytes = content["large.bin"];
        bytes[17 * kMiB] = static_cast<char>(bytes[17 * kMiB] ^ 0x33);
        WriteLocal("large.bin", bytes, kNew + 10);
        platform::FaultScope faults;
        platform::FailCall(platform::Op::Read, 1000000, 5, "/.cache/");
        ASSERT_TRUE(Sync());
        EXPECT_EQ(LastStatus(), "Sync unfinished");
        EXPECT_TRUE(log_.Contains("Fail to get designed chunk"));
        EXPECT_EQ(Journal(Key("large.bin")).activeTime, FileTime(kNew));
    }
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_TRUE(ServerBytes("large.bin") == content["large.bin"]);

    // A small file rewritten whole: a delta would be larger than the chunk, so the chunk goes.
    WriteLocal("small.txt", "a second, longer version", kNew);
    const int deltas = LogCount("delta_flag=\"yes\"");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(ServerBytes("small.txt"), "a second, longer version");
    EXPECT_EQ(LogCount("delta_flag=\"yes\""), deltas);
}

// While a chunk is on its way, the file's entry of the status area holds state 2, the file's size
// and the MiB before the chunk asked for; once the file is up it is in step.
TEST_F(UploadTest, TheStatusAreaShowsTheProgressOfTheChunkOnItsWay) {
    StartUploadEngine();
    std::string bytes = Bytes(12 * kMiB, 77);
    WriteLocal("p.bin", bytes, kOld);
    ASSERT_TRUE(Sync());
    bytes[9 * kMiB] = static_cast<char>(bytes[9 * kMiB] ^ 0x11);  // the third chunk only
    WriteLocal("p.bin", bytes, kNew);
    ASSERT_TRUE(server_.Fault("upload_chunk", "stall", 1, -1, 1500));

    // Read as the desktop's overlay reads it: the writer's index belongs to the worker thread.
    const uint8_t* area = work_->GetFileCache()->SharedStatus().Data();
    auto status = [&](SharedStatusValues* v) {
        return CSharedFileStatusReader::ReadValues(area, Local("p.bin"), v);
    };
    const int ends = PassEnds();
    ASSERT_EQ(work_->Request(platform::WM_WORK_SYNC, 0), 1);
    SharedStatusValues v;
    EXPECT_TRUE(WaitUntil([&] { return status(&v) && v.state == 2 && v.progress2 == 8; }, 20000))
        << "state " << v.state << ", " << v.progress2 << " MiB";
    EXPECT_EQ(v.progress1, 12 * kMiB);
    ASSERT_TRUE(WaitForPassEnd(ends));
    EXPECT_EQ(LastStatus(), "Sync finished");
    ASSERT_TRUE(status(&v));
    EXPECT_EQ(v.state, 3);
    EXPECT_TRUE(ServerBytes("p.bin") == bytes);
}

TEST_F(UploadTest, OnlyTheTimeChangedSetsItBackBeyondOneSecond) {
    StartUploadEngine();
    struct Case {
        std::string rel;
        int64_t seconds;  // the local time's move
        long ns;
        bool setBack;
    };
    const std::vector<Case> cases = {
        {"later3.txt", 3, 0, true}, {"earlier3.txt", -3, 0, true}, {"half.txt", 0, 500000000, false},
        {"plus1.txt", 1, 0, false}, {"minus1.txt", -1, 0, false},
    };
    for (const Case& c : cases)
        WriteLocal(c.rel, "content of " + c.rel, kOld);
    ASSERT_TRUE(Sync());
    for (const Case& c : cases)
        SetTimeNs(c.rel, kOld + c.seconds, c.ns);

    const int offers = Requests("upload_file");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(Requests("upload_file"), offers) << "nothing is uploaded";
    for (const Case& c : cases) {
        EXPECT_EQ(LocalTime(c.rel), c.setBack ? FileTime(kOld) : FileTime(kOld + c.seconds, c.ns)) << c.rel;
        EXPECT_EQ(ReadLocal(c.rel), "content of " + c.rel);
        EXPECT_EQ(Journal(Key(c.rel)).activeTime, FileTime(kOld)) << c.rel;
    }
    EXPECT_EQ(LogCount("the file contents are same . don't need upload "), static_cast<int>(cases.size()));
}

// A deleted folder goes with one removal; /a does not hold back a deleted /ab/x.
TEST_F(UploadTest, DeletionsSendOneRemovalPerDeletedTop) {
    StartUploadEngine();
    for (const char* rel : {"gone.txt", "a/x.txt", "a/sub/y.txt", "ab/x.txt", "ab/keep.txt"})
        WriteLocal(rel, std::string("content of ") + rel);
    ASSERT_TRUE(Sync());
    ASSERT_TRUE(OnServer("a/sub/y.txt"));

    ASSERT_EQ(std::remove(Local("gone.txt").c_str()), 0);
    ASSERT_TRUE(testsupport::RemoveTree(Local("a")));
    ASSERT_EQ(std::remove(Local("ab/x.txt").c_str()), 0);
    const int removals = Requests("remove");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(Requests("remove") - removals, 3) << "gone.txt, a and ab/x.txt";
    for (const char* rel : {"gone.txt", "a", "a/x.txt", "a/sub", "a/sub/y.txt", "ab/x.txt"}) {
        EXPECT_FALSE(OnServer(rel)) << rel;
        EXPECT_FALSE(Journal(Key(rel)).exists) << rel;
    }
    EXPECT_EQ(ServerBytes("ab/keep.txt"), "content of ab/keep.txt");
    EXPECT_EQ(Journal(Key("ab/keep.txt")).onDisk, 1);
}

// A folder deleted here and restored before the next pass (from the trash) is uploaded again: the
// journal forgot its contents with it, so nothing reads as deleted by the service.
TEST_F(UploadTest, ARestoredFolderComesBackInsteadOfBeingDeleted) {
    StartUploadEngine();
    WriteLocal("r/x.txt", "keep me", kOld);
    WriteLocal("other.txt", "so the home folder is not emptied", kOld);
    ASSERT_TRUE(Sync());
    ASSERT_TRUE(testsupport::RemoveTree(Local("r")));
    ASSERT_TRUE(Sync());
    ASSERT_FALSE(OnServer("r"));

    WriteLocal("r/x.txt", "keep me", kOld);
    ASSERT_TRUE(Sync());
    EXPECT_EQ(ReadLocal("r/x.txt"), "keep me");
    EXPECT_EQ(ServerBytes("r/x.txt"), "keep me");
    EXPECT_EQ(LastStatus(), "Sync finished");
}

TEST_F(UploadTest, RenamesReachTheServiceWithoutSendingData) {
    StartUploadEngine();
    WriteLocal("old.txt", "renamed content", kOld);
    WriteLocal("olddir/in.txt", "inside", kOld);
    ASSERT_TRUE(Sync());

    struct Case {
        std::string from, to;  // as the watcher reports them
        std::string oldRel, newRel;
    };
    const std::vector<Case> cases = {
        {"/old.txt", "/new.txt", "old.txt", "new.txt"},
        {"olddir", "newdir", "olddir", "newdir"},  // without the leading "/"
    };
    const int offers = Requests("upload_file");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from);
        ASSERT_EQ(std::rename(Local(c.oldRel).c_str(), Local(c.newRel).c_str()), 0);
        const int ends = PassEnds();
        ASSERT_EQ(work_->Request(platform::WM_WORK_RENAME, 0, CWork::MakeRenameText(c.from, c.to)), 1);
        ASSERT_TRUE(WaitForPassEnd(ends));
        EXPECT_EQ(LastStatus(), "Sync finished");
        EXPECT_FALSE(OnServer(c.oldRel));
        EXPECT_TRUE(OnServer(c.newRel));
        EXPECT_FALSE(Journal(Key(c.oldRel)).exists);
        EXPECT_EQ(Journal(Key(c.newRel)).activePath, "alice/" + c.newRel);
    }
    EXPECT_EQ(ServerBytes("new.txt"), "renamed content");
    EXPECT_EQ(ServerBytes("newdir/in.txt"), "inside");
    EXPECT_EQ(Journal(Key("newdir/in.txt")).activePath, "alice/newdir/in.txt");
    EXPECT_EQ(Requests("upload_file"), offers) << "a rename sends no data";
    EXPECT_EQ(Requests("rename"), 2);

    // A name the service never knew: it refuses the rename, and the pass uploads the new name.
    WriteLocal("fresh-new.txt", "never synced");
    const int ends = PassEnds();
    ASSERT_EQ(
        work_->Request(platform::WM_WORK_RENAME, 0, CWork::MakeRenameText("/fresh.txt", "/fresh-new.txt")),
        1);
    ASSERT_TRUE(WaitForPassEnd(ends));
    EXPECT_EQ(LogCount("Fail to rename a folder"), 1);
    EXPECT_EQ(ServerBytes("fresh-new.txt"), "never synced");
}

// The service took another computer's version between this pass's snapshot and its upload: the
// local edit is kept under its conflict name, and the loop's next pass brings the service's
// version down and sends the conflict copy up as a new file.
TEST_F(UploadTest, AConflictOnUploadKeepsBothVersions) {
    StartUploadEngine();
    WriteLocal("c.txt", "base", kOld);
    ASSERT_TRUE(Sync());
    WriteLocal("c.txt", "local edit", kOld + 100);
    WriteLocal("n.txt", "local new file", kOld + 100);
    engine_->BeforeUpload([this] {
        Put("c.txt", "server edit", kNew);
        Put("n.txt", "server new file", kNew);
    });

    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(LogCount("!!!Move a conflict file"), 2);
    for (const auto& [rel, server, local] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"c.txt", "server edit", "local edit"}, {"n.txt", "server new file", "local new file"}}) {
        SCOPED_TRACE(rel);
        EXPECT_EQ(ReadLocal(rel), server);
        const std::vector<std::string> copies = Conflicts(rel);
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_EQ(ReadPath(copies[0]), local);
        EXPECT_EQ(ServerBytes(rel), server);
        EXPECT_EQ(ServerBytes(copies[0].substr(HomeFolder().size() + 1)), local);
    }
}

// A folder bob shares with alice: alice's additions reach bob's tree, her rename of the folder
// renames her mount only, and her deletion of it leaves the share without touching bob's files.
TEST_F(UploadTest, ASharedFolderTakesAdditionsRenamesAndLeaving) {
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    Put("Team/plan.txt", "bob's plan", kOld, "bob");
    ASSERT_FALSE(server_.Share("bob", "Team", testsupport::TestServer::kUser).empty());
    StartUploadEngine();
    ASSERT_EQ(ReadLocal("Team/plan.txt"), "bob's plan");
    WriteLocal("mine.txt", "so the home folder is not emptied");

    WriteLocal("Team/new.txt", "from alice");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(ServerBytes("Team/new.txt", "bob"), "from alice");

    // Renamed while no watcher saw it: the next pass renames the mount by the folder's id.
    ASSERT_EQ(std::rename(Local("Team").c_str(), Local("Ours").c_str()), 0);
    const int offers = Requests("upload_file");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_TRUE(OnServer("Ours"));
    EXPECT_FALSE(OnServer("Team"));
    EXPECT_EQ(Requests("upload_file"), offers) << "the folder's contents are in step under its id";
    EXPECT_EQ(ServerBytes("Team/plan.txt", "bob"), "bob's plan");

    ASSERT_TRUE(testsupport::RemoveTree(Local("Ours")));
    const int removals = Requests("remove");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(Requests("remove") - removals, 1) << "one removal, by the folder id";
    EXPECT_FALSE(OnServer("Ours"));
    EXPECT_EQ(ServerBytes("Team/plan.txt", "bob"), "bob's plan");
    EXPECT_EQ(ServerBytes("Team/new.txt", "bob"), "from alice");
}

// A rename inside a folder bob shares goes to the service under the folder's id, for a file and for
// a folder with contents; bob's tree follows, the journal's rows move and no data travels. The first
// comes right after the full download of the sign-in, before any incremental listing.
TEST_F(UploadTest, ARenameInsideASharedFolderGoesByTheFoldersId) {
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    Put("Team/plan.txt", "bob's plan", kOld, "bob");
    Put("Team/sub/notes.txt", "bob's notes", kOld, "bob");
    const std::string id = server_.Share("bob", "Team", testsupport::TestServer::kUser);
    ASSERT_FALSE(id.empty());
    StartUploadEngine();
    ASSERT_EQ(ReadLocal("Team/sub/notes.txt"), "bob's notes");

    struct Case {
        std::string from, to;  // below Team
        std::string moved;     // a file that moved with it, below `to` ("" for the entry itself)
        std::string content;
    };
    const std::vector<Case> cases = {
        {"plan.txt", "final.txt", "", "bob's plan"},
        {"sub", "renamed", "/notes.txt", "bob's notes"},
    };
    const int offers = Requests("upload_file");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from);
        ASSERT_EQ(std::rename(Local("Team/" + c.from).c_str(), Local("Team/" + c.to).c_str()), 0);
        const int ends = PassEnds(), renames = Requests("rename"), removals = Requests("remove");
        ASSERT_EQ(work_->Request(platform::WM_WORK_RENAME, 0,
                                 CWork::MakeRenameText("/Team/" + c.from, "/Team/" + c.to)),
                  1);
        ASSERT_TRUE(WaitForPassEnd(ends));
        EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
        EXPECT_TRUE(log_.Contains("Rename " + id + "/" + c.from + " to " + id + "/" + c.to));
        EXPECT_FALSE(log_.Contains("Fail to rename {")) << "the journal's rows are renamed";
        EXPECT_EQ(Requests("rename") - renames, 1);
        EXPECT_EQ(Requests("remove"), removals);
        EXPECT_EQ(ServerBytes("Team/" + c.to + c.moved, "bob"), c.content);
        EXPECT_EQ(ServerBytes("Team/" + c.from + c.moved, "bob"), "<missing>");
        EXPECT_FALSE(Journal(id + "/" + c.from + c.moved).exists);
        EXPECT_EQ(Journal(id + "/" + c.to + c.moved).onDisk, 1);
        EXPECT_EQ(ReadLocal("Team/" + c.to + c.moved), c.content);
    }
    EXPECT_EQ(Requests("upload_file"), offers) << "a rename sends no data";
}

// A folder carrying the marker of a share the journal does not know (copied from elsewhere) is an
// ordinary folder: it loses its marker and icon and goes up with its contents in the same pass.
TEST_F(UploadTest, AFolderMarkedWithAnUnknownShareBecomesOrdinary) {
    StartUploadEngine();
    WriteLocal("Stray/.peltashare", "4242");
    WriteLocal("Stray/desktop.ini", "[.ShellClassInfo]\r\nIconResource=share.ico,0\r\n");
    WriteLocal("Stray/doc.txt", "keep me");

    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
    EXPECT_FALSE(Exists("Stray/.peltashare"));
    EXPECT_FALSE(Exists("Stray/desktop.ini")) << "the shared-folder icon goes with the marker";
    EXPECT_EQ(Requests("rename"), 0) << "nothing of the service is renamed for an unknown id";
    EXPECT_NE(ServerLine("Stray").find(" dir "), std::string::npos);
    EXPECT_EQ(ServerBytes("Stray/doc.txt"), "keep me");
    EXPECT_EQ(Journal(Key("Stray")).activeDir, 1);
    EXPECT_EQ(ReadLocal("Stray/doc.txt"), "keep me");
}

// A file another program holds locked waits for a later pass; the others go up at once.
TEST_F(UploadTest, ALockedFileWaitsWhileTheOthersGoUp) {
    StartUploadEngine();
    WriteLocal("free.txt", "free");
    WriteLocal("locked.txt", "held");
    const int fd = open(Local("locked.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);

    const int ends = PassEnds();
    ASSERT_EQ(work_->Request(platform::WM_WORK_SYNC, 0), 1);
    ASSERT_TRUE(WaitUntil([&] { return log_.Contains("Fail to load a file chunk"); }));
    ASSERT_TRUE(WaitForPassEnd(ends));
    EXPECT_EQ(ServerBytes("free.txt"), "free");
    EXPECT_EQ(LastStatus(), "Sync unfinished");
    EXPECT_EQ(NotSynced("/locked.txt"), notsynced::kRead);
    close(fd);  // a later pass reads it
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(ServerBytes("locked.txt"), "held");
}

// A folder replaced by a file and a file replaced by a folder: the service's entry goes first.
TEST_F(UploadTest, AnEntryThatChangedItsKindReplacesTheServicesEntry) {
    StartUploadEngine();
    WriteLocal("k1/inner.txt", "inner");
    WriteLocal("k2", "was a file");
    WriteLocal("k3/empty-later", "x");
    ASSERT_TRUE(Sync());

    ASSERT_TRUE(testsupport::RemoveTree(Local("k1")));
    WriteLocal("k1", "now a file");
    ASSERT_EQ(std::remove(Local("k2").c_str()), 0);
    WriteLocal("k2/inside.txt", "now a folder");
    ASSERT_TRUE(testsupport::RemoveTree(Local("k3")));
    WriteLocal("k3", "", kOld);  // an empty file has the content of a folder: still a file

    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
    EXPECT_EQ(ServerBytes("k1"), "now a file");
    EXPECT_FALSE(OnServer("k1/inner.txt"));
    EXPECT_NE(ServerLine("k2").find(" dir "), std::string::npos);
    EXPECT_EQ(ServerBytes("k2/inside.txt"), "now a folder");
    EXPECT_NE(ServerLine("k3").find(" file "), std::string::npos);
    EXPECT_EQ(LocalTime("k3"), FileTime(kOld)) << "the file keeps its own time";
    EXPECT_EQ(Journal(Key("k1")).activeDir, 0);
    EXPECT_FALSE(Journal(Key("k1/inner.txt")).exists);
}

// What the scan leaves out (here a link that replaced a synced file) is not a deletion.
TEST_F(UploadTest, AnEntryTheScanSkipsIsNotDeletedOnTheService) {
    StartUploadEngine();
    WriteLocal("linked.txt", "data");
    ASSERT_TRUE(Sync());
    ASSERT_EQ(std::remove(Local("linked.txt").c_str()), 0);
    staging_.WriteFile("target.txt", "elsewhere");
    ASSERT_EQ(symlink(staging_.Sub("target.txt").c_str(), Local("linked.txt").c_str()), 0);

    const int removals = Requests("remove");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(Requests("remove"), removals);
    EXPECT_EQ(ServerBytes("linked.txt"), "data");
}

// A sign-out in the middle of a file leaves its journal record alone; after the next sign-in the
// upload resumes and the service asks only for the chunks it still lacks.
TEST_F(UploadTest, ASignOutMidFileResumesAfterTheNextSignIn) {
    StartUploadEngine();
    const std::string big = Bytes(12 * kMiB, 99);
    WriteLocal("big.bin", big);
    ASSERT_TRUE(server_.Fault("upload_chunk", "stall", 1, -1, 2000));
    const int chunks = Requests("upload_chunk");

    ASSERT_EQ(work_->Request(platform::WM_WORK_SYNC, 0), 1);
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::string& t : front_.Texts(platform::WM_TRAY_TIP))
            if (t.rfind("上传文件: /big.bin", 0) == 0)
                return true;
        return false;
    }));
    ASSERT_TRUE(SignOut());
    EXPECT_TRUE(log_.Contains("User request logout"));
    EXPECT_FALSE(Journal(Key("big.bin")).exists);
    EXPECT_FALSE(OnServer("big.bin"));

    const int ends = PassEnds();
    ASSERT_EQ(SignIn(), 1);
    ASSERT_TRUE(WaitForPassEnd(ends));
    EXPECT_EQ(LastStatus(), "Sync finished");
    EXPECT_EQ(ServerBytes("big.bin"), big);
    EXPECT_EQ(Requests("upload_chunk") - chunks, 3) << "each of the three chunks once";
    EXPECT_EQ(Journal(Key("big.bin")).onDisk, 1);
}

}  // namespace
