// The options: the proxy page's loading, enabling, type changes, validation and apply; the
// notifications switch; moving the data folder (refusals, the sign-out and stop of the worker
// before anything moves, the copy that must be complete before the old root goes, the restart
// on the new root).
#include "ui/option.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/locations.h"
#include "fakeowner.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "platform/registry.h"
#include "support/env.h"
#include "support/tempdir.h"
#include "sync/work.h"
#include "ui/optionmove.h"
#include "ui/optionother.h"
#include "ui/optionproxy.h"
#include "uitest.h"

namespace {

using testsupport::FakeOwner;
using testsupport::TempDir;

using uitest::U;

class OptionFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetMainWindow(&front_);
        platform::SeedRegistryDefaults();
        owner_.work = owner_.makeWorker();
        ASSERT_NE(owner_.work, nullptr);
    }
    void TearDown() override {
        owner_.work.reset();
        platform::SetMainWindow(nullptr);
    }
    CConfig* Config() { return owner_.work->GetConfig(); }
    std::string Root() const { return home_.Home() + "/Kestrine"; }
    std::string Stored(const std::string& key) {
        std::string v = "<none>";
        Config()->ReadStoredValue(key, &v);
        return v;
    }
    std::vector<std::string> BoxTexts() {
        std::vector<std::string> out;
        for (const auto& b : front_.Boxes())
            out.push_back(b.text);
        return out;
    }

    testsupport::FakeHome home_;
    platform::RecordingFrontEnd front_;
    FakeOwner owner_;
};

}  // namespace

// ---- The proxy page

TEST_F(OptionFixture, ProxyPageLoadsTheConfigurationAndEnablesByFlagAndType) {
    struct Case {
        const char* flag;
        const char* type;
        const char* addr;
        bool listOn, editsOn;
        const char* address;
        const char* port;
    };
    const Case cases[] = {
        {"1", "HTTP", "proxy.lan:3128", true, true, "proxy.lan", "3128"},
        {"1", "SOCKS5", "10.0.0.1", true, true, "10.0.0.1", ""},  // no ":": all address
        {"1", "浏览器设置", "", true, false, "", ""},
        {"0", "SOCKS4", "h:1:1080", false, false, "h:1", "1080"},  // split at the last ":"
        {"true", "HTTP", "a:80", false, false, "a", "80"},         // only exactly "1" is on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.flag) + " " + c.type);
        Config()->SetProxyFlag(c.flag);
        Config()->Set(CConfig::kProxyType, c.type);
        Config()->Set(CConfig::kProxyAddr, c.addr);
        Config()->Set(CConfig::kProxyUser, "u");
        Config()->Set(CConfig::kProxyPasswd, "p");
        COptionProxy page(&owner_);
        EXPECT_EQ(page.UseProxyBox()->isChecked(), std::string(c.flag) == "1");
        EXPECT_EQ(page.TypeList()->currentText(), U(c.type));
        EXPECT_EQ(page.AddressEdit()->text(), U(c.address));
        EXPECT_EQ(page.PortEdit()->text(), U(c.port));
        EXPECT_EQ(page.UserEdit()->text(), U("u"));
        EXPECT_EQ(page.PasswordEdit()->text(), U("p"));
        EXPECT_EQ(page.TypeList()->isEnabled(), c.listOn);
        for (QLineEdit* e : {page.AddressEdit(), page.PortEdit(), page.UserEdit(), page.PasswordEdit()})
            EXPECT_EQ(e->isEnabled(), c.editsOn);
    }
    EXPECT_EQ(COptionProxy(&owner_).TypeList()->count(), 4);
}

