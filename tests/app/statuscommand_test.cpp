// `kestrine status`, `sync`, `--version` and `--help`: the command line's exit codes, the state
// word, the JSON answer read back into lines (awkward names, a long list, broken answers), and
// the commands against a listening instance or none.
#include "app/statuscommand.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/controlsocket.h"
#include "platform/messages.h"
#include "support/env.h"
#include "support/tempdir.h"
#include "ui/commands.h"

namespace {

using statuscmd::Facts;
using PassResult = CSyncStatus::PassResult;

Facts SignedIn() {
    Facts f;
    f.started = true;
    f.signedIn = true;
    f.account = "ann";
    return f;
}

TEST(StatusState, ByTable) {
    struct Case {
        const char* name;
        Facts facts;
        const char* want;
    };
    std::vector<Case> cases;
    cases.push_back({"not started", Facts{}, "starting"});
    Facts signedOut = SignedIn();
    signedOut.signedIn = false;
    cases.push_back({"signed out", signedOut, "signed out"});
    Facts connecting = signedOut;
    connecting.status.trayState = platform::kTrayConnecting;
    cases.push_back({"connecting", connecting, "connecting"});
    Facts running = SignedIn();
    running.status.passRunning = true;
    running.status.lastPassResult = PassResult::kSucceeded;  // an earlier pass does not count
    cases.push_back({"pass running", running, "syncing"});
    Facts done = SignedIn();
    done.status.lastPassResult = PassResult::kSucceeded;
    done.status.trayState = platform::kTrayDone;
    cases.push_back({"done", done, "up to date"});
    Facts doneButSkipped = done;
    doneButSkipped.notSynced.push_back({"/a", "r"});
    cases.push_back({"skipped item left", doneButSkipped, "unfinished"});
    Facts unfinished = SignedIn();
    unfinished.status.lastPassResult = PassResult::kUnfinished;
    cases.push_back({"unfinished", unfinished, "unfinished"});
    Facts failed = SignedIn();
    failed.status.lastPassResult = PassResult::kFailed;
    cases.push_back({"failed", failed, "unfinished"});
    cases.push_back({"no pass yet", SignedIn(), "idle"});
    for (const Case& c : cases)
        EXPECT_EQ(statuscmd::StateOf(c.facts), c.want) << c.name;
}

TEST(StatusJson, AwkwardNamesSurviveTheRoundTrip) {
    Facts f = SignedIn();
    f.status.passRunning = true;
    f.status.currentAction = "upload";
    f.status.currentItem = "/dir \"q\"\\back\nline\x01\x7f/文件.bin";
    f.status.doneBytes = 4 * 1024 * 1024;
    f.status.totalBytes = 10 * 1024 * 1024;
    f.notSynced.push_back({"/a\tb", "name \"bad\""});
    f.status.conflictCopies.push_back("/home/x.conflict(2026)");
    const std::string json = statuscmd::StatusJson(f);
    for (char c : json)
        ASSERT_FALSE(static_cast<unsigned char>(c) < 0x20) << "a raw control in " << json;
    EXPECT_NE(json.find("\"state\":\"syncing\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"done_bytes\":4194304,\"total_bytes\":10485760"), std::string::npos) << json;

    std::string text;
    ASSERT_TRUE(statuscmd::DescribeStatus(json, &text)) << json;
    EXPECT_NE(text.find(f.status.currentItem), std::string::npos) << text;
    EXPECT_NE(text.find("4.0 MiB / 10.0 MiB"), std::string::npos) << text;
    EXPECT_NE(text.find("  /a\tb - name \"bad\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  /home/x.conflict(2026)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ann"), std::string::npos) << text;
}

TEST(StatusJson, ALongListIsCutButCounted) {
    Facts f = SignedIn();
    for (int i = 0; i < 20000; ++i)
        f.notSynced.push_back({"/folder/" + std::string(100, 'n') + std::to_string(i), "reason"});
    const std::string json = statuscmd::StatusJson(f);
    EXPECT_LT(json.size(), statuscmd::kMaxListedBytes + 4096);
    EXPECT_LT(json.size(), platform::control::kMaxAnswer);
    EXPECT_NE(json.find("\"not_synced_count\":20000"), std::string::npos);
    std::string text;
    ASSERT_TRUE(statuscmd::DescribeStatus(json, &text));
    EXPECT_NE(text.find("20000"), std::string::npos);
}

TEST(StatusJson, BrokenAnswersAreRefused) {
    const std::vector<std::string> answers = {
        "",
        "{",
        "[]",
        "{\"error\":\"bad request\"}",
        "{\"state\":\"x\"} trailing",
        "{\"state\":\"x\",}",
        "{\"state\":\"\\q\"}",
        "{\"state\":\"\\u12\"}",
        "{\"state\" \"x\"}",
        "\"state\"",
        std::string(100000, '[') + std::string(100000, ']'),  // deep nesting must not exhaust the stack
        "{\"state\":\"idle\",\"current\":" + std::string(50, '{'),
    };
    for (const std::string& a : answers) {
        std::string text = "unchanged";
        EXPECT_FALSE(statuscmd::DescribeStatus(a, &text)) << a.substr(0, 60);
        EXPECT_EQ(text, "unchanged");
    }
}

TEST(SyncStatusRecord, PassEndClearsTheItemAndProgressStaysWithinTheFile) {
    CSyncStatus s;
    s.PassStarted();
    s.SetCurrent("upload", "/big.bin", 10);
    s.SetProgress(12, 10);  // the last chunk's place lies past the end of a short file
    CSyncStatus::Snapshot got = s.Get();
    EXPECT_TRUE(got.passRunning);
    EXPECT_EQ(got.doneBytes, 10);
    s.PassEnded(PassResult::kUnfinished);
    got = s.Get();
    EXPECT_FALSE(got.passRunning);
    EXPECT_EQ(got.currentItem, "");
    EXPECT_EQ(got.lastPassResult, PassResult::kUnfinished);
    EXPECT_GT(got.lastPassEnd, 0);
    for (size_t i = 0; i < CSyncStatus::kConflictsKept + 5; ++i)
        s.AddConflictCopy("/c" + std::to_string(i));
    got = s.Get();
    ASSERT_EQ(got.conflictCopies.size(), CSyncStatus::kConflictsKept);
    EXPECT_EQ(got.conflictCopies.back(), "/c" + std::to_string(CSyncStatus::kConflictsKept + 4));
}

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override { env_.Set("XDG_RUNTIME_DIR", dir_.Path()); }
    int Run(const std::vector<std::string>& args) {
        out_.str("");
        err_.str("");
        std::optional<int> code = statuscmd::RunCommandLine(args, out_, err_);
        return code ? *code : -1;
    }
    testsupport::TempDir dir_;
    testsupport::ScopedEnv env_;
    std::ostringstream out_, err_;
};

