#include "ui/replywindow.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <mutex>

// The worker's side: it posts under the lock, the window clears the target under it before it
// goes, so a post either reaches a living window's queue or is dropped.
struct CReplyWindow::Relay {
    std::mutex mu;
    CReplyWindow* target = nullptr;
};

CReplyWindow::CReplyWindow(Callback callback, QObject* parent)
    : QObject(parent), callback_(std::move(callback)), relay_(std::make_shared<Relay>()) {
    relay_->target = this;
    std::shared_ptr<Relay> relay = relay_;
    handle_ = platform::RegisterWindow([relay](const platform::WindowMessage& msg) {
        std::lock_guard<std::mutex> lock(relay->mu);
        if (CReplyWindow* target = relay->target) {
            // Queued to the window: Qt drops the call should the window be destroyed first.
            QMetaObject::invokeMethod(
                target, [target, msg] { target->Deliver(msg); }, Qt::QueuedConnection);
        }
    });
}

CReplyWindow::~CReplyWindow() {
    platform::UnregisterWindow(handle_);
    std::lock_guard<std::mutex> lock(relay_->mu);
    relay_->target = nullptr;
}

void CReplyWindow::Deliver(const platform::WindowMessage& msg) {
    received_.push_back(msg);
    if (wake_)
        wake_();
    if (callback_)
        callback_(msg);
}

bool CReplyWindow::WaitFor(uint32_t code, int timeoutMs, platform::WindowMessage* out) {
    auto find = [&]() -> bool {
        for (const platform::WindowMessage& m : received_) {
            if (m.code == code) {
                if (out)
                    *out = m;
                return true;
            }
        }
        return false;
    };
    if (find())
        return true;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    wake_ = [&] {
        for (const platform::WindowMessage& m : received_) {
            if (m.code == code)
                loop.quit();
        }
    };
    timer.start(timeoutMs);
    // Ends at the answer, the time-out, or when the application quits (every loop is told to end).
    loop.exec();
    wake_ = nullptr;
    return find();
}
