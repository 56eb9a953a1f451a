// CReplyWindow: a reply window for the worker's answers (WM_LOGIN_RESULT, WM_LOGOUT_DONE). It
// registers a platform window handle to pass with a request; what the worker posts to it arrives
// on the GUI thread, through the callback or a wait. Once the object is gone a late answer is
// dropped, so the worker never reaches a closed dialog. GUI thread only, apart from the posting.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

#include "platform/mainwindow.h"

class CReplyWindow : public QObject {
    Q_OBJECT

  public:
    using Callback = std::function<void(const platform::WindowMessage&)>;
    explicit CReplyWindow(Callback callback = nullptr, QObject* parent = nullptr);
    ~CReplyWindow() override;

    platform::WindowHandle Handle() const { return handle_; }
    // Runs the GUI loop until a message with `code` has arrived (also one that came before the
    // call), at most `timeoutMs`; false on timeout or when the application is quitting.
    bool WaitFor(uint32_t code, int timeoutMs, platform::WindowMessage* out = nullptr);

  private:
    struct Relay;
    void Deliver(const platform::WindowMessage& msg);

    Callback callback_;
    std::shared_ptr<Relay> relay_;
    platform::WindowHandle handle_ = 0;
    std::vector<platform::WindowMessage> received_;
    std::function<void()> wake_;
};
