// build/kestrine signing in while the service is out: a short outage at start-up is ridden out
// (the tray says "connecting" meanwhile), and a portal that accepts the connection but never
// answers does not hold the client when the user gives up.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
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

// The portal names the account's earlier folder ".db": the first sign-in refuses the name, keeps
// its database where it is, and its passes carry files both ways; a restart finds it all again.
TEST_F(SignInE2E, APortalFolderNamedLikeTheDatabaseFolderIsRefused) {
    ASSERT_TRUE(server_.AddUser("erin", "pw-erin", {"--telephone", ".db"}));
    Computer laptop(server_, "laptop", "erin", "pw-erin");
    std::string error;
    ASSERT_TRUE(laptop.Start(&error)) << error;
    ASSERT_TRUE(laptop.WaitSignedIn()) << laptop.Console() << e2e::Tail(laptop.Log());
    auto logs = [&] { return laptop.Console() + e2e::Tail(laptop.Log()) + server_.Ls("erin"); };
    const std::string db = laptop.Root() + "/.db/client.db";
    EXPECT_TRUE(std::filesystem::is_regular_file(db)) << logs();
    EXPECT_FALSE(laptop.Exists("client.db")) << "the database is no file of the home folder";
    EXPECT_NE(laptop.Log().find("Ignore the earlier folder name \".db\""), std::string::npos) << logs();

    laptop.Write("up.txt", "from erin's laptop");
    ASSERT_TRUE(e2e::WaitUntil([&] { return server_.Ls("erin").find("up.txt") != std::string::npos; },
                               e2e::ConvergeMs()))
        << logs();
    ASSERT_TRUE(laptop.Stop()) << logs();
    ASSERT_TRUE(laptop.Start(&error)) << error;
    ASSERT_TRUE(laptop.WaitSignedIn()) << logs();
    EXPECT_EQ(laptop.Read("up.txt"), "from erin's laptop");
    EXPECT_EQ(laptop.Log().find("Could not open database"), std::string::npos) << logs();
    EXPECT_TRUE(laptop.Stop()) << logs();
}

}  // namespace
