// IDialogOwner: what the login dialog and the options need from the application object: the
// worker (looked up at each use: moving the data folder replaces it), the folder browser, and
// the steps of a restart on another data root. Free of Qt.
#pragma once

class CWork;
class IFolderBrowser;

class IDialogOwner {
  public:
    virtual ~IDialogOwner() = default;
    virtual CWork* GetWorker() const = 0;  // null while there is none
    virtual IFolderBrowser* GetFolderBrowser() = 0;
    // The data-folder move: closes the log (its file lives under the old root) ...
    virtual void CloseLog() = 0;
    // ... deletes the worker, whose thread the caller has stopped and joined ...
    virtual void DeleteWorker() = 0;
    // ... and starts again on the root the registry names: log, worker, then the sign-in or the
    // login dialog.
    virtual bool InitApp() = 0;
};
