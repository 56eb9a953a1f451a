// Small files on the lanes. Going up side by side, every file arrives whole and is recorded once,
// in walk order with the folders and larger files around it; a lane that meets anything but a
// plain exchange leaves the file to the one-by-one path; with no thread to spare the worker
// sends them. Coming down, the chunks of new small files are fetched ahead, each once; a chunk
// the lanes could not get is fetched by the worker; each file's description is asked for once.
#include <filesystem>
#include <map>
#include <string>

#include "platform/fault.h"
#include "sync/transferlanes.h"
#include "upload_fixture.h"

namespace {

using uptest::Bytes;
using uptest::kMiB;
using uptest::UploadTest;

class TransferLanesTest : public UploadTest {
  protected:
    // More files than one batch, in three folders, with a file too large for a lane, an empty
    // one and one that repeats another's bytes (its chunk is stored once) among them.
    std::map<std::string, std::string> WriteTree() {
        std::map<std::string, std::string> files;
        for (int i = 0; i < static_cast<int>(CTransferLanes::kMaxBatch) + 9; ++i) {
            const std::string folder = i % 3 == 0 ? "a" : i % 3 == 1 ? "b/deep" : "c";
            files[folder + "/note" + std::to_string(i) + ".txt"] = Bytes(100 + i * 37, i);
        }
        files["b/large.bin"] = Bytes(CTransferLanes::kMaxFileBytes + 1, 200);
        files["c/empty.txt"] = "";
        files["c/twin.txt"] = files["a/note0.txt"];
        for (const char* folder : {"a", "b/deep", "c"})
            std::filesystem::create_directories(Local(folder));
        for (const auto& [rel, content] : files)
            WriteLocal(rel, content, 1600000000);
        return files;
    }
    void ExpectAllUpAndRecorded(const std::map<std::string, std::string>& files) {
        for (const auto& [rel, content] : files) {
            EXPECT_EQ(ServerBytes(rel), content) << rel;
            const dltest::Row row = Journal(Key(rel));
            EXPECT_EQ(row.onDisk, 1) << rel;
            EXPECT_EQ(row.activeSize, static_cast<int64_t>(content.size())) << rel;
        }
        // Everything is in step: the next pass offers nothing.
        const int offers = Requests("upload_file");
        ASSERT_TRUE(Sync());
        EXPECT_EQ(Requests("upload_file"), offers);
        EXPECT_EQ(LastStatus(), "Sync finished");
    }
};

TEST_F(TransferLanesTest, ManyNewSmallFilesGoUpWholeAndAreEachOfferedOnce) {
    StartUploadEngine();
    const std::map<std::string, std::string> files = WriteTree();
    const int before = Requests("upload_file");
    ASSERT_TRUE(Sync());
    EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
    // Four folders and every file, each offered once: no lane's file went a second way.
    EXPECT_EQ(Requests("upload_file") - before, static_cast<int>(files.size()) + 4);
    ExpectAllUpAndRecorded(files);
}

// A transmitter that refuses a chunk, a confirmation whose connection drops, and no thread to
// start: each file still arrives, through the one-by-one path or on the worker alone.
TEST_F(TransferLanesTest, AFileALaneCannotFinishTakesTheOneByOnePath) {
    struct Case {
        const char* what;
        const char* op;
        const char* action;
        bool noThreads;
    } cases[] = {
        {"a chunk refused", "upload_chunk", "refuse", false},
        {"a confirmation dropped", "chunk_uploaded", "drop", false},
        {"no helper thread", nullptr, nullptr, true},
    };
    StartUploadEngine();
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::FaultScope faults;
        std::map<std::string, std::string> files;
        for (int i = 0; i < 6; ++i) {
            const std::string rel = "round" + std::to_string(round) + "/f" + std::to_string(i) + ".txt";
            files[rel] = Bytes(500 + i, round * 10 + i);
        }
        ++round;
        std::filesystem::create_directories(Local("round" + std::to_string(round - 1)));
        for (const auto& [rel, content] : files)
            WriteLocal(rel, content);
        if (c.op) {
            ASSERT_TRUE(server_.Fault(c.op, c.action, 1, c.op == std::string("upload_chunk") ? 9 : -1));
        }
        if (c.noThreads)
            platform::FailCall(platform::Op::ThreadStart, 100, 11 /* EAGAIN */);
        ASSERT_TRUE(Sync());
        ASSERT_TRUE(ResetFaults());
        EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
        ExpectAllUpAndRecorded(files);
    }
}

TEST_F(TransferLanesTest, NewSmallFilesComeDownWholeWithEachChunkFetchedOnce) {
    struct Case {
        const char* what;
        const char* fault;  // an action armed on download_chunk, or null
    } cases[] = {{"every chunk ahead", nullptr}, {"a chunk the lanes could not get", "refuse"}};
    StartEngine();
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = "down" + std::to_string(round++);
        std::map<std::string, std::string> files;
        for (int i = 0; i < static_cast<int>(CTransferLanes::kMaxBatch) + 5; ++i)
            files[folder + "/f" + std::to_string(i) + ".txt"] = Bytes(300 + i * 11, round * 50 + i);
        files[folder + "/twin.txt"] = files[folder + "/f0.txt"];  // one chunk, two files
        files[folder + "/large.bin"] = Bytes(CTransferLanes::kMaxFileBytes + 7, round);
        for (const auto& [rel, content] : files)
            Put(rel, content, 1600000000);
        if (c.fault) {
            ASSERT_TRUE(server_.Fault("download_chunk", c.fault, 1, 9));
        }
        const int before = Requests("download_chunk"), described = Requests("download_specific_file");
        ASSERT_TRUE(Sync());
        EXPECT_EQ(LastStatus(), "Sync finished") << log_.LastError();
        for (const auto& [rel, content] : files) {
            EXPECT_TRUE(ReadLocal(rel) == content) << rel;
            EXPECT_EQ(Journal(Key(rel)).onDisk, 1) << rel;
        }
        EXPECT_EQ(Requests("download_specific_file") - described, static_cast<int>(files.size()))
            << "each file described once";
        // Every distinct chunk once, and once more the one refused.
        EXPECT_EQ(Requests("download_chunk") - before,
                  static_cast<int>(files.size()) - 1 + (c.fault ? 1 : 0));
        ASSERT_TRUE(ResetFaults());
    }
}

}  // namespace
