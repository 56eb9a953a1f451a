// The upload exchange of one file against scripted back-server and transmitter replies: the steps
// the reference service never takes ("remove_chunk", instructions nobody knows, a service that
// never ends the exchange). After a removal the client asks the back server again about the same
// file; an unknown instruction ends the exchange with the file counted as failed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "journal/chunkjournal.h"
#include "journal/filejournal.h"
#include "platform/file.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "platform/registry.h"
#include "service/back.h"
#include "service/transmitter.h"
#include "store/filecache.h"
#include "support/cannedhttp.h"
#include "support/env.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "sync/uploadstep.h"
#include "upload_fixture.h"
#include "util/util.h"

namespace {

using testsupport::CannedHttpServer;

const char* kPath = "alice/a.bin";

std::string Soap(const std::string& payload) {
    return CannedHttpServer::Response(
        200, "application/soap+xml; charset=UTF-8",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><soapenv:Envelope "
        "xmlns:soapenv=\"http://www.w3.org/2003/05/soap-envelope\"><soapenv:Body>" +
            payload + "</soapenv:Body></soapenv:Envelope>");
}

// A back-server reply naming the next step (and the chunk it concerns).
std::string Back(const std::string& rsp, const std::string& op, const std::string& md5 = "",
                 const std::string& storageKey = "") {
    std::string next = "<next_op op=\"" + op + "\">";
    if (!md5.empty())
        next += "<MD5>" + md5 + "</MD5><storage_key>" + storageKey + "</storage_key>";
    next += "</next_op>";
    return Soap("<operation version=\"version01\"><response_head result=\"OK\" rsp_sequence=\"1\"/><" + rsp +
                " file_name=\"" + kPath + "\">" + next + "</" + rsp + "></operation>");
}

// A transmitter reply; its sequence must echo the request's (1 for the first after Init).
std::string Trs(const std::string& rsp, int seq, const std::string& md5, const std::string& storageKey,
                const std::string& result = "OK") {
    const std::string head =
        result == "OK" ? "<response_head result=\"OK\" rsp_sequence=\"" + std::to_string(seq) + "\"/>"
                       : "<response_head result=\"" + result + "\" rsp_sequence=\"" + std::to_string(seq) +
                             "\"><reason>21</reason></response_head>";
    return Soap("<operation name=\"" + rsp + "\" version=\"version01\">" + head + "<" + rsp + " MD5=\"" +
                md5 + "\" storage_key=\"" + storageKey + "\"/></operation>");
}

// The operation of each request a canned server received, in order.
std::vector<std::string> Operations(CannedHttpServer& server) {
    std::vector<std::string> out;
    for (const CannedHttpServer::Request& r : server.Requests()) {
        std::string op = "?";
        for (const char* name : {"chunk_uploaded", "upload_file", "remove_chunk", "upload_chunk"}) {
            if (r.body.find(std::string("<") + name + " ") != std::string::npos) {
                op = name;
                break;
            }
        }
        out.push_back(op);
    }
    return out;
}

class UploadExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetMainWindow(&front_);
        platform::SeedRegistryDefaults();
        ASSERT_TRUE(back_.Start());
        ASSERT_TRUE(trs_.Start());
        work_ = std::make_unique<uptest::UploadWork>();
        ASSERT_EQ(work_->Init(), 1);
        ASSERT_TRUE(work_->GetBack()->Init(back_.Url("/axis2/services/mirn_service_bs"), "alice", "pw",
                                           "host-1", ""));
        work_->GetBack()->SetCredentials("alice", "pw", "passport-1");
        ASSERT_TRUE(work_->GetTransmitter()->Init(trs_.Url("/axis2/services/mirn_service_trs"), "alice", "pw",
                                                  "host-1", ""));
        dir_.MakeDirs("home");
        dir_.MakeDirs("cache");
        ASSERT_TRUE(work_->GetFileCache()->SetRoot(dir_.Sub("home")));
        ASSERT_TRUE(work_->GetFileCache()->SetCache(dir_.Sub("cache")));
        CFileJournal* journal = work_->GetFileJournal();
        journal->SetRoot("alice");
        ASSERT_EQ(journal->OpenDB(), 1);
        ASSERT_EQ(journal->LoadMap(), 1);
        ASSERT_EQ(journal->LoadDBShareMap(), 1);

