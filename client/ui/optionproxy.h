// COptionProxy: the options page "代理设置": whether a proxy is used, its type ("HTTP",
// "SOCKS4", "SOCKS5" or "浏览器设置", the environment's proxy), address, port, user and
// password. The page shows the configuration's values when created and writes them back (and to
// the table) at Apply; the service clients take them at the next sign-in. GUI thread.
#pragma once

#include <QWidget>
#include <string>

class CConfig;
class IDialogOwner;
class QCheckBox;
class QComboBox;
class QLineEdit;

class COptionProxy : public QWidget {
    Q_OBJECT

  public:
    static constexpr const char* kBrowserSetting = QT_TRANSLATE_NOOP("COptionProxy", "浏览器设置");
    static constexpr const char* kCaption = "Kestrine";

    explicit COptionProxy(IDialogOwner* owner, QWidget* parent = nullptr);

    // True when the values can be applied; otherwise the missing field has the focus and the user
    // has been told.
    bool Validate();
    void Apply();
    void OnUseProxy();    // the check box was clicked
    void OnTypeChange();  // another type was chosen

    // "host:port" split at the last ":"; without one, all is the address.
    static void SplitAddress(const std::string& text, std::string* address, std::string* port);

    QCheckBox* UseProxyBox() const { return use_; }
    QComboBox* TypeList() const { return type_; }
    QLineEdit* AddressEdit() const { return address_; }
    QLineEdit* PortEdit() const { return port_; }
    QLineEdit* UserEdit() const { return user_; }
    QLineEdit* PasswordEdit() const { return password_; }

  private:
    CConfig* Config() const;
    void UpdateEnabling();
    bool IsBrowserSetting() const;

    IDialogOwner* owner_;
    QCheckBox* use_ = nullptr;
    QComboBox* type_ = nullptr;
    QLineEdit* address_ = nullptr;
    QLineEdit* port_ = nullptr;
    QLineEdit* user_ = nullptr;
    QLineEdit* password_ = nullptr;
};