TEST_F(OptionFixture, ProxyCheckBoxAndTypeChangesSetEnablingAndPorts) {
    Config()->SetProxyFlag("0");
    Config()->Set(CConfig::kProxyType, "HTTP");
    COptionProxy page(&owner_);
    page.UseProxyBox()->click();
    EXPECT_TRUE(page.TypeList()->isEnabled());
    EXPECT_TRUE(page.AddressEdit()->isEnabled());

    struct Step {
        const char* type;
        bool editsOn;
        const char* port;
    };
    page.AddressEdit()->setText("proxy");
    page.UserEdit()->setText("someone");
    for (const Step& s :
         {Step{"HTTP", true, "80"}, Step{"SOCKS5", true, "1080"}, Step{"SOCKS4", true, "1080"},
          Step{"浏览器设置", false, ""}, Step{"HTTP", true, "80"}}) {
        SCOPED_TRACE(s.type);
        page.TypeList()->setCurrentText(U(s.type));
        page.OnTypeChange();
        EXPECT_EQ(page.PortEdit()->text(), U(s.port));
        for (QLineEdit* e : {page.AddressEdit(), page.PortEdit(), page.UserEdit(), page.PasswordEdit()})
            EXPECT_EQ(e->isEnabled(), s.editsOn);
    }
    // The browser's setting emptied what was typed.
    EXPECT_TRUE(page.AddressEdit()->text().isEmpty());
    EXPECT_TRUE(page.UserEdit()->text().isEmpty());

    page.UseProxyBox()->click();  // off again: everything disabled
    EXPECT_FALSE(page.TypeList()->isEnabled());
    EXPECT_FALSE(page.AddressEdit()->isEnabled());
}

TEST_F(OptionFixture, OkRefusesAMissingAddressOrPortAndKeepsTheSheetOpen) {
    struct Case {
        const char* address;
        const char* port;
        const char* message;
    };
    for (const Case& c : {Case{"", "8080", "未设置代理服务器地址"}, Case{"proxy", "", "未代理服务器端口"}}) {
        SCOPED_TRACE(c.message);
        front_.Clear();
        Config()->SetProxyFlag("0");
        Config()->StoreProxy();
        COption options(&owner_);
        options.show();
        COptionProxy* page = options.ProxyPage();
        page->UseProxyBox()->click();
        page->TypeList()->setCurrentText("HTTP");
        page->AddressEdit()->setText(U(c.address));
        page->PortEdit()->setText(U(c.port));
        options.OnOK();
        ASSERT_EQ(front_.Boxes().size(), 1u);
        EXPECT_EQ(front_.Boxes()[0].text, c.message);
        EXPECT_EQ(front_.Boxes()[0].caption, "Kestrine");
        EXPECT_EQ(front_.Boxes()[0].flags, platform::MB_OK | platform::MB_ICONERROR);
        EXPECT_TRUE(options.isVisible());
        EXPECT_EQ(options.result(), 0);
        QLineEdit* missing = *c.address ? page->PortEdit() : page->AddressEdit();
        EXPECT_EQ(options.focusWidget(), missing);
        EXPECT_EQ(Config()->GetProxyFlag(), 0);  // nothing applied
        EXPECT_EQ(Stored("proxy_flag"), "0");
    }
}

TEST_F(OptionFixture, ApplyStoresTheProxyAndCancelDoesNot) {
    struct Case {
        const char* type;
        const char* address;
        const char* port;
        const char* storedAddr;
    };
    for (const Case& c :
         {Case{"SOCKS5", "10.1.2.3", "1080", "10.1.2.3:1080"}, Case{"浏览器设置", "", "", ""}}) {
        SCOPED_TRACE(c.type);
        Config()->SetProxyFlag("0");
        Config()->Set(CConfig::kProxyAddr, "old:1");
        Config()->StoreProxy();
        for (bool ok : {false, true}) {
            COption options(&owner_);
            options.show();
            COptionProxy* page = options.ProxyPage();
            page->UseProxyBox()->click();
            page->TypeList()->setCurrentText(U(c.type));
            page->OnTypeChange();
            page->AddressEdit()->setText(c.address);
            page->PortEdit()->setText(c.port);
            page->UserEdit()->setText(*c.address ? "bob" : "");
            if (ok)
                options.OnOK();
            else
                options.reject();
            EXPECT_FALSE(options.isVisible());
            EXPECT_EQ(Stored("proxy_flag"), ok ? "1" : "0");
            EXPECT_EQ(Stored("proxy_addr"), ok ? c.storedAddr : "old:1");
        }
        EXPECT_EQ(Stored("proxy_type"), c.type);
        EXPECT_EQ(Config()->GetProxyFlag(), 1);
        EXPECT_EQ(Config()->GetProxy().addr, c.storedAddr);
    }
}

