// COption: the options window "选项": a sheet with the pages "代理设置" (COptionProxy) and
// "其他选项" (COtherOptions). "确定" validates the proxy page and applies it; "取消" closes
// without applying it (the notifications switch and a data-folder move take effect at once).
// Modal, GUI thread; opened from the tray and from the login dialog. The owner outlives it.
#pragma once

#include <QDialog>

class COptionProxy;
class COtherOptions;
class IDialogOwner;
class QTabWidget;

class COption : public QDialog {
    Q_OBJECT

  public:
    explicit COption(IDialogOwner* owner, QWidget* parent = nullptr);

    void OnOK();
    COptionProxy* ProxyPage() const { return proxy_; }
    COtherOptions* OtherPage() const { return other_; }
    QTabWidget* Sheet() const { return sheet_; }

  private:
    QTabWidget* sheet_ = nullptr;
    COptionProxy* proxy_ = nullptr;
    COtherOptions* other_ = nullptr;
};
