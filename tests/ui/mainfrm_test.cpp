// CMainFrame under the offscreen platform: the tray menu's items, enabling in each worker state
// and the recent-entries submenu; tooltips, balloons and icon states from the worker's
// messages; the window's close box, the tray double-click and the desktop without a tray.
#include "ui/mainfrm.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/config.h"
#include "platform/file.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "support/env.h"
#include "sync/work.h"
#include "ui/commands.h"
#include "ui/notsyncedwindow.h"
#include "uitest.h"

namespace {

using uitest::U;

platform::WindowMessage Msg(uint32_t code, int64_t wParam = 0, const std::string& text = "",
                            const std::string& text2 = "") {
    platform::WindowMessage m;
    m.code = code;
    m.wParam = wParam;
    m.text = text;
    m.text2 = text2;
    return m;
}

// The application object as the frame sees it: the worker and the enabling rules.
class FakeOwner : public IFrameOwner {
  public:
    CWork* work = nullptr;
    bool initComplete = true;
    std::vector<int> commands;

    CWork* GetWorker() const override { return work; }
    bool IsCommandEnabled(int id) override {
        ui::CommandState s;
        s.hasWorker = work != nullptr;
        s.initComplete = initComplete;
        s.signedIn = work && work->IsSignedIn();
        s.ready = work && work->IsReady();
        return ui::IsCommandEnabled(id, s);
    }
    void OnCommand(int id) override { commands.push_back(id); }
};

class MainFrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SeedRegistryDefaults();
        platform::SetOpener([this](const std::string& target) {
            opened_.push_back(target);
            return true;
        });
    }
    void TearDown() override { platform::SetOpener(nullptr); }

    // A worker with its configuration (database under the fake home).
    CWork* StartWorker() {
        work_ = std::make_unique<CWork>();
        EXPECT_EQ(work_->Init(), 1);
        owner_.work = work_.get();
        return work_.get();
    }
    std::unique_ptr<CMainFrame> MakeFrame(bool tray = true) {
        return std::make_unique<CMainFrame>(&owner_, QString(KESTRINE_SOURCE_DIR "/res"),
                                            [tray] { return tray; });
    }
    std::string Root() const { return work_->GetConfig()->Get(CConfig::kRootPath); }

    testsupport::FakeHome home_;
    FakeOwner owner_;
    std::unique_ptr<CWork> work_;
    std::vector<std::string> opened_;
};

struct Item {
    QString text;
    int id;  // -1: separator or submenu
};

std::vector<Item> Items(QMenu* menu) {
    std::vector<Item> out;
    for (QAction* a : menu->actions())
        out.push_back(
            {a->isSeparator() ? QString("-") : a->text(), a->data().isValid() ? a->data().toInt() : -1});
    return out;
}

}  // namespace

TEST_F(MainFrameTest, TrayMenuHasItsItemsInOrderWithTheLocalFolderAsDefault) {
    auto frame = MakeFrame();
    const std::vector<std::pair<QString, int>> expected = {
        {U("文件更新(&U)"), -1},
        {"0 items not synced", -1},  // hidden while every item is synced
        {U("主窗口(&M)"), 32840},
        {U("Web文件夹(&W)"), 32813},
        {U("本地文件夹(&E)"), 32804},
        {U("回收站(&T)"), 32830},
        {"-", -1},
        {U("同步(&S)"), 32798},
        {U("登录(&L)"), 32800},
        {U("注销(&N)"), 32799},
        {"-", -1},
        {U("选项(&O)"), 32805},
        {U("关于(&A)"), 32811},
        {U("帮助"), 32818},
        {U("退出(&X)"), 32801},
    };
    std::vector<Item> items = Items(frame->TrayMenu());
    ASSERT_EQ(items.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(items[i].text, expected[i].first) << i;
        EXPECT_EQ(items[i].id, expected[i].second) << i;
    }
    EXPECT_EQ(frame->TrayMenu()->actions()[0]->menu(), frame->RecentMenu());
    EXPECT_EQ(frame->TrayMenu()->defaultAction(), frame->TrayAction(ui::ID_LOCAL_FOLDER));

    // The window's own menu: sign-in, sign-out and sync with their shortcuts.
    const std::vector<std::pair<int, QString>> main = {
        {ui::ID_MAIN_LOGIN, "Ctrl+L"}, {ui::ID_MAIN_LOGOUT, "Ctrl+N"}, {ui::ID_MAIN_SYNC, "Ctrl+S"}};
    for (const auto& [id, keys] : main) {
        ASSERT_NE(frame->MainAction(id), nullptr) << id;
        EXPECT_EQ(frame->MainAction(id)->shortcut(), QKeySequence(keys)) << id;
    }
}

