#include "ui/option.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "ui/optionother.h"
#include "ui/optionproxy.h"

COption::COption(IDialogOwner* owner, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("选项"));
    sheet_ = new QTabWidget(this);
    proxy_ = new COptionProxy(owner, sheet_);
    other_ = new COtherOptions(owner, sheet_);
    sheet_->addTab(proxy_, tr("代理设置"));
    sheet_->addTab(other_, tr("其他选项"));

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(tr("确定"), QDialogButtonBox::AcceptRole);
    buttons->addButton(tr("取消"), QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &COption::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->addWidget(sheet_);
    layout->addWidget(buttons);
}

void COption::OnOK() {
    if (!proxy_->Validate()) {
        sheet_->setCurrentWidget(proxy_);
        return;
    }
    proxy_->Apply();
    accept();
}
