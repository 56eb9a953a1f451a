// CMirnClientApp's start-up steps in process, with a recording front end.
#include "app/mirnclient.h"

#include <gtest/gtest.h>

#include <string>

#include "core/config.h"
#include "core/log.h"
#include "core/logger.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/frontends.h"
#include "platform/messages.h"
#include "platform/registry.h"
#include "support/env.h"
#include "sync/work.h"

namespace {

class AppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetMainWindow(&front_);
        platform::SeedRegistryDefaults();
    }
    void TearDown() override { platform::SetMainWindow(nullptr); }
    std::string Root() const { return home_.Home() + "/Kestrine"; }

    testsupport::FakeHome home_;
    platform::RecordingFrontEnd front_;
};

}  // namespace

TEST_F(AppTest, WithoutComputerNameTheHostIdIsForgotten) {
    struct Case {
        std::string hostName, hostIdAfter;
    };
    for (const Case& c : {Case{"", ""}, Case{"pc-2", "H-7"}}) {
        SCOPED_TRACE(c.hostName);
        {
            CConfig config;
            platform::MakeDir(Root());
            platform::MakeDir(Root() + "/.db");
            ASSERT_EQ(config.Init(Root() + "/.db/client.db"), 1);
            ASSERT_EQ(config.Load(), 1);
            config.Set(CConfig::kLoginUser, "frank");
            config.Set(CConfig::kHostId, "H-7");
            config.Set(CConfig::kHostName, c.hostName);  // no password: never signs in by itself
            ASSERT_EQ(config.Store(), 1);
        }
        CMirnClientApp app;
        ASSERT_TRUE(app.InitApp());
        EXPECT_EQ(app.IsInitComplete(), 1);
        ASSERT_NE(app.GetLogger(), nullptr);
        EXPECT_EQ(AppLogger(), app.GetLogger());
        EXPECT_EQ(app.GetWorker()->GetConfig()->Get(CConfig::kHostId), c.hostIdAfter);
        EXPECT_EQ(app.GetWorker()->GetUser(), "frank");
        std::string text;
        platform::ReadFileToString(app.GetLogger()->Path(), &text);
        EXPECT_NE(text.find("Login dialog is not available yet"), std::string::npos);
    }
    EXPECT_EQ(AppLogger(), nullptr);  // the app took its logger with it
}

TEST_F(AppTest, WorkerThatCannotStartEndsTheStart) {
    platform::FaultScope faults;
    platform::FailCall(platform::Op::ThreadStart);
    CMirnClientApp app;
    EXPECT_FALSE(app.InitApp());
    EXPECT_EQ(app.IsInitComplete(), 0);
    ASSERT_EQ(front_.Boxes().size(), 1u);
    EXPECT_EQ(front_.Boxes()[0].text, "Fail to start Worker!");
    std::string text;
    platform::ReadFileToString(app.GetLogger()->Path(), &text);
    EXPECT_NE(text.find("<error>[CWork::Init]: Fail to create thread worker"), std::string::npos);
}

TEST_F(AppTest, LogThatCannotBeOpenedLeavesTheClientWithoutLog) {
    platform::FaultScope faults;
    platform::FailCall(platform::Op::Open, 1, 13 /* EACCES */, "/.log/");
    CMirnClientApp app;
    EXPECT_FALSE(app.InitLog());
    EXPECT_EQ(app.GetLogger(), nullptr);
    ASSERT_EQ(front_.Boxes().size(), 1u);
    EXPECT_EQ(front_.Boxes()[0].text, "Log File could not be opened!");
    EXPECT_EQ(front_.Boxes()[0].flags, platform::MB_OK);
    // The client goes on without a log.
    EXPECT_TRUE(app.InitApp());
    EXPECT_NE(app.GetWorker(), nullptr);

    CMirnClientApp second;
    EXPECT_TRUE(second.InitLog());
    EXPECT_TRUE(platform::GetFileAttributes(Root() + "/.log") & platform::kAttrHidden);
    EXPECT_EQ(second.GetLogger()->GetLevel(), 6);
    EXPECT_TRUE(second.InitLog());  // a logger exists: kept
}
