#include "ui/qtfrontend.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include "platform/messages.h"
#include "ui/uitext.h"

// The state one cross-thread call waits on; shared by the waiting sender and the queued work.
struct CQtFrontEnd::Call {
    bool done = false;
    int64_t result = 0;
};

CQtFrontEnd::CQtFrontEnd(Handler handler) : handler_(std::move(handler)) {}

CQtFrontEnd::~CQtFrontEnd() {
    Close();
}

void CQtFrontEnd::SetTarget(Target target) {
    target_ = std::move(target);
}

bool CQtFrontEnd::OnGuiThread() const {
    return QThread::currentThread() == thread();
}

bool CQtFrontEnd::IsClosed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return closed_;
}

void CQtFrontEnd::Close() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    cv_.notify_all();
}

int64_t CQtFrontEnd::Dispatch(const platform::WindowMessage& msg) {
    if (handler_ && handler_(msg))
        return 1;
    return target_ ? target_(msg) : 0;
}

int64_t CQtFrontEnd::CallOnGui(std::function<int64_t()> work, int64_t fallback) {
    auto call = std::make_shared<Call>();
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (closed_)
            return fallback;
    }
    // Queued to this object: should it be destroyed first, Qt drops the call (the waiter has been
    // released by Close in the destructor).
    QMetaObject::invokeMethod(
        this,
        [this, call, work = std::move(work)] {
            int64_t result = work();
            std::lock_guard<std::mutex> lock(mu_);
            call->result = result;
            call->done = true;
            cv_.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return call->done || closed_; });
    return call->done ? call->result : fallback;
}

int64_t CQtFrontEnd::Send(const platform::WindowMessage& msg) {
    if (OnGuiThread())
        return Dispatch(msg);  // waiting for ourselves would never end
    return CallOnGui([this, msg] { return Dispatch(msg); }, 0);
}

bool CQtFrontEnd::Post(const platform::WindowMessage& msg) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (closed_)
            return false;
    }
    return QMetaObject::invokeMethod(
        this, [this, msg] { Dispatch(msg); }, Qt::QueuedConnection);
}

int CQtFrontEnd::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    // Without a loop to answer it, a box counts as dismissed: OK for a plain box, else Cancel.
    const int dismissed = (flags & 0xF) == platform::MB_OK ? platform::IDOK : platform::IDCANCEL;
    if (OnGuiThread())
        return ShowBox(text, caption, flags);
    return static_cast<int>(
        CallOnGui([this, text, caption, flags] { return ShowBox(text, caption, flags); }, dismissed));
}

int CQtFrontEnd::ShowBox(const std::string& text, const std::string& caption, unsigned flags) {
    QMessageBox box;
    box.setWindowTitle(ui::FromAnsi(caption));
    box.setText(ui::FromAnsi(text));
    switch (flags & 0xF0) {
        case platform::MB_ICONERROR:
            box.setIcon(QMessageBox::Critical);
            break;
        case platform::MB_ICONQUESTION:
            box.setIcon(QMessageBox::Question);
            break;
        case platform::MB_ICONWARNING:
            box.setIcon(QMessageBox::Warning);
            break;
        case platform::MB_ICONINFORMATION:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            break;
    }
    QMessageBox::StandardButton escape;
    switch (flags & 0xF) {
        case platform::MB_OKCANCEL:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            escape = QMessageBox::Cancel;
            break;
        case 3:  // yes, no, cancel
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            escape = QMessageBox::Cancel;
            break;
        case platform::MB_YESNO:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            escape = QMessageBox::No;
            break;
        default:
            box.setStandardButtons(QMessageBox::Ok);
            escape = QMessageBox::Ok;
            break;
    }
    box.setEscapeButton(escape);
    if (flags & platform::MB_DEFBUTTON2)
        box.setDefaultButton(escape);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    QMessageBox::StandardButton answer = clicked ? box.standardButton(clicked) : escape;
    switch (answer) {
        case QMessageBox::Ok:
            return platform::IDOK;
        case QMessageBox::Yes:
            return platform::IDYES;
        case QMessageBox::No:
            return platform::IDNO;
        default:
            return platform::IDCANCEL;
    }
}

int CQtFrontEnd::Run() {
    int code = QApplication::exec();
    Close();
    return code;
}

void CQtFrontEnd::Quit(int code) {
    Close();
    // Queued, so it also ends a loop that has not started yet, and works from any thread.
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}
