// The login dialog: what it shows from the stored account, the checks of "确定", the waiting
// state around WM_LOGIN_RESULT with a real sign-in against the reference service, "取消" during
// the authentication retries, the register and proxy buttons.
#include "ui/logindlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "core/config.h"
#include "fakeowner.h"
#include "platform/messages.h"
#include "platform/system.h"
#include "support/loginwork.h"
#include "ui/option.h"
#include "uitest.h"

namespace {

using testsupport::FakeOwner;
using testsupport::LoginWork;
using testsupport::TestServer;

using uitest::U;
using uitest::WaitUntil;

class LoginDlgTest : public testsupport::LoginFixture {
  protected:
    void TearDown() override {
        owner_.work.reset();
        platform::SetOpener(nullptr);
        LoginFixture::TearDown();
    }
    // A worker on this test's home with the account stored in the table.
    LoginWork* UseWorker(const std::string& user, const std::string& password, const std::string& host,
                         bool store = true) {
        std::unique_ptr<LoginWork> w = NewWork(user, password, host);
        LoginWork* raw = w.get();
        if (store) {
            EXPECT_EQ(w->GetConfig()->Store(), 1);
        }
        owner_.work = std::move(w);
        return raw;
    }
    static std::vector<QWidget*> Locked(CLoginDlg& d) {
        return {d.OkButton(),    d.AccountEdit(),  d.PasswordEdit(),
                d.RememberBox(), d.AutostartBox(), d.ProxyButton()};
    }

    FakeOwner owner_;
};

}  // namespace

TEST_F(LoginDlgTest, ShowsTheStoredAccountAndChoices) {
    UseWorker("alice", "pw-alice", "laptop");
    ASSERT_TRUE(platform::SetAutostart(true, "/opt/kestrine/bin/kestrine"));
    CLoginDlg dialog(&owner_);
    EXPECT_EQ(dialog.windowTitle(), U("Kestrine - 用户登录"));
    EXPECT_EQ(dialog.AccountEdit()->text(), U("alice"));
    EXPECT_EQ(dialog.PasswordEdit()->text(), U("pw-alice"));
    EXPECT_EQ(dialog.PasswordEdit()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog.ComputerEdit()->text(), U("laptop"));
    EXPECT_TRUE(dialog.ComputerEdit()->isReadOnly());
    EXPECT_TRUE(dialog.RememberBox()->isChecked());
    EXPECT_TRUE(dialog.AutostartBox()->isChecked());
    for (QLineEdit* e : {dialog.AccountEdit(), dialog.PasswordEdit(), dialog.ComputerEdit()})
        EXPECT_EQ(e->maxLength(), 64);
    EXPECT_EQ(dialog.RememberBox()->text(), U("记住密码"));
    EXPECT_EQ(dialog.AutostartBox()->text(), U("开机启动"));
    EXPECT_EQ(dialog.RegisterButton()->text(), U("注册新用户"));
    EXPECT_EQ(dialog.ProxyButton()->text(), U("代理设置"));
    EXPECT_EQ(dialog.OkButton()->text(), U("确定"));
    EXPECT_EQ(dialog.CancelButton()->text(), U("取消"));
}

TEST_F(LoginDlgTest, WithoutStoredComputerNameTheComputersNameIsOffered) {
    // Nothing stored, no password in memory: the remember box starts clear.
    LoginWork* w = UseWorker("", "", "", false);
    ASSERT_TRUE(platform::SetAutostart(false, ""));
    CLoginDlg dialog(&owner_);
    const std::string name = platform::ComputerName();
    EXPECT_EQ(dialog.ComputerEdit()->text().toStdString(), name);
    EXPECT_EQ(w->GetConfig()->Get(CConfig::kHostName), name);
    EXPECT_FALSE(dialog.RememberBox()->isChecked());
    EXPECT_FALSE(dialog.AutostartBox()->isChecked());
    EXPECT_TRUE(dialog.AccountEdit()->text().isEmpty());
}