TEST_F(MainFrameTest, MenuEnablingFollowsTheWorkerState) {
    StartWorker();
    struct Case {
        const char* name;
        bool worker, initComplete, signedIn, ready;
        std::set<int> enabled;  // of the tray commands; the rest are disabled
    };
    const std::set<int> always = {ui::ID_ABOUT, ui::ID_HELP, ui::ID_EXIT};
    auto with = [&](std::set<int> extra) {
        extra.insert(always.begin(), always.end());
        return extra;
    };
    const Case cases[] = {
        {"no worker", false, false, false, false, with({ui::ID_LOGIN})},
        {"signed out", true, true, false, false, with({ui::ID_LOGIN})},
        // Ready without sign-in cannot happen for long, but sync follows the ready flag alone.
        {"signed out, ready", true, true, false, true, with({ui::ID_LOGIN, ui::ID_SYNC})},
        {"signed in, idle", true, true, true, true,
         with({ui::ID_WEB_FOLDER, ui::ID_LOCAL_FOLDER, ui::ID_TRASH, ui::ID_SYNC, ui::ID_LOGOUT,
               ui::ID_OPTIONS})},
        {"signed in, pass running", true, true, true, false,
         with({ui::ID_WEB_FOLDER, ui::ID_LOCAL_FOLDER, ui::ID_TRASH, ui::ID_LOGOUT, ui::ID_OPTIONS})},
        {"signed in, start-up not complete", true, false, true, true,
         with({ui::ID_WEB_FOLDER, ui::ID_LOCAL_FOLDER, ui::ID_TRASH, ui::ID_LOGOUT, ui::ID_OPTIONS})},
    };
    const int commands[] = {ui::ID_WEB_FOLDER, ui::ID_LOCAL_FOLDER, ui::ID_TRASH, ui::ID_SYNC, ui::ID_LOGIN,
                            ui::ID_LOGOUT,     ui::ID_OPTIONS,      ui::ID_ABOUT, ui::ID_HELP, ui::ID_EXIT};
    auto frame = MakeFrame();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        owner_.work = c.worker ? work_.get() : nullptr;
        owner_.initComplete = c.initComplete;
        work_->SetSignedIn(c.signedIn);
        work_->SetReady(c.ready);
        emit frame->TrayMenu()->aboutToShow();
        emit frame->MainMenu()->aboutToShow();
        for (int id : commands)
            EXPECT_EQ(frame->TrayAction(id)->isEnabled(), c.enabled.count(id) == 1) << id;
        EXPECT_TRUE(frame->RecentMenu()->menuAction()->isEnabled());
        // The window's menu follows the same rules.
        EXPECT_EQ(frame->MainAction(ui::ID_MAIN_LOGIN)->isEnabled(), c.enabled.count(ui::ID_LOGIN) == 1);
        EXPECT_EQ(frame->MainAction(ui::ID_MAIN_LOGOUT)->isEnabled(), c.enabled.count(ui::ID_LOGOUT) == 1);
        EXPECT_EQ(frame->MainAction(ui::ID_MAIN_SYNC)->isEnabled(), c.enabled.count(ui::ID_SYNC) == 1);
    }
}

TEST_F(MainFrameTest, CommandsGoToTheOwnerOnlyWhileEnabled) {
    StartWorker();
    work_->SetSignedIn(1);
    work_->SetReady(1);
    auto frame = MakeFrame();
    emit frame->TrayMenu()->aboutToShow();
    frame->TrayAction(ui::ID_SYNC)->trigger();
    frame->MainAction(ui::ID_MAIN_LOGOUT)->trigger();
    // A pass started while the menu was open: its sync is refused although the item was enabled.
    work_->SetReady(0);
    frame->TrayAction(ui::ID_SYNC)->trigger();
    frame->MainAction(ui::ID_MAIN_SYNC)->trigger();
    frame->TrayAction(ui::ID_EXIT)->trigger();
    EXPECT_EQ(owner_.commands, (std::vector<int>{ui::ID_SYNC, ui::ID_MAIN_LOGOUT, ui::ID_EXIT}));
}

