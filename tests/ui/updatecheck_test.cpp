// The update check: the name comparisons, and the whole decision (questions, folder, download)
// against the reference service's version endpoints, silent and interactive.
#include "ui/updatecheck.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/messages.h"
#include "support/env.h"
#include "support/tempdir.h"
#include "support/testserver.h"
#include "ui/downloadtask.h"

namespace {

using testsupport::TestServer;

constexpr unsigned kAsk = platform::MB_OKCANCEL | platform::MB_ICONQUESTION;
constexpr unsigned kWarn = platform::MB_OK | platform::MB_ICONWARNING;
constexpr unsigned kInfo = platform::MB_OK | platform::MB_ICONINFORMATION;

struct Box {
    std::string text, caption;
    unsigned flags;
};

// Answers the check's questions from a script and records what it asked.
class ScriptedPrompt : public IUpdatePrompt {
  public:
    std::deque<int> answers;  // the coming message boxes; Cancel when none is left
    bool giveFolder = false;
    std::string folder;
    bool realDownload = false;  // else only recorded

    std::vector<Box> boxes;
    std::vector<std::string> browseTitles;
    struct Fetched {
        std::string url, name, target;
        bool ok = false;
    };
    std::vector<Fetched> downloads;

    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
        boxes.push_back({text, caption, flags});
        if (answers.empty())
            return platform::IDCANCEL;
        int a = answers.front();
        answers.pop_front();
        return a;
    }
    bool BrowseFolder(const std::string& title, std::string* out) override {
        browseTitles.push_back(title);
        if (!giveFolder)
            return false;
        *out = folder;
        return true;
    }
    void Download(const std::string& url, const std::string& name, const std::string& target) override {
        Fetched d{url, name, target};
        if (realDownload) {
            struct NoView : IDownloadView {
                void ShowFileName(const std::string&) override {}
                void SetBar(int) override {}
                void SetTotalText(const std::string&) override {}
                void SetProgressText(const std::string&) override {}
                void SetTimeLabel(const std::string&) override {}
                void SetTimeText(const std::string&) override {}
                void SetCheckText(const std::string&) override {}
                void Finished(bool, const std::string&) override {}
            } view;
            CDownloadTask task(url, name, target);
            d.ok = task.Run(&view);
        }
        downloads.push_back(d);
    }
};

}  // namespace

TEST(UpdateCheckNames, ComparisonsIgnoreCaseAndTreatTheOwnInstallerAsRequired) {
    struct Case {
        const char* name;
        bool newer, required;
    };
    const Case cases[] = {
        {"none", false, false},
        {"NONE", false, false},
        {"KestrineSetup120401.exe", false, true},  // this client's own installer
        {"kestrinesetup120401", false, true},
        {"KestrineSetup120400.exe", false, false},
        {"KestrineSetup120402.exe", true, true},
        {"KESTRINESETUP120402.EXE", true, true},
        {"kestrinesetup130101.exe", true, true},
        // The Debian package of a build is that build's installer here.
        {"KestrineSetup120402.deb", true, true},
        {"kestrinesetup120401.deb", false, true},
        {"KestrineSetup120400.deb", false, false},
        {"Setup130101.exe", false, false},  // not a Kestrine installer
        {"", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CUpdateCheck::IsLatestNewer(c.name), c.newer);
        EXPECT_EQ(CUpdateCheck::IsUpdateRequired(c.name), c.required);
    }
}

TEST(UpdateCheckNames, OnlyPlainFileNamesAreAccepted) {
    for (const char* ok : {"none", "KestrineSetup120402.exe", "Kestrine Setup (2).exe"})
        EXPECT_TRUE(CUpdateCheck::IsPlainName(ok)) << ok;
    for (const char* bad : {"", ".", "..", "../KestrineSetup120402.exe", "/etc/KestrineSetup120402.exe",
                            "dir\\KestrineSetup120402.exe", "Kestrine\tSetup120402.exe"})
        EXPECT_FALSE(CUpdateCheck::IsPlainName(bad)) << bad;
    EXPECT_FALSE(CUpdateCheck::IsPlainName(std::string(256, 'k')));
    EXPECT_EQ(CUpdateCheck::TargetPath("/tmp/dl", "a.exe"), "/tmp/dl/a.exe");
    EXPECT_EQ(CUpdateCheck::TargetPath("/tmp/dl/", "a.exe"), "/tmp/dl/a.exe");
}