        // One file of one chunk, chunked as the upload walk leaves it.
        dir_.WriteFile("home/a.bin", content_);
        CFileCache* cache = work_->GetFileCache();
        ASSERT_TRUE(cache->ScanRoot());
        ASSERT_TRUE(cache->Find("/a.bin", &file_));
        ASSERT_TRUE(cache->LoadChunk(&file_));
        ASSERT_EQ(file_.chunks.size(), 1u);
        key_ = file_.chunks[0].key;
        file_.changeKind = CFileInfo::kChangeNew;
        work_->BeginPass();
    }
    void TearDown() override {
        work_->GetFileJournal()->CloseDB();
        work_.reset();
        platform::SetMainWindow(nullptr);
    }

    // The journal row of the file as the database holds it now.
    bool Recorded() {
        CFileJournal* journal = work_->GetFileJournal();
        CJournalItem item;
        return journal->LoadMap() == 1 && journal->Lookup(kPath, &item) == 1 && item.onDisk == 1;
    }

    testsupport::FakeHome home_;
    testsupport::LogCapture log_;
    platform::RecordingFrontEnd front_;
    testsupport::TempDir dir_;
    CannedHttpServer back_, trs_;
    std::unique_ptr<uptest::UploadWork> work_;
    const std::string content_ = "the bytes of a.bin";
    CFileInfo file_;
    std::string key_;
};

// The service's instructions are matched exactly, its own spelling included: anything else is
// an instruction nobody knows (below: it ends the exchange as a failure).
TEST(UploadStep, OnlyTheServicesExactNamesAreSteps) {
    using uploadstep::Step;
    const std::pair<std::string, Step> cases[] = {
        {"all_chunk_exist", Step::kAllChunksExist},
        {"upload_chunk", Step::kUploadChunk},
        {"remove_chunk", Step::kRemoveChunk},
        {"move_conflic_file", Step::kMoveConflict},
        {"copy_conflic_file", Step::kCopyConflict},
        {"", Step::kUnknown},
        {"OK", Step::kUnknown},
        {"UPLOAD_CHUNK", Step::kUnknown},
        {"upload_chunk ", Step::kUnknown},
        {"move_conflict_file", Step::kUnknown},
        {std::string("all_chunk_exist\0", 16), Step::kUnknown},
    };
    for (const auto& [instruction, step] : cases)
        EXPECT_EQ(uploadstep::Parse(instruction), step) << instruction;
}

TEST_F(UploadExchangeTest, AfterARemovalTheBackServerIsAskedAgainAboutTheFile) {
    back_.Push(Back("upload_file_rsp", "upload_chunk", key_, "sk-1"));
    trs_.Push(Trs("upload_chunk_rsp", 1, key_, "sk-1"));
    back_.Push(Back("chunk_uploaded_rsp", "remove_chunk", key_, "sk-1"));
    trs_.Push(Trs("remove_chunk_rsp", 2, key_, "sk-1"));
    back_.Push(Back("upload_file_rsp", "upload_chunk", key_, "sk-2"));
    trs_.Push(Trs("upload_chunk_rsp", 3, key_, "sk-2"));
    back_.Push(Back("chunk_uploaded_rsp", "all_chunk_exist"));

    EXPECT_EQ(work_->UploadFile(&file_, nullptr), 1);
    EXPECT_EQ(work_->Succeeded(), 1) << log_.LastError();
    EXPECT_EQ(Operations(back_),
              (std::vector<std::string>{"upload_file", "chunk_uploaded", "upload_file", "chunk_uploaded"}));
    EXPECT_EQ(Operations(trs_), (std::vector<std::string>{"upload_chunk", "remove_chunk", "upload_chunk"}));
    EXPECT_TRUE(log_.Contains("Remove a chunk"));
    EXPECT_TRUE(Recorded());
    CChunkInfo row;
    ASSERT_TRUE(work_->GetChunkJournal()->Find(key_, &row)) << "the chunk was recorded again";
    EXPECT_EQ(row.storageKey, "sk-2");
}

