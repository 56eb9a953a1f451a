// build/kestrine as a user starts it: a fresh home, a second start, signals, and a broken
// registry or database.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "support/clientlaunch.h"
#include "support/env.h"
#include "support/process.h"
#include "support/sqlquery.h"
#include "support/wait.h"
#include "util/util.h"

namespace {

constexpr int kWaitMs = 30000;  // bound for the client's reactions; never reached when it works
const std::string kOpenSep = "\r\n" + std::string(80, '+') + "\r\n";
const std::string kCloseSep = "\r\n" + std::string(80, '-') + "\r\n";

class KestrineE2E : public ::testing::Test {
  protected:
    std::string Root() const { return home_.Home() + "/Kestrine"; }
    std::string LogDir() const { return Root() + "/.log"; }
    std::string DbFile() const { return Root() + "/.db/client.db"; }
    std::string OpenLog() const { return home_.Dir().Sub("opened.txt"); }

    testsupport::LaunchPlan HowToRun() const {
        testsupport::LaunchPlan how = testsupport::ClientInHome(home_, std::nullopt);
        how.env["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;  // the user's keyring is not the test's
        testsupport::OnTheConsole(&how);
        return how;
    }

    // The log files of the log folder named like a start's log file.
    std::vector<std::string> RunLogs() const {
        std::vector<platform::DirEntry> entries;
        std::vector<std::string> out;
        platform::ListDir(LogDir(), &entries);
        const std::regex name(R"(\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d\.log)");
        for (const auto& e : entries) {
            if (std::regex_match(e.name, name))
                out.push_back(LogDir() + "/" + e.name);
        }
        return out;
    }
    std::string ReadAll(const std::string& path) const {
        std::string s;
        platform::ReadFileToString(path, &s);
        return s;
    }
    // Waits until one run log holds `needle`; returns that log's text.
    std::string WaitForLog(const std::string& needle) const {
        std::string found;
        testsupport::WaitUntil(
            [&] {
                for (const std::string& f : RunLogs()) {
                    std::string text = ReadAll(f);
                    if (text.find(needle) != std::string::npos) {
                        found = std::move(text);
                        return true;
                    }
                }
                return false;
            },
            kWaitMs, 20);
        return found;
    }
    std::string Stored(const std::string& key) const { return testsupport::StoredConfig(DbFile(), key); }
    // Plants a configuration table the client's code would not write.
    void ExecDb(const std::string& sql) const { EXPECT_EQ(testsupport::Query(DbFile(), sql), ""); }
    // Starts the client and waits for its "running..." line.
    void StartRunning(testsupport::ChildProcess& p) {
        std::string error;
        ASSERT_TRUE(p.Start(HowToRun(), &error)) << error;
        ASSERT_FALSE(WaitForLog("running...").empty()) << p.Stdout() << p.Stderr();
    }
    void EndWith(testsupport::ChildProcess& p, int sig) {
        ASSERT_TRUE(p.Signal(sig));
        int status = -1;
        ASSERT_TRUE(p.Wait(kWaitMs, &status));
        EXPECT_EQ(status, 0) << p.Stderr();
    }

    testsupport::FakeHome home_;
};

}  // namespace

TEST_F(KestrineE2E, FirstStartSecondStartAndTerm) {
    testsupport::ChildProcess first;
    StartRunning(first);

    EXPECT_TRUE(platform::IsRegularFile(home_.Home() + "/.config/kestrine/registry.ini"));
    EXPECT_EQ(Stored("schema_version"), "1001");
    EXPECT_EQ(Stored("log_level"), "4");
    EXPECT_EQ(Stored("root_path"), Root());
    std::vector<std::string> logs = RunLogs();
    ASSERT_EQ(logs.size(), 1u);
    std::string text = ReadAll(logs[0]);
    ASSERT_EQ(text.substr(0, kOpenSep.size()), kOpenSep);
    const std::regex running(
        R"(\r\n\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3}\]<info >\[CMirnClientApp::InitApp\]: running\.\.\.\r\n)");
    EXPECT_TRUE(std::regex_search(text, running)) << text;

    // A second start opens the running instance's home folder and leaves at once.
    testsupport::ChildProcess second;
    ASSERT_TRUE(second.Start(HowToRun()));
    int status = -1;
    ASSERT_TRUE(second.Wait(kWaitMs, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(second.Stdout().find("[box]"), std::string::npos);
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(ReadAll(OpenLog()), Root() + "/home\n");
    EXPECT_EQ(RunLogs().size(), 1u);

    EndWith(first, SIGTERM);
    text = ReadAll(logs[0]);
    ASSERT_GE(text.size(), kCloseSep.size());
    EXPECT_EQ(text.substr(text.size() - kCloseSep.size()), kCloseSep);
    EXPECT_EQ(text.find(kCloseSep), text.size() - kCloseSep.size());  // one run, one closing line
}

TEST_F(KestrineE2E, InterruptEndsLikeExit) {
    testsupport::ChildProcess p;
    StartRunning(p);
    EndWith(p, SIGINT);
    std::string text = ReadAll(RunLogs().at(0));
    EXPECT_EQ(text.substr(text.size() - kCloseSep.size()), kCloseSep);
}

TEST_F(KestrineE2E, BrokenRegistryReadsAsMissingValues) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.push_back(static_cast<char>((i * 131 + 7) % 256));
    const std::string registry = "home/.config/kestrine/registry.ini";
    const std::function<void()> breakers[] = {
        // binary garbage where the root_path value should be
        [&] { home_.Dir().WriteFile(registry, "[Software\\Velmora\\Kestrine\\]\nroot_path=" + garbage); },
        // a folder in place of the file: neither readable nor replaceable
        [&] { home_.Dir().MakeDirs(registry); },
    };
    // Without a readable root_path the log goes under the install folder (the build tree's
    // share/kestrine here); what the run leaves there is removed again.
    const std::string installLogs = std::string(KESTRINE_BUILD_DIR) + "/share/kestrine/.log";
    auto listInstallLogs = [&] {
        std::vector<platform::DirEntry> entries;
        platform::ListDir(installLogs, &entries);
        std::vector<std::string> names;
        for (const auto& e : entries)
            names.push_back(e.name);
        return names;
    };
    const std::vector<std::string> before = listInstallLogs();
    for (const auto& breakRegistry : breakers) {
        testsupport::RemoveTree(home_.Home());
        home_.Dir().MakeDirs("home");
        breakRegistry();
        testsupport::ChildProcess p;
        ASSERT_TRUE(p.Start(HowToRun()));
        testsupport::WaitUntil([&] { return Stored("root_path") == Root() || !p.Running(); }, kWaitMs, 20);
        EXPECT_EQ(Stored("root_path"), Root());
        ASSERT_TRUE(p.WaitForOutput("[tray] signed out", kWaitMs));
        EndWith(p, SIGTERM);
        EXPECT_EQ(p.Stdout().find("[box]"), std::string::npos) << p.Stdout();
    }
    for (const std::string& name : listInstallLogs()) {
        if (std::find(before.begin(), before.end(), name) == before.end())
            platform::RemoveFile(installLogs + "/" + name);
    }
}

TEST_F(KestrineE2E, UnwritableDatabaseStopsTheStart) {
    home_.Dir().MakeDirs("home/Kestrine/.db");
    ExecDb(
        "create table config_table(id int primary key, key text not null unique, value text);"
        "CREATE TRIGGER ro BEFORE INSERT ON config_table BEGIN SELECT RAISE(ABORT, 'read-only'); END;");
    testsupport::ChildProcess p;
    ASSERT_TRUE(p.Start(HowToRun()));
    int status = -1;
    ASSERT_TRUE(p.Wait(kWaitMs, &status));
    EXPECT_EQ(status, 1);
    const std::string out = p.Stdout();
    EXPECT_NE(out.find("[box] Kestrine: Fail to open \"" + DbFile() + "\"\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[box] Kestrine: Fail to start Worker!\n"), std::string::npos) << out;
    std::string text = ReadAll(RunLogs().at(0));
    EXPECT_NE(text.find("{CConfig::SetValueByKey} SQL error: read-only"), std::string::npos);
    EXPECT_EQ(text.find("running..."), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - kCloseSep.size()), kCloseSep);
}

TEST_F(KestrineE2E, StartRemovesOnlyLogsOlderThanThreeDays) {
    home_.Dir().MakeDirs("home/Kestrine/.log");
    const std::pair<std::string, int> files[] = {{"old.log", 4}, {"recent.log", 2}, {"notes.txt", 10}};
    for (const auto& [name, days] : files) {
        home_.Dir().WriteFile("home/Kestrine/.log/" + name, "x");
        struct utimbuf t;
        t.actime = t.modtime = std::time(nullptr) - days * 86400;
        ASSERT_EQ(utime((LogDir() + "/" + name).c_str(), &t), 0);
    }
    testsupport::ChildProcess p;
    StartRunning(p);
    EXPECT_FALSE(platform::Exists(LogDir() + "/old.log"));
    EXPECT_TRUE(platform::Exists(LogDir() + "/recent.log"));
    EXPECT_TRUE(platform::Exists(LogDir() + "/notes.txt"));
    EndWith(p, SIGTERM);
}

TEST_F(KestrineE2E, StoredAccountSignsInOnlyWithAComputerName) {
    struct Case {
        std::string hostName;
        bool signsIn;
    };
    for (const Case& c : {Case{"pc-1", true}, Case{"", false}}) {
        SCOPED_TRACE(c.hostName);
        home_.Dir().MakeDirs("home/Kestrine/.db");
        platform::RemoveFile(DbFile());
        std::string passwd;
        CUtil::Base64Encode("secret", &passwd);
        ExecDb(
            "create table config_table(id int primary key, key text not null unique, value text);"
            "INSERT INTO config_table(key, value) VALUES('login_user', 'erin');"
            "INSERT INTO config_table(key, value) VALUES('login_passwd', '" +
            passwd +
            "');"
            "INSERT INTO config_table(key, value) VALUES('host_name', '" +
            c.hostName + "');");
        testsupport::ChildProcess p;
        StartRunning(p);
        const std::string signIn = "[CWork::SeverAuth]: " + std::string(80, '+');
        const std::string dialog = "[CConsoleLogin::Run]: Ask for the account on the console";
        std::string text = WaitForLog(c.signsIn ? signIn : dialog);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.find(c.signsIn ? dialog : signIn), std::string::npos);
        EndWith(p, SIGTERM);
        for (const std::string& f : RunLogs())
            platform::RemoveFile(f);
    }
}