TEST_F(MainFrameTest, RecentSubmenuListsTheTenNewestWellShapedEntries) {
    struct Case {
        const char* name;
        std::vector<std::string> entries;  // oldest first, as the worker keeps them
        std::vector<QString> texts;        // the submenu, top down
        std::vector<std::string> folders;  // behind each place 0..9 ("" for a skipped entry)
    };
    std::vector<std::string> twelve;
    std::vector<QString> newestTen;
    std::vector<std::string> tenFolders;
    for (int i = 0; i < 12; ++i)
        twelve.push_back("下载 /k/home/d" + std::to_string(i) + "/f.txt");
    for (int i = 11; i >= 2; --i) {
        newestTen.push_back(QString::fromStdString(twelve[static_cast<size_t>(i)]));
        tenFolders.push_back("/k/home/d" + std::to_string(i));
    }
    const Case cases[] = {
        {"none", {}, {"None"}, {}},
        {"newest first, at most ten", twelve, newestTen, tenFolders},
        {"misshapen entries are skipped but take a place",
         {"下载 /k/home/a/ok.txt", "nospace/k/x", " /k/home/leading.txt", "修改 /top.txt", "删除 relative",
          "修改 /k/home/b&c/x\ty.txt"},
         {U("修改 /k/home/b&&c/x y.txt"), U("下载 /k/home/a/ok.txt")},
         {"/k/home/b&c", "", "", "", "", "/k/home/a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartWorker();
        for (const std::string& e : c.entries)
            work_->AddRecentName(e);
        auto frame = MakeFrame();
        frame->BuildTrayMenu();
        std::vector<QString> texts;
        for (QAction* a : frame->RecentMenu()->actions())
            texts.push_back(a->text());
        EXPECT_EQ(texts, c.texts);
        for (int i = 0; i < ui::kRecentMax; ++i) {
            const std::string want =
                static_cast<size_t>(i) < c.folders.size() ? c.folders[static_cast<size_t>(i)] : "";
            EXPECT_EQ(frame->RecentFolder(i), want) << i;
        }
        if (c.entries.empty()) {
            QAction* none = frame->RecentMenu()->actions().at(0);
            EXPECT_FALSE(none->isEnabled());
            EXPECT_EQ(none->data().toInt(), ui::ID_RECENT_FIRST);
        } else {
            // Ids count the places, skipped ones included: the newest is 32900.
            EXPECT_EQ(frame->RecentMenu()->actions().at(0)->data().toInt(), ui::ID_RECENT_FIRST);
            EXPECT_EQ(frame->RecentMenu()->actions().back()->data().toInt(),
                      ui::ID_RECENT_FIRST + static_cast<int>(c.folders.size()) - 1);
        }
    }
    // Without a worker the submenu still says so.
    owner_.work = nullptr;
    auto frame = MakeFrame();
    frame->BuildTrayMenu();
    ASSERT_EQ(frame->RecentMenu()->actions().size(), 1);
    EXPECT_EQ(frame->RecentMenu()->actions().at(0)->text(), QString("None"));
}

TEST_F(MainFrameTest, ChoosingARecentEntryOpensItsFolderWhileItExists) {
    StartWorker();
    const std::string kept = home_.Dir().Sub("home/kept");
    const std::string gone = home_.Dir().Sub("home/gone");
    ASSERT_TRUE(platform::MakeDir(kept));
    work_->AddRecentName("下载 " + gone + "/old.txt");
    work_->AddRecentName("下载 " + kept + "/new.txt");
    auto frame = MakeFrame();
    frame->BuildTrayMenu();
    frame->RecentMenu()->actions().at(1)->trigger();  // the folder was deleted: nothing happens
    EXPECT_TRUE(opened_.empty());
    frame->RecentMenu()->actions().at(0)->trigger();  // the newest entry
    EXPECT_EQ(opened_, std::vector<std::string>{kept});
}

TEST_F(MainFrameTest, TooltipsAreCutTo127Characters) {
    struct Case {
        const char* name;
        std::string tip;
        QString shown;
    };
    std::string longChinese;
    for (int i = 0; i < 200; ++i)
        longChinese += "同";
    std::string emoji;  // characters outside the basic plane take two UTF-16 units each
    for (int i = 0; i < 130; ++i)
        emoji += "\xF0\x9F\x93\x81";
    const Case cases[] = {
        {"short", "同步...", U("同步...")},
        {"exactly 127", std::string(127, 'a'), QString(127, 'a')},
        {"128 ASCII", std::string(128, 'a'), QString(127, 'a')},
        {"long Chinese", longChinese, QString(127, QChar(0x540C))},
        {"astral characters", emoji, QString::fromUtf8(emoji.data()).left(254)},
    };
    StartWorker();
    auto frame = MakeFrame();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(frame->OnMessage(Msg(platform::WM_TRAY_TIP, 0, c.tip)), 1);
        EXPECT_EQ(frame->ToolTip(), c.shown);
        EXPECT_EQ(frame->TrayIcon()->toolTip(), c.shown);
        frame->OnMessage(Msg(platform::WM_TRAY_TIP, 0, "x"));
        frame->OnMessage(Msg(platform::WM_TRAY_STATE, platform::kTrayDone, c.tip));
        EXPECT_EQ(frame->ToolTip(), c.shown);
        frame->OnMessage(Msg(platform::WM_TRAY_ICON, 1, c.tip));  // the user name
        EXPECT_EQ(frame->ToolTip(), c.shown);
    }
    EXPECT_EQ(frame->ToolTip().toUcs4().size(), 127);  // the astral case: whole characters
}

TEST_F(MainFrameTest, BalloonsFollowTheNotificationsSwitchAndAreCut) {
    StartWorker();
    auto frame = MakeFrame();
    EXPECT_EQ(frame->OnMessage(Msg(platform::WM_TRAY_BALLOON, 0, "同步完成: /k/a.txt...", "alice")), 1);
    ASSERT_EQ(frame->BalloonCount(), 1);
    EXPECT_EQ(frame->LastBalloon().text, U("同步完成: /k/a.txt..."));
    EXPECT_EQ(frame->LastBalloon().title, U("alice"));
    EXPECT_EQ(frame->LastBalloon().timeoutMs, 1000);

    frame->OnMessage(Msg(platform::WM_TRAY_BALLOON, 0, std::string(300, 'x'), std::string(70, 't')));
    EXPECT_EQ(frame->LastBalloon().text, QString(255, 'x'));
    EXPECT_EQ(frame->LastBalloon().title, QString(63, 't'));

    // Off: no balloon, while tooltips and icons still change.
    work_->GetConfig()->SetNotify(0);
    frame->OnMessage(Msg(platform::WM_TRAY_BALLOON, 0, "同步完成: b.txt...", "alice"));
    frame->OnMessage(Msg(platform::WM_TRAY_STATE, platform::kTrayDone, "同步完成"));
    EXPECT_EQ(frame->BalloonCount(), 2);
    EXPECT_EQ(frame->IconId(), CMainFrame::kIconDone);
    EXPECT_EQ(frame->ToolTip(), U("同步完成"));
}

TEST_F(MainFrameTest, IconStatesAndTheBusyAnimation) {
    StartWorker();
    auto frame = MakeFrame();
    EXPECT_EQ(frame->IconId(), CMainFrame::kIconSignedOut);
    EXPECT_EQ(frame->ToolTip(), U("Kestrine - Velmora搜索云存储服务客户端"));

    frame->OnMessage(Msg(platform::WM_TRAY_ICON, 1, "alice"));
    EXPECT_EQ(frame->IconId(), CMainFrame::kIconIdle);
    EXPECT_EQ(frame->ToolTip(), U("alice"));

    // Busy: the first frame at once, then one swap per tick of a 500 ms timer.
    frame->OnMessage(Msg(platform::WM_TRAY_STATE, platform::kTrayBusy, "alice"));
    EXPECT_TRUE(frame->IsAnimating());
    EXPECT_EQ(frame->AnimationInterval(), 500);
    EXPECT_EQ(frame->IconId(), CMainFrame::kIconBusy1);
    const int expected[] = {CMainFrame::kIconBusy2, CMainFrame::kIconBusy1, CMainFrame::kIconBusy2};
    for (int icon : expected) {
        frame->OnTimer();
        EXPECT_EQ(frame->IconId(), icon);
    }
    struct Step {
        int64_t state;
        int icon;
    };
    for (const Step& s : {Step{platform::kTrayDone, CMainFrame::kIconDone},
                          Step{platform::kTrayIdle, CMainFrame::kIconIdle}, Step{7, CMainFrame::kIconIdle}}) {
        frame->OnMessage(Msg(platform::WM_TRAY_STATE, platform::kTrayBusy));
        frame->OnMessage(Msg(platform::WM_TRAY_STATE, s.state));
        EXPECT_FALSE(frame->IsAnimating()) << s.state;
        EXPECT_EQ(frame->IconId(), s.icon) << s.state;
        EXPECT_EQ(frame->ToolTip(), U("alice")) << "no tip given: the tooltip stays";
    }

    // Connecting: the signed-out and idle icons take turns with the sign-in's tip, until the
    // sign-in ends either way.
    for (int64_t signedIn : {1, 0}) {
        frame->OnMessage(Msg(platform::WM_TRAY_STATE, platform::kTrayConnecting, "与服务器连接中断..."));
        EXPECT_TRUE(frame->IsAnimating());
        EXPECT_EQ(frame->IconId(), CMainFrame::kIconSignedOut);
        EXPECT_EQ(frame->ToolTip(), U("与服务器连接中断..."));
        for (int icon : {CMainFrame::kIconIdle, CMainFrame::kIconSignedOut, CMainFrame::kIconIdle}) {
            frame->OnTimer();
            EXPECT_EQ(frame->IconId(), icon);
        }
        frame->OnMessage(Msg(platform::WM_TRAY_ICON, signedIn, "alice"));
        EXPECT_FALSE(frame->IsAnimating()) << signedIn;
        EXPECT_EQ(frame->IconId(), signedIn ? CMainFrame::kIconIdle : CMainFrame::kIconSignedOut);
    }
    // Busy after connecting animates the busy icons again.
    frame->OnMessage(Msg(platform::WM_TRAY_STATE, platform::kTrayConnecting));
    frame->OnMessage(Msg(platform::WM_TRAY_STATE, platform::kTrayBusy));
    frame->OnTimer();
    EXPECT_EQ(frame->IconId(), CMainFrame::kIconBusy2);

    // Sign-out: the reply stops a running animation and clears the flags; the worker's last
    // messages put up the signed-out icon.
    work_->SetSignedIn(1);
    work_->SetReady(1);
    frame->OnMessage(Msg(platform::WM_TRAY_STATE, platform::kTrayBusy));
    EXPECT_EQ(frame->OnMessage(Msg(platform::WM_LOGOUT_DONE)), 1);
    EXPECT_FALSE(frame->IsAnimating());
    EXPECT_EQ(work_->IsSignedIn(), 0);
    EXPECT_EQ(work_->IsReady(), 0);
    EXPECT_EQ(frame->StatusText(), U("注销成功"));
    frame->OnMessage(Msg(platform::WM_TRAY_ICON, 0));
    EXPECT_EQ(frame->IconId(), CMainFrame::kIconSignedOut);
    EXPECT_EQ(frame->ToolTip(), U("Kestrine - Velmora搜索云存储服务客户端"));

    EXPECT_EQ(frame->OnMessage(Msg(platform::WM_SETMESSAGESTRING, 0, "Sync finished")), 1);
    EXPECT_EQ(frame->StatusText(), QString("Sync finished"));
    EXPECT_EQ(frame->OnMessage(Msg(12345)), 0);
}

TEST_F(MainFrameTest, CloseBoxHidesTheWindowAndSaysIAmHere) {
    auto frame = MakeFrame(true);
    frame->show();
    EXPECT_TRUE(frame->WindowShownFlag());
    frame->close();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_FALSE(frame->WindowShownFlag());
    ASSERT_EQ(frame->BalloonCount(), 1);
    EXPECT_EQ(frame->LastBalloon().text, QString("I am here"));
    EXPECT_EQ(frame->LastBalloon().title, QString("Kestrine"));
    EXPECT_EQ(frame->LastBalloon().timeoutMs, 1000);
}

TEST_F(MainFrameTest, DoubleClickOpensTheHomeFolderOfTheConfiguredRoot) {
    // No worker: nothing to open.
    auto early = MakeFrame(true);
    early->OnTrayDoubleClick();
    EXPECT_TRUE(opened_.empty());

    // Signed out, window shown: the window hides and the home folder opens all the same.
    StartWorker();
    auto frame = MakeFrame(true);
    frame->show();
    frame->OnTrayDoubleClick();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(opened_, std::vector<std::string>{Root() + "/home"});
}

TEST_F(MainFrameTest, WithoutATrayTheWindowCarriesTheMenuAndTheState) {
    StartWorker();
    bool tray = false;
    CMainFrame frame(&owner_, QString(KESTRINE_SOURCE_DIR "/res"), [&tray] { return tray; });
    EXPECT_FALSE(frame.HasTray());
    EXPECT_TRUE(frame.isVisible());
    QList<QAction*> bar = frame.menuBar()->actions();
    ASSERT_EQ(bar.size(), 2);
    EXPECT_EQ(bar[0]->menu(), frame.TrayMenu());
    EXPECT_EQ(bar[1]->menu(), frame.MainMenu());
    EXPECT_EQ(frame.windowTitle(), U("Kestrine - Velmora搜索云存储服务客户端"));

    frame.OnMessage(Msg(platform::WM_TRAY_STATE, platform::kTrayBusy, "同步..."));
    EXPECT_EQ(frame.windowTitle(), U("Kestrine - 同步..."));
    frame.OnMessage(Msg(platform::WM_SETMESSAGESTRING, 0, "Sync..."));
    EXPECT_EQ(frame.StatusText(), QString("Sync..."));
    // Balloons have no tray to show them: they go to the status bar.
    frame.OnMessage(Msg(platform::WM_TRAY_BALLOON, 0, "同步完成: a.txt...", "alice"));
    EXPECT_EQ(frame.statusBar()->currentMessage(), U("alice: 同步完成: a.txt..."));

    // Closing must not leave the client unreachable: it asks, and "no" keeps the window;
    // double-click cannot hide it either.
    int asked = 0;
    frame.SetQuitQuestion([&asked] {
        ++asked;
        return false;
    });
    frame.close();
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(frame.isVisible());
    EXPECT_TRUE(frame.WindowShownFlag());
    EXPECT_TRUE(owner_.commands.empty());
    frame.OnTrayDoubleClick();
    EXPECT_TRUE(frame.isVisible());

    // A tray that appears later takes over; the window's menu loses the tray's commands.
    frame.CheckTray();
    EXPECT_FALSE(frame.HasTray());
    tray = true;
    frame.CheckTray();
    EXPECT_TRUE(frame.HasTray());
    ASSERT_EQ(frame.menuBar()->actions().size(), 1);
    EXPECT_EQ(frame.menuBar()->actions()[0]->menu(), frame.MainMenu());
    EXPECT_EQ(frame.windowTitle(), U("Kestrine - Velmora搜索云存储服务客户端"));
}

namespace {

// A worker whose passes skipped items, without a thread of its own.
class SkippingWork : public CWork {
  public:
    ~SkippingWork() override { Stop(-1); }
    using CWork::SkipItem;
};

}  // namespace

TEST_F(MainFrameTest, ItemsNotSyncedShowInTheTrayMenuAndTheirWindow) {
    SkippingWork work;
    owner_.work = &work;
    auto frame = MakeFrame();
    emit frame->TrayMenu()->aboutToShow();
    EXPECT_FALSE(frame->NotSyncedAction()->isVisible()) << "hidden while every item is synced";

    work.SkipItem("/docs/a&b.txt", "could not upload");
    emit frame->TrayMenu()->aboutToShow();
    EXPECT_TRUE(frame->NotSyncedAction()->isVisible());
    EXPECT_EQ(frame->NotSyncedAction()->text(), QString("1 item not synced"));
    work.SkipItem("/Report.txt", "another name differs from it only in letter case", false);
    emit frame->TrayMenu()->aboutToShow();
    EXPECT_EQ(frame->NotSyncedAction()->text(), QString("2 items not synced"));

    frame->NotSyncedAction()->trigger();
    ASSERT_NE(frame->NotSyncedWindow(), nullptr);
    EXPECT_TRUE(frame->NotSyncedWindow()->isVisible());
    QTreeWidget* list = frame->NotSyncedWindow()->List();
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(0), QString("/Report.txt"));
    EXPECT_EQ(list->topLevelItem(1)->text(0), QString("/docs/a&b.txt"));
    EXPECT_EQ(list->topLevelItem(1)->text(1), QString("could not upload"));

    // An item the worker reports while the window is open shows at once.
    work.SkipItem("/x.bin", "could not download");
    frame->OnMessage(Msg(platform::WM_ITEM_NOT_SYNCED, 0, "/x.bin", "could not download"));
    EXPECT_EQ(list->topLevelItemCount(), 3);
    owner_.work = nullptr;
}

