// build/kestrine picks its front end at start: the console without a display or with one that
// cannot be opened, the Qt tray front end when Qt can open its platform (offscreen here).
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "support/clientlaunch.h"
#include "support/env.h"
#include "support/process.h"
#include "support/wait.h"

namespace {

constexpr int kWaitMs = 30000;  // bound for the client's reactions; never reached when it works

struct Case {
    const char* name;
    std::map<std::string, std::optional<std::string>> env;
    bool console;
};

}  // namespace

TEST(FrontEndChoice, ConsoleUnlessQtCanOpenTheDisplay) {
    const std::optional<std::string> none;
    const Case cases[] = {
        {"no display", {{"DISPLAY", none}, {"WAYLAND_DISPLAY", none}, {"QT_QPA_PLATFORM", none}}, true},
        // An X display nobody serves: Qt cannot open it, the client must not abort.
        {"display that cannot be opened",
         {{"DISPLAY", ":4711"}, {"WAYLAND_DISPLAY", none}, {"QT_QPA_PLATFORM", none}},
         true},
        {"Qt platform that opens",
         {{"DISPLAY", none}, {"WAYLAND_DISPLAY", none}, {"QT_QPA_PLATFORM", "offscreen"}},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::FakeHome home;
        const std::string logDir = home.Home() + "/Kestrine/.log";
        testsupport::LaunchPlan how = testsupport::ClientInHome(home, std::nullopt);
        how.env.insert(c.env.begin(), c.env.end());  // the case's display variables
        testsupport::ChildProcess p;
        std::string error;
        ASSERT_TRUE(p.Start(how, &error)) << error;

        // Running: the log says so.
        std::string log;
        testsupport::WaitUntil(
            [&] {
                if (log.find("running...") != std::string::npos || !p.Running())
                    return true;
                std::vector<platform::DirEntry> entries;
                platform::ListDir(logDir, &entries);
                for (const auto& e : entries)
                    platform::ReadFileToString(logDir + "/" + e.name, &log);
                return false;
            },
            kWaitMs, 20);
        ASSERT_NE(log.find("running..."), std::string::npos) << p.Stdout() << p.Stderr();
        if (c.console) {
            EXPECT_TRUE(p.WaitForOutput("[tray] signed out", kWaitMs)) << p.Stdout() << p.Stderr();
        }

        ASSERT_TRUE(p.Signal(SIGTERM));
        int status = -1;
        ASSERT_TRUE(p.Wait(kWaitMs, &status));
        EXPECT_EQ(status, 0) << p.Stderr();
        if (!c.console) {  // the tray shows the state; nothing goes to the terminal
            EXPECT_EQ(p.Stdout().find("[tray]"), std::string::npos) << p.Stdout();
        }
    }
}