// ---- The other page

TEST_F(OptionFixture, NotificationsSwitchAppliesAtOnceAndTheRootIsShown) {
    COption options(&owner_);
    COtherOptions* page = options.OtherPage();
    EXPECT_EQ(options.Sheet()->tabText(0), U("代理设置"));
    EXPECT_EQ(options.Sheet()->tabText(1), U("其他选项"));
    EXPECT_TRUE(page->NotifyBox()->isChecked());  // balloons start on
    EXPECT_EQ(page->RootEdit()->text(), QString::fromStdString(Root()));
    EXPECT_TRUE(page->RootEdit()->isReadOnly());
    page->NotifyBox()->click();
    EXPECT_EQ(Config()->GetNotify(), 0);
    options.reject();  // Cancel does not undo it
    EXPECT_EQ(Config()->GetNotify(), 0);
}

// ---- Moving the data folder

class MoveFixture : public OptionFixture {
  protected:
    void SetUp() override {
        OptionFixture::SetUp();
        ASSERT_EQ(owner_.work->GetRootPath(), Root());
        data_.WriteFile("picked/.keep", "");
        ASSERT_TRUE(platform::MakeDir(Root() + "/home") || platform::IsDirectory(Root() + "/home"));
        ASSERT_TRUE(platform::WriteFileAtomic(Root() + "/home/notes.txt", "my notes"));
        ASSERT_TRUE(platform::MakeDir(Root() + "/home/deep"));
        ASSERT_TRUE(platform::WriteFileAtomic(Root() + "/home/deep/big.bin", std::string(300000, 'b')));
        owner_.work->SetReady(1);  // signed in, between passes
        owner_.browser.give = true;
        owner_.browser.folder = data_.Sub("picked");
        page_ = std::make_unique<COtherOptions>(&owner_);
        page_->SetWaits(10000, 10000);
    }
    void TearDown() override {
        page_.reset();
        OptionFixture::TearDown();
    }
    std::string NewRoot() const { return data_.Sub("picked/KestrineData"); }
    std::string RegistryRoot() {
        std::string v;
        platform::RegistryGetString(platform::kClientKey, "root_path", &v, 160);
        return v;
    }

    TempDir data_;
    std::unique_ptr<COtherOptions> page_;
};