TEST_F(LoginDlgTest, OkRefusesIncompleteInputAndOverlongPasswords) {
    LoginWork* w = UseWorker("", "", "", false);
    struct Case {
        const char* what;
        QString account, password, computer;
        std::string message;  // empty: accepted
        bool computerEditable;
    };
    const QString chinese22 = QString(22, QChar(0x5BC6));  // 22 characters, 66 bytes in UTF-8
    const Case cases[] = {
        {"no account", "", "pw", "pc", "请输入完整数据", false},
        {"no password", "alice", "", "pc", "请输入完整数据", false},
        {"no computer name", "alice", "pw", "", "请输入完整数据", true},
        {"66-byte password", "alice", chinese22, "pc", "密码不能超过64个字节", false},
        {"64-byte password", "alice", QString(64, QChar('p')), "pc", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        front_.Clear();
        CLoginDlg dialog(&owner_);
        dialog.show();
        dialog.AccountEdit()->setText(c.account);
        dialog.PasswordEdit()->setText(c.password);
        dialog.ComputerEdit()->setText(c.computer);
        dialog.OkButton()->click();
        if (c.message.empty()) {
            EXPECT_TRUE(front_.Boxes().empty());
            EXPECT_TRUE(dialog.IsWaiting());
            // The service refuses the password: the dialog comes back for corrections.
            ASSERT_TRUE(WaitUntil([&] { return !dialog.IsWaiting(); }));
            EXPECT_TRUE(dialog.isVisible());
            continue;
        }
        ASSERT_EQ(front_.Boxes().size(), 1u);
        EXPECT_EQ(front_.Boxes()[0].text, c.message);
        EXPECT_FALSE(dialog.IsWaiting());
        EXPECT_TRUE(dialog.OkButton()->isEnabled());
        EXPECT_EQ(!dialog.ComputerEdit()->isReadOnly(), c.computerEditable);
        EXPECT_TRUE(w->GetConfig()->Get(CConfig::kLoginUser).empty());  // nothing taken over
    }
}

TEST_F(LoginDlgTest, SignInWaitsDisabledAndClosesOnSuccessForgettingThePassword) {
    LoginWork* w = UseWorker("", "", "", false);
    ASSERT_TRUE(platform::SetAutostart(false, ""));
    CLoginDlg dialog(&owner_);
    dialog.show();
    dialog.AccountEdit()->setText(TestServer::kUser);
    dialog.PasswordEdit()->setText("wrong password");
    // The offered computer name cannot be edited: it is the one registered and stored.
    const std::string computer = platform::ComputerName();
    ASSERT_FALSE(computer.empty());
    ASSERT_EQ(dialog.ComputerEdit()->text().toStdString(), computer);
    dialog.RememberBox()->setChecked(false);
    dialog.AutostartBox()->setChecked(true);

    // A refused password: waiting with the six controls disabled, then back to editing.
    dialog.OkButton()->click();
    ASSERT_TRUE(dialog.IsWaiting());
    for (QWidget* c : Locked(dialog))
        EXPECT_FALSE(c->isEnabled());
    EXPECT_TRUE(dialog.CancelButton()->isEnabled());
    EXPECT_TRUE(dialog.RegisterButton()->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return !dialog.IsWaiting(); }));
    EXPECT_TRUE(dialog.isVisible());
    for (QWidget* c : Locked(dialog))
        EXPECT_TRUE(c->isEnabled());
    EXPECT_EQ(w->IsSignedIn(), 0);

    // The corrected password signs in and closes the dialog.
    dialog.PasswordEdit()->setText(TestServer::kPassword);
    dialog.OkButton()->click();
    EXPECT_EQ(w->GetUser(), TestServer::kUser);
    EXPECT_EQ(w->GetPassword(), TestServer::kPassword);  // kept for this sign-in
    EXPECT_TRUE(w->GetConfig()->Get(CConfig::kLoginPasswd).empty());
    EXPECT_EQ(w->GetConfig()->Get(CConfig::kHostName), computer);
    ASSERT_TRUE(WaitUntil([&] { return !dialog.isVisible(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(w->IsSignedIn(), 1);
    EXPECT_TRUE(platform::IsAutostartEnabled());
    // The sign-in's first pass writes the table too: read it once that is over.
    ASSERT_TRUE(w->WaitForPasses(1));
    // The next start shows the dialog again: no password in the table.
    EXPECT_EQ(Stored("login_user"), TestServer::kUser);
    EXPECT_EQ(Stored("login_passwd"), "");
    EXPECT_EQ(Stored("host_name"), computer);
}

TEST_F(LoginDlgTest, NameTypedWhereNoneWasFoundIsTheOneSignedInWith) {
    LoginWork* w = UseWorker("", "", "", false);
    CLoginDlg dialog(&owner_);
    // A computer without a name, whose configuration still holds a name in memory (an earlier,
    // abandoned dialog's): the emptied field stands for the one, the system's name that this
    // dialog put into memory for the other.
    ASSERT_FALSE(w->GetConfig()->Get(CConfig::kHostName).empty());
    dialog.show();
    dialog.ComputerEdit()->setText("");
    dialog.AccountEdit()->setText(TestServer::kUser);
    dialog.PasswordEdit()->setText(TestServer::kPassword);
    dialog.OkButton()->click();
    ASSERT_EQ(front_.Boxes().size(), 1u);
    EXPECT_EQ(front_.Boxes()[0].text, "请输入完整数据");
    ASSERT_FALSE(dialog.ComputerEdit()->isReadOnly());

    dialog.ComputerEdit()->setText("laptop");
    dialog.OkButton()->click();
    EXPECT_EQ(w->GetConfig()->Get(CConfig::kHostName), "laptop");
    ASSERT_TRUE(WaitUntil([&] { return !dialog.isVisible(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    ASSERT_TRUE(w->WaitForPasses(1));
    EXPECT_EQ(Stored("host_name"), "laptop");
}

TEST_F(LoginDlgTest, RegisteredComputerKeepsItsNameAndRememberKeepsThePassword) {
    LoginWork* w = UseWorker(TestServer::kUser, TestServer::kPassword, "desk-1");
    CLoginDlg dialog(&owner_);
    dialog.show();
    dialog.ComputerEdit()->setText("other");  // cannot happen by typing: the field is read-only
    dialog.OkButton()->click();
    ASSERT_TRUE(WaitUntil([&] { return !dialog.isVisible(); }));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(w->GetConfig()->Get(CConfig::kHostName), "desk-1");
    ASSERT_TRUE(w->WaitForPasses(1));
    // Remembered: the table keeps the password (as Base64).
    EXPECT_NE(Stored("login_passwd"), "");
    EXPECT_NE(Stored("login_passwd"), "<none>");
}

TEST_F(LoginDlgTest, CancelDuringUnansweredAuthenticationMakesTheWorkerGiveUp) {
    LoginWork* w = UseWorker(TestServer::kUser, TestServer::kPassword, "laptop");
    w->onPause = [](LoginWork&, int) { QThread::msleep(50); };
    ASSERT_TRUE(server_.Fault("portal_login", "drop", 1000));
    CLoginDlg dialog(&owner_);
    dialog.show();
    dialog.OkButton()->click();
    ASSERT_TRUE(dialog.IsWaiting());
    dialog.CancelButton()->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    // The worker gives up at its next unanswered attempt.
    ASSERT_TRUE(WaitUntil([&] { return HasText(platform::WM_TRAY_TIP, "退出登录 "); }));
    EXPECT_EQ(w->IsSignedIn(), 0);
    EXPECT_EQ(w->IsLoginCancel(), 0);  // consumed
}

TEST_F(LoginDlgTest, CancelWithoutSignInLeavesTheCancelFlagSet) {
    LoginWork* w = UseWorker("", "", "", false);
    CLoginDlg dialog(&owner_);
    dialog.show();
    dialog.reject();  // Escape or the close box
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(w->IsLoginCancel(), 1);
}

TEST_F(LoginDlgTest, RegisterOpensTheServicePageAndProxyOpensTheOptions) {
    UseWorker("", "", "", false);
    std::vector<std::string> opened;
    platform::SetOpener([&](const std::string& target) {
        opened.push_back(target);
        return true;
    });
    CLoginDlg dialog(&owner_);
    dialog.show();
    dialog.RegisterButton()->click();
    EXPECT_EQ(opened,
              std::vector<std::string>{"http://127.0.0.1:" + std::to_string(server_.Port()) + "/reg.jsp"});

    bool sawOptions = false;
    QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        sawOptions = qobject_cast<COption*>(modal) != nullptr;
        if (modal)
            modal->close();
    });
    dialog.ProxyButton()->click();
    EXPECT_TRUE(sawOptions);
    EXPECT_TRUE(dialog.isVisible());
}
