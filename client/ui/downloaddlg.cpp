#include "ui/downloaddlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>

#include "core/log.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "platform/system.h"
#include "ui/folderbrowser.h"
#include "ui/uitext.h"

namespace {

// "取消" waits this long for the transfer to stop before the dialog closes.
constexpr int kCancelWaitMs = 1000;
constexpr int kCancelPollMs = 20;

}  // namespace

CDownloadDlg::CDownloadDlg(std::string url, std::string fileName, std::string targetPath, QWidget* parent)
    : QDialog(parent),
      url_(std::move(url)),
      fileName_(std::move(fileName)),
      target_(std::move(targetPath)),
      task_(std::make_shared<CDownloadTask>(url_, fileName_, target_)) {
    setWindowTitle(tr("下载客户端"));
    auto* icon = new QLabel(this);
    icon->setPixmap(QApplication::windowIcon().pixmap(32, 32));

    name_ = new QLabel(this);
    bar_ = new QProgressBar(this);
    bar_->setRange(1, 100);
    bar_->setValue(1);
    bar_->setTextVisible(false);
    bar_->setStyleSheet(QStringLiteral("QProgressBar::chunk { background-color: rgb(40, 210, 43); }"));
    total_ = new QLabel(this);
    progress_ = new QLabel(this);
    timeLabel_ = new QLabel(tr("剩余时间:"), this);
    time_ = new QLabel(this);
    check_ = new QLabel(this);
    check_->setWordWrap(true);
    check_->setTextInteractionFlags(Qt::TextSelectableByMouse);  // the digest can be copied
    check_->setVisible(false);
    run_ = new QPushButton(tr("运行"), this);
    run_->setVisible(false);
    run_->setEnabled(false);
    cancel_ = new QPushButton(tr("取消"), this);
    cancel_->setDefault(true);
    connect(run_, &QPushButton::clicked, this, &CDownloadDlg::OnRun);
    connect(cancel_, &QPushButton::clicked, this, &CDownloadDlg::OnCancel);

    auto* amount = new QHBoxLayout;
    amount->addWidget(total_);
    amount->addWidget(progress_);
    amount->addStretch();
    auto* timing = new QHBoxLayout;
    timing->addWidget(timeLabel_);
    timing->addWidget(time_);
    timing->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(run_);
    buttons->addWidget(cancel_);

    auto* layout = new QGridLayout(this);
    layout->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    layout->addWidget(name_, 0, 1);
    layout->addWidget(bar_, 1, 1);
    layout->addLayout(amount, 2, 1);
    layout->addLayout(timing, 3, 1);
    layout->addWidget(check_, 4, 1);
    layout->addLayout(buttons, 5, 0, 1, 2);
    setMinimumWidth(420);
}

CDownloadDlg::~CDownloadDlg() {
    // A transfer still running stops at its next report and deletes its partial file by itself.
    task_->Cancel();
    task_->DetachView();
}

void CDownloadDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (started_)
        return;
    started_ = true;
    if (!task_->Start(this)) {
        finished_ = true;
        progress_->setText(tr(" 下载失败"));
    }
}

void CDownloadDlg::reject() {
    OnCancel();
}

void CDownloadDlg::OnCancel() {
    if (closing_)
        return;
    closing_ = true;
    task_->Cancel();
    // The transfer gets a moment to stop; the dialog keeps answering meanwhile.
    QElapsedTimer waited;
    waited.start();
    while (started_ && !task_->Done() && waited.elapsed() < kCancelWaitMs) {
        QApplication::processEvents(QEventLoop::AllEvents, kCancelPollMs);
        task_->WaitDone(kCancelPollMs);
    }
    QDialog::reject();
}

void CDownloadDlg::OnRun() {
    if (!succeeded_)
        return;
    closing_ = true;
    accept();
    if (!platform::OpenWithDefault(target_))
        Log(kLogError, "CDownloadDlg::OnRun", "Fail to open \"%s\"", target_.c_str());
}

void CDownloadDlg::SetLabel(QLabel* label, const std::string& text) {
    const QString t = ui::FromAnsi(text);
    QMetaObject::invokeMethod(
        this, [label, t] { label->setText(t); }, Qt::QueuedConnection);
}

void CDownloadDlg::ShowFileName(const std::string& name) {
    SetLabel(name_, name);
}

void CDownloadDlg::SetBar(int position) {
    QMetaObject::invokeMethod(
        this, [this, position] { bar_->setValue(position); }, Qt::QueuedConnection);
}

void CDownloadDlg::SetTotalText(const std::string& text) {
    SetLabel(total_, text);
}

void CDownloadDlg::SetProgressText(const std::string& text) {
    SetLabel(progress_, text);
}

void CDownloadDlg::SetTimeLabel(const std::string& text) {
    SetLabel(timeLabel_, text);
}

void CDownloadDlg::SetTimeText(const std::string& text) {
    SetLabel(time_, text);
}

void CDownloadDlg::SetCheckText(const std::string& text) {
    SetLabel(check_, text);
    QMetaObject::invokeMethod(
        this, [this] { check_->setVisible(true); }, Qt::QueuedConnection);
}

void CDownloadDlg::Finished(bool ok, const std::string& message) {
    QMetaObject::invokeMethod(
        this,
        [this, ok, message] {
            finished_ = true;
            succeeded_ = ok;
            if (ok) {
                bar_->setValue(100);
                run_->setVisible(true);
                run_->setEnabled(true);
                cancel_->setText(tr("关闭"));
                run_->setDefault(true);
            }
            if (!message.empty())
                platform::ShowMessageBox(message, CUpdateCheck::Caption(),
                                         platform::MB_OK | platform::MB_ICONWARNING);
        },
        Qt::QueuedConnection);
}

// ---- CQtUpdatePrompt

bool CQtUpdatePrompt::BrowseFolder(const std::string& title, std::string* folder) {
    CQtFolderBrowser browser;
    return browser.Browse(title, folder);
}

void CQtUpdatePrompt::Download(const std::string& url, const std::string& fileName,
                               const std::string& targetPath) {
    CDownloadDlg dialog(url, fileName, targetPath);
    dialog.exec();
}