// The window as the client's face: what the worker's messages say, the recent files, the items
// not synced, a button for every tray command, and the close box with and without a tray.
TEST_F(MainFrameTest, TheWindowShowsAccountComputerAndStateFromTheMessages) {
    StartWorker();
    auto frame = MakeFrame(false);
    EXPECT_EQ(frame->AccountText(), U("未登录"));
    EXPECT_EQ(frame->StateText(), U("未登录"));
    struct Step {
        const char* name;
        platform::WindowMessage msg;
        QString state;
    };
    const Step steps[] = {
        {"connecting", Msg(platform::WM_TRAY_STATE, platform::kTrayConnecting, "连接认证服务器..."),
         U("正在连接...")},
        {"computer", Msg(platform::WM_HOST_NAME, 0, "demo-pc"), U("正在连接...")},
        {"signed in", Msg(platform::WM_TRAY_ICON, 1, "alice"), U("已登录")},
        {"a pass starts", Msg(platform::WM_TRAY_STATE, platform::kTrayBusy, "alice"),
         U("正在同步（已完成 0 项）")},
        {"an item", Msg(platform::WM_SYNC_PROGRESS, 2, "/报告/季度总结.txt"),
         U("正在同步（已完成 2 项）：/报告/季度总结.txt")},
        {"up to date", Msg(platform::WM_TRAY_STATE, platform::kTrayDone, "alice"), U("已是最新")},
        {"the next pass", Msg(platform::WM_TRAY_STATE, platform::kTrayBusy, "alice"),
         U("正在同步（已完成 0 项）")},
        // The worker tells why a pass stopped short before the tray's idle.
        {"it fails", Msg(platform::WM_SYNC_HALTED, platform::kSyncError, "服务器信息: 文件不存在"),
         U("正在同步（已完成 0 项）")},
        {"an error", Msg(platform::WM_TRAY_STATE, platform::kTrayIdle, "alice"),
         U("出错：服务器信息: 文件不存在")},
        {"paused", Msg(platform::WM_SYNC_HALTED, platform::kSyncPaused, ""), U("已暂停")},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(frame->OnMessage(s.msg), 1);
        EXPECT_EQ(frame->StateText(), s.state);
    }
    EXPECT_EQ(frame->AccountText(), U("alice"));
    EXPECT_EQ(frame->ComputerText(), U("demo-pc"));
    frame->OnMessage(Msg(platform::WM_TRAY_ICON, 0));
    EXPECT_EQ(frame->AccountText(), U("未登录"));
    EXPECT_EQ(frame->StateText(), U("未登录"));
}