TEST_F(UploadExchangeTest, AnInstructionNobodyKnowsEndsTheExchangeAsAFailure) {
    struct Case {
        std::string name;
        std::vector<std::string> back, trs;
        std::string ack;
        size_t backCalls, trsCalls;
    };
    const std::vector<Case> cases = {
        {"answer to upload_file", {Back("upload_file_rsp", "frobnicate")}, {}, "frobnicate", 1, 0},
        {"the transmitter's OK after a chunk",
         {Back("upload_file_rsp", "upload_chunk", key_, "sk-1"), Back("chunk_uploaded_rsp", "OK")},
         {Trs("upload_chunk_rsp", 1, key_, "sk-1")},
         "OK",
         2,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t backBefore = back_.Requests().size(), trsBefore = trs_.Requests().size();
        for (const std::string& r : c.back)
            back_.Push(r);
        for (const std::string& r : c.trs)
            trs_.Push(r);
        work_->BeginPass();
        CFileInfo f = file_;
        ASSERT_TRUE(work_->GetFileCache()->LoadChunk(&f));
        EXPECT_EQ(work_->UploadFile(&f, nullptr), 1) << "the exchange was opened";
        EXPECT_EQ(work_->Succeeded(), 0);
        EXPECT_TRUE(log_.Contains("Fail to get a valid ack: " + c.ack));
        EXPECT_EQ(back_.Requests().size() - backBefore, c.backCalls) << "asked once, not again";
        EXPECT_EQ(trs_.Requests().size() - trsBefore, c.trsCalls);
        EXPECT_FALSE(Recorded());
    }
}

// A conflict instruction, at the offer or after a chunk, sets the local file aside under its
// conflict name, drops its journal row and asks for another pass; the copy form is only logged
// louder. The file does not count as failed: the next pass sends the copy as new.
TEST_F(UploadExchangeTest, AConflictInstructionSetsTheFileAside) {
    struct Case {
        std::string op;
        bool afterChunk;
        std::string logLine;
    };
    const std::vector<Case> cases = {
        {"move_conflic_file", false, "<info >[CWork::UploadFile]: !!!Move a conflict file"},
        {"copy_conflic_file", false, "<warn >[CWork::UploadFile]: !!!Copy a conflict file"},
        {"copy_conflic_file", true, "<warn >[CWork::UploadFile]: !!!Copy a conflict file"},
    };
    CFileJournal* journal = work_->GetFileJournal();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op + (c.afterChunk ? " after a chunk" : " at the offer"));
        dir_.WriteFile("home/a.bin", content_);
        CFileInfo known = file_;
        known.path = kPath;
        ASSERT_EQ(journal->AddActive(known), 1);
        ASSERT_TRUE(Recorded());
        const size_t logBefore = log_.Text().size();
        if (c.afterChunk) {
            back_.Push(Back("upload_file_rsp", "upload_chunk", key_, "sk-1"));
            trs_.Push(Trs("upload_chunk_rsp", static_cast<int>(trs_.Requests().size()) + 1, key_, "sk-1"));
            back_.Push(Back("chunk_uploaded_rsp", c.op));
        } else {
            back_.Push(Back("upload_file_rsp", c.op));
        }
        work_->BeginPass();
        work_->SetSyncPending(0);
        CFileInfo f = file_;
        ASSERT_TRUE(work_->GetFileCache()->LoadChunk(&f));

        EXPECT_EQ(work_->UploadFile(&f, nullptr), 1);
        EXPECT_EQ(work_->Succeeded(), 1) << log_.LastError();
        EXPECT_EQ(work_->IsSyncPending(), 1) << "another pass sends the copy";
        EXPECT_NE(log_.Text().find(c.logLine, logBefore), std::string::npos);
        EXPECT_FALSE(Recorded()) << "the path's row is gone";
        EXPECT_FALSE(platform::Exists(dir_.Sub("home/a.bin")));
        std::vector<platform::DirEntry> entries;
        ASSERT_TRUE(platform::ListDir(dir_.Sub("home"), &entries));
        std::vector<std::string> copies;
        for (const platform::DirEntry& e : entries)
            if (e.name.rfind("a.bin.conflict(", 0) == 0)
                copies.push_back(dir_.Sub("home/" + e.name));
        ASSERT_EQ(copies.size(), 1u);
        std::string kept;
        ASSERT_TRUE(platform::ReadFileToString(copies[0], &kept));
        EXPECT_EQ(kept, content_);
        ASSERT_TRUE(platform::RemoveFile(copies[0]));
    }
}

TEST_F(UploadExchangeTest, ARefusedRemovalCountsTheFileAsFailed) {
    back_.Push(Back("upload_file_rsp", "upload_chunk", key_, "sk-1"));
    trs_.Push(Trs("upload_chunk_rsp", 1, key_, "sk-1"));
    back_.Push(Back("chunk_uploaded_rsp", "remove_chunk", key_, "sk-1"));
    trs_.Push(Trs("remove_chunk_rsp", 2, key_, "sk-1", "fail"));

    EXPECT_EQ(work_->UploadFile(&file_, nullptr), 1);
    EXPECT_EQ(work_->Succeeded(), 0);
    EXPECT_TRUE(log_.Contains("Fail to remove a chunk to transmiter"));
    EXPECT_EQ(back_.Requests().size(), 2u);
    EXPECT_FALSE(Recorded());
}

// A service that asks for the chunk and drops it again, forever: the exchange ends by itself.
TEST_F(UploadExchangeTest, AnExchangeThatNeverEndsIsCutOff) {
    back_.Push(Back("upload_file_rsp", "upload_chunk", key_, "sk-1"));
    for (int i = 0; i < 40; ++i) {
        trs_.Push(Trs("upload_chunk_rsp", 2 * i + 1, key_, "sk-1"));
        back_.Push(Back("chunk_uploaded_rsp", "remove_chunk", key_, "sk-1"));
        trs_.Push(Trs("remove_chunk_rsp", 2 * i + 2, key_, "sk-1"));
        back_.Push(Back("upload_file_rsp", "upload_chunk", key_, "sk-1"));
    }

    EXPECT_EQ(work_->UploadFile(&file_, nullptr), 1);
    EXPECT_EQ(work_->Succeeded(), 0);
    EXPECT_TRUE(log_.Contains("Too many steps in the upload of alice/a.bin"));
    EXPECT_LT(back_.Requests().size(), 40u);
    EXPECT_FALSE(Recorded());
}

}  // namespace