TEST_F(MoveFixture, RefusedWhilePassRunsOrSignedOutOrIntoItself) {
    struct Case {
        const char* what;
        bool ready;
        std::string picked;
        const char* message;
        int browses;
    };
    const Case cases[] = {
        {"a pass runs", false, "", "请在同步完成后移动数据 ", 0},
        {"into the root itself", true, Root(), "新目录不能是当前数据目录，也不能在其中或包含它", 1},
        {"into a folder of the root", true, Root() + "/home",
         "新目录不能是当前数据目录，也不能在其中或包含它", 1},
        {"cancelled browser", true, "", nullptr, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        front_.Clear();
        owner_.browser.titles.clear();
        owner_.work->SetReady(c.ready ? 1 : 0);
        owner_.browser.give = !c.picked.empty();
        owner_.browser.folder = c.picked;
        page_->MoveButton()->click();
        if (c.message) {
            ASSERT_EQ(front_.Boxes().size(), 1u);
            EXPECT_EQ(front_.Boxes()[0].text, c.message);
            EXPECT_EQ(front_.Boxes()[0].caption, "提示");
        } else {
            EXPECT_TRUE(front_.Boxes().empty());
        }
        EXPECT_EQ(static_cast<int>(owner_.browser.titles.size()), c.browses);
        EXPECT_EQ(owner_.restarts, 0);
        EXPECT_TRUE(platform::Exists(Root() + "/home/notes.txt"));
    }
    EXPECT_TRUE(CDataFolderMove::Overlaps("/a/KestrineData", "/a/KestrineData/"));
    EXPECT_TRUE(CDataFolderMove::Overlaps("/a/b/KestrineData", "/a/b"));
    EXPECT_FALSE(CDataFolderMove::Overlaps("/a/Kestrine", "/a/KestrineData"));
}

TEST_F(MoveFixture, DeclinedConfirmationLeavesEverything) {
    front_.ScriptAnswers({platform::IDCANCEL});
    page_->MoveButton()->click();
    ASSERT_EQ(front_.Boxes().size(), 1u);
    EXPECT_EQ(front_.Boxes()[0].text, "是否把Kestrine数据从" + Root() + "移动到" + NewRoot());
    EXPECT_EQ(front_.Boxes()[0].flags, platform::MB_OKCANCEL | platform::MB_ICONQUESTION);
    EXPECT_EQ(owner_.restarts, 0);
    EXPECT_EQ(owner_.work->IsReady(), 1);  // still signed in, never asked to sign out
    EXPECT_FALSE(platform::Exists(NewRoot()));
}

TEST_F(MoveFixture, MoveSignsOutStopsTheWorkerReplacesAnOldCopyAndRestartsThere) {
    // A "KestrineData" already in the picked folder is replaced.
    data_.WriteFile("picked/KestrineData/stale.txt", "old copy");
    Config()->SetNotify(0);
    front_.ScriptAnswers({platform::IDOK, platform::IDOK});
    page_->MoveButton()->click();

    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"是否把Kestrine数据从" + Root() + "移动到" + NewRoot(),
                                                    "移动数据成功！"}));
    // The old worker signed out and its thread had ended before it was deleted.
    EXPECT_TRUE(owner_.threadEndedAtDelete);
    bool signedOut = false;
    for (const auto& m : front_.MessagesWithCode(platform::WM_TRAY_ICON))
        signedOut = signedOut || m.wParam == 0;
    EXPECT_TRUE(signedOut);
    EXPECT_EQ(owner_.logsClosed, 1);
    EXPECT_EQ(owner_.restarts, 1);

    // The data moved whole; the stale copy is gone; the registry and the new worker name the new root.
    EXPECT_FALSE(platform::Exists(Root()));
    std::string text;
    ASSERT_TRUE(platform::ReadFileToString(NewRoot() + "/home/notes.txt", &text));
    EXPECT_EQ(text, "my notes");
    EXPECT_TRUE(platform::Exists(NewRoot() + "/home/deep/big.bin"));
    EXPECT_TRUE(platform::Exists(NewRoot() + "/.db/client.db"));
    EXPECT_FALSE(platform::Exists(NewRoot() + "/stale.txt"));
    EXPECT_EQ(RegistryRoot(), NewRoot());
    EXPECT_EQ(page_->RootEdit()->text(), QString::fromStdString(NewRoot()));
    ASSERT_NE(owner_.work, nullptr);
    EXPECT_EQ(owner_.work->GetRootPath(), NewRoot());
    EXPECT_EQ(owner_.work->GetConfig()->Get(CConfig::kRootPath), NewRoot());
    EXPECT_EQ(owner_.work->GetConfig()->GetNotify(), 0);  // the user's switch survives the restart
}

TEST_F(MoveFixture, FailedCopyKeepsTheDataAndRestartsOnTheOldRoot) {
    platform::FaultScope faults;
    // Neither move works, and the copy fails part-way.
    platform::FailCall(platform::Op::Rename, 2, 18 /* EXDEV-like */, NewRoot());
    platform::FailCall(platform::Op::Copy, 1, 28 /* ENOSPC */, "notes.txt");
    front_.ScriptAnswers({platform::IDOK});
    page_->MoveButton()->click();

    ASSERT_EQ(front_.Boxes().size(), 2u);
    EXPECT_EQ(front_.Boxes()[1].text, "移动数据失败！数据仍在" + Root());
    EXPECT_TRUE(platform::Exists(Root() + "/home/notes.txt"));
    EXPECT_TRUE(platform::Exists(Root() + "/home/deep/big.bin"));
    EXPECT_FALSE(platform::Exists(NewRoot()));  // no half copy left behind
    EXPECT_EQ(RegistryRoot(), Root());
    ASSERT_NE(owner_.work, nullptr);  // running again where the data is
    EXPECT_EQ(owner_.work->GetRootPath(), Root());
    EXPECT_EQ(page_->RootEdit()->text(), QString::fromStdString(Root()));
}

