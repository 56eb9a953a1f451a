#include "ui/logindlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "core/config.h"
#include "core/log.h"
#include "platform/messages.h"
#include "platform/system.h"
#include "sync/work.h"
#include "ui/dialogowner.h"
#include "ui/option.h"
#include "ui/replywindow.h"
#include "ui/uitext.h"

namespace {}  // namespace

CLoginDlg::CLoginDlg(IDialogOwner* owner, QWidget* parent)
    : QDialog(parent),
      owner_(owner),
      reply_(std::make_unique<CReplyWindow>([this](const platform::WindowMessage& m) { OnReply(m); })) {
    setWindowTitle(tr("Kestrine - 用户登录"));

    account_ = new QLineEdit(this);
    account_->setMaxLength(kMaxFieldChars);
    password_ = new QLineEdit(this);
    password_->setMaxLength(kMaxFieldChars);
    password_->setEchoMode(QLineEdit::Password);
    computer_ = new QLineEdit(this);
    computer_->setMaxLength(kMaxFieldChars);
    computer_->setReadOnly(true);
    remember_ = new QCheckBox(tr("记住密码"), this);
    autostart_ = new QCheckBox(tr("开机启动"), this);
    register_ = new QPushButton(tr("注册新用户"), this);
    proxy_ = new QPushButton(tr("代理设置"), this);
    ok_ = new QPushButton(tr("确定"), this);
    ok_->setDefault(true);
    cancel_ = new QPushButton(tr("取消"), this);
    connect(ok_, &QPushButton::clicked, this, &CLoginDlg::OnOK);
    connect(cancel_, &QPushButton::clicked, this, &CLoginDlg::OnCancel);
    connect(proxy_, &QPushButton::clicked, this, &CLoginDlg::OnProxy);
    connect(register_, &QPushButton::clicked, this, &CLoginDlg::OnRegister);

    auto* fields = new QGridLayout;
    fields->addWidget(new QLabel(tr("账    号"), this), 0, 0);
    fields->addWidget(account_, 0, 1);
    fields->addWidget(new QLabel(tr("密    码"), this), 1, 0);
    fields->addWidget(password_, 1, 1);
    fields->addWidget(new QLabel(tr("主机名称"), this), 2, 0);
    fields->addWidget(computer_, 2, 1);
    auto* choices = new QHBoxLayout;
    choices->addWidget(remember_);
    choices->addWidget(autostart_);
    choices->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(register_);
    buttons->addWidget(proxy_);
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(choices);
    layout->addLayout(buttons);

    // The stored account as the table holds it, the password decoded.
    std::string account, password, computer;
    CWork* work = owner_ ? owner_->GetWorker() : nullptr;
    CConfig* config = work ? work->GetConfig() : nullptr;
    if (config) {
        config->ReadStoredValue(CConfig::KeyName(CConfig::kLoginUser), &account);
        config->ReadStoredValue(CConfig::KeyName(CConfig::kLoginPasswd), &password);
        config->ReadStoredValue(CConfig::KeyName(CConfig::kHostName), &computer);
    }
    if (computer.empty()) {
        computer = platform::ComputerName();
        if (!computer.empty() && config)
            config->Set(CConfig::kHostName, computer);
    }
    account_->setText(ui::FromAnsi(account));
    password_->setText(ui::FromAnsi(password));
    computer_->setText(ui::FromAnsi(computer));
    autostart_->setChecked(platform::IsAutostartEnabled());
    remember_->setChecked(config && !config->Get(CConfig::kLoginPasswd).empty());
}

CLoginDlg::~CLoginDlg() = default;

void CLoginDlg::OnOK() {
    if (waiting_)
        return;
    const std::string account = ui::ToAnsi(account_->text());
    const std::string password = ui::ToAnsi(password_->text());
    const std::string computer = ui::ToAnsi(computer_->text());
    if (account.empty() || password.empty() || computer.empty()) {
        platform::ShowMessageBox(ui::ToAnsi(tr("请输入完整数据")), kCaption, platform::MB_OK);
        if (computer.empty()) {
            computer_->setReadOnly(false);
            computerEditable_ = true;
        }
        return;
    }
    // A longer password would be cut short on its way to the service.
    if (password.size() > kMaxPasswordBytes) {
        platform::ShowMessageBox(ui::ToAnsi(tr("密码不能超过64个字节")), kCaption,
                                 platform::MB_OK | platform::MB_ICONWARNING);
        password_->setFocus();
        return;
    }
    CWork* work = owner_ ? owner_->GetWorker() : nullptr;
    CConfig* config = work ? work->GetConfig() : nullptr;
    if (!config) {
        Log(kLogError, "CLoginDlg::OnOK", "No worker to sign in with");
        return;
    }
    config->Set(CConfig::kLoginUser, account);
    config->Set(CConfig::kLoginPasswd, password);
    work->SetUser(config->Get(CConfig::kLoginUser));
    work->SetPassword(config->Get(CConfig::kLoginPasswd));
    // A registered computer keeps its name. The field becomes writable only when neither the table
    // nor the system had a name, so what is typed there is this computer's name, whatever an
    // earlier, abandoned dialog left in memory.
    if (config->Get(CConfig::kHostName).empty() || computerEditable_)
        config->Set(CConfig::kHostName, computer);
    // The autostart entry is a convenience: a failure to write it does not stop the sign-in.
    if (!platform::SetAutostart(autostart_->isChecked(), platform::ExecutablePath(),
                                platform::AutostartTemplate()))
        Log(kLogWarn, "CLoginDlg::OnOK", "Fail to %s the autostart entry",
            autostart_->isChecked() ? "write" : "remove");
    // The worker keeps the typed password for this sign-in; the store at its end writes an empty one.
    if (!remember_->isChecked())
        config->Set(CConfig::kLoginPasswd, "");
    // A Cancel of an earlier round, given after its sign-in had ended, must not end this one.
    work->SetLoginCancel(0);
    if (work->Request(platform::WM_WORK_LOGIN, reply_->Handle()) != 1) {
        // No answer would ever come: the dialog stays usable.
        Log(kLogError, "CLoginDlg::OnOK", "Fail to ask the worker to sign in");
        return;
    }
    SetWaiting(true);
}

void CLoginDlg::SetWaiting(bool waiting) {
    waiting_ = waiting;
    for (QWidget* w :
         std::initializer_list<QWidget*>{ok_, account_, password_, remember_, autostart_, proxy_})
        w->setEnabled(!waiting);
}

void CLoginDlg::OnReply(const platform::WindowMessage& msg) {
    if (msg.code == platform::WM_LOGIN_RESULT)
        OnLoginResult(msg.wParam == 1);
}

void CLoginDlg::OnLoginResult(bool ok) {
    if (!waiting_)
        return;
    if (ok) {
        waiting_ = false;
        accept();
        return;
    }
    SetWaiting(false);
}

void CLoginDlg::OnCancel() {
    // The sign-in gives up at once: its request in flight and its wait to try again end within a
    // fraction of a second; its answer to this dialog is dropped.
    if (CWork* work = owner_ ? owner_->GetWorker() : nullptr)
        work->SetLoginCancel(1);
    waiting_ = false;
    QDialog::reject();
}

void CLoginDlg::reject() {
    OnCancel();
}

void CLoginDlg::OnProxy() {
    COption options(owner_, this);
    options.exec();
}

void CLoginDlg::OnRegister() {
    platform::OpenWithDefault("http://" + CConfig::ServiceHost() + "/reg.jsp");
}
