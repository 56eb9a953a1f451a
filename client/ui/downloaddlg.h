// CDownloadDlg: the dialog "下载客户端" that downloads a client installer with a progress bar,
// the amount, speed and remaining time, "取消" (which stops the transfer and deletes its partial
// file) and, once the file is complete and not refused by its check, "运行" (opens it) with "取消"
// turned into "关闭"; the check's outcome and the file's SHA-256 are shown above the buttons. The
// transfer runs on a thread of its own (CDownloadTask) from the moment the dialog is shown; the
// dialog owns its side of the task, the thread keeps the task alive until it ends.
// CQtUpdatePrompt gives the update check the desktop's folder dialog and this dialog.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "ui/downloadtask.h"
#include "ui/updatecheck.h"

class QLabel;
class QProgressBar;
class QPushButton;

class CDownloadDlg : public QDialog, private IDownloadView {
    Q_OBJECT

  public:
    CDownloadDlg(std::string url, std::string fileName, std::string targetPath, QWidget* parent = nullptr);
    ~CDownloadDlg() override;

    // The controls, for the owner's tests.
    QProgressBar* ProgressBar() const { return bar_; }
    QLabel* FileNameLabel() const { return name_; }
    QLabel* TotalLabel() const { return total_; }
    QLabel* ProgressLabel() const { return progress_; }
    QLabel* TimeCaption() const { return timeLabel_; }
    QLabel* TimeLabel() const { return time_; }
    QLabel* CheckLabel() const { return check_; }
    QPushButton* RunButton() const { return run_; }
    QPushButton* CancelButton() const { return cancel_; }
    // True once the transfer has ended and its end has been shown.
    bool IsFinished() const { return finished_; }
    bool Succeeded() const { return succeeded_; }
    const std::string& TargetPath() const { return target_; }
    CDownloadTask* Task() const { return task_.get(); }

    void OnCancel();
    void reject() override;  // Escape and the close box act as "取消" / "关闭"
    void OnRun();            // "运行"

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // IDownloadView, on the download thread: each update is queued to the GUI thread.
    void ShowFileName(const std::string& name) override;
    void SetBar(int position) override;
    void SetTotalText(const std::string& text) override;
    void SetProgressText(const std::string& text) override;
    void SetTimeLabel(const std::string& text) override;
    void SetTimeText(const std::string& text) override;
    void SetCheckText(const std::string& text) override;
    void Finished(bool ok, const std::string& message) override;
    void SetLabel(QLabel* label, const std::string& text);

    std::string url_, fileName_, target_;
    std::shared_ptr<CDownloadTask> task_;
    bool started_ = false;
    bool finished_ = false;
    bool succeeded_ = false;
    bool closing_ = false;
    QProgressBar* bar_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* total_ = nullptr;
    QLabel* progress_ = nullptr;
    QLabel* timeLabel_ = nullptr;
    QLabel* time_ = nullptr;
    QLabel* check_ = nullptr;
    QPushButton* run_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

class CQtUpdatePrompt : public IUpdatePrompt {
  public:
    bool BrowseFolder(const std::string& title, std::string* folder) override;
    void Download(const std::string& url, const std::string& fileName,
                  const std::string& targetPath) override;
};