namespace {

// A worker whose pass does not end until released, so the sign-out cannot be answered.
class StuckWork : public CWork {
  public:
    ~StuckWork() override {
        Release();
        Stop(-1);
    }
    std::atomic<bool> inPass{false};
    void Release() { release_.store(true); }

  protected:
    int RunPass() override {
        inPass.store(true);
        while (!release_.load())
            platform::SleepMs(5);
        return 1;
    }

  private:
    std::atomic<bool> release_{false};
};

}  // namespace

TEST_F(MoveFixture, WorkerThatDoesNotStopIsNeitherDeletedNorMovedUnder) {
    auto stuck = std::make_unique<StuckWork>();
    ASSERT_EQ(stuck->Init(), 1);
    StuckWork* w = stuck.get();
    owner_.work = std::move(stuck);
    w->SetSignedIn(1);
    w->Request(platform::WM_WORK_SYNC);
    for (int i = 0; i < 2000 && !w->inPass.load(); ++i)
        platform::SleepMs(5);
    ASSERT_TRUE(w->inPass.load());
    w->SetReady(1);
    page_->SetWaits(200, 200);
    front_.ScriptAnswers({platform::IDOK});
    page_->MoveButton()->click();

    ASSERT_EQ(front_.Boxes().size(), 2u);
    EXPECT_EQ(front_.Boxes()[1].text, "同步没有停止，数据未移动，请重新启动Kestrine后再试");
    EXPECT_EQ(owner_.work.get(), w);  // not deleted
    EXPECT_EQ(owner_.logsClosed, 0);
    EXPECT_EQ(owner_.restarts, 0);
    EXPECT_TRUE(platform::Exists(Root() + "/home/notes.txt"));
    EXPECT_FALSE(platform::Exists(NewRoot()));
    w->Release();
}

// ---- The file work of the move

