// CQtFrontEnd: the main-window interface on the Qt GUI thread. A send from another thread is
// queued to the GUI thread and waits until it has been handled there; a send from the GUI thread
// runs inline. Once the GUI loop has ended (Close), sends return 0 at once and posts fail, so an
// exiting client never leaves the worker waiting. Message boxes asked from any thread are shown
// on the GUI thread. Lives on the thread that creates it (after the QApplication); the owner of
// the handler and target keeps them valid while the front end exists.
#pragma once

#include <QObject>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/mainwindow.h"

class CQtFrontEnd : public QObject, public platform::IMainWindow {
    Q_OBJECT

  public:
    // `handler` sees every message first and may swallow it (true: the result is 1); the others
    // go to the target (the main frame), whose result is the send's.
    using Handler = std::function<bool(const platform::WindowMessage&)>;
    using Target = std::function<int64_t(const platform::WindowMessage&)>;
    explicit CQtFrontEnd(Handler handler = nullptr);
    ~CQtFrontEnd() override;

    void SetTarget(Target target);

    int64_t Send(const platform::WindowMessage& msg) override;
    bool Post(const platform::WindowMessage& msg) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;

    // Runs the GUI loop until Quit, then closes the front end; returns the exit code.
    int Run();
    // Ends the GUI loop with `code` and closes the front end; any thread, also before Run.
    void Quit(int code);
    // From now on sends and message boxes return at once and posts fail; waiting senders wake.
    void Close();
    bool IsClosed() const;

  private:
    struct Call;
    int64_t Dispatch(const platform::WindowMessage& msg);
    int ShowBox(const std::string& text, const std::string& caption, unsigned flags);
    bool OnGuiThread() const;
    // Runs `work` on the GUI thread and waits for its result; `fallback` when closed first.
    int64_t CallOnGui(std::function<int64_t()> work, int64_t fallback);

    Handler handler_;
    Target target_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool closed_ = false;
};
