#include "ui/optionother.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/config.h"
#include "core/log.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "sync/work.h"
#include "ui/dialogowner.h"
#include "ui/folderbrowser.h"
#include "ui/optionmove.h"
#include "ui/replywindow.h"
#include "ui/uitext.h"
#include "util/util.h"

namespace {

constexpr const char* kTag = "COtherOptions::OnBnClickedButton1";
constexpr unsigned kAsk = platform::MB_OKCANCEL | platform::MB_ICONQUESTION;
constexpr int kStopPollMs = 20;

}  // namespace

COtherOptions::COtherOptions(IDialogOwner* owner, QWidget* parent) : QWidget(parent), owner_(owner) {
    notify_ = new QCheckBox(tr("显示通知"), this);
    rootEdit_ = new QLineEdit(this);
    rootEdit_->setReadOnly(true);
    move_ = new QPushButton(tr("移动..."), this);
    auto* group = new QGroupBox(tr("移动您的数据到以下目录"), this);
    auto* row = new QHBoxLayout(group);
    row->addWidget(rootEdit_, 1);
    row->addWidget(move_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(notify_);
    layout->addWidget(group);
    layout->addStretch();

    CWork* work = owner_ ? owner_->GetWorker() : nullptr;
    if (CConfig* config = work ? work->GetConfig() : nullptr) {
        root_ = config->Get(CConfig::kRootPath);
        notify_->setChecked(config->GetNotify() == 1);
    }
    rootEdit_->setText(ui::FromAnsi(root_));
    connect(notify_, &QCheckBox::clicked, this, &COtherOptions::OnNotify);
    connect(move_, &QPushButton::clicked, this, &COtherOptions::OnMove);
}

void COtherOptions::SetWaits(int logoutMs, int stopMs) {
    logoutWaitMs_ = logoutMs;
    stopWaitMs_ = stopMs;
}

int COtherOptions::Box(const std::string& text, unsigned flags) {
    return platform::ShowMessageBox(text, ui::ToAnsi(tr(kCaption)), flags);
}

void COtherOptions::OnNotify() {
    CWork* work = owner_ ? owner_->GetWorker() : nullptr;
    if (CConfig* config = work ? work->GetConfig() : nullptr)
        config->SetNotify(notify_->isChecked() ? 1 : 0);
}

bool COtherOptions::StopWorker(CWork* work) {
    CReplyWindow reply;
    if (work->Request(platform::WM_WORK_LOGOUT, reply.Handle()) == 1) {
        if (!reply.WaitFor(platform::WM_LOGOUT_DONE, logoutWaitMs_))
            Log(kLogWarn, kTag, "No sign-out confirmation within %d ms", logoutWaitMs_);
    } else {
        // A sign-out is pending already: it runs before the stop below.
        Log(kLogInfo, kTag, "A sign-out is already pending");
    }
    // The GUI loop keeps running meanwhile: the worker's last reports wait for it to be handled.
    QElapsedTimer waited;
    waited.start();
    while (!work->Stop(kStopPollMs)) {
        if (waited.elapsed() >= stopWaitMs_) {
            Log(kLogError, kTag, "Worker did not stop within %d ms", stopWaitMs_);
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, kStopPollMs);
    }
    return true;
}

void COtherOptions::OnMove() {
    CWork* work = owner_ ? owner_->GetWorker() : nullptr;
    // 1. Only between passes, signed in.
    if (!work || !work->IsReady()) {
        Box(ui::ToAnsi(tr("请在同步完成后移动数据 ")), kAsk);
        return;
    }
    // 2. The new place.
    std::string picked;
    IFolderBrowser* browser = owner_->GetFolderBrowser();
    if (!browser || !browser->Browse(ui::ToAnsi(tr("移动您的数据到以下目录")), &picked) || picked.empty())
        return;
    // 3. The new root, and the user's word.
    const std::string from = root_;
    const std::string to = CDataFolderMove::NewRoot(picked);
    if (from.empty() || CDataFolderMove::Overlaps(from, to)) {
        // Replacing the target would delete the data itself, or the move would go into itself.
        Box(ui::ToAnsi(tr("新目录不能是当前数据目录，也不能在其中或包含它")),
            platform::MB_OK | platform::MB_ICONWARNING);
        return;
    }
    if (to.size() > CUtil::kMaxRootPath) {
        // The registry could not name it: the next start would not find the data.
        Box(ui::ToAnsi(tr("目录路径太长，请选择其他目录")), platform::MB_OK | platform::MB_ICONWARNING);
        return;
    }
    if (Box(ui::ToAnsi(tr("是否把Kestrine数据从%1移动到%2").arg(ui::FromAnsi(from), ui::FromAnsi(to))),
            kAsk) != platform::IDOK)
        return;

    // 4. Sign out and stop the worker before anything under the root is touched; the log closes
    // with it (its file lives under the root).
    QWidget* dialog = window();
    dialog->setEnabled(false);
    const int notify = work->GetConfig() ? work->GetConfig()->GetNotify() : 1;
    if (!StopWorker(work)) {
        dialog->setEnabled(true);
        Box(ui::ToAnsi(tr("同步没有停止，数据未移动，请重新启动Kestrine后再试")),
            platform::MB_OK | platform::MB_ICONERROR);
        return;
    }
    owner_->DeleteWorker();
    owner_->CloseLog();

    // 5.-6. Move.
    int error = 0;
    const CDataFolderMove::Result result = CDataFolderMove::Move(from, to, &error);
    const bool moved = result != CDataFolderMove::Result::Failed;
    // The registry names the new root before anything else can happen.
    bool recorded = true;
    if (moved) {
        root_ = to;
        rootEdit_->setText(ui::FromAnsi(to));
        recorded = CUtil::SetRootPath(to);
    }
    if (result == CDataFolderMove::Result::Moved)
        Box(ui::ToAnsi(tr("移动数据成功！")), kAsk);
    else if (result == CDataFolderMove::Result::OldLeft)
        Box(ui::ToAnsi(tr("移动数据成功！旧目录数据正在被其他程序使用\n请手动删除.")), kAsk);

    // 7. A new log and worker on the root the registry names, then the sign-in.
    owner_->InitApp();
    if (CWork* fresh = owner_->GetWorker(); fresh && fresh->GetConfig())
        fresh->GetConfig()->SetNotify(notify);
    dialog->setEnabled(true);
    if (!moved) {
        // Logged once the new log is open, so the failure is on record.
        Log(kLogError, kTag, "Fail to mv \"%s\" to \"%s\" eroor code :%d ", from.c_str(), to.c_str(), error);
        Box(ui::ToAnsi(tr("移动数据失败！数据仍在")) + from, platform::MB_OK | platform::MB_ICONERROR);
    } else if (!recorded) {
        Log(kLogError, kTag, "Fail to record the data root \"%s\"", to.c_str());
        Box(ui::ToAnsi(tr("无法记录新的数据目录")) + to, platform::MB_OK | platform::MB_ICONERROR);
    }
}