TEST_F(MainFrameTest, RecentFilesOpenTheFileOrItsFolderWhileTheyExist) {
    StartWorker();
    const std::string dir = home_.Dir().Sub("home/docs");
    ASSERT_TRUE(platform::MakeDir(dir));
    ASSERT_TRUE(platform::WriteFileAtomic(dir + "/a&b.txt", "x"));
    work_->AddRecentName("下载 " + home_.Dir().Sub("home/gone") + "/old.txt");
    work_->AddRecentName("删除 " + dir + "/removed.txt");
    work_->AddRecentName("not an entry");
    work_->AddRecentName("下载 " + dir + "/a&b.txt");
    auto frame = MakeFrame(false);
    // The worker's messages refill the list as files come down.
    frame->OnMessage(Msg(platform::WM_TRAY_STATE, platform::kTrayDone, "alice"));
    QTreeWidget* list = frame->RecentList();
    ASSERT_EQ(list->topLevelItemCount(), 3) << "newest first, the misshapen entry left out";
    EXPECT_EQ(list->topLevelItem(0)->text(0), U("下载"));
    EXPECT_EQ(list->topLevelItem(0)->text(1), QString::fromStdString(dir + "/a&b.txt"));
    EXPECT_EQ(list->topLevelItem(1)->text(0), U("删除"));

    struct Case {
        const char* name;
        int row;
        bool folder;
        std::vector<std::string> opened;  // nothing when the target is gone
    };
    const Case cases[] = {
        {"the file", 0, false, {dir + "/a&b.txt"}},
        {"its folder", 0, true, {dir}},
        {"a deleted file", 1, false, {}},
        {"the folder of a deleted file", 1, true, {dir}},
        {"a file whose folder is gone", 2, false, {}},
        {"a folder that is gone", 2, true, {}},
        {"no row chosen", -1, false, {}},
        {"a row past the end", 7, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        opened_.clear();
        if (c.folder)
            frame->OpenRecentFolder(c.row);
        else
            frame->OpenRecentFile(c.row);
        EXPECT_EQ(opened_, c.opened);
    }
    // The buttons act on the chosen row, and are off while none is chosen.
    frame->RefreshWindow();
    list->setCurrentItem(nullptr);
    EXPECT_FALSE(frame->OpenFileButton()->isEnabled());
    list->setCurrentItem(list->topLevelItem(0));
    ASSERT_TRUE(frame->OpenFolderButton()->isEnabled());
    opened_.clear();
    frame->OpenFolderButton()->click();
    frame->OpenFileButton()->click();
    EXPECT_EQ(opened_, (std::vector<std::string>{dir, dir + "/a&b.txt"}));
}

TEST_F(MainFrameTest, TheWindowListsTheItemsNotSyncedWithTheirReasons) {
    SkippingWork work;
    owner_.work = &work;
    auto frame = MakeFrame(false);
    EXPECT_EQ(frame->NotSyncedList()->topLevelItemCount(), 0);
    work.SkipItem("/docs/a.txt", "could not upload");
    frame->OnMessage(Msg(platform::WM_ITEM_NOT_SYNCED, 0, "/docs/a.txt", "could not upload"));
    work.SkipItem("/Report.txt", "another name differs from it only in letter case", false);
    frame->OnMessage(Msg(platform::WM_ITEM_NOT_SYNCED, 0, "/Report.txt", "..."));
    QTreeWidget* list = frame->NotSyncedList();
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(0), QString("/Report.txt"));
    EXPECT_EQ(list->topLevelItem(0)->text(1), QString("another name differs from it only in letter case"));
    EXPECT_EQ(list->topLevelItem(1)->text(1), QString("could not upload"));
    owner_.work = nullptr;
}

