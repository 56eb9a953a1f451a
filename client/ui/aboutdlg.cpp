#include "ui/aboutdlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include "ui/commands.h"

CAboutDlg::CAboutDlg(std::function<void()> checkUpdate, const QString& iconFile, QWidget* parent)
    : QDialog(parent), checkUpdate_(std::move(checkUpdate)) {
    setWindowTitle(tr("关于Kestrine"));
    auto* icon = new QLabel(this);
    QPixmap pixmap(iconFile);
    if (!pixmap.isNull())
        icon->setPixmap(pixmap);
    auto* name = new QLabel(QStringLiteral("<b>Kestrine</b>"), this);
    version_ = new QLabel(VersionText(), this);
    auto* buttons = new QDialogButtonBox(this);
    check_ = buttons->addButton(tr("检查更新"), QDialogButtonBox::ActionRole);
    QPushButton* ok = buttons->addButton(tr("确定"), QDialogButtonBox::AcceptRole);
    ok->setDefault(true);
    connect(check_, &QPushButton::clicked, this, &CAboutDlg::OnCheckUpdate);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QGridLayout(this);
    layout->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    layout->addWidget(name, 0, 1);
    layout->addWidget(version_, 1, 1);
    layout->addWidget(buttons, 2, 0, 1, 2);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString CAboutDlg::VersionText() {
    return QStringLiteral("Version 1.0 (build ") + QString::fromLatin1(ui::kClientBuild) +
           QStringLiteral(")");
}

void CAboutDlg::OnCheckUpdate() {
    // The check shows its own boxes; the about box steps aside and closes afterwards.
    hide();
    setEnabled(false);
    if (checkUpdate_)
        checkUpdate_();
    accept();
}