TEST(UpdateCheck, DecisionTableAgainstTheService) {
    const std::string kNewer = "KestrineSetup120402.exe";
    const std::string kOwn = "KestrineSetup120401.exe";
    const std::string kOffer = "Kestrine当前有新版本，请问是否更新?\n";
    const std::string kRequired = "Kestrine当前有新版本，选择“确定”将自动更新\n";
    struct Case {
        const char* what;
        std::string latest, oldest;
        bool silent;
        std::vector<int> answers;
        bool giveFolder;
        bool result;
        std::vector<std::pair<std::string, unsigned>> boxes;
        std::string browsed;     // the name in the folder browser's title, empty when not asked
        std::string downloaded;  // the name downloaded, empty for none
    };
    const Case cases[] = {
        {"none/none silent", "none", "none", true, {}, false, false, {}, "", ""},
        {"none/none interactive",
         "none",
         "none",
         false,
         {},
         false,
         false,
         {{"当前已是最新版本！\n", kInfo}},
         "",
         ""},
        {"newer, declined",
         kNewer,
         "none",
         true,
         {platform::IDCANCEL},
         true,
         false,
         {{kOffer, kAsk}},
         "",
         ""},
        {"newer, folder cancelled",
         kNewer,
         "none",
         true,
         {platform::IDOK},
         false,
         false,
         {{kOffer, kAsk}},
         kNewer,
         ""},
        {"newer, downloaded",
         kNewer,
         "none",
         true,
         {platform::IDOK},
         true,
         true,
         {{kOffer, kAsk}},
         kNewer,
         kNewer},
        {"newer in other case, trailing line break",
         "KESTRINESETUP120402.EXE\r\n",
         "NONE\n",
         false,
         {platform::IDCANCEL},
         true,
         false,
         {{kOffer, kAsk}},
         "",
         ""},
        {"required, declined",
         kNewer,
         kOwn,
         true,
         {platform::IDCANCEL},
         true,
         true,
         {{kRequired, kAsk}},
         "",
         ""},
        {"required, folder cancelled",
         kNewer,
         kOwn,
         true,
         {platform::IDOK},
         false,
         true,
         {{kRequired, kAsk}},
         kOwn,
         ""},
        {"required, downloaded",
         "kestrinesetup120405.exe",
         kOwn,
         false,
         {platform::IDOK},
         true,
         true,
         {{kRequired, kAsk}},
         kOwn,
         kOwn},
        {"required but nothing newer", kOwn, kOwn, false, {}, true, false, {}, "", ""},
        {"older latest",
         "KestrineSetup120400.exe",
         "none",
         false,
         {},
         true,
         false,
         {{"当前已是最新版本！\n", kInfo}},
         "",
         ""},
        {"empty answers name no installer",
         "",
         "\n",
         false,
         {},
         true,
         false,
         {{"当前已是最新版本！\n", kInfo}},
         "",
         ""},
        {"a path for a name",
         "../" + kNewer,
         "none",
         false,
         {},
         true,
         false,
         {{"暂时无法连接服务器检查更新，请稍后再试！\n", kWarn}},
         "",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        testsupport::TempDir dir;
        dir.WriteFile("installer.bin", "installer bytes");
        ASSERT_TRUE(server.Start({"--client-version", c.latest, "--client-min-version", c.oldest,
                                  "--client-file", dir.Sub("installer.bin")},
                                 false))
            << server.Error();
        ScriptedPrompt prompt;
        prompt.answers.assign(c.answers.begin(), c.answers.end());
        prompt.giveFolder = c.giveFolder;
        prompt.folder = dir.Sub("out");
        dir.MakeDirs("out");
        prompt.realDownload = true;

        CUpdateCheck check(server.BaseUrl(), c.silent, &prompt);
        EXPECT_EQ(check.Check(), c.result);
        ASSERT_EQ(prompt.boxes.size(), c.boxes.size());
        for (size_t i = 0; i < c.boxes.size(); ++i) {
            EXPECT_EQ(prompt.boxes[i].text, c.boxes[i].first);
            EXPECT_EQ(prompt.boxes[i].flags, c.boxes[i].second);
            EXPECT_EQ(prompt.boxes[i].caption, "Kestrine更新");
        }
        if (c.browsed.empty()) {
            EXPECT_TRUE(prompt.browseTitles.empty());
        } else {
            ASSERT_EQ(prompt.browseTitles.size(), 1u);
            EXPECT_EQ(prompt.browseTitles[0], "Kestrine新版本为:" + c.browsed + " 请选择存放目录:");
        }
        if (c.downloaded.empty()) {
            EXPECT_TRUE(prompt.downloads.empty());
        } else {
            ASSERT_EQ(prompt.downloads.size(), 1u);
            EXPECT_EQ(prompt.downloads[0].url, server.BaseUrl() + "/mirnportal/downloadClient");
            EXPECT_EQ(prompt.downloads[0].target, dir.Sub("out/" + c.downloaded));
            EXPECT_TRUE(prompt.downloads[0].ok);
            EXPECT_EQ(dir.ReadFile("out/" + c.downloaded), "installer bytes");
        }
    }
}

TEST(UpdateCheck, UnreachableOrFailingServiceIsSilentAtStartUpAndToldOtherwise) {
    TestServer server;
    ASSERT_TRUE(server.Start({"--client-version", "KestrineSetup120402.exe"}, false)) << server.Error();
    // An error status counts as no answer.
    for (bool silent : {true, false}) {
        SCOPED_TRACE(silent);
        ScriptedPrompt prompt;
        ASSERT_TRUE(server.Fault("portal_version", "refuse", 1));
        CUpdateCheck check(server.BaseUrl(), silent, &prompt);
        EXPECT_FALSE(check.Check());
        if (silent) {
            EXPECT_TRUE(prompt.boxes.empty());
        } else {
            ASSERT_EQ(prompt.boxes.size(), 1u);
            EXPECT_EQ(prompt.boxes[0].text, "暂时无法连接服务器检查更新，请稍后再试！\n");
            EXPECT_EQ(prompt.boxes[0].flags, kWarn);
        }
        server.ResetFaults();
    }
    // A service that takes the connection but does not answer holds nobody for long.
    {
        ScriptedPrompt prompt;
        ASSERT_TRUE(server.Fault("portal_version", "stall", 1, -1, 20000));
        CUpdateCheck check(server.BaseUrl(), true, &prompt);
        check.SetAnswerTimeoutMs(300);
        EXPECT_FALSE(check.Check());
        EXPECT_TRUE(prompt.boxes.empty());
        server.ResetFaults();
    }
    // The service is asked directly: a proxy named by the environment (here one that does not
    // exist) is not used.
    {
        testsupport::ScopedEnv env;
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            env.Set(name, "http://127.0.0.1:9");
        env.Unset("no_proxy");
        env.Unset("NO_PROXY");
        ScriptedPrompt prompt;
        CUpdateCheck check(server.BaseUrl(), false, &prompt);
        EXPECT_FALSE(check.Check());  // the newer installer is offered and declined
        ASSERT_EQ(prompt.boxes.size(), 1u);
        EXPECT_EQ(prompt.boxes[0].text, "Kestrine当前有新版本，请问是否更新?\n");
    }
    // A port where nothing listens.
    const std::string base = server.BaseUrl();
    server.Stop();
    ScriptedPrompt prompt;
    EXPECT_FALSE(CUpdateCheck(base, false, &prompt).Check());
    ASSERT_EQ(prompt.boxes.size(), 1u);
    EXPECT_EQ(prompt.boxes[0].text, "暂时无法连接服务器检查更新，请稍后再试！\n");
}