TEST_F(MainFrameTest, EveryTrayCommandHasAButtonThatReachesTheOwner) {
    StartWorker();
    work_->SetSignedIn(1);
    work_->SetReady(1);
    auto frame = MakeFrame(false);
    frame->RefreshWindow();
    std::vector<int> clicked;
    for (QAction* action : frame->TrayMenu()->actions()) {
        const int id = action->data().isValid() ? action->data().toInt() : -1;
        if (id < 0 || id == ui::ID_SHOW_WINDOW)
            continue;  // the submenu, separators, and the entry that opens this window
        QPushButton* button = frame->CommandButton(id);
        ASSERT_NE(button, nullptr) << action->text().toStdString();
        EXPECT_EQ(button->isEnabled(), owner_.IsCommandEnabled(id)) << id;
        if (id == ui::ID_LOGIN)
            continue;  // disabled while signed in
        button->click();
        clicked.push_back(id);
    }
    EXPECT_EQ(owner_.commands, clicked);
    EXPECT_EQ(clicked.size(), 9u);

    // Signed out: sign-in comes on and the signed-in commands go off.
    work_->SetSignedIn(0);
    frame->OnMessage(Msg(platform::WM_TRAY_ICON, 0));
    EXPECT_TRUE(frame->CommandButton(ui::ID_LOGIN)->isEnabled());
    EXPECT_FALSE(frame->CommandButton(ui::ID_LOCAL_FOLDER)->isEnabled());
    EXPECT_FALSE(frame->CommandButton(ui::ID_LOGOUT)->isEnabled());
}

