#include "app/mirnclient.h"

#include <iostream>
#include <vector>

#include "app/appfrontend.h"
#include "app/consolelogin.h"
#include "app/statuscommand.h"

#include "core/config.h"
#include "core/locations.h"
#include "core/log.h"
#include "core/logger.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/filemode.h"
#include "platform/frontends.h"
#include "platform/instancelock.h"
#include "platform/messages.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "sync/work.h"
#include "ui/commands.h"
#include "ui/folderbrowser.h"
#include "util/util.h"

#ifdef KESTRINE_WITH_QT
#include "ui/translation.h"
#endif

namespace {

constexpr const char* kCaption = "Kestrine";
constexpr const char* kInstanceName = "KestrineSelfMutex";
constexpr int kLogKeepDays = 3;
constexpr int kDebugLevel = 5;
constexpr int kAllLevel = 6;
// How long the exit waits for the worker to finish its current step before the process ends
// without it (the log is still closed properly).
constexpr int kWorkerStopWaitMs = 10000;

// The signal thread reaches the application through this pointer while it exists.
std::mutex g_appMu;
CMirnClientApp* g_app = nullptr;

void OnTerminationSignal(int signal) {
    std::lock_guard<std::mutex> lock(g_appMu);
    if (!g_app)
        return;
    if (platform::IsReportSignal(signal))
        g_app->ReportNotSynced();
    else
        g_app->RequestExit(0);
}

}  // namespace

CMirnClientApp::CMirnClientApp() = default;

CMirnClientApp::~CMirnClientApp() {
    Shutdown();
}

int CMirnClientApp::Run() {
    {
        std::lock_guard<std::mutex> lock(g_appMu);
        g_app = this;
    }
    // Before any other thread starts, so every thread leaves SIGINT and SIGTERM to the handler.
    platform::InstallTerminationHandler(&OnTerminationSignal);

    if (InitInstance() && !exitRequested_.load())
        exitCode_.store(frontEnd_->Run());
    Shutdown();
    {
        std::lock_guard<std::mutex> lock(g_appMu);
        g_app = nullptr;
    }
    return exitCode_.load();
}

void CMirnClientApp::RequestExit(int code) {
    exitCode_.store(code);
    exitRequested_.store(true);
    // A console dialog or message box waiting for a line gives up.
    platform::InterruptStdin();
    if (frontEnd_)
        frontEnd_->Quit(code);
}

void CMirnClientApp::ReportNotSynced() {
    CWork* work = work_.get();
    const std::vector<CSkippedItems::Item> items =
        work ? work->GetSkipped().Items() : std::vector<CSkippedItems::Item>();
    // Posted, not sent: the signal thread must not wait for a front end that may be busy.
    if (items.empty())
        platform::PostToMain(platform::WM_ITEM_NOT_SYNCED, 1);
    for (const CSkippedItems::Item& item : items)
        platform::PostToMain(platform::WM_ITEM_NOT_SYNCED, 1, item.path, item.reason);
}

std::string CMirnClientApp::AnswerControl(platform::control::Request request) {
    std::lock_guard<std::mutex> lock(g_appMu);  // work_ changes under it
    CWork* work = work_.get();
    if (request == platform::control::Request::kSync) {
        // The tray's rule: a pass is asked for only when the command is enabled there. Signed in
        // but not ready means a pass is under way, which is what the caller wants.
        if (!IsCommandEnabled(ui::ID_SYNC)) {
            const bool passUnderWay =
                work && initComplete_.load() != 0 && work->IsSignedIn() && !work->IsReady();
            return passUnderWay ? "{\"sync\":\"running\"}" : "{\"sync\":\"refused\"}";
        }
        work->Request(platform::WM_WORK_SYNC, platform::kMainWindowHandle);
        return "{\"sync\":\"requested\"}";
    }
    statuscmd::Facts facts;
    facts.started = work && initComplete_.load() != 0;
    if (work) {
        facts.signedIn = work->IsSignedIn() != 0;
        facts.account = work->GetUser();
        facts.status = work->GetStatus().Get();
        for (const CSkippedItems::Item& item : work->GetSkipped().Items())
            facts.notSynced.push_back({item.path, item.reason});
    }
    return statuscmd::StatusJson(facts);
}

