// The installer download: the progress bookkeeping and its texts, and the dialog against the
// reference service: a download that completes and is run, one cancelled in the middle, one
// whose target exists already, one the service refuses; installers over the size bound (with
// and without an announced length), and the published digest deciding what is offered.
#include "ui/downloaddlg.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <functional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "platform/system.h"
#include "support/cannedhttp.h"
#include "support/tempdir.h"
#include "support/testserver.h"
#include "ui/downloadtask.h"
#include "uitest.h"
#include "util/sha256.h"

namespace {

using testsupport::TempDir;
using testsupport::TestServer;

constexpr int64_t kMiB = 1048576;

using uitest::U;
using uitest::WaitUntil;

// Every update the meter makes, as "what=value" lines.
class RecordingView : public IDownloadView {
  public:
    std::vector<std::string> lines;
    void ShowFileName(const std::string& name) override { lines.push_back("name=" + name); }
    void SetBar(int position) override { lines.push_back("bar=" + std::to_string(position)); }
    void SetTotalText(const std::string& text) override { lines.push_back("total=" + text); }
    void SetProgressText(const std::string& text) override { lines.push_back("progress=" + text); }
    void SetTimeLabel(const std::string& text) override { lines.push_back("label=" + text); }
    void SetTimeText(const std::string& text) override { lines.push_back("time=" + text); }
    void SetCheckText(const std::string& text) override { lines.push_back("check=" + text); }
    void Finished(bool ok, const std::string& message) override {
        lines.push_back(std::string("finished=") + (ok ? "ok" : "fail") + message);
    }
    std::vector<std::string> Take() {
        std::vector<std::string> out;
        out.swap(lines);
        return out;
    }
};

// A service that serves `bytes` as the installer.
class DownloadFixture : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetMainWindow(&front_); }
    void TearDown() override {
        platform::SetMainWindow(nullptr);
        platform::SetOpener(nullptr);
    }
    void Serve(const std::string& bytes, const std::vector<std::string>& extra = {}) {
        dir_.WriteFile("served/KestrineSetup120402.exe", bytes);
        std::vector<std::string> args = {"--client-file", dir_.Sub("served/KestrineSetup120402.exe")};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(server_.Start(args, false)) << server_.Error();
        dir_.MakeDirs("out");
    }
    // Shows `dialog` and waits for the end of its transfer (and its message box, if any).
    void RunToTheEnd(CDownloadDlg& dialog, bool withBox) {
        dialog.show();
        ASSERT_TRUE(WaitUntil([&] { return dialog.IsFinished() && (!withBox || !front_.Boxes().empty()); }));
    }
    // A refused installer: no file, no "运行", the reason in one message box.
    void ExpectRefused(CDownloadDlg& dialog, const char* box) {
        EXPECT_FALSE(dialog.Succeeded());
        EXPECT_FALSE(dialog.Task()->Succeeded());
        EXPECT_FALSE(platform::Exists(Target()));
        EXPECT_FALSE(dialog.RunButton()->isVisible());
        EXPECT_EQ(dialog.ProgressLabel()->text(), U(" 下载失败"));
        EXPECT_FALSE(dialog.CheckLabel()->isVisible());
        ASSERT_EQ(front_.Boxes().size(), 1u);
        EXPECT_EQ(front_.Boxes()[0].text, box);
    }
    std::string Url() const { return server_.BaseUrl() + "/mirnportal/downloadClient"; }
    std::string Target() const { return dir_.Sub("out/KestrineSetup120402.exe"); }

    TempDir dir_;
    TestServer server_;
    platform::RecordingFrontEnd front_;
};

}  // namespace

TEST(DownloadMeter, SizesAndDurationsAsTheDialogShowsThem) {
    EXPECT_EQ(CDownloadMeter::Megabytes(0), 0.0);
    EXPECT_EQ(CDownloadMeter::Megabytes(kMiB - 1), 0.875);  // truncated to eighths
    EXPECT_EQ(CDownloadMeter::Megabytes(kMiB), 1.0);
    EXPECT_EQ(CDownloadMeter::Megabytes(kMiB + kMiB / 8 + 1), 1.125);
    struct Case {
        int64_t seconds;
        const char* text;
    };
    for (const Case& c :
         {Case{0, " 0 秒"}, Case{59, " 59 秒"}, Case{60, "1 分钟 0 秒 "}, Case{61, "1 分钟 1 秒 "},
          Case{3599, "59 分钟 59 秒 "}, Case{3600, "1 小时 0 分钟 "}, Case{7322, "2 小时 2 分钟 "}})
        EXPECT_EQ(CDownloadMeter::FormatDuration(c.seconds), c.text) << c.seconds;
}

