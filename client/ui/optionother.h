// COtherOptions: the options page "其他选项": the notifications switch "显示通知" (applied at
// once, for this run) and the data root with "移动...", which moves the whole data folder to a
// new place: the worker signs out and stops, the log closes, the folder moves (the old one is
// deleted only once the new place holds a complete copy), the registry names the new root and
// the client starts again there with a new log and worker. GUI thread; the owner outlives it.
#pragma once

#include <QWidget>
#include <string>

class CWork;
class IDialogOwner;
class QCheckBox;
class QLineEdit;
class QPushButton;

class COtherOptions : public QWidget {
    Q_OBJECT

  public:
    static constexpr const char* kCaption = QT_TRANSLATE_NOOP("COtherOptions", "提示");

    explicit COtherOptions(IDialogOwner* owner, QWidget* parent = nullptr);

    void OnNotify();
    void OnMove();
    // How long the move waits for the sign-out to be confirmed, then for the worker's thread to
    // end; tests shorten them.
    void SetWaits(int logoutMs, int stopMs);

    QCheckBox* NotifyBox() const { return notify_; }
    QLineEdit* RootEdit() const { return rootEdit_; }
    QPushButton* MoveButton() const { return move_; }

  private:
    int Box(const std::string& text, unsigned flags);
    // Signs the worker out (WM_WORK_LOGOUT with a reply window, waiting for WM_LOGOUT_DONE),
    // then stops and joins its thread; false when the thread did not end.
    bool StopWorker(CWork* work);

    IDialogOwner* owner_;
    std::string root_;
    int logoutWaitMs_ = 30000;
    int stopWaitMs_ = 30000;
    QCheckBox* notify_ = nullptr;
    QLineEdit* rootEdit_ = nullptr;
    QPushButton* move_ = nullptr;
};
