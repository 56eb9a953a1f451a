#include "ui/mainfrm.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>
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

// A menu shows "&" as a mnemonic and a tab as the start of a shortcut: keep file names as they are.
QString MenuText(const QString& text) {
    QString t = text;
    t.replace(QLatin1Char('&'), QStringLiteral("&&"));
    t.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return t;
}

// A recent entry is a label, one space and a full local path; its folder is the text between the
// space and the last "/". False for an entry of another shape.
bool SplitRecent(const std::string& entry, std::string* label, std::string* path, std::string* folder) {
    const size_t space = entry.find(' ');
    const size_t slash = entry.rfind('/');
    if (space == std::string::npos || space == 0 || slash == std::string::npos || slash <= space + 1)
        return false;
    *label = entry.substr(0, space);
    *path = entry.substr(space + 1);
    *folder = entry.substr(space + 1, slash - space - 1);
    return true;
}

// The tree rows keep the local path (UTF-8) behind the shown text.
constexpr int kPathRole = Qt::UserRole;

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

    // The window: the client's face, and a status bar for the worker's texts.
    setWindowTitle(tr(ui::kProductTitle));
    statusLabel_ = new QLabel(this);
    statusBar()->addWidget(statusLabel_, 1);
    resize(720, 560);

    CreateMenus();
    setCentralWidget(CreateFace());

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
    SetTip(tr(ui::kProductTitle));
    SetSignedOutIcon();

    RefreshWindow();
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
    trayMenu_ = new QMenu(tr("Kestrine(&K)"), this);
    recentMenu_ = new QMenu(tr("文件更新(&U)"), trayMenu_);
    trayMenu_->addMenu(recentMenu_);
    notSyncedAction_ = trayMenu_->addAction(QString());
    notSyncedAction_->setVisible(false);
    connect(notSyncedAction_, &QAction::triggered, this, &CMainFrame::ShowNotSynced);
    AddCommand(trayMenu_, &trayActions_, ui::ID_SHOW_WINDOW, tr("主窗口(&M)"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_WEB_FOLDER, tr("Web文件夹(&W)"));
    QAction* local = AddCommand(trayMenu_, &trayActions_, ui::ID_LOCAL_FOLDER, tr("本地文件夹(&E)"));
    trayMenu_->setDefaultAction(local);
    AddCommand(trayMenu_, &trayActions_, ui::ID_TRASH, tr("回收站(&T)"));
    trayMenu_->addSeparator();
    AddCommand(trayMenu_, &trayActions_, ui::ID_SYNC, tr("同步(&S)"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_LOGIN, tr("登录(&L)"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_LOGOUT, tr("注销(&N)"));
    trayMenu_->addSeparator();
    AddCommand(trayMenu_, &trayActions_, ui::ID_OPTIONS, tr("选项(&O)"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_ABOUT, tr("关于(&A)"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_HELP, tr("帮助"));
    AddCommand(trayMenu_, &trayActions_, ui::ID_EXIT, tr("退出(&X)"));
    connect(trayMenu_, &QMenu::aboutToShow, this, &CMainFrame::BuildTrayMenu);
    BuildTrayMenu();

    // The window's own menu: sign-in, sign-out and sync with their shortcuts.
    mainMenu_ = menuBar()->addMenu(tr("文件(&F)"));
    AddCommand(mainMenu_, &mainActions_, ui::ID_MAIN_LOGIN, tr("登录(&L)"))
        ->setShortcut(QKeySequence("Ctrl+L"));
    AddCommand(mainMenu_, &mainActions_, ui::ID_MAIN_LOGOUT, tr("注销(&N)"))
        ->setShortcut(QKeySequence("Ctrl+N"));
    AddCommand(mainMenu_, &mainActions_, ui::ID_MAIN_SYNC, tr("同步(&S)"))
        ->setShortcut(QKeySequence("Ctrl+S"));
    connect(mainMenu_, &QMenu::aboutToShow, this, &CMainFrame::UpdateMainMenu);
    UpdateMainMenu();
}

QWidget* CMainFrame::CreateFace() {
    auto* face = new QWidget(this);
    auto* layout = new QVBoxLayout(face);

    auto* form = new QFormLayout();
    accountLabel_ = new QLabel(face);
    computerLabel_ = new QLabel(face);
    stateLabel_ = new QLabel(face);
    stateLabel_->setWordWrap(true);
    stateLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(tr("账户："), accountLabel_);
    form->addRow(tr("计算机："), computerLabel_);
    form->addRow(tr("状态："), stateLabel_);
    layout->addLayout(form);

    // Every tray command has its button; the window's own ones follow the same enabling.
    auto* commands = new QHBoxLayout();
    const std::pair<int, QString> buttons[] = {
        {ui::ID_LOCAL_FOLDER, tr("打开文件夹")},
        {ui::ID_WEB_FOLDER, tr("Web文件夹")},
        {ui::ID_TRASH, tr("回收站")},
        {ui::ID_SYNC, tr("立即同步")},
        {ui::ID_LOGIN, tr("登录")},
        {ui::ID_LOGOUT, tr("注销")},
        {ui::ID_OPTIONS, tr("选项")},
        {ui::ID_ABOUT, tr("关于")},
        {ui::ID_HELP, tr("帮助")},
        {ui::ID_EXIT, tr("退出")},
    };
    for (const auto& [id, text] : buttons) {
        auto* button = new QPushButton(text, face);
        connect(button, &QPushButton::clicked, this, [this, id = id] { RunCommand(id); });
        commands->addWidget(button);
        buttons_[id] = button;
    }
    commands->addStretch(1);
    layout->addLayout(commands);

    auto* recentBox = new QGroupBox(tr("最近的文件"), face);
    auto* recentLayout = new QVBoxLayout(recentBox);
    recentList_ = new QTreeWidget(recentBox);
    recentList_->setColumnCount(2);
    recentList_->setHeaderLabels({tr("操作"), tr("文件")});
    recentList_->setRootIsDecorated(false);
    recentList_->header()->setStretchLastSection(true);
    recentLayout->addWidget(recentList_);
    auto* recentButtons = new QHBoxLayout();
    openFile_ = new QPushButton(tr("打开"), recentBox);
    openFolder_ = new QPushButton(tr("打开所在文件夹"), recentBox);
    recentButtons->addWidget(openFile_);
    recentButtons->addWidget(openFolder_);
    recentButtons->addStretch(1);
    recentLayout->addLayout(recentButtons);
    connect(openFile_, &QPushButton::clicked, this,
            [this] { OpenRecentFile(recentList_->currentIndex().row()); });
    connect(openFolder_, &QPushButton::clicked, this,
            [this] { OpenRecentFolder(recentList_->currentIndex().row()); });
    connect(recentList_, &QTreeWidget::currentItemChanged, this, &CMainFrame::UpdateFace);
    connect(recentList_, &QTreeWidget::itemActivated, this,
            [this](QTreeWidgetItem* item) { OpenRecentFile(recentList_->indexOfTopLevelItem(item)); });
    layout->addWidget(recentBox, 1);

    auto* skippedBox = new QGroupBox(tr("未同步的项目"), face);
    auto* skippedLayout = new QVBoxLayout(skippedBox);
    notSyncedList_ = new QTreeWidget(skippedBox);
    notSyncedList_->setColumnCount(2);
    notSyncedList_->setHeaderLabels({tr("路径"), tr("原因")});
    notSyncedList_->setRootIsDecorated(false);
    notSyncedList_->setColumnWidth(0, 360);
    skippedLayout->addWidget(notSyncedList_);
    layout->addWidget(skippedBox, 1);
    return face;
}

QString CMainFrame::AccountText() const {
    return accountLabel_->text();
}

QString CMainFrame::ComputerText() const {
    return computerLabel_->text();
}

QString CMainFrame::StateText() const {
    return stateLabel_->text();
}

QPushButton* CMainFrame::CommandButton(int id) const {
    auto it = buttons_.find(id);
    return it == buttons_.end() ? nullptr : it->second;
}

void CMainFrame::UpdateFace() {
    accountLabel_->setText(facts_.signedIn ? ui::FromAnsi(facts_.account) : tr("未登录"));
    computerLabel_->setText(facts_.computer.empty() ? tr("（未知）") : ui::FromAnsi(facts_.computer));
    const ui::WindowView view = ui::ViewOf(facts_);
    QString state;
    switch (view.state) {
        case ui::WindowState::kSignedOut:
            state = tr("未登录");
            break;
        case ui::WindowState::kConnecting:
            state = tr("正在连接...");
            break;
        case ui::WindowState::kSignedIn:
            state = tr("已登录");
            break;
        case ui::WindowState::kSyncing:
            state = view.item.empty()
                        ? tr("正在同步（已完成 %1 项）").arg(view.done)
                        : tr("正在同步（已完成 %1 项）：%2").arg(view.done).arg(ui::FromAnsi(view.item));
            break;
        case ui::WindowState::kUpToDate:
            state = tr("已是最新");
            break;
        case ui::WindowState::kPaused:
            state = view.reason.empty() ? tr("已暂停") : tr("已暂停：%1").arg(ui::FromAnsi(view.reason));
            break;
        case ui::WindowState::kError:
            state = view.reason.empty() ? tr("出错") : tr("出错：%1").arg(ui::FromAnsi(view.reason));
            break;
    }
    stateLabel_->setText(state);
    for (auto& [id, button] : buttons_)
        button->setEnabled(owner_->IsCommandEnabled(id));
    const bool chosen = recentList_->currentItem() != nullptr;
    openFile_->setEnabled(chosen);
    openFolder_->setEnabled(chosen);
}

void CMainFrame::RefreshWindow() {
    RefreshRecent();
    notSyncedList_->clear();
    if (CWork* work = owner_->GetWorker()) {
        for (const CSkippedItems::Item& item : work->GetSkipped().Items()) {
            auto* row = new QTreeWidgetItem(notSyncedList_);
            row->setText(0, ui::FromAnsi(item.path));
            row->setText(1, QString::fromUtf8(item.reason.c_str()));
            row->setToolTip(0, row->text(0));
        }
    }
    UpdateFace();
}

void CMainFrame::RefreshRecent() {
    // The recent files as the tray's submenu has them: newest first, well-shaped ones only.
    const int current = recentList_->currentIndex().row();
    recentList_->clear();
    CWork* work = owner_->GetWorker();
    const size_t count = work ? work->GetRecentCount() : 0;
    for (size_t i = 0; i < static_cast<size_t>(ui::kRecentMax) && i < count; ++i) {
        std::string label, path, folder;
        if (!SplitRecent(work->GetRecentItem(count - 1 - i), &label, &path, &folder))
            continue;
        auto* row = new QTreeWidgetItem(recentList_);
        row->setText(0, ui::FromAnsi(label));
        row->setText(1, ui::FromAnsi(path));
        row->setToolTip(1, row->text(1));
        row->setData(0, kPathRole, QString::fromStdString(path));
        row->setData(1, kPathRole, QString::fromStdString(folder));
    }
    if (current >= 0 && current < recentList_->topLevelItemCount())
        recentList_->setCurrentItem(recentList_->topLevelItem(current));
}

void CMainFrame::OpenRecentFile(int row) {
    QTreeWidgetItem* item = recentList_->topLevelItem(row);
    if (!item)
        return;
    // A deleted or replaced file is gone: open nothing rather than an error page.
    const std::string path = item->data(0, kPathRole).toString().toStdString();
    if (platform::IsRegularFile(path) || platform::IsDirectory(path))
        platform::OpenWithDefault(path);
    else
        statusBar()->showMessage(tr("文件已不存在：%1").arg(item->text(1)), kStatusBalloonMs);
}

void CMainFrame::OpenRecentFolder(int row) {
    QTreeWidgetItem* item = recentList_->topLevelItem(row);
    if (!item)
        return;
    const std::string folder = item->data(1, kPathRole).toString().toStdString();
    if (platform::IsDirectory(folder))
        platform::OpenWithDefault(folder);
    else
        statusBar()->showMessage(tr("文件夹已不存在：%1").arg(item->text(1)), kStatusBalloonMs);
}

void CMainFrame::ShowWindow() {
    RefreshWindow();
    shownFlag_ = true;
    showNormal();
    raise();
    activateWindow();
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

    // Newest first, at most ten. Entries of another shape than SplitRecent's take a place too.
    CWork* work = owner_->GetWorker();
    const size_t count = work ? work->GetRecentCount() : 0;
    for (int i = 0; i < ui::kRecentMax && static_cast<size_t>(i) < count; ++i) {
        const std::string entry = work->GetRecentItem(count - 1 - static_cast<size_t>(i));
        std::string label, path;
        if (!SplitRecent(entry, &label, &path, &recentFolders_[static_cast<size_t>(i)]))
            continue;
        QAction* action = recentMenu_->addAction(MenuText(ui::FromAnsi(entry)));
        action->setData(ui::ID_RECENT_FIRST + i);
        connect(action, &QAction::triggered, this, [this, i] { OnRecentEntry(i); });
    }
    if (recentMenu_->isEmpty()) {
        QAction* none = recentMenu_->addAction(tr("None"));
        none->setData(ui::ID_RECENT_FIRST);
        none->setEnabled(false);
    }

    const size_t skipped = work ? work->GetSkipped().Count() : 0;
    notSyncedAction_->setText(skipped == 1 ? tr("%1 item not synced").arg(skipped)
                                           : tr("%1 items not synced").arg(skipped));
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
    if (id == ui::ID_SHOW_WINDOW) {
        ShowWindow();
        return;
    }
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
    facts_ = ui::Fold(std::move(facts_), msg);
    const int64_t handled = HandleMessage(msg);
    if (!handled)
        return 0;
    // The lists are read from the worker; a hidden window reads them when it opens.
    const bool lists = msg.code != platform::WM_TRAY_TIP && msg.code != platform::WM_SETMESSAGESTRING &&
                       msg.code != platform::WM_TRAY_BALLOON;
    if (lists && isVisible() && msg.code == platform::WM_SYNC_PROGRESS)
        RefreshRecent();  // at every item: the skipped list may be long
    else if (lists && isVisible())
        RefreshWindow();
    if (!lists || !isVisible() || msg.code == platform::WM_SYNC_PROGRESS)
        UpdateFace();
    return handled;
}

int64_t CMainFrame::HandleMessage(const platform::WindowMessage& msg) {
    switch (msg.code) {
        case platform::WM_HOST_NAME:
        case platform::WM_SYNC_PROGRESS:
        case platform::WM_SYNC_HALTED:
            return 1;  // the window's facts only
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
            statusLabel_->setText(tr("注销成功"));
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
    SetTip(tr(ui::kProductTitle));
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
    if (hasTray_ || tip_.isEmpty() || tip_ == tr(ui::kProductTitle))
        setWindowTitle(tr(ui::kProductTitle));
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
        // Hiding would leave the client unreachable: quit, or stay as it is.
        if (AskQuit())
            RunCommand(ui::ID_EXIT);
        return;
    }
    hide();
    shownFlag_ = false;
    ShowBalloon(tr("I am here"), QStringLiteral("Kestrine"));
}

bool CMainFrame::AskQuit() {
    if (askQuit_)
        return askQuit_();
    return QMessageBox::question(this, tr(ui::kProductTitle),
                                 tr("没有系统托盘，关闭窗口后无法再打开它。要退出 Kestrine 吗？"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}
