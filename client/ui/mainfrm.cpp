#include "ui/mainfrm.h"

#include <QCloseEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QSplitter>
#include <QStatusBar>
#include <QTreeView>
#include <utility>
#include <vector>

#include "core/config.h"
#include "core/locations.h"
#include "platform/file.h"
#include "platform/messages.h"
#include "platform/system.h"
#include "sync/work.h"
#include "ui/commands.h"
#include "ui/notsyncedwindow.h"
#include "ui/uitext.h"

namespace {

// How often a frame without a tray looks for one that appeared later.
constexpr int kTrayCheckMs = 3000;
// Balloons shown in the status bar (no tray) stay long enough to be read.
constexpr int kStatusBalloonMs = 5000;

QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// A menu shows "&" as a mnemonic and a tab as the start of a shortcut: keep file names as they are.
QString MenuText(const QString& text) {
    QString t = text;
    t.replace(QLatin1Char('&'), QStringLiteral("&&"));
    t.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return t;
}

}  // namespace

CMainFrame::CMainFrame(IFrameOwner* owner, const QString& resourceDir, std::function<bool()> trayAvailable)
    : owner_(owner), trayAvailable_(std::move(trayAvailable)) {
    if (!trayAvailable_)
        trayAvailable_ = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };

    const QString dir = resourceDir.endsWith(QLatin1Char('/')) ? resourceDir : resourceDir + QLatin1Char('/');
    icons_[kIconIdle] = LoadIcon(dir + "tray-idle.png", QColor(33, 118, 214));
    icons_[kIconSignedOut] = LoadIcon(dir + "tray-signedout.png", QColor(150, 156, 164));
    icons_[kIconDone] = LoadIcon(dir + "tray-done.png", QColor(46, 170, 80));
    icons_[kIconBusy1] = LoadIcon(dir + "tray-busy1.png", QColor(240, 150, 30));
    icons_[kIconBusy2] = LoadIcon(dir + "tray-busy2.png", QColor(200, 110, 20));

    // The window: two empty views side by side and a status bar for the worker's texts.
    setWindowTitle(Text(ui::kProductTitle));
    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->addWidget(new QTreeView(splitter));
    splitter->addWidget(new QListView(splitter));
    setCentralWidget(splitter);
    statusLabel_ = new QLabel(this);
    statusBar()->addWidget(statusLabel_, 1);
    resize(600, 400);

    CreateMenus();

    tray_ = new QSystemTrayIcon(this);
    tray_->setContextMenu(trayMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            OnTrayDoubleClick();
    });

    animation_.setInterval(kAnimationMs);
    connect(&animation_, &QTimer::timeout, this, &CMainFrame::OnTimer);
    trayCheck_.setInterval(kTrayCheckMs);
    connect(&trayCheck_, &QTimer::timeout, this, &CMainFrame::CheckTray);

    // As the icon is first added: the product icon and tip, then signed out until a sign-in.
    SetIcon(kIconIdle);
    SetTip(Text(ui::kProductTitle));
    SetSignedOutIcon();

    hasTray_ = trayAvailable_();
    if (hasTray_)
        tray_->show();
    else
        ShowFallback();
}

CMainFrame::~CMainFrame() {
    StopAnimation();
    trayCheck_.stop();
    if (tray_)
        tray_->hide();
}

QIcon CMainFrame::LoadIcon(const QString& file, const QColor& fallbackColor) {
    QPixmap pixmap(file);
    if (pixmap.isNull()) {
        // A missing picture must not leave an invisible tray icon: a plain coloured disc stands in.
        pixmap = QPixmap(32, 32);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(fallbackColor);
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(2, 2, 28, 28);
    }
    return QIcon(pixmap);
}

QAction* CMainFrame::AddCommand(QMenu* menu, std::map<int, QAction*>* actions, int id, const QString& text) {
    QAction* action = menu->addAction(text);
    action->setData(id);
    connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
    (*actions)[id] = action;
    return action;
}

