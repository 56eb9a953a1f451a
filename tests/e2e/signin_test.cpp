// build/kestrine signing in while the service is out: a short outage at start-up is ridden out
// (the tray says "connecting" meanwhile), and a portal that accepts the connection but never
// answers does not hold the client when the user gives up.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "e2e/harness.h"
#include "support/env.h"

namespace {

using e2e::Computer;
using Clock = std::chrono::steady_clock;

class SignInE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        // The waits between attempts start at 200 ms instead of 5 s.
        env_.Set("KESTRINE_SIGNIN_RETRY_MS", "200");
        ASSERT_TRUE(server_.Start()) << server_.Error();
    }
    void TearDown() override { server_.ResetFaults(); }
    // True once the service has taken every armed fault.
    bool FaultsTaken() {
        return e2e::WaitUntil(
            [&] { return server_.Faults().find_first_not_of(" \r\n") == std::string::npos; }, 30000);
    }

    testsupport::ScopedEnv env_;
    testsupport::TestServer server_;
};

// A start with the remembered account while a step of the sign-in goes unanswered twice: the
// client tries again, shows "connecting", and is signed in once the service answers.
TEST_F(SignInE2E, ShortOutageAtStartIsRiddenOut) {
    Computer laptop(server_, "laptop");
    std::string error;
    ASSERT_TRUE(laptop.Start(&error)) << error;
    ASSERT_TRUE(laptop.WaitSignedIn()) << laptop.Console();
    ASSERT_TRUE(laptop.Stop());

    for (const char* op : {"portal_login", "login"}) {
        SCOPED_TRACE(op);
        ASSERT_TRUE(server_.Fault(op, "drop", 2));
        ASSERT_TRUE(laptop.Start(&error)) << error;
        ASSERT_TRUE(laptop.WaitSignedIn()) << laptop.Console() << e2e::Tail(laptop.Log());
        EXPECT_TRUE(FaultsTaken());
        const std::string console = laptop.Console();
        const size_t connecting = console.find("[tray] connecting");
        ASSERT_NE(connecting, std::string::npos) << console;
        EXPECT_NE(console.find("[tray] signed in: alice", connecting), std::string::npos) << console;
        EXPECT_NE(laptop.Log().find("Next attempt in 200 ms"), std::string::npos);
        ASSERT_TRUE(laptop.Stop());
    }
}

// The portal accepts the sign-in request and never answers. The console dialog gives up when the
// program is asked to end (as the login dialog's Cancel does): the request in flight ends and the
// worker stops at once, where it used to hang until the shutdown gave up on it after 10 s.
TEST_F(SignInE2E, SilentPortalDoesNotHoldTheClient) {
    ASSERT_TRUE(server_.Fault("portal_login", "stall", 1, -1, 600000));
    Computer laptop(server_, "laptop");
    std::string error;
    ASSERT_TRUE(laptop.Start(&error)) << error;
    ASSERT_TRUE(FaultsTaken()) << "the sign-in request reached the silent portal";
    ASSERT_TRUE(
        e2e::WaitUntil([&] { return laptop.Log().find("CAuth::RequestLogin") != std::string::npos; }, 30000));
    const Clock::time_point asked = Clock::now();
    EXPECT_TRUE(laptop.Stop()) << laptop.Console();
    const long long tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
    std::printf("[ measured ] the client ended %lld ms after SIGTERM\n", tookMs);
    EXPECT_LT(tookMs, 5000);
    const std::string log = laptop.Log();
    EXPECT_EQ(log.find("Worker did not stop"), std::string::npos) << e2e::Tail(log);
    EXPECT_NE(log.find("The exchange was interrupted"), std::string::npos) << e2e::Tail(log);
}

}  // namespace
