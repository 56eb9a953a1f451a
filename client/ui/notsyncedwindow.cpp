#include "ui/notsyncedwindow.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/uitext.h"

CNotSyncedWindow::CNotSyncedWindow(Source source, QWidget* parent)
    : QDialog(parent), source_(std::move(source)) {
    setWindowTitle(tr("Kestrine - Items not synced"));
    auto* layout = new QVBoxLayout(this);
    summary_ = new QLabel(this);
    layout->addWidget(summary_);
    list_ = new QTreeWidget(this);
    list_->setColumnCount(2);
    list_->setHeaderLabels({tr("Path"), tr("Reason")});
    list_->setRootIsDecorated(false);
    list_->header()->setSectionResizeMode(0, QHeaderView::Interactive);
    list_->setColumnWidth(0, 360);
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
    layout->addWidget(buttons);
    resize(640, 320);
    Refresh();
}

void CNotSyncedWindow::Refresh() {
    const auto items = source_ ? source_() : std::vector<std::pair<std::string, std::string>>();
    list_->clear();
    for (const auto& [path, reason] : items) {
        auto* row = new QTreeWidgetItem(list_);
        row->setText(0, ui::FromAnsi(path));
        row->setText(1, QString::fromUtf8(reason.c_str()));
        row->setToolTip(0, row->text(0));
    }
    if (items.empty())
        summary_->setText(tr("Every item is synced."));
    else if (items.size() == 1)
        summary_->setText(tr("1 item is not synced:"));
    else
        summary_->setText(tr("%1 items are not synced:").arg(items.size()));
}
