// CLoginDlg: the login dialog "Kestrine - 用户登录". It shows the stored account, password and
// computer name, the remember-password and autostart choices; "确定" writes them into the
// configuration and the worker, asks the worker to sign in and waits with its controls disabled
// until WM_LOGIN_RESULT: success closes the dialog, failure lets the user correct the input.
// "取消" sets the worker's login-cancel flag (ending the sign-in's request in flight) and closes. Modal, GUI
// thread; the owner outlives it.
#pragma once

#include <QDialog>
#include <memory>

#include "platform/mainwindow.h"

class CReplyWindow;
class IDialogOwner;
class QCheckBox;
class QLineEdit;
class QPushButton;

class CLoginDlg : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kMaxFieldChars = 64;
    // The sign-in carries at most this many bytes of password.
    static constexpr size_t kMaxPasswordBytes = 64;
    static constexpr const char* kCaption = "Kestrine";

    explicit CLoginDlg(IDialogOwner* owner, QWidget* parent = nullptr);
    ~CLoginDlg() override;

    void OnOK();
    void OnCancel();
    void reject() override;  // Escape and the close box act as "取消"
    void OnProxy();
    void OnRegister();
    void OnLoginResult(bool ok);
    bool IsWaiting() const { return waiting_; }

    // The controls, for tests.
    QLineEdit* AccountEdit() const { return account_; }
    QLineEdit* PasswordEdit() const { return password_; }
    QLineEdit* ComputerEdit() const { return computer_; }
    QCheckBox* RememberBox() const { return remember_; }
    QCheckBox* AutostartBox() const { return autostart_; }
    QPushButton* RegisterButton() const { return register_; }
    QPushButton* ProxyButton() const { return proxy_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

  private:
    void SetWaiting(bool waiting);
    void OnReply(const platform::WindowMessage& msg);

    IDialogOwner* owner_;
    std::unique_ptr<CReplyWindow> reply_;
    bool waiting_ = false;
    bool computerEditable_ = false;  // no name was stored or found: the user types one
    QLineEdit* account_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLineEdit* computer_ = nullptr;
    QCheckBox* remember_ = nullptr;
    QCheckBox* autostart_ = nullptr;
    QPushButton* register_ = nullptr;
    QPushButton* proxy_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