TEST(DownloadMeter, BarMovesOnEvenPercentsAndTextsOncePerSecond) {
    const int64_t total = 10 * kMiB;
    CDownloadMeter meter;
    RecordingView view;
    meter.Update(0, 0, 100, &view);  // size not known yet: nothing
    EXPECT_TRUE(view.Take().empty());
    meter.Update(total, 0, 100, &view);
    EXPECT_EQ(view.Take(), (std::vector<std::string>{"total=10.00 M 中的 ", "progress= 0.00 M", "bar=2"}));
    meter.Update(total, kMiB, 100, &view);  // 10%, same second: the bar only
    EXPECT_EQ(view.Take(), (std::vector<std::string>{"bar=10"}));
    meter.Update(total, kMiB + kMiB / 10, 101, &view);  // 11%: odd, and only one second later
    EXPECT_TRUE(view.Take().empty());
    meter.Update(total, 3 * kMiB, 102, &view);  // 3 MiB in 2 s: 1536 KB/s, 7 MiB left: 4.67 s
    EXPECT_EQ(view.Take(),
              (std::vector<std::string>{"bar=30", "progress= 3.00 M,1536.00 KB/s", "time= 4 秒"}));
    meter.Update(total, 3 * kMiB, 105, &view);  // nothing arrived: the remaining time stays
    EXPECT_EQ(view.Take(), (std::vector<std::string>{"progress= 3.00 M,0.00 KB/s"}));
    meter.Update(total, total, 110, &view);
    EXPECT_EQ(view.Take(), (std::vector<std::string>{"bar=100", "progress= 10.00 M,下载完成",
                                                     "label=总共时间:", "time= 10 秒"}));
    meter.Update(total, total, 111, &view);  // libcurl repeats the last report
    EXPECT_TRUE(view.Take().empty());
}

TEST_F(DownloadFixture, CompletedDownloadOffersRunAndOpensTheFile) {
    std::string bytes(3 * kMiB + 12345, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 131 % 251);
    Serve(bytes);
    std::vector<std::string> opened;
    platform::SetOpener([&](const std::string& target) {
        opened.push_back(target);
        return true;
    });

    CDownloadDlg dialog(Url(), "KestrineSetup120402.exe", Target());
    EXPECT_EQ(dialog.windowTitle(), U("下载客户端"));
    EXPECT_FALSE(dialog.RunButton()->isVisible());
    EXPECT_FALSE(dialog.RunButton()->isEnabled());
    EXPECT_EQ(dialog.TimeCaption()->text(), U("剩余时间:"));
    dialog.show();
    ASSERT_TRUE(WaitUntil([&] { return dialog.IsFinished(); }));
    ASSERT_TRUE(dialog.Succeeded());
    std::string got;
    ASSERT_TRUE(platform::ReadFileToString(Target(), &got));
    EXPECT_TRUE(got == bytes);
    EXPECT_EQ(dialog.FileNameLabel()->text(), U("KestrineSetup120402.exe"));
    EXPECT_EQ(dialog.ProgressBar()->value(), 100);
    EXPECT_EQ(dialog.TotalLabel()->text(), U("3.00 M 中的 "));
    EXPECT_EQ(dialog.ProgressLabel()->text(), U(" 3.00 M,下载完成"));
    EXPECT_EQ(dialog.TimeCaption()->text(), U("总共时间:"));
    EXPECT_TRUE(dialog.TimeLabel()->text().endsWith(U("秒")));
    // The service's digest matched.
    const std::string digest = CSha256::HexOf(bytes.data(), bytes.size());
    EXPECT_EQ(dialog.Task()->Verification(), CDownloadTask::Check::Verified);
    EXPECT_EQ(dialog.Task()->Sha256(), digest);
    EXPECT_TRUE(dialog.CheckLabel()->isVisible());
    EXPECT_EQ(dialog.CheckLabel()->text(), U(CDownloadTask::kVerifiedText) + QString::fromStdString(digest));
    EXPECT_TRUE(dialog.RunButton()->isVisible());
    EXPECT_TRUE(dialog.RunButton()->isEnabled());
    EXPECT_EQ(dialog.CancelButton()->text(), U("关闭"));

    dialog.RunButton()->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(opened, std::vector<std::string>{Target()});
    EXPECT_TRUE(front_.Boxes().empty());
}

