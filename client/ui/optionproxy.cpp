#include "ui/optionproxy.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include "core/config.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "sync/work.h"
#include "ui/dialogowner.h"
#include "ui/uitext.h"

namespace {

constexpr int kTypeChars = 16;
constexpr int kAddressChars = 16;
constexpr int kPortChars = 8;
constexpr int kUserChars = 64;

QLineEdit* NewEdit(QWidget* parent, int maxChars) {
    auto* edit = new QLineEdit(parent);
    edit->setMaxLength(maxChars);
    return edit;
}

}  // namespace

COptionProxy::COptionProxy(IDialogOwner* owner, QWidget* parent) : QWidget(parent), owner_(owner) {
    use_ = new QCheckBox(tr("使用代理服务器"), this);
    type_ = new QComboBox(this);
    // The configuration keeps a type by its own name ("浏览器设置" whatever the language): the item
    // shows the name translated and carries it as it is.
    for (const char* t : {"HTTP", "SOCKS4", "SOCKS5", kBrowserSetting})
        type_->addItem(tr(t), QString::fromUtf8(t));
    address_ = NewEdit(this, kAddressChars);
    port_ = NewEdit(this, kPortChars);
    // A port is a number; anything else could never be dialled.
    port_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), port_));
    user_ = NewEdit(this, kUserChars);
    password_ = NewEdit(this, kUserChars);
    password_->setEchoMode(QLineEdit::Password);

    auto* layout = new QGridLayout(this);
    layout->addWidget(use_, 0, 0, 1, 4);
    layout->addWidget(new QLabel(tr("类型"), this), 1, 0);
    layout->addWidget(type_, 1, 1, 1, 3);
    layout->addWidget(new QLabel(tr("地址"), this), 2, 0);
    layout->addWidget(address_, 2, 1);
    layout->addWidget(new QLabel(tr("端口"), this), 2, 2);
    layout->addWidget(port_, 2, 3);
    layout->addWidget(new QLabel(tr("用户"), this), 3, 0);
    layout->addWidget(user_, 3, 1, 1, 3);
    layout->addWidget(new QLabel(tr("密码"), this), 4, 0);
    layout->addWidget(password_, 4, 1, 1, 3);
    layout->setRowStretch(5, 1);

    // The configuration's values as they are in memory.
    if (CConfig* config = Config()) {
        const int index = type_->findData(ui::FromAnsi(config->Get(CConfig::kProxyType)).left(kTypeChars));
        type_->setCurrentIndex(index < 0 ? 0 : index);
        std::string address, port;
        SplitAddress(config->Get(CConfig::kProxyAddr), &address, &port);
        address_->setText(ui::FromAnsi(address));
        port_->setText(ui::FromAnsi(port));
        user_->setText(ui::FromAnsi(config->Get(CConfig::kProxyUser)));
        password_->setText(ui::FromAnsi(config->Get(CConfig::kProxyPasswd)));
        use_->setChecked(config->GetProxyFlag() == 1);
    }
    UpdateEnabling();
    connect(use_, &QCheckBox::clicked, this, &COptionProxy::OnUseProxy);
    connect(type_, &QComboBox::activated, this, &COptionProxy::OnTypeChange);
}

CConfig* COptionProxy::Config() const {
    CWork* work = owner_ ? owner_->GetWorker() : nullptr;
    return work ? work->GetConfig() : nullptr;
}

void COptionProxy::SplitAddress(const std::string& text, std::string* address, std::string* port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        *address = text;
        port->clear();
        return;
    }
    *address = text.substr(0, colon);
    *port = text.substr(colon + 1);
}

bool COptionProxy::IsBrowserSetting() const {
    return type_->currentData().toString() == QString::fromUtf8(kBrowserSetting);
}

void COptionProxy::UpdateEnabling() {
    const bool on = use_->isChecked();
    type_->setEnabled(on);
    const bool edits = on && !IsBrowserSetting();
    for (QLineEdit* e : {address_, port_, user_, password_})
        e->setEnabled(edits);
}

void COptionProxy::OnUseProxy() {
    UpdateEnabling();
}

void COptionProxy::OnTypeChange() {
    if (IsBrowserSetting()) {
        // The environment's proxy is used as it is: nothing of the page's own applies.
        for (QLineEdit* e : {address_, port_, user_, password_}) {
            e->clear();
            e->setEnabled(false);
        }
        return;
    }
    for (QLineEdit* e : {address_, port_, user_, password_})
        e->setEnabled(true);
    port_->setText(type_->currentText() == QLatin1String("HTTP") ? QStringLiteral("80")
                                                                 : QStringLiteral("1080"));
}

bool COptionProxy::Validate() {
    if (!use_->isChecked() || IsBrowserSetting())
        return true;
    if (address_->text().isEmpty()) {
        address_->setFocus();
        platform::ShowMessageBox(ui::ToAnsi(tr("未设置代理服务器地址")), kCaption,
                                 platform::MB_OK | platform::MB_ICONERROR);
        return false;
    }
    if (port_->text().isEmpty()) {
        port_->setFocus();
        platform::ShowMessageBox(ui::ToAnsi(tr("未代理服务器端口")), kCaption,
                                 platform::MB_OK | platform::MB_ICONERROR);
        return false;
    }
    return true;
}

void COptionProxy::Apply() {
    CConfig* config = Config();
    if (!config)
        return;
    const std::string address = ui::ToAnsi(address_->text());
    const std::string port = ui::ToAnsi(port_->text());
    config->SetProxyFlag(use_->isChecked() ? "1" : "0");
    config->Set(CConfig::kProxyType, ui::ToAnsi(type_->currentData().toString()));
    config->Set(CConfig::kProxyAddr, address.empty() && port.empty() ? std::string() : address + ":" + port);
    config->Set(CConfig::kProxyUser, ui::ToAnsi(user_->text()));
    config->Set(CConfig::kProxyPasswd, ui::ToAnsi(password_->text()));
    config->StoreProxy();
}
