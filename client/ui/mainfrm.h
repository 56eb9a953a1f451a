// CMainFrame: the client's main window and its tray icon. It turns the worker's window messages
// into icon, tooltip, balloon and status-bar changes, and shows the tray menu whose commands its
// owner (the application object) handles. The window shows the account, the computer, the state
// (folded from the messages by ui::Fold), the recent files with ways to open each and its
// folder, the items not synced with their reasons, and a button for each tray command. While a
// tray exists the window stays hidden until its tray entry opens it, and closing it only hides it
// again; on a desktop without a tray the window is shown instead, with the tray's commands in its
// menu, and closing it asks whether to quit. GUI thread only. The frame owns its tray icon,
// menus, widgets and timers; the owner outlives the frame.
#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <QTimer>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "platform/mainwindow.h"
#include "ui/frameowner.h"
#include "ui/windowview.h"

class CNotSyncedWindow;
class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QTreeWidget;

class CMainFrame : public QMainWindow {
    Q_OBJECT

  public:
    // Icon ids of the tray states.
    static constexpr int kIconIdle = 169;
    static constexpr int kIconSignedOut = 157;
    static constexpr int kIconDone = 156;
    static constexpr int kIconBusy1 = 153;
    static constexpr int kIconBusy2 = 154;
    static constexpr int kAnimationMs = 500;
    static constexpr int kBalloonMs = 1000;
    static constexpr int kTipChars = 127;
    static constexpr int kBalloonTextChars = 255;
    static constexpr int kBalloonTitleChars = 63;

    // `resourceDir` holds the icons; `trayAvailable` tells whether the desktop has a tray (null:
    // ask Qt). Without a tray the frame shows its window and keeps asking, so a tray that appears
    // later (a panel started after the client) takes over.
    CMainFrame(IFrameOwner* owner, const QString& resourceDir, std::function<bool()> trayAvailable = {});
    ~CMainFrame() override;

    // The worker's messages; 1 when handled.
    int64_t OnMessage(const platform::WindowMessage& msg);
    void SetSignedInIcon(const std::string& user);
    void SetSignedOutIcon();

    // Refills the "文件更新(&U)" submenu and the enabling; runs whenever the tray menu opens.
    void BuildTrayMenu();
    void UpdateMainMenu();  // enabling of the window's own menu
    void OnTrayDoubleClick();
    void OnRecentEntry(int index);
    // The skipped items' window, opened from the tray's "N items not synced" entry.
    void ShowNotSynced();
    void OnTimer();    // one step of the busy or connecting animation
    void CheckTray();  // without a tray: switch to the tray once one exists

    // Current state, for the owner and for tests.
    bool HasTray() const { return hasTray_; }
    int IconId() const { return iconId_; }
    QString ToolTip() const { return tip_; }
    bool IsAnimating() const { return animation_.isActive(); }
    int AnimationInterval() const { return animation_.interval(); }
    QString StatusText() const;
    bool WindowShownFlag() const { return shownFlag_; }
    struct Balloon {
        QString text, title;
        int timeoutMs = 0;
    };
    int BalloonCount() const { return balloonCount_; }
    Balloon LastBalloon() const { return lastBalloon_; }
    QMenu* TrayMenu() const { return trayMenu_; }
    QMenu* RecentMenu() const { return recentMenu_; }
    // "N items not synced": hidden while every item is synced.
    QAction* NotSyncedAction() const { return notSyncedAction_; }
    CNotSyncedWindow* NotSyncedWindow() const { return notSynced_; }
    QMenu* MainMenu() const { return mainMenu_; }
    QAction* TrayAction(int id) const;  // a command of the tray menu
    QAction* MainAction(int id) const;  // a command of the window's own menu
    std::string RecentFolder(int index) const;
    QSystemTrayIcon* TrayIcon() const { return tray_; }

    // The window's face, for tests.
    QString AccountText() const;
    QString ComputerText() const;
    QString StateText() const;
    const ui::WindowFacts& Facts() const { return facts_; }
    QTreeWidget* RecentList() const { return recentList_; }
    QTreeWidget* NotSyncedList() const { return notSyncedList_; }
    QPushButton* CommandButton(int id) const;  // a tray command's button
    QPushButton* OpenFileButton() const { return openFile_; }
    QPushButton* OpenFolderButton() const { return openFolder_; }
    // Opens the recent file in row `row` of the list, or its folder, while it exists.
    void OpenRecentFile(int row);
    void OpenRecentFolder(int row);
    // Refills the recent files, the items not synced and the buttons' enabling.
    void RefreshWindow();
    void ShowWindow();  // the tray's "open the window" entry
    // Asked when the window closes without a tray: true quits. Tests answer it.
    void SetQuitQuestion(std::function<bool()> ask) { askQuit_ = std::move(ask); }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void CreateMenus();
    int64_t HandleMessage(const platform::WindowMessage& msg);
    QAction* AddCommand(QMenu* menu, std::map<int, QAction*>* actions, int id, const QString& text);
    void RunCommand(int id);
    void SetIcon(int id);
    void SetTip(const QString& tip);
    void StopAnimation();
    void ShowBalloon(const QString& text, const QString& title);
    void SetTrayState(int state, const std::string& tip);
    void ShowFallback();
    void UpdateTitle();
    QWidget* CreateFace();
    void RefreshRecent();
    void UpdateFace();
    bool AskQuit();
    static QIcon LoadIcon(const QString& file, const QColor& fallbackColor);

    IFrameOwner* owner_;
    std::function<bool()> trayAvailable_;
    bool hasTray_ = false;
    QSystemTrayIcon* tray_ = nullptr;
    std::map<int, QIcon> icons_;
    int iconId_ = 0;
    QString tip_;
    QTimer animation_;
    bool connecting_ = false;  // the animation alternates the signed-out and idle icons
    QTimer trayCheck_;
    bool shownFlag_ = true;
    QLabel* statusLabel_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QMenu* recentMenu_ = nullptr;
    QAction* notSyncedAction_ = nullptr;
    CNotSyncedWindow* notSynced_ = nullptr;  // made at its first opening
    QMenu* mainMenu_ = nullptr;
    std::map<int, QAction*> trayActions_;
    std::map<int, QAction*> mainActions_;
    std::array<std::string, 10> recentFolders_;
    int balloonCount_ = 0;
    Balloon lastBalloon_;
    ui::WindowFacts facts_;
    std::function<bool()> askQuit_;
    QLabel* accountLabel_ = nullptr;
    QLabel* computerLabel_ = nullptr;
    QLabel* stateLabel_ = nullptr;
    QTreeWidget* recentList_ = nullptr;
    QTreeWidget* notSyncedList_ = nullptr;
    QPushButton* openFile_ = nullptr;
    QPushButton* openFolder_ = nullptr;
    std::map<int, QPushButton*> buttons_;
};
