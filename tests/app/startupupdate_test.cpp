// The update check of a start, with build/kestrine against the reference service's version
// endpoints: it runs before the log and the worker, so a start that it ends leaves neither a log
// nor a database behind, and a declined optional update lets the start go on.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/file.h"
#include "support/clientlaunch.h"
#include "support/env.h"
#include "support/process.h"
#include "support/tempdir.h"
#include "support/testserver.h"
#include "support/wait.h"

namespace {

constexpr int kWaitMs = 30000;  // bound for the client's reactions; never reached when it works
const std::string kRequired = "[box] Kestrine更新: Kestrine当前有新版本，选择“确定”将自动更新";
const std::string kOffer = "[box] Kestrine更新: Kestrine当前有新版本，请问是否更新?";

class StartUpUpdate : public ::testing::Test {
  protected:
    std::string Root() const { return home_.Home() + "/Kestrine"; }
    bool HasLog() const {
        std::vector<platform::DirEntry> entries;
        if (!platform::ListDir(Root() + "/.log", &entries))
            return false;
        for (const auto& e : entries) {
            if (e.name.size() > 4 && e.name.compare(e.name.size() - 4, 4, ".log") == 0)
                return true;
        }
        return false;
    }
    bool HasDatabase() const { return platform::Exists(Root() + "/.db/client.db"); }

    testsupport::LaunchPlan HowToRun(const std::string& input) const {
        testsupport::LaunchPlan how =
            testsupport::ClientInHome(home_, "127.0.0.1:" + std::to_string(server_.Port()));
        testsupport::InChinese(&how);
        testsupport::OnTheConsole(&how);
        how.stdinText = input;
        return how;
    }

    testsupport::FakeHome home_;
    testsupport::TempDir files_;
    testsupport::TestServer server_;
};

}  // namespace

TEST_F(StartUpUpdate, ARequiredUpdateEndsTheStartBeforeTheLogAndTheWorker) {
    files_.WriteFile("setup.bin", "installer bytes");
    files_.MakeDirs("downloads");
    ASSERT_TRUE(server_.Start({"--client-version", "KestrineSetup120402.exe", "--client-min-version",
                               "KestrineSetup120401.exe", "--client-file", files_.Sub("setup.bin")},
                              false))
        << server_.Error();
    struct Case {
        const char* what;
        std::string input;       // the answers typed on the terminal
        std::string downloaded;  // the installer's path afterwards, empty for none
    };
    const std::string target = files_.Sub("downloads/KestrineSetup120401.exe");
    const Case cases[] = {
        {"declined", "cancel\n", ""},
        {"no answer at all", "", ""},
        {"no folder given", "ok\n\n", ""},
        {"downloaded", "ok\n" + files_.Sub("downloads") + "\n", target},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::ChildProcess p;
        std::string error;
        ASSERT_TRUE(p.Start(HowToRun(c.input), &error)) << error;
        int status = -1;
        ASSERT_TRUE(p.Wait(kWaitMs, &status)) << p.Stdout();
        EXPECT_EQ(status, 0) << p.Stderr();
        EXPECT_NE(p.Stdout().find(kRequired), std::string::npos) << p.Stdout();
        EXPECT_FALSE(HasLog());
        EXPECT_FALSE(HasDatabase());
        if (c.downloaded.empty()) {
            EXPECT_FALSE(platform::Exists(target));
        } else {
            std::string bytes;
            EXPECT_TRUE(platform::ReadFileToString(c.downloaded, &bytes));
            EXPECT_EQ(bytes, "installer bytes");
        }
    }
}

TEST_F(StartUpUpdate, NoUpdateOrADeclinedOptionalOneLetsTheStartGoOn) {
    struct Case {
        const char* what;
        std::string latest;
        bool offered;
    };
    const Case cases[] = {
        {"none", "none", false},
        {"newer, declined", "KestrineSetup120402.exe", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(Root());
        ASSERT_TRUE(server_.Start({"--client-version", c.latest}, false)) << server_.Error();
        testsupport::ChildProcess p;
        std::string error;
        testsupport::LaunchPlan how = HowToRun("cancel\n");
        how.keepStdinOpen = true;  // the console login that follows waits for its lines
        ASSERT_TRUE(p.Start(how, &error)) << error;
        // The start goes on to the log and the worker.
        testsupport::WaitUntil([&] { return HasLog() && HasDatabase(); }, kWaitMs, 20);
        EXPECT_TRUE(HasLog());
        EXPECT_TRUE(HasDatabase());
        EXPECT_TRUE(p.Running());
        if (c.offered)
            EXPECT_TRUE(p.WaitForOutput(kOffer, kWaitMs)) << p.Stdout();
        else
            EXPECT_EQ(p.Stdout().find(kOffer), std::string::npos) << p.Stdout();
        EXPECT_EQ(p.Stdout().find(kRequired), std::string::npos);
        p.Kill();
        server_.Stop();
    }
}
