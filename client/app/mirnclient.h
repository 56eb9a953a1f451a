// CMirnClientApp: the application object. It starts the client (single instance, log, worker,
// then sign-in or the login dialog), runs the front end's loop and, at exit, destroys the worker
// and then the logger, so the log ends with its closing separator. It owns the instance lock,
// the control socket's server (status and sync commands), the front end, the logger and the worker.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/controlsocket.h"
#include "platform/mainwindow.h"
#include "ui/dialogowner.h"
#include "ui/frameowner.h"

class AppFrontEnd;
class CLogger;
class CWork;
namespace platform {
class InstanceLock;
}  // namespace platform

class CMirnClientApp : public IFrameOwner, public IDialogOwner {
  public:
    CMirnClientApp();
    ~CMirnClientApp() override;
    CMirnClientApp(const CMirnClientApp&) = delete;
    CMirnClientApp& operator=(const CMirnClientApp&) = delete;

    // Start-up, the GUI loop and teardown; returns the process exit code.
    int Run();
    bool InitInstance();
    bool InitApp() override;
    bool InitLog();
    // Ends the GUI loop with `code` (the tray's exit command, SIGINT, SIGTERM); any thread.
    void RequestExit(int code);
    // Tells the front end every item not synced, one message each (the report signal); any thread.
    void ReportNotSynced();
    // Answers a command of the control socket (its server's thread): the status as JSON, or a
    // pass asked for as the tray's "同步" asks for it.
    std::string AnswerControl(platform::control::Request request);
    // Replaces the worker under the lock the signal thread reads it with; the old one is
    // destroyed after the lock is released.
    void SetWork(std::unique_ptr<CWork> work);

    CWork* GetWorker() const override { return work_.get(); }
    CLogger* GetLogger() const;
    int IsInitComplete() const { return initComplete_.load(); }

    // The commands of the tray and window menus (ids in ui/commands.h), on the GUI thread.
    bool IsCommandEnabled(int id) override;
    void OnCommand(int id) override;

    // For the login dialog and the options (mirnclient_dialogs.cpp), on the GUI thread.
    IFolderBrowser* GetFolderBrowser() override;
    void CloseLog() override;
    void DeleteWorker() override;  // the worker's thread has been stopped and joined
    // The update check (silent at start-up); true when this process should end.
    bool RunUpdateCheck(bool silent);

  private:
    void OpenRunningInstanceHome();
    void RunLoginDialog();
    bool HandleWindowMessage(const platform::WindowMessage& msg);
    void Shutdown();
    bool RunQtLoginDialog();  // false without the Qt front end
    // Command helpers (mirnclient_commands.cpp).
    void OpenHomeFolder();
    void OpenTrashFolder();
    void OpenServicePage(const std::string& path);
    void ShowOptions();
    void ShowAbout();
    void CheckForUpdate();

    std::unique_ptr<platform::InstanceLock> instanceLock_;
    std::unique_ptr<platform::ControlServer> control_;  // only while the instance lock is held
    std::unique_ptr<AppFrontEnd> frontEnd_;
    mutable std::mutex logMu_;  // the worker may open the log (a sign-in without one)
    std::unique_ptr<CLogger> logger_;
    // Set and dropped only through SetWork: the signal thread reads it under the app's lock.
    std::unique_ptr<CWork> work_;
    std::unique_ptr<IFolderBrowser> folderBrowser_;
    std::atomic<int> initComplete_{0};
    std::atomic<bool> exitRequested_{false};
    std::atomic<int> exitCode_{0};
    bool instanceLockFailed_ = false;
};