TEST(DataFolderMove, CopyFallbackDeletesTheOldRootOnlyAfterAVerifiedCopy) {
    struct Case {
        const char* what;
        int renameFaults;  // MoveFile, then the shell move
        bool copyFault;    // one file fails to copy
        bool deleteFault;  // the old root's files cannot be deleted
        CDataFolderMove::Result result;
        bool link = false;      // the old root holds a link
        int readLinkFault = 0;  // errno of a fault reading where the old root's link points
    };
    const Case cases[] = {
        {"rename", 0, false, false, CDataFolderMove::Result::Moved, true},
        {"shell move after a failed move", 1, false, false, CDataFolderMove::Result::Moved, true},
        {"copy and delete", 2, false, false, CDataFolderMove::Result::Moved},
        {"copy, old root in use", 2, false, true, CDataFolderMove::Result::OldLeft},
        {"copy fails", 2, true, false, CDataFolderMove::Result::Failed},
        // The copy does not carry links: the old root, link and all, stays.
        {"copy without the link", 2, false, false, CDataFolderMove::Result::Failed, true},
        // The check of the copy cannot read the link: the move fails with that error.
        {"the link cannot be read", 2, false, false, CDataFolderMove::Result::Failed, true, EACCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        dir.WriteFile("old/home/a.txt", "alpha");
        dir.WriteFile("old/home/sub/b.bin", std::string(70000, 'x'));
        dir.WriteFile("old/.db/client.db", "db");
        if (c.link) {
            ASSERT_EQ(symlink("a.txt", dir.Sub("old/home/link").c_str()), 0);
        }
        const std::string from = dir.Sub("old"), to = dir.Sub("new");
        platform::FaultScope faults;
        if (c.renameFaults)
            platform::FailCall(platform::Op::Rename, c.renameFaults, 5, to);
        if (c.copyFault)
            platform::FailCall(platform::Op::Copy, 1, 28, "b.bin");
        if (c.deleteFault)
            platform::FailCall(platform::Op::Remove, 1000, 16, from + "/home/");
        if (c.readLinkFault)
            platform::FailCall(platform::Op::ReadLink, 1, c.readLinkFault, from + "/home/link");
        int error = 0;
        EXPECT_EQ(CDataFolderMove::Move(from, to, &error), c.result);
        platform::ClearFaults();
        if (c.result == CDataFolderMove::Result::Failed) {
            EXPECT_NE(error, 0);
            if (c.readLinkFault) {
                EXPECT_EQ(error, c.readLinkFault);
            }
            EXPECT_EQ(dir.ReadFile("old/home/sub/b.bin").size(), 70000u);
            EXPECT_EQ(dir.ReadFile("old/home/link"), c.link ? "alpha" : "");
            EXPECT_FALSE(dir.Exists("new"));
            continue;
        }
        if (c.link) {
            EXPECT_EQ(dir.ReadFile("new/home/link"), "alpha");
        }
        EXPECT_EQ(dir.ReadFile("new/home/a.txt"), "alpha");
        EXPECT_EQ(dir.ReadFile("new/home/sub/b.bin"), std::string(70000, 'x'));
        EXPECT_EQ(dir.ReadFile("new/.db/client.db"), "db");
        EXPECT_EQ(dir.Exists("old"), c.result == CDataFolderMove::Result::OldLeft);
    }
}

TEST(DataFolderMove, CompleteCopyComparesEveryFileByteForByte) {
    TempDir dir;
    dir.WriteFile("a/x/f.txt", "same bytes");
    dir.WriteFile("a/g.bin", std::string(5000, 'g'));
    ASSERT_EQ(symlink("f.txt", dir.Sub("a/x/link").c_str()), 0);
    struct Case {
        const char* what;
        std::function<void()> damage;
        bool complete;
    };
    const Case cases[] = {
        {"identical, with an extra file", [&] { dir.WriteFile("b/extra", "e"); }, true},
        {"the link missing", [&] { platform::RemoveFile(dir.Sub("b/x/link")); }, false},
        {"the link pointing elsewhere",
         [&] {
             platform::RemoveFile(dir.Sub("b/x/link"));
             ASSERT_EQ(symlink("g.bin", dir.Sub("b/x/link").c_str()), 0);
         },
         false},
        {"a file where the link was",
         [&] {
             platform::RemoveFile(dir.Sub("b/x/link"));
             dir.WriteFile("b/x/link", "same bytes");
         },
         false},
        {"one byte differs", [&] { dir.WriteFile("b/x/f.txt", "same bytez"); }, false},
        {"truncated", [&] { dir.WriteFile("b/g.bin", std::string(4999, 'g')); }, false},
        {"missing folder", [&] { testsupport::RemoveTree(dir.Sub("b/x")); }, false},
        {"the copy's link cannot be read",
         [&] { platform::FailCall(platform::Op::ReadLink, 1, EIO, dir.Sub("b/x/link")); }, false},
        {"a folder where a file was",
         [&] {
             testsupport::RemoveTree(dir.Sub("b/g.bin"));
             dir.MakeDirs("b/g.bin");
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::FaultScope faults;
        testsupport::RemoveTree(dir.Sub("b"));
        dir.WriteFile("b/x/f.txt", "same bytes");
        dir.WriteFile("b/g.bin", std::string(5000, 'g'));
        ASSERT_EQ(symlink("f.txt", dir.Sub("b/x/link").c_str()), 0);
        c.damage();
        EXPECT_EQ(CDataFolderMove::IsCompleteCopy(dir.Sub("a"), dir.Sub("b")), c.complete);
    }
}
