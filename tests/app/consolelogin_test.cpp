// The console login dialog: scripted answers against the reference service (what it writes into
// the configuration, asking again after a failure, giving up at the end of input, the stop of an
// exiting client), and build/kestrine signing in from lines piped into it.
#include "app/consolelogin.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "platform/file.h"
#include "platform/system.h"
#include "support/clientlaunch.h"
#include "support/loginwork.h"
#include "support/process.h"
#include "support/sqlquery.h"
#include "util/util.h"

using testsupport::LoginWork;

namespace {

constexpr int kWaitMs = 30000;

class ConsoleLoginTest : public testsupport::LoginFixture {
  protected:
    // Runs the dialog on `input` with a fresh worker; returns what it printed.
    std::string RunDialog(const std::string& input, bool* signedIn,
                          std::unique_ptr<LoginWork>* keep = nullptr,
                          const std::string& storedHostName = "") {
        auto w = std::make_unique<LoginWork>();
        EXPECT_EQ(w->Init(), 1);
        if (!storedHostName.empty()) {
            w->GetConfig()->Set(CConfig::kHostName, storedHostName);
            EXPECT_EQ(w->GetConfig()->Store(), 1);
        }
        std::istringstream in(input);
        std::ostringstream out;
        CConsoleLogin dialog(w.get(), in, out, false);
        *signedIn = dialog.Run();
        if (keep)
            *keep = std::move(w);
        return out.str();
    }
    static std::string Base64(const std::string& text) {
        std::string out;
        CUtil::Base64Encode(text, &out);
        return out;
    }
    static bool Has(const std::string& text, const std::string& needle) {
        return text.find(needle) != std::string::npos;
    }
};

}  // namespace

