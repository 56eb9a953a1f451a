// CQtApp: the Qt side of the application: the QApplication, the front end that carries the
// worker's messages to the GUI thread, and the main frame with its tray icon. Created once at
// start-up when a display can be opened; destroyed (frame, front end, then the QApplication)
// after the GUI loop has ended and the worker has stopped.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ui/frameowner.h"

class CMainFrame;
class CQtFrontEnd;
class QApplication;
namespace platform {
class IMainWindow;
}

class CQtApp {
  public:
    // Null when neither the environment names a display ($DISPLAY, $WAYLAND_DISPLAY or
    // $QT_QPA_PLATFORM) nor Qt can open the one it names; the client then uses the console.
    // `resourceDir` holds the icons.
    static std::unique_ptr<CQtApp> Create(IFrameOwner* owner, const std::string& resourceDir);
    ~CQtApp();
    CQtApp(const CQtApp&) = delete;
    CQtApp& operator=(const CQtApp&) = delete;

    platform::IMainWindow* Window() const;
    CMainFrame* Frame() const { return frame_.get(); }
    int Run();            // the GUI loop until Quit
    void Quit(int code);  // any thread
    // The about box; `checkUpdate` runs the interactive update check.
    void ShowAbout(std::function<void()> checkUpdate);

  private:
    CQtApp() = default;

    std::string resourceDir_;
    std::unique_ptr<QApplication> app_;
    std::unique_ptr<CQtFrontEnd> front_;
    std::unique_ptr<CMainFrame> frame_;
};