void CMainFrame::CreateMenus() {
    // The tray menu, in its fixed order; the recent-entries submenu goes first.
    trayMenu_ = new QMenu(Text("Kestrine(&K)"), this);
    recentMenu_ = new QMenu(Text("文件更新(&U)"), trayMenu_);
    trayMenu_->addMenu(recentMenu_);
    notSyncedAction_ = trayMenu_->addAction(QString());
    notSyncedAction_->setVisible(false);
    connect(notSyncedAction_, &QAction::triggered, this, &CMainFrame::ShowNotSynced);
    AddCommand(trayMenu_, &trayActions_, ui::ID_WEB_FOLDER, Text("Web文件夹(&W)"));
    QAction* local = AddCommand(trayMenu_, &trayActions_, ui::ID_LOCAL_FOLDER, Text("本地文件夹(&E)"));
    trayMenu_->setDefaultAction(local);
    AddCommand(trayMenu_, &trayActions_, ui::ID_TRASH, Text("回收站(&T)"));
    trayMenu_->addSeparator();
    AddCommand(trayMenu_, &trayActions_, ui::ID_SYNC, Text("同步(&S)"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_LOGIN, Text("登录(&L)"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_LOGOUT, Text("注销(&N)"));
    trayMenu_->addSeparator();
    AddCommand(trayMenu_, &trayActions_, ui::ID_OPTIONS, Text("选项(&O)"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_ABOUT, Text("关于(&A)"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_HELP, Text("帮助"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_EXIT, Text("退出(&X)"));
    connect(trayMenu_, &QMenu::aboutToShow, this, &CMainFrame::BuildTrayMenu);
    BuildTrayMenu();

    // The window's own menu: sign-in, sign-out and sync with their shortcuts.
    mainMenu_ = menuBar()->addMenu(Text("文件(&F)"));
    AddCommand(mainMenu_, &mainActions_, ui::ID_MAIN_LOGIN, Text("登录(&L)"))
        ->setShortcut(QKeySequence("Ctrl+L"));
    AddCommand(mainMenu_, &mainActions_, ui::ID_MAIN_LOGOUT, Text("注销(&N)"))
        ->setShortcut(QKeySequence("Ctrl+N"));
    AddCommand(mainMenu_, &mainActions_, ui::ID_MAIN_SYNC, Text("同步(&S)"))
        ->setShortcut(QKeySequence("Ctrl+S"));
    connect(mainMenu_, &QMenu::aboutToShow, this, &CMainFrame::UpdateMainMenu);
    UpdateMainMenu();
}

QAction* CMainFrame::TrayAction(int id) const {
    auto it = trayActions_.find(id);
    return it == trayActions_.end() ? nullptr : it->second;
}

QAction* CMainFrame::MainAction(int id) const {
    auto it = mainActions_.find(id);
    return it == mainActions_.end() ? nullptr : it->second;
}

std::string CMainFrame::RecentFolder(int index) const {
    if (index < 0 || index >= ui::kRecentMax)
        return std::string();
    return recentFolders_[static_cast<size_t>(index)];
}

void CMainFrame::BuildTrayMenu() {
    recentMenu_->clear();
    for (std::string& folder : recentFolders_)
        folder.clear();

    // Newest first, at most ten. An entry is a label, one space and a full local path; its folder
    // is the text between the space and the last "/". Entries of another shape take a place too.
    CWork* work = owner_->GetWorker();
    const size_t count = work ? work->GetRecentCount() : 0;
    for (int i = 0; i < ui::kRecentMax && static_cast<size_t>(i) < count; ++i) {
        const std::string entry = work->GetRecentItem(count - 1 - static_cast<size_t>(i));
        const size_t space = entry.find(' ');
        const size_t slash = entry.rfind('/');
        if (space == std::string::npos || space == 0 || slash == std::string::npos || slash <= space + 1)
            continue;
        recentFolders_[static_cast<size_t>(i)] = entry.substr(space + 1, slash - space - 1);
        QAction* action = recentMenu_->addAction(MenuText(ui::FromAnsi(entry)));
        action->setData(ui::ID_RECENT_FIRST + i);
        connect(action, &QAction::triggered, this, [this, i] { OnRecentEntry(i); });
    }
    if (recentMenu_->isEmpty()) {
        QAction* none = recentMenu_->addAction(QStringLiteral("None"));
        none->setData(ui::ID_RECENT_FIRST);
        none->setEnabled(false);
    }

    const size_t skipped = work ? work->GetSkipped().Count() : 0;
    notSyncedAction_->setText(QString::number(skipped) + (skipped == 1
                                                              ? QStringLiteral(" item not synced")
                                                              : QStringLiteral(" items not synced")));
    notSyncedAction_->setVisible(skipped > 0);

    for (auto& [id, action] : trayActions_)
        action->setEnabled(owner_->IsCommandEnabled(id));
}

void CMainFrame::ShowNotSynced() {
    if (!notSynced_) {
        notSynced_ = new CNotSyncedWindow(
            [this] {
                std::vector<std::pair<std::string, std::string>> rows;
                if (CWork* work = owner_->GetWorker()) {
                    for (const CSkippedItems::Item& item : work->GetSkipped().Items())
                        rows.emplace_back(item.path, item.reason);
                }
                return rows;
            },
            this);
    }
    notSynced_->Refresh();
    notSynced_->show();
    notSynced_->raise();
}

void CMainFrame::UpdateMainMenu() {
    for (auto& [id, action] : mainActions_)
        action->setEnabled(owner_->IsCommandEnabled(id));
}

void CMainFrame::RunCommand(int id) {
    // The state may have changed since the menu opened (a sign-in ended): ask again.
    if (owner_->IsCommandEnabled(id))
        owner_->OnCommand(id);
}

void CMainFrame::OnRecentEntry(int index) {
    const std::string folder = RecentFolder(index);
    if (!folder.empty() && platform::IsDirectory(folder))
        platform::OpenWithDefault(folder);
}

void CMainFrame::OnTrayDoubleClick() {
    // Without a tray the window is the only way in: it stays.
    if (shownFlag_ && hasTray_)
        hide();
    CWork* work = owner_->GetWorker();
    if (!work || !work->GetConfig())
        return;
    const std::string root = work->GetConfig()->Get(CConfig::kRootPath);
    if (!root.empty())
        platform::OpenWithDefault(locations::HomeFolder(root));
}

int64_t CMainFrame::OnMessage(const platform::WindowMessage& msg) {
    switch (msg.code) {
        case platform::WM_TRAY_TIP:
            SetTip(ui::FromAnsi(msg.text));
            return 1;
        case platform::WM_TRAY_STATE:
            SetTrayState(static_cast<int>(msg.wParam), msg.text);
            // A pass ended or began: items may have left the list.
            if (notSynced_ && notSynced_->isVisible())
                notSynced_->Refresh();
            return 1;
        case platform::WM_ITEM_NOT_SYNCED:
            if (msg.wParam == 1)
                ShowNotSynced();  // the user asked (the report signal)
            else if (notSynced_ && notSynced_->isVisible())
                notSynced_->Refresh();
            return 1;
        case platform::WM_TRAY_BALLOON: {
            CWork* work = owner_->GetWorker();
            CConfig* config = work ? work->GetConfig() : nullptr;
            // Without a configuration the switch has its first-use value: on.
            if (!config || config->GetNotify())
                ShowBalloon(ui::FromAnsi(msg.text), ui::FromAnsi(msg.text2));
            return 1;
        }
        case platform::WM_TRAY_ICON:
            if (msg.wParam)
                SetSignedInIcon(msg.text);
            else
                SetSignedOutIcon();
            return 1;
        case platform::WM_LOGOUT_DONE:
            StopAnimation();
            if (CWork* work = owner_->GetWorker()) {
                work->SetSignedIn(0);
                work->SetReady(0);
            }
            statusLabel_->setText(Text("注销成功"));
            return 1;
        case platform::WM_SETMESSAGESTRING:
            statusLabel_->setText(ui::FromAnsi(msg.text));
            return 1;
        default:
            return 0;
    }
}

void CMainFrame::SetTrayState(int state, const std::string& tip) {
    StopAnimation();
    connecting_ = state == platform::kTrayConnecting;
    if (state == platform::kTrayBusy) {
        SetIcon(kIconBusy1);  // at once, not only at the first tick
        animation_.start();
    } else if (connecting_) {
        // Not signed in yet, not given up either: the two icons take turns.
        SetIcon(kIconSignedOut);
        animation_.start();
    } else if (state == platform::kTrayDone) {
        SetIcon(kIconDone);
    } else {
        SetIcon(kIconIdle);
    }
    if (!tip.empty())
        SetTip(ui::FromAnsi(tip));
}

void CMainFrame::SetSignedInIcon(const std::string& user) {
    StopAnimation();  // a tick would put the connecting or busy icon back
    SetIcon(kIconIdle);
    SetTip(ui::FromAnsi(user));
}

void CMainFrame::SetSignedOutIcon() {
    StopAnimation();
    SetIcon(kIconSignedOut);
    SetTip(Text(ui::kProductTitle));
}

void CMainFrame::OnTimer() {
    if (connecting_)
        SetIcon(iconId_ == kIconSignedOut ? kIconIdle : kIconSignedOut);
    else
        SetIcon(iconId_ == kIconBusy1 ? kIconBusy2 : kIconBusy1);
}

void CMainFrame::StopAnimation() {
    animation_.stop();
    connecting_ = false;
}

void CMainFrame::SetIcon(int id) {
    iconId_ = id;
    const QIcon& icon = icons_[id];
    tray_->setIcon(icon);
    setWindowIcon(icon);
}

void CMainFrame::SetTip(const QString& tip) {
    tip_ = ui::CutChars(tip, kTipChars);
    tray_->setToolTip(tip_);
    UpdateTitle();
}

void CMainFrame::UpdateTitle() {
    // Without a tray the title carries what the tooltip would say.
    if (hasTray_ || tip_.isEmpty() || tip_ == Text(ui::kProductTitle))
        setWindowTitle(Text(ui::kProductTitle));
    else
        setWindowTitle(QStringLiteral("Kestrine - ") + tip_);
}

void CMainFrame::ShowBalloon(const QString& text, const QString& title) {
    lastBalloon_.text = ui::CutChars(text, kBalloonTextChars);
    lastBalloon_.title = ui::CutChars(title, kBalloonTitleChars);
    lastBalloon_.timeoutMs = kBalloonMs;
    ++balloonCount_;
    if (hasTray_)
        tray_->showMessage(lastBalloon_.title, lastBalloon_.text, QSystemTrayIcon::Information, kBalloonMs);
    else
        statusBar()->showMessage(lastBalloon_.title + QStringLiteral(": ") + lastBalloon_.text,
                                 kStatusBalloonMs);
}

QString CMainFrame::StatusText() const {
    return statusLabel_->text();
}

void CMainFrame::ShowFallback() {
    // No tray: the window is the client's only face, with the tray's commands in its menu.
    menuBar()->insertMenu(mainMenu_->menuAction(), trayMenu_);
    UpdateTitle();
    show();
    trayCheck_.start();
}

void CMainFrame::CheckTray() {
    if (hasTray_ || !trayAvailable_())
        return;
    hasTray_ = true;
    trayCheck_.stop();
    menuBar()->removeAction(trayMenu_->menuAction());
    tray_->show();
    UpdateTitle();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (!hasTray_) {
        // Hiding would leave the client unreachable.
        showMinimized();
        return;
    }
    hide();
    shownFlag_ = false;
    ShowBalloon(QStringLiteral("I am here"), QStringLiteral("Kestrine"));
}
