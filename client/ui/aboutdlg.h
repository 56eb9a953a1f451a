// CAboutDlg: the about box "关于Kestrine": the product, its version and build, and "检查更新",
// which hides the box, runs the interactive update check given by the owner and then closes it.
#pragma once

#include <QDialog>
#include <functional>

class QLabel;
class QPushButton;

class CAboutDlg : public QDialog {
    Q_OBJECT

  public:
    // `checkUpdate` runs the update check in interactive mode; `iconFile` may be empty.
    CAboutDlg(std::function<void()> checkUpdate, const QString& iconFile, QWidget* parent = nullptr);

    // "Version 1.0 (build " + build + ")".
    static QString VersionText();
    QLabel* VersionLabel() const { return version_; }
    QPushButton* CheckButton() const { return check_; }

  private:
    void OnCheckUpdate();

    std::function<void()> checkUpdate_;
    QLabel* version_ = nullptr;
    QPushButton* check_ = nullptr;
};
