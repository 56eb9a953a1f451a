// CMirnClientApp: the commands of the tray menu and the main window's menu, and their enabling.
#include "app/appfrontend.h"
#include "app/mirnclient.h"
#include "core/config.h"
#include "core/locations.h"
#include "core/log.h"
#include "platform/file.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "platform/system.h"
#include "sync/work.h"
#include "ui/commands.h"
#include "util/util.h"

#ifdef KESTRINE_WITH_QT
#include "ui/qtapp.h"
#endif

bool CMirnClientApp::IsCommandEnabled(int id) {
    ui::CommandState state;
    state.hasWorker = work_ != nullptr;
    state.initComplete = initComplete_.load() != 0;
    state.signedIn = work_ && work_->IsSignedIn();
    state.ready = work_ && work_->IsReady();
    return ui::IsCommandEnabled(id, state);
}

void CMirnClientApp::OnCommand(int id) {
    switch (ui::TrayCommandOf(id)) {
        case ui::ID_WEB_FOLDER:
            OpenServicePage("/files.jsp");
            break;
        case ui::ID_LOCAL_FOLDER:
            OpenHomeFolder();
            break;
        case ui::ID_TRASH:
            OpenTrashFolder();
            break;
        case ui::ID_SYNC:
            if (work_)
                work_->Request(platform::WM_WORK_SYNC, platform::kMainWindowHandle);
            break;
        case ui::ID_LOGIN:
            if (work_)
                RunLoginDialog();
            break;
        case ui::ID_LOGOUT:
            if (work_) {
                platform::SendToMain(platform::WM_SETMESSAGESTRING, 0, CUtil::TrShown("App", "注销中..."));
                work_->Request(platform::WM_WORK_LOGOUT, platform::kMainWindowHandle);
            }
            break;
        case ui::ID_OPTIONS:
            ShowOptions();
            break;
        case ui::ID_ABOUT:
            ShowAbout();
            break;
        case ui::ID_HELP:
            OpenServicePage("/support/manual.jsp");
            break;
        case ui::ID_EXIT:
            // The orderly end: the GUI loop stops, the worker is stopped and deleted without
            // signing out, then the log is closed with its separator; exit code 0.
            RequestExit(0);
            break;
        default:
            break;
    }
}

void CMirnClientApp::OpenHomeFolder() {
    if (!work_ || !work_->GetConfig())
        return;
    const std::string root = work_->GetConfig()->Get(CConfig::kRootPath);
    if (!root.empty())
        platform::OpenWithDefault(locations::HomeFolder(root));
}

void CMirnClientApp::OpenTrashFolder() {
    if (!work_ || !work_->GetConfig())
        return;
    const std::string root = work_->GetConfig()->Get(CConfig::kRootPath);
    if (root.empty())
        return;
    // Made when missing, so the file manager opens an empty trash rather than an error.
    const std::string trash = locations::TrashFolder(root);
    if (!platform::IsDirectory(trash))
        platform::MakeDir(trash);
    platform::OpenWithDefault(trash);
}

void CMirnClientApp::OpenServicePage(const std::string& path) {
    std::string browser;
    if (!CUtil::GetDefaultBrowser(&browser)) {
        Log(kLogWarn, "CMirnClientApp::OpenServicePage", "No default browser for \"%s\"", path.c_str());
        return;
    }
    platform::OpenWithDefault("http://" + CConfig::ServiceHost() + path);
}

void CMirnClientApp::ShowAbout() {
#ifdef KESTRINE_WITH_QT
    if (CQtApp* qt = frontEnd_ ? frontEnd_->Qt() : nullptr) {
        qt->ShowAbout([this] { CheckForUpdate(); });
        return;
    }
#endif
    platform::ShowMessageBox(std::string("Kestrine Version 1.0 (build ") + ui::kClientBuild + ")",
                             CUtil::TrShown("App", "关于Kestrine"),
                             platform::MB_OK | platform::MB_ICONINFORMATION);
}

// ShowOptions and CheckForUpdate: mirnclient_dialogs.cpp.
