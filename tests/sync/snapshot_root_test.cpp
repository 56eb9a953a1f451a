// The full download's first entry must be the account's root folder, one plain name: a tree that
// starts otherwise (scripted back-server replies) ends the pass before anything is recorded, keeps
// the stored root, and leaves the full download to the next pass.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "download_fixture.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "platform/registry.h"
#include "service/back.h"
#include "store/filecache.h"
#include "support/cannedhttp.h"
#include "support/logcapture.h"
#include "support/tempdir.h"

namespace {

using testsupport::CannedHttpServer;

std::string DownloadAllReply(const std::string& files) {
    return CannedHttpServer::Response(
        200, "application/soap+xml; charset=UTF-8",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><soapenv:Envelope "
        "xmlns:soapenv=\"http://www.w3.org/2003/05/soap-envelope\"><soapenv:Body>"
        "<operation version=\"version01\"><response_head result=\"OK\" rsp_sequence=\"1\"/>"
        "<download_all_file_rsp compress=\"0\"><files>" +
            files + "</files></download_all_file_rsp></operation></soapenv:Body></soapenv:Envelope>");
}

class SnapshotRootTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetMainWindow(&front_);
        platform::SeedRegistryDefaults();
        ASSERT_TRUE(back_.Start());
        work_ = std::make_unique<dltest::EngineWork>();
        ASSERT_EQ(work_->Init(), 1);
        ASSERT_TRUE(work_->GetBack()->Init(back_.Url("/axis2/services/mirn_service_bs"), "alice", "pw",
                                           "host-1", ""));
        work_->GetBack()->SetCredentials("alice", "pw", "passport-1");
        dir_.MakeDirs("home");
        dir_.MakeDirs("cache");
        ASSERT_TRUE(work_->GetFileCache()->SetRoot(dir_.Sub("home")));
        ASSERT_TRUE(work_->GetFileCache()->SetCache(dir_.Sub("cache")));
        work_->GetConfig()->Set(CConfig::kServerRoot, "earlier");
        work_->SetServerRoot("earlier");
    }
    void TearDown() override {
        work_.reset();
        platform::SetMainWindow(nullptr);
    }

    testsupport::FakeHome home_;
    testsupport::LogCapture log_;
    platform::RecordingFrontEnd front_;
    testsupport::TempDir dir_;
    CannedHttpServer back_;
    std::unique_ptr<dltest::EngineWork> work_;
};

TEST_F(SnapshotRootTest, ATreeThatDoesNotStartWithAPlainRootFolderIsRefused) {
    const std::string file =
        "<file file_name=\"alice/f.txt\" modify_time=\"7\" dir=\"no\"><file_size>0</file_size>"
        "<chunk_num>0</chunk_num></file>";
    struct Case {
        std::string name;
        std::string files;
        std::string logged;  // path(dirFlag) of the first entry
    };
    const std::vector<Case> cases = {
        {"a file first", file + "<file file_name=\"alice\" modify_time=\"1\" dir=\"yes\"/>",
         "alice/f.txt(0)"},
        {"a root of two components", "<file file_name=\"al/ice\" modify_time=\"1\" dir=\"yes\"/>" + file,
         "al/ice(1)"},
        {"a root named ..", "<file file_name=\"..\" modify_time=\"1\" dir=\"yes\"/>" + file, "..(1)"},
        {"no entry at all", "", "(0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        back_.Push(DownloadAllReply(c.files));
        work_->SetResetUserData(1);
        EXPECT_EQ(work_->Sync(), 0);
        EXPECT_TRUE(log_.Contains("<info >[CWork::GetAll]: Fail to get server root: " + c.logged));
        EXPECT_EQ(work_->IsResetUserData(), 1) << "the next pass starts the full download again";
        EXPECT_EQ(work_->GetServerRoot(), "earlier");
        EXPECT_EQ(work_->GetConfig()->Get(CConfig::kServerRoot), "earlier");
        EXPECT_FALSE(log_.Contains("get a file alice/f.txt")) << "nothing is recorded";
    }
    EXPECT_EQ(back_.Requests().size(), cases.size());
}

}  // namespace