void CMirnClientApp::SetWork(std::unique_ptr<CWork> work) {
    {
        std::lock_guard<std::mutex> lock(g_appMu);
        work_.swap(work);
    }
}

bool CMirnClientApp::InitInstance() {
    // The user's language, before any text is shown and before the worker threads read it.
#ifdef KESTRINE_WITH_QT
    if (!ui::InstallUserLanguage())
        Log(kLogWarn, "CMirnClientApp::InitInstance", "Fail to load the English translation");
#endif
    // A first start writes what an installer would have: the install folder and the data root.
    platform::SeedRegistryDefaults();

    // 1. One instance per user: a second start shows the running instance's home folder.
    instanceLock_ = std::make_unique<platform::InstanceLock>();
    platform::InstanceLock::Result lock = instanceLock_->Acquire(kInstanceName);
    if (lock == platform::InstanceLock::Result::HeldElsewhere) {
        instanceLock_.reset();
        OpenRunningInstanceHome();
        exitCode_.store(0);
        return false;
    }
    // A lock that cannot be taken at all (no writable runtime folder) does not stop the client.
    instanceLockFailed_ = lock == platform::InstanceLock::Result::Failed;
    // Only the lock's holder may replace the socket a crashed instance left; without the lock
    // (or a private folder for it) the commands find no instance, and the client runs on.
    if (!instanceLockFailed_) {
        const std::string controlPath = platform::ControlSocketPath();
        auto control = std::make_unique<platform::ControlServer>();
        if (!controlPath.empty() &&
            control->Start(controlPath, [this](platform::control::Request r) { return AnswerControl(r); }))
            control_ = std::move(control);
    }

    // 2.-5. Common controls, sockets, OLE and the document template have no counterpart here.
    // The front end stands in for the hidden main window: the Qt tray when a display can be
    // opened, otherwise the console.
    {
        std::lock_guard<std::mutex> guard(g_appMu);  // the signal thread may ask it to quit
        frontEnd_ = AppFrontEnd::Choose(
            [this](const platform::WindowMessage& msg) { return HandleWindowMessage(msg); }, this,
            locations::Join(locations::InstallFolder(), "res"));
    }
    platform::SetMainWindow(frontEnd_->Window());
    platform::SendToMain(platform::WM_TRAY_ICON, 0);

    // 6. The silent update check, before the log and the worker: a downloaded installer, or a
    // required update declined, ends this start.
    if (RunUpdateCheck(true)) {
        exitCode_.store(0);
        return false;
    }

    // 7.
    if (!InitApp()) {
        exitCode_.store(1);
        return false;
    }
    return true;
}

void CMirnClientApp::OpenRunningInstanceHome() {
    std::string root;
    if (!platform::RegistryGetString(platform::kClientKey, "root_path", &root, locations::kRootPathBuffer) ||
        root.empty())
        return;  // no root to show; the running instance keeps going either way
    std::string dbPath = locations::DatabasePath(root);
    CUtil::AnsiToUtf8(dbPath);
    CConfig config;
    if (config.Init(dbPath) && config.Load())
        platform::OpenWithDefault(locations::HomeFolder(root));
}

bool CMirnClientApp::InitLog() {
    {
        std::lock_guard<std::mutex> lock(logMu_);
        if (logger_)
            return true;
        std::string folder = locations::LogFolder();
        CUtil::CleanLogs(folder, kLogKeepDays);  // creates the folder when missing
        platform::MakeDirPrivate(folder);
        locations::TightenFilesIn(folder);
        if (platform::IsDirectory(folder))
            platform::SetFileAttributes(folder, platform::kAttrHidden);
        std::string path = locations::LogFileName(folder, platform::GetLocalTime());

        auto logger = std::make_unique<CLogger>();
        logger->SetLevel(kDebugLevel);
        if (logger->Open(path)) {
            logger->SetLevel(kAllLevel);  // keep every start-up line
            logger_ = std::move(logger);
            SetAppLogger(logger_.get());
            if (instanceLockFailed_)
                Log(kLogWarn, "CMirnClientApp::InitLog", "Fail to take the single-instance lock \"%s\"",
                    kInstanceName);
            return true;
        }
    }
    // Outside the lock: the box may wait for the user.
    platform::ShowMessageBox("Log File could not be opened!", kCaption, platform::MB_OK);
    return false;
}

