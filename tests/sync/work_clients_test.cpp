// CWork::Init creates the back client and the transmitter, and the auth client set up with the
// configured authentication server and the stored account (its password decoded from the table).
#include <gtest/gtest.h>

#include <string>

#include "core/config.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "service/auth.h"
#include "service/back.h"
#include "service/transmitter.h"
#include "support/env.h"
#include "support/logcapture.h"
#include "sync/work.h"

namespace {

class WorkClientsTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetMainWindow(&front_); }
    void TearDown() override { platform::SetMainWindow(nullptr); }

    testsupport::FakeHome home_;
    testsupport::LogCapture log_;
    platform::RecordingFrontEnd front_;
};

TEST_F(WorkClientsTest, InitCreatesTheServiceClientsWithTheStoredAccount) {
    {
        CWork first;
        ASSERT_EQ(first.Init(), 1);
        ASSERT_NE(first.GetBack(), nullptr);
        ASSERT_NE(first.GetTransmitter(), nullptr);
        ASSERT_NE(first.GetAuth(), nullptr);
        EXPECT_EQ(first.GetUser(), "");
        // The account a previous sign-in stored, and a portal of its own.
        first.GetConfig()->Set(CConfig::kLoginUser, "alice");
        first.GetConfig()->Set(CConfig::kLoginPasswd, "p'w=1");
        first.GetConfig()->Set(CConfig::kAuthServer, "http://portal.example:8080");
        ASSERT_EQ(first.GetConfig()->Store(), 1);
    }
    CWork w;
    ASSERT_EQ(w.Init(), 1);
    EXPECT_EQ(w.GetUser(), "alice");
    EXPECT_EQ(w.GetPassword(), "p'w=1") << "the table holds it in Base64";
    ASSERT_NE(w.GetAuth(), nullptr);
    EXPECT_EQ(w.GetAuth()->GetLoginUrl(), "http://portal.example:8080/mirnportal/LoginServlet");
    EXPECT_EQ(w.GetAuth()->GetEndpointUrl(), "http://portal.example:8080/mirnportal/GetServersAddrServlet");
    EXPECT_FALSE(log_.Contains("Fail to get a auth!"));
    // The service clients wait for the sign-in to be set up.
    EXPECT_FALSE(w.GetBack()->Channel().IsInitialised());
}

}  // namespace
