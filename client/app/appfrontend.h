// AppFrontEnd: the front end the application runs, chosen once at start-up: the Qt tray front end
// when the environment names a display and Qt can open it, otherwise the console one. It owns
// the front end (and, for Qt, the QApplication and the main frame).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/frontends.h"

class CQtApp;
class IFrameOwner;

class AppFrontEnd {
  public:
    virtual ~AppFrontEnd() = default;
    virtual platform::IMainWindow* Window() = 0;
    virtual int Run() = 0;                    // the GUI loop, until Quit
    virtual void Quit(int code) = 0;          // any thread
    virtual CQtApp* Qt() { return nullptr; }  // the Qt side; null for the console

    // `consoleHandler` sees the console front end's messages first; the Qt main frame handles
    // its messages itself. `resourceDir` holds the icons.
    static std::unique_ptr<AppFrontEnd> Choose(platform::ConsoleFrontEnd::Handler consoleHandler,
                                               IFrameOwner* owner, const std::string& resourceDir);
};