namespace {

// The program's own options and commands, run as a user runs them: exit codes, and that none of
// them starts a client (no settings, no log) or needs one.
TEST_F(KestrineE2E, OptionsAndCommandsWithoutAClient) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* stdoutPart;  // null: nothing on stdout
    };
    const Case cases[] = {
        {{"--version"}, 0, "kestrine "}, {{"--help"}, 0, "status --json"},
        {{"--nonsense"}, 2, nullptr},    {{"status", "--nonsense"}, 2, nullptr},
        {{"status"}, 3, nullptr},        {{"status", "--json"}, 3, nullptr},
        {{"sync"}, 3, nullptr},
    };
    for (const Case& c : cases) {
        testsupport::LaunchPlan how = HowToRun();
        how.args = c.args;
        testsupport::ChildProcess p;
        ASSERT_TRUE(p.Start(how));
        int status = -1;
        ASSERT_TRUE(p.Wait(kWaitMs, &status)) << c.args[0];
        EXPECT_EQ(status, c.code) << c.args[0] << " " << p.Stderr();
        if (c.stdoutPart) {
            EXPECT_NE(p.Stdout().find(c.stdoutPart), std::string::npos) << p.Stdout();
        } else {
            EXPECT_EQ(p.Stdout(), "") << c.args[0];
            EXPECT_NE(p.Stderr(), "") << c.args[0];
        }
    }
    EXPECT_TRUE(RunLogs().empty());
    EXPECT_FALSE(platform::Exists(home_.Home() + "/.config/kestrine/registry.ini"));
}

TEST_F(KestrineE2E, StatusOfASignedOutClient) {
    testsupport::ChildProcess client;
    StartRunning(client);
    testsupport::LaunchPlan how = HowToRun();
    how.args = {"status", "--json"};
    testsupport::ChildProcess status;
    ASSERT_TRUE(status.Start(how));
    int code = -1;
    ASSERT_TRUE(status.Wait(kWaitMs, &code));
    EXPECT_EQ(code, 0) << status.Stderr();
    EXPECT_NE(status.Stdout().find("\"signed_in\":false"), std::string::npos) << status.Stdout();
    struct stat st {};
    ASSERT_EQ(::lstat((home_.Runtime() + "/kestrine/control").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EndWith(client, SIGTERM);
    EXPECT_NE(::lstat((home_.Runtime() + "/kestrine/control").c_str(), &st), 0) << "left behind at exit";
}

}  // namespace