TEST_F(CommandLine, ExitCodesWithoutAnInstance) {
    struct Case {
        std::vector<std::string> args;
        int code;
        bool toStdout;  // else the only output is on stderr
    };
    const Case cases[] = {
        {{}, -1, false},  // the client itself
        {{"--version"}, 0, true},
        {{"--help"}, 0, true},
        {{"-h"}, 0, true},
        {{"--bogus"}, 2, false},
        {{"-v"}, 2, false},
        {{"--version", "extra"}, 2, false},
        {{"--help", "status"}, 2, false},
        {{"status", "--xml"}, 2, false},
        {{"status", "--json", "x"}, 2, false},
        {{"sync", "now"}, 2, false},
        {{"Status"}, 2, false},
        {{"status"}, 3, false},
        {{"status", "--json"}, 3, false},
        {{"sync"}, 3, false},
    };
    for (const Case& c : cases) {
        const std::string name = c.args.empty() ? "<none>" : c.args[0];
        EXPECT_EQ(Run(c.args), c.code) << name;
        if (c.code == -1)
            continue;
        EXPECT_EQ(out_.str().empty(), !c.toStdout) << name << ": " << out_.str();
        EXPECT_EQ(err_.str().empty(), c.toStdout) << name << ": " << err_.str();
    }
    ASSERT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(out_.str(), std::string("kestrine ") + ui::kClientBuild + "\n");
    ASSERT_EQ(Run({"--help"}), 0);
    for (const char* word : {"status", "--json", "sync", "--version", "--help"})
        EXPECT_NE(out_.str().find(word), std::string::npos) << word;
}

TEST_F(CommandLine, AnswersOfARunningInstance) {
    std::string syncAnswer = "{\"sync\":\"requested\"}";
    Facts facts = SignedIn();
    facts.status.lastPassResult = PassResult::kSucceeded;
    platform::ControlServer server;
    ASSERT_TRUE(server.Start(platform::ControlSocketPath(), [&](platform::control::Request r) {
        return r == platform::control::Request::kSync ? syncAnswer : statuscmd::StatusJson(facts);
    }));
    ASSERT_EQ(Run({"status", "--json"}), 0) << err_.str();
    EXPECT_EQ(out_.str(), statuscmd::StatusJson(facts) + "\n");
    ASSERT_EQ(Run({"status"}), 0) << err_.str();
    EXPECT_NE(out_.str().find("ann"), std::string::npos) << out_.str();
    EXPECT_EQ(Run({"sync"}), 0) << err_.str();
    // A pass already under way is what the caller asked for.
    syncAnswer = "{\"sync\":\"running\"}";
    EXPECT_EQ(Run({"sync"}), 0) << err_.str();
    EXPECT_FALSE(out_.str().empty());
    syncAnswer = "{\"sync\":\"refused\"}";
    EXPECT_EQ(Run({"sync"}), 1);
    EXPECT_FALSE(err_.str().empty());
    // An instance whose answer cannot be read is a failure, never a status shown as fine.
    facts.account = "x";
    syncAnswer = "garbage";
    EXPECT_EQ(Run({"sync"}), 1);
}

}  // namespace