TEST_F(ConsoleLoginTest, ScriptedAnswersSignIn) {
    struct Case {
        const char* name;
        std::string input, storedHostName;
        // expected
        bool signedIn;
        std::string storedPassword, hostName;
        std::vector<std::string> printed;
    };
    const std::string pw = testsupport::TestServer::kPassword;
    const Case cases[] = {
        {"remembered", "alice\n" + pw + "\nlaptop\ny\n", "", true, Base64(pw), "laptop", {"登录成功: alice"}},
        // Not remembered: the table keeps no password, so the next start asks again.
        {"not remembered", "alice\n" + pw + "\nlaptop\nn\n", "", true, "", "laptop", {"登录成功: alice"}},
        // A failed sign-in asks again, offering what was typed but the password; empty lines
        // take it.
        {"second try",
         "alice\nwrong\nlaptop\ny\n\n" + pw + "\n\n\n",
         "",
         true,
         Base64(pw),
         "laptop",
         {"登录失败，请重新输入",
          "账    号 [alice]: ", "主机名称 [laptop]: ", "记住密码 (y/n) [y]: ", "登录成功: alice"}},
        // A registered computer keeps its name.
        {"registered computer",
         "alice\n" + pw + "\nother\ny\n",
         "pc-1",
         true,
         Base64(pw),
         "pc-1",
         {"主机名称 [pc-1]: "}},
        {"unclear answer",
         "alice\n" + pw + "\nlaptop\nmaybe\nyes\n",
         "",
         true,
         Base64(pw),
         "laptop",
         {"请输入 y 或 n"}},
        // Incomplete or impossible input is refused locally; the end of input gives up.
        {"incomplete", "\n\n\n\n", "", false, "", "", {"请输入完整数据", "登录已取消"}},
        {"password too long",
         "alice\n" + std::string(65, 'p') + "\nlaptop\ny\n",
         "",
         false,
         "",
         "",
         {"密码不能超过64字节", "登录已取消"}},
        {"account too long",
         std::string(65, 'a') + "\n" + pw + "\nlaptop\ny\n",
         "",
         false,
         "",
         "",
         {"账号和主机名称不能超过64个字符"}},
        {"no input", "", "", false, "", "", {"登录已取消"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::RemoveTree(Root());
        bool signedIn = false;
        std::unique_ptr<LoginWork> w;
        const std::string out = RunDialog(c.input, &signedIn, &w, c.storedHostName);
        EXPECT_EQ(signedIn, c.signedIn) << out;
        for (const std::string& p : c.printed)
            EXPECT_TRUE(Has(out, p)) << p << "\n" << out;
        // No password is stored here: none is offered, not even the one that just failed.
        EXPECT_FALSE(Has(out, "[已保存]")) << out;
        EXPECT_EQ(Stored("login_passwd"), c.storedPassword);
        EXPECT_EQ(Stored("host_name"), c.hostName);
        if (c.signedIn) {
            EXPECT_EQ(Stored("login_user"), "alice");
            EXPECT_EQ(w->GetPassword(), pw) << "the worker keeps the typed password";
            EXPECT_EQ(w->IsLoginCancel(), 0);
        } else {
            EXPECT_EQ(w->IsSignedIn(), 0);
            EXPECT_EQ(w->IsLoginCancel(), 1) << "as the dialog's Cancel";
        }
    }
}

TEST_F(ConsoleLoginTest, StoredAccountIsOffered) {
    {
        auto w = NewWork();
        w->GetConfig()->Set(CConfig::kHostName, "");
        ASSERT_EQ(w->GetConfig()->Store(), 1);
    }
    bool signedIn = false;
    // Every answer empty: the stored account, its password and this computer's name.
    const std::string out = RunDialog("\n\n\n\n", &signedIn);
    EXPECT_TRUE(signedIn) << out;
    EXPECT_TRUE(Has(out, "账    号 [alice]: "));
    EXPECT_TRUE(Has(out, "密    码 [已保存]: "));
    EXPECT_FALSE(Has(out, testsupport::TestServer::kPassword)) << "a password is never shown";
    EXPECT_TRUE(Has(out, "主机名称 [" + platform::ComputerName() + "]: "));
    EXPECT_EQ(Stored("host_name"), platform::ComputerName());
}

TEST_F(ConsoleLoginTest, ExitWhileSigningInStopsTheWaitAndTheRetries) {
    ASSERT_TRUE(server_.Fault("portal_login", "drop", 1000));
    std::atomic<bool> stop{false};
    auto w = std::make_unique<LoginWork>();
    ASSERT_EQ(w->Init(), 1);
    // The exit comes while the sign-in waits to try the silent portal again.
    w->onPause = [&stop](LoginWork& self, int) {
        stop.store(true);
        // The dialog answers the exit as its Cancel does, before the next attempt.
        for (int i = 0; i < 3000 && !self.IsLoginCancel(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    std::istringstream in("alice\n" + std::string(testsupport::TestServer::kPassword) + "\nlaptop\ny\n");
    std::ostringstream out;
    CConsoleLogin dialog(w.get(), in, out, false, &stop);
    EXPECT_FALSE(dialog.Run());
    EXPECT_TRUE(Has(out.str(), "登录已取消"));
    // The sign-in gives up at its next unanswered attempt.
    for (int i = 0; i < 3000 && !log_.Contains("[CWork::SeverAuth]: login cancel"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(log_.Contains("<info >[CWork::SeverAuth]: login cancel"));
}

// build/kestrine on the console front end, signing in from piped lines.
class ConsoleLoginE2E : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.Error(); }
    testsupport::LaunchPlan HowToRun(const std::string& input) const {
        testsupport::LaunchPlan how =
            testsupport::ClientInHome(home_, "127.0.0.1:" + std::to_string(server_.Port()));
        testsupport::OnTheConsole(&how);
        testsupport::InChinese(&how);
        how.stdinText = input;
        return how;
    }
    void EndWithTerm(testsupport::ChildProcess& p) {
        ASSERT_TRUE(p.Signal(SIGTERM));
        int status = -1;
        ASSERT_TRUE(p.Wait(kWaitMs, &status));
        EXPECT_EQ(status, 0) << p.Stderr();
    }

    testsupport::FakeHome home_;
    testsupport::TestServer server_;
};

TEST_F(ConsoleLoginE2E, PipedLinesSignIn) {
    testsupport::ChildProcess p;
    std::string error;
    ASSERT_TRUE(p.Start(
        HowToRun("alice\n" + std::string(testsupport::TestServer::kPassword) + "\nlaptop\ny\n"), &error))
        << error;
    ASSERT_TRUE(p.WaitForOutput("登录成功: alice", kWaitMs)) << p.Stdout() << p.Stderr();
    EXPECT_TRUE(p.WaitForOutput("[tray] signed in: alice", kWaitMs));
    EndWithTerm(p);
    const std::string out = p.Stdout();
    EXPECT_NE(out.find("Kestrine - 用户登录"), std::string::npos);
    EXPECT_EQ(out.find("[box]"), std::string::npos) << out;
    // The log and the configuration say who signed in.
    std::string log;
    std::vector<platform::DirEntry> entries;
    const std::string logDir = home_.Home() + "/Kestrine/.log";
    platform::ListDir(logDir, &entries);
    for (const auto& e : entries) {
        std::string text;
        platform::ReadFileToString(logDir + "/" + e.name, &text);
        log += text;
    }
    EXPECT_NE(log.find("<info >[CWork::SeverAuth]: Auth OK: alice"), std::string::npos) << log;
    const std::string dbFile = home_.Home() + "/Kestrine/.db/client.db";
    const std::string user = testsupport::StoredConfig(dbFile, "login_user");
    const std::string hostName = testsupport::StoredConfig(dbFile, "host_name");
    const std::string hostId = testsupport::StoredConfig(dbFile, "host_id");
    EXPECT_EQ(user, "alice");
    EXPECT_EQ(hostName, "laptop");
    EXPECT_EQ(hostId.size(), 32u);
}

// The user's locale picks the language of the console's lines: Chinese of any country keeps the
// texts as written, any other locale shows English and no Chinese character at all.
TEST_F(ConsoleLoginE2E, LocaleChoosesTheLanguage) {
    const struct {
        const char* name;
        std::map<std::string, std::optional<std::string>> env;
        const char* signedIn;
        const char* title;
        bool english;
    } cases[] = {
        {"LC_ALL C.UTF-8", {{"LC_ALL", "C.UTF-8"}}, "Signed in: alice", "Kestrine - Sign in", true},
        {"LANG en_US", {{"LANG", "en_US.UTF-8"}}, "Signed in: alice", "Kestrine - Sign in", true},
        {"LC_ALL zh_CN", {{"LC_ALL", "zh_CN.UTF-8"}}, "登录成功: alice", "Kestrine - 用户登录", false},
        {"LANG zh_TW", {{"LANG", "zh_TW.UTF-8"}}, "登录成功: alice", "Kestrine - 用户登录", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::FakeHome home;
        testsupport::LaunchPlan how =
            HowToRun("alice\n" + std::string(testsupport::TestServer::kPassword) + "\nlaptop\ny\n");
        how.env["HOME"] = home.Home();
        how.env["XDG_RUNTIME_DIR"] = home.Runtime();
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG", "LANGUAGE"})
            how.env[name] = std::nullopt;
        for (const auto& [name, value] : c.env)
            how.env[name] = value;
        testsupport::ChildProcess p;
        std::string error;
        ASSERT_TRUE(p.Start(how, &error)) << error;
        ASSERT_TRUE(p.WaitForOutput(c.signedIn, kWaitMs)) << p.Stdout() << p.Stderr();
        EXPECT_TRUE(p.WaitForOutput("[tray] signed in: alice", kWaitMs));
        EndWithTerm(p);
        const std::string out = p.Stdout();
        EXPECT_NE(out.find(c.title), std::string::npos) << out;
        if (c.english) {
            // Every Chinese character of the client's texts is three UTF-8 bytes led by 0xE3..0xE9.
            const bool chinese = std::any_of(out.begin(), out.end(), [](char ch) {
                const auto b = static_cast<unsigned char>(ch);
                return b >= 0xE3 && b <= 0xE9;
            });
            EXPECT_FALSE(chinese) << out;
        }
    }
}

TEST_F(ConsoleLoginE2E, EndOfInputLeavesTheClientSignedOut) {
    testsupport::ChildProcess p;
    ASSERT_TRUE(p.Start(HowToRun("")));
    ASSERT_TRUE(p.WaitForOutput("登录已取消", kWaitMs)) << p.Stdout() << p.Stderr();
    EXPECT_TRUE(p.Running()) << "the client goes on, signed out";
    EndWithTerm(p);
    EXPECT_EQ(p.Stdout().find("[status] Connecting Auth..."), std::string::npos);
}

TEST_F(ConsoleLoginE2E, TerminationWhileTheDialogWaitsForALine) {
    testsupport::LaunchPlan how = HowToRun("alice\n");
    how.keepStdinOpen = true;  // the password line never comes
    testsupport::ChildProcess p;
    ASSERT_TRUE(p.Start(how));
    ASSERT_TRUE(p.WaitForOutput("密    码: ", kWaitMs)) << p.Stdout();
    EndWithTerm(p);
    EXPECT_NE(p.Stdout().find("登录已取消"), std::string::npos);
}
