// CMirnClientApp's menu commands in process: enabling from the worker's flags, what each command
// does, and the exit command ending the GUI loop in order (worker, then log) with code 0.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/mirnclient.h"
#include "core/config.h"
#include "core/logger.h"
#include "platform/file.h"
#include "platform/frontends.h"
#include "platform/messages.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "support/env.h"
#include "sync/work.h"
#include "ui/commands.h"

namespace {

constexpr int kWaitMs = 30000;  // bound for the worker's reactions; never reached when it works

class AppCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_.Env().Set("KESTRINE_SERVICE_HOST", "files.example:8089");
        // The console front end, whatever display the test runs under.
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            home_.Env().Unset(name);
        platform::SetMainWindow(&front_);
        platform::SeedRegistryDefaults();
        platform::SetOpener([this](const std::string& target) {
            opened_.push_back(target);
            return true;
        });
    }
    void TearDown() override {
        platform::SetOpener(nullptr);
        platform::SetMainWindow(nullptr);
    }

    testsupport::FakeHome home_;
    platform::RecordingFrontEnd front_;
    std::vector<std::string> opened_;
};

}  // namespace

TEST_F(AppCommandsTest, EnablingFollowsTheWorkerFlags) {
    CMirnClientApp app;
    EXPECT_TRUE(app.IsCommandEnabled(ui::ID_LOGIN));  // no worker yet
    EXPECT_FALSE(app.IsCommandEnabled(ui::ID_SYNC));
    EXPECT_FALSE(app.IsCommandEnabled(ui::ID_LOCAL_FOLDER));
    ASSERT_TRUE(app.InitApp());
    CWork* work = app.GetWorker();
    struct Case {
        int signedIn, ready;
        std::set<int> enabled;
    };
    const Case cases[] = {
        {0, 0, {ui::ID_LOGIN, ui::ID_MAIN_LOGIN}},
        {1,
         1,
         {ui::ID_WEB_FOLDER, ui::ID_LOCAL_FOLDER, ui::ID_TRASH, ui::ID_SYNC, ui::ID_MAIN_SYNC, ui::ID_LOGOUT,
          ui::ID_MAIN_LOGOUT, ui::ID_OPTIONS}},
        {1,
         0,
         {ui::ID_WEB_FOLDER, ui::ID_LOCAL_FOLDER, ui::ID_TRASH, ui::ID_LOGOUT, ui::ID_MAIN_LOGOUT,
          ui::ID_OPTIONS}},
    };
    const int ids[] = {ui::ID_WEB_FOLDER,
                       ui::ID_LOCAL_FOLDER,
                       ui::ID_TRASH,
                       ui::ID_SYNC,
                       ui::ID_MAIN_SYNC,
                       ui::ID_LOGIN,
                       ui::ID_MAIN_LOGIN,
                       ui::ID_LOGOUT,
                       ui::ID_MAIN_LOGOUT,
                       ui::ID_OPTIONS,
                       ui::ID_ABOUT,
                       ui::ID_HELP,
                       ui::ID_EXIT,
                       ui::ID_RECENT_FIRST + 9,
                       ui::ID_RECENT_FIRST + 10,
                       12345};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "signed in " << c.signedIn << ", ready " << c.ready);
        work->SetSignedIn(c.signedIn);
        work->SetReady(c.ready);
        for (int id : ids) {
            const bool always =
                id == ui::ID_ABOUT || id == ui::ID_HELP || id == ui::ID_EXIT || id == ui::ID_RECENT_FIRST + 9;
            EXPECT_EQ(app.IsCommandEnabled(id), always || c.enabled.count(id) == 1) << id;
        }
    }
}

TEST_F(AppCommandsTest, PagesAndFoldersOpenWithTheDefaultProgram) {
    CMirnClientApp app;
    ASSERT_TRUE(app.InitApp());
    const std::string root = app.GetWorker()->GetConfig()->Get(CConfig::kRootPath);
    app.OnCommand(ui::ID_WEB_FOLDER);
    app.OnCommand(ui::ID_LOCAL_FOLDER);
    app.OnCommand(ui::ID_TRASH);
    app.OnCommand(ui::ID_HELP);
    EXPECT_EQ(opened_,
              (std::vector<std::string>{"http://files.example:8089/files.jsp", root + "/home",
                                        root + "/.trash", "http://files.example:8089/support/manual.jsp"}));
    EXPECT_TRUE(platform::IsDirectory(root + "/.trash")) << "an empty trash opens, not an error";
}

TEST_F(AppCommandsTest, SignOutShowsItsStatusAndPostsOneRequestWithTheMainWindow) {
    CMirnClientApp app;
    ASSERT_TRUE(app.InitApp());
    front_.Clear();
    app.OnCommand(ui::ID_MAIN_LOGOUT);
    ASSERT_TRUE(front_.WaitFor(platform::WM_LOGOUT_DONE, kWaitMs));
    std::vector<platform::WindowMessage> msgs = front_.Messages();
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.front().code, platform::WM_SETMESSAGESTRING);
    EXPECT_EQ(msgs.front().text, "注销中...");
    EXPECT_EQ(front_.MessagesWithCode(platform::WM_LOGOUT_DONE).size(), 1u);
}

TEST_F(AppCommandsTest, AboutWithoutTheDesktopShowsTheVersionInABox) {
    CMirnClientApp app;
    app.OnCommand(ui::ID_ABOUT);
    ASSERT_EQ(front_.Boxes().size(), 1u);
    EXPECT_EQ(front_.Boxes()[0].caption, "关于Kestrine");
    EXPECT_NE(front_.Boxes()[0].text.find("Version 1.0 (build 120401)"), std::string::npos);
}

TEST_F(AppCommandsTest, ExitEndsTheLoopWithCodeZeroAndClosesTheLog) {
    platform::SetMainWindow(nullptr);  // the app installs its own front end
    CMirnClientApp app;
    std::atomic<int> code{-1};
    std::thread gui([&] { code = app.Run(); });
    // The log's start-up line tells that the loop is about to run; the command may come earlier,
    // since an exit asked before the loop starts ends it as soon as it does.
    while (!app.IsInitComplete() && code.load() == -1)
        std::this_thread::yield();
    CLogger* logger = app.GetLogger();
    ASSERT_NE(logger, nullptr);
    const std::string log = logger->Path();
    app.OnCommand(ui::ID_EXIT);
    gui.join();
    EXPECT_EQ(code.load(), 0);
    EXPECT_EQ(app.GetWorker(), nullptr);
    std::string text;
    ASSERT_TRUE(platform::ReadFileToString(log, &text));
    const std::string closing = "\r\n" + std::string(80, '-') + "\r\n";
    ASSERT_GE(text.size(), closing.size());
    EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
}