TEST_F(DownloadFixture, CancelInTheMiddleStopsTheTransferAndDeletesThePartialFile) {
    Serve(std::string(16 * kMiB, 'k'));
    CDownloadDlg dialog(Url(), "KestrineSetup120402.exe", Target());
    dialog.Task()->SetSpeedLimit(kMiB);  // 16 s for the whole file
    dialog.show();
    // Part of the file is on disk, the rest still coming.
    ASSERT_TRUE(WaitUntil([&] {
        platform::FileStat st;
        return platform::Stat(Target(), &st) && st.size > 0 && dialog.ProgressBar()->value() >= 2;
    }));
    EXPECT_FALSE(dialog.IsFinished());
    EXPECT_EQ(dialog.CancelButton()->text(), U("取消"));
    dialog.CancelButton()->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    ASSERT_TRUE(dialog.Task()->WaitDone(10000));
    EXPECT_FALSE(dialog.Task()->Succeeded());
    EXPECT_FALSE(platform::Exists(Target()));
    EXPECT_TRUE(front_.Boxes().empty());
}

TEST_F(DownloadFixture, ExistingTargetIsNeverOverwritten) {
    Serve("new installer");
    dir_.WriteFile("out/KestrineSetup120402.exe", "the user's own file");
    CDownloadDlg dialog(Url(), "KestrineSetup120402.exe", Target());
    dialog.show();
    ASSERT_TRUE(WaitUntil([&] { return dialog.IsFinished() && !front_.Boxes().empty(); }));
    EXPECT_FALSE(dialog.Succeeded());
    EXPECT_EQ(dir_.ReadFile("out/KestrineSetup120402.exe"), "the user's own file");
    ASSERT_EQ(front_.Boxes().size(), 1u);
    EXPECT_EQ(front_.Boxes()[0].text, "目标文件已存在，请手动删除");
    // The dialog stays open with "取消".
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.RunButton()->isVisible());
    EXPECT_EQ(dialog.CancelButton()->text(), U("取消"));
    dialog.CancelButton()->click();
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(DownloadFixture, RefusedOrMissingInstallerLeavesNoFile) {
    Serve("installer");
    struct Case {
        const char* what;
        bool refuse;
        std::string url;
    };
    for (const Case& c : {Case{"503 from the portal", true, Url()},
                          Case{"404 for another path", false, server_.BaseUrl() + "/mirnportal/none"}}) {
        SCOPED_TRACE(c.what);
        if (c.refuse) {
            ASSERT_TRUE(server_.Fault("portal_download", "refuse"));
        }
        CDownloadDlg dialog(c.url, "KestrineSetup120402.exe", Target());
        dialog.show();
        ASSERT_TRUE(WaitUntil([&] { return dialog.IsFinished(); }));
        EXPECT_FALSE(dialog.Succeeded());
        EXPECT_FALSE(platform::Exists(Target()));
        EXPECT_EQ(dialog.ProgressLabel()->text(), U(" 下载失败"));
        EXPECT_FALSE(dialog.RunButton()->isVisible());
        EXPECT_TRUE(dialog.isVisible());
        dialog.CancelButton()->click();
    }
}