TEST_F(MainFrameTest, TheTrayEntryOpensTheWindowAndItsCloseBoxHidesIt) {
    StartWorker();
    work_->AddRecentName("下载 /k/home/a.txt");
    auto frame = MakeFrame(true);
    EXPECT_FALSE(frame->isVisible()) << "with a tray the window waits to be asked for";
    frame->OnMessage(Msg(platform::WM_HOST_NAME, 0, "demo-pc"));
    frame->TrayAction(ui::ID_SHOW_WINDOW)->trigger();
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(frame->WindowShownFlag());
    EXPECT_EQ(frame->ComputerText(), U("demo-pc")) << "what was told while hidden shows";
    EXPECT_EQ(frame->RecentList()->topLevelItemCount(), 1) << "the list is read as the window opens";
    EXPECT_TRUE(owner_.commands.empty()) << "the frame opens its window itself";
    frame->SetQuitQuestion([] {
        ADD_FAILURE() << "a tray remains: nothing to ask";
        return true;
    });
    frame->close();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_TRUE(owner_.commands.empty());
}

TEST_F(MainFrameTest, ClosingWithoutATrayQuitsOnlyWhenTheUserSaysSo) {
    for (bool quit : {false, true}) {
        SCOPED_TRACE(quit);
        owner_.commands.clear();
        auto frame = MakeFrame(false);
        frame->SetQuitQuestion([quit] { return quit; });
        frame->close();
        EXPECT_TRUE(frame->isVisible()) << "the owner ends the client; the frame never hides";
        EXPECT_EQ(owner_.commands, quit ? std::vector<int>{ui::ID_EXIT} : std::vector<int>{});
    }
}
