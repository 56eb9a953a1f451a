// CMirnClientApp: the dialogs it opens (login, options), the update check, and the steps the
// data-folder move asks of it.
#include <iostream>

#include "app/appfrontend.h"
#include "app/mirnclient.h"
#include "core/config.h"
#include "core/log.h"
#include "platform/console.h"
#include "sync/work.h"
#include "ui/folderbrowser.h"

#ifdef KESTRINE_WITH_QT
#include "ui/downloaddlg.h"
#include "ui/logindlg.h"
#include "ui/option.h"
#include "ui/updatecheck.h"
#endif

bool CMirnClientApp::RunUpdateCheck(bool silent) {
#ifdef KESTRINE_WITH_QT
    const std::string base = "http://" + CConfig::ServiceHost();
    if (frontEnd_ && frontEnd_->Qt()) {
        CQtUpdatePrompt prompt;
        return CUpdateCheck(base, silent, &prompt).Check();
    }
    // The console asks on the terminal; an exit request ends its reads.
    platform::InstallInterruptibleStdin();
    CConsoleUpdatePrompt prompt(std::cin, std::cout);
    return CUpdateCheck(base, silent, &prompt).Check();
#else
    (void)silent;
    return false;
#endif
}

void CMirnClientApp::CheckForUpdate() {
    // From the about box: the result only matters at start-up.
    RunUpdateCheck(false);
}

void CMirnClientApp::ShowOptions() {
#ifdef KESTRINE_WITH_QT
    if (frontEnd_ && frontEnd_->Qt()) {
        COption options(this);
        options.exec();
        return;
    }
#endif
    Log(kLogInfo, "CMirnClientApp::ShowOptions", "The options need the desktop front end");
}

bool CMirnClientApp::RunQtLoginDialog() {
#ifdef KESTRINE_WITH_QT
    if (frontEnd_ && frontEnd_->Qt()) {
        CLoginDlg dialog(this);
        dialog.exec();
        return true;
    }
#endif
    return false;
}

IFolderBrowser* CMirnClientApp::GetFolderBrowser() {
#ifdef KESTRINE_WITH_QT
    if (!folderBrowser_) {
        if (frontEnd_ && frontEnd_->Qt()) {
            folderBrowser_ = std::make_unique<CQtFolderBrowser>();
        } else {
            platform::InstallInterruptibleStdin();
            folderBrowser_ = std::make_unique<CConsoleFolderBrowser>(std::cin, std::cout);
        }
    }
#endif
    return folderBrowser_.get();
}

void CMirnClientApp::DeleteWorker() {
    // The menus read the flag: until InitApp has a new worker, nothing asks for this one.
    initComplete_.store(0);
    SetWork(nullptr);
}