CLogger* CMirnClientApp::GetLogger() const {
    std::lock_guard<std::mutex> lock(logMu_);
    return logger_.get();
}

bool CMirnClientApp::InitApp() {
    SetInitLogHook([this] { return InitLog(); });
    InitLog();

    SetWork(std::make_unique<CWork>());
    if (work_->Init() != 1) {
        platform::ShowMessageBox("Fail to start Worker!", kCaption, platform::MB_OK);
        return false;
    }
    // The shell change registration has no counterpart: file managers follow inotify themselves.

    Log(kLogInfo, "CMirnClientApp::InitApp", "running...");
    initComplete_.store(1);

    CConfig* config = work_->GetConfig();
    const std::string hostName = config->Get(CConfig::kHostName);
    if (!work_->GetUser().empty() && !work_->GetPassword().empty() && !hostName.empty()) {
        work_->Request(platform::WM_WORK_LOGIN, 0);
        return true;
    }
    // Without a computer name the next sign-in registers this computer anew.
    if (hostName.empty())
        config->Set(CConfig::kHostId, "");
    RunLoginDialog();
    return true;
}

void CMirnClientApp::RunLoginDialog() {
    if (RunQtLoginDialog())
        return;
    if (!frontEnd_ || frontEnd_->Qt()) {
        Log(kLogInfo, "CMirnClientApp::RunLoginDialog",
            "Login dialog is not available yet; running signed out");
        return;
    }
    // The console asks on the terminal, or reads the lines a script pipes in. An exit request
    // ends its reads and its wait.
    platform::InstallInterruptibleStdin();
    CConsoleLogin dialog(work_.get(), std::cin, std::cout, platform::StdinIsTerminal(), &exitRequested_);
    dialog.Run();
}

bool CMirnClientApp::HandleWindowMessage(const platform::WindowMessage& msg) {
    if (msg.code == platform::WM_LOGOUT_DONE) {
        if (work_) {
            work_->SetSignedIn(0);
            work_->SetReady(0);
        }
        platform::SendToMain(platform::WM_SETMESSAGESTRING, 0, CUtil::TrShown("App", "注销成功"));
        return true;
    }
    return false;
}

void CMirnClientApp::Shutdown() {
    SetInitLogHook(nullptr);
    // First: its thread reads the worker, and a command must find no instance from here on.
    control_.reset();
    // A worker waiting for the GUI must not hold up the exit: from here on sends return at once.
    if (frontEnd_)
        frontEnd_->Quit(exitCode_.load());
    if (work_) {
        if (!work_->Stop(kWorkerStopWaitMs)) {
            // The worker is stuck in a step that does not end; its objects must outlive it, so
            // the process ends here, with the log closed.
            Log(kLogError, "CMirnClientApp::Shutdown", "Worker did not stop within %d ms", kWorkerStopWaitMs);
            CloseLog();
            platform::ExitProcessNow(exitCode_.load());
        }
        SetWork(nullptr);
    }
    CloseLog();
    if (frontEnd_) {
        platform::SetMainWindow(nullptr);
        std::lock_guard<std::mutex> guard(g_appMu);
        frontEnd_.reset();
    }
    instanceLock_.reset();
}

void CMirnClientApp::CloseLog() {
    std::unique_ptr<CLogger> logger;
    {
        std::lock_guard<std::mutex> lock(logMu_);
        logger = std::move(logger_);
    }
    if (logger) {
        SetAppLogger(nullptr);
        logger.reset();  // writes the closing separator
    }
}