// The digest published beside the installer decides: a match is offered as verified; a
// mismatch, a text that is no digest or a digest the service fails to give is refused; none at
// all (404) is offered with its SHA-256 shown and the note that it could not be verified.
TEST(DownloadDigest, PublishedDigestDecidesWhatIsOffered) {
    const std::string bytes = "the installer's bytes\n";
    const std::string digest = CSha256::HexOf(bytes.data(), bytes.size());
    std::string upper = digest;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string other = CSha256::HexOf("x", 1);
    struct Case {
        const char* what;
        const char* digestFile;  // "<installer>.sha256" content; nullptr: computed by the service
        std::string content;
        std::vector<std::string> args;
        const char* fault;  // armed for portal_digest
        CDownloadTask::Check check;
        const char* box;  // nullptr: accepted
    };
    const Case cases[] = {
        {"operator's sha256sum line, upper case",
         "x",
         upper + "  KestrineSetup120402.exe\n",
         {},
         nullptr,
         CDownloadTask::Check::Verified,
         nullptr},
        {"digest of another file",
         "x",
         other + "  KestrineSetup120402.exe\n",
         {},
         nullptr,
         CDownloadTask::Check::None,
         CDownloadTask::kDigestMismatch},
        {"malformed digest",
         "x",
         digest.substr(0, 40) + "\n",
         {},
         nullptr,
         CDownloadTask::Check::None,
         CDownloadTask::kDigestMismatch},
        {"empty digest file",
         "x",
         "",
         {},
         nullptr,
         CDownloadTask::Check::None,
         CDownloadTask::kDigestMismatch},
        {"an error page instead of the digest",
         nullptr,
         "",
         {},
         "refuse",
         CDownloadTask::Check::None,
         CDownloadTask::kDigestUnavailable},
        {"no digest published",
         nullptr,
         "",
         {"--no-client-sha256"},
         nullptr,
         CDownloadTask::Check::Unverified,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::RecordingFrontEnd front;
        platform::SetMainWindow(&front);
        TempDir dir;
        dir.WriteFile("served/KestrineSetup120402.exe", bytes);
        if (c.digestFile)
            dir.WriteFile("served/KestrineSetup120402.exe.sha256", c.content);
        TestServer server;
        std::vector<std::string> args = {"--client-file", dir.Sub("served/KestrineSetup120402.exe")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_TRUE(server.Start(args, false)) << server.Error();
        if (c.fault) {
            ASSERT_TRUE(server.Fault("portal_digest", c.fault));
        }
        dir.MakeDirs("out");
        const std::string target = dir.Sub("out/KestrineSetup120402.exe");

        CDownloadDlg dialog(server.BaseUrl() + "/mirnportal/downloadClient", "KestrineSetup120402.exe",
                            target);
        dialog.show();
        ASSERT_TRUE(WaitUntil([&] { return dialog.IsFinished() && (!c.box || !front.Boxes().empty()); }));
        EXPECT_EQ(dialog.Task()->Verification(), c.check);
        if (c.box) {
            EXPECT_FALSE(dialog.Succeeded());
            EXPECT_FALSE(platform::Exists(target));
            EXPECT_FALSE(dialog.RunButton()->isVisible());
            EXPECT_FALSE(dialog.CheckLabel()->isVisible());
            ASSERT_EQ(front.Boxes().size(), 1u);
            EXPECT_EQ(front.Boxes()[0].text, c.box);
        } else {
            EXPECT_TRUE(dialog.Succeeded());
            EXPECT_EQ(dir.ReadFile("out/KestrineSetup120402.exe"), bytes);
            EXPECT_TRUE(dialog.RunButton()->isVisible());
            const char* text = c.check == CDownloadTask::Check::Verified ? CDownloadTask::kVerifiedText
                                                                         : CDownloadTask::kUnverifiedText;
            EXPECT_EQ(dialog.CheckLabel()->text(), U(text) + QString::fromStdString(digest));
            EXPECT_TRUE(dialog.CheckLabel()->isVisible());
            EXPECT_TRUE(front.Boxes().empty());
        }
        dialog.CancelButton()->click();
        platform::SetMainWindow(nullptr);
    }
}

// The bound holds whether the service announces the length (refused before the first byte) or
// not (stopped once the bytes pass it); a file of exactly the bound's size is still accepted.
TEST_F(DownloadFixture, InstallerOverTheBoundIsStoppedAndDeleted) {
    Serve(std::string(2 * kMiB, 'i'));
    for (int64_t bound : {2 * kMiB - 1, 2 * kMiB}) {
        SCOPED_TRACE(bound);
        front_.Clear();
        CDownloadDlg dialog(Url(), "KestrineSetup120402.exe", Target());
        dialog.Task()->SetMaxBytes(bound);
        const bool fits = bound == 2 * kMiB;
        RunToTheEnd(dialog, !fits);
        if (fits) {
            EXPECT_TRUE(dialog.Succeeded());
            EXPECT_TRUE(dialog.RunButton()->isVisible());
            ASSERT_TRUE(platform::RemoveFile(Target()));
        } else {
            ExpectRefused(dialog, CDownloadTask::kTooLarge);
        }
        dialog.CancelButton()->click();
    }

    // No Content-Length: the body runs to the connection's end.
    testsupport::CannedHttpServer canned;
    ASSERT_TRUE(canned.Start());
    for (bool over : {true, false}) {
        SCOPED_TRACE(over ? "unannounced, over the bound" : "unannounced, within the bound");
        front_.Clear();
        canned.Push(testsupport::CannedHttpServer::Response(404, "text/plain", "no digest\n"));
        testsupport::CannedHttpServer::Reply body;
        body.bytes =
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n" +
            std::string(3 * kMiB, 'u');
        body.close = true;
        canned.Push(body);
        CDownloadDlg dialog(canned.Url("/KestrineSetup120402.exe"), "KestrineSetup120402.exe", Target());
        dialog.Task()->SetMaxBytes(over ? kMiB : 4 * kMiB);
        RunToTheEnd(dialog, over);
        if (over) {
            ExpectRefused(dialog, CDownloadTask::kTooLarge);
        } else {
            EXPECT_TRUE(dialog.Succeeded());
            EXPECT_EQ(dialog.Task()->Verification(), CDownloadTask::Check::Unverified);
            ASSERT_TRUE(platform::RemoveFile(Target()));
        }
        dialog.CancelButton()->click();
    }
    const auto requests = canned.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].RequestLine(), "GET /KestrineSetup120402.exe.sha256 HTTP/1.1");
    EXPECT_EQ(requests[1].RequestLine(), "GET /KestrineSetup120402.exe HTTP/1.1");
}
