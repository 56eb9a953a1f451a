#include "app/consolelogin.h"

#include <chrono>
#include <condition_variable>
#include <istream>
#include <memory>
#include <mutex>
#include <ostream>

#include "core/config.h"
#include "core/log.h"
#include "platform/console.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "platform/system.h"
#include "platform/translate.h"
#include "service/auth.h"
#include "sync/work.h"
#include "util/util.h"

namespace {

// A prompt or answer of the console login in the terminal's character set.
std::string Shown(const std::string& utf8) {
    return CUtil::AnsiFromUtf8(utf8);
}

constexpr const char* kTag = "CConsoleLogin::Run";
// The dialog's edit fields hold at most this many characters.
constexpr size_t kMaxFieldChars = 64;
// How often the wait for the sign-in's result looks at the stop flag.
constexpr int kStopPollMs = 100;

size_t CharCount(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;  // UTF-8 continuation bytes do not start a character
    return n;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    return text;
}

bool IsYes(const std::string& answer) {
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

bool IsNo(const std::string& answer) {
    return answer == "n" || answer == "N" || answer == "no" || answer == "NO" || answer == "No";
}

}  // namespace

CConsoleLogin::CConsoleLogin(CWork* work, std::istream& in, std::ostream& out, bool terminal,
                             const std::atomic<bool>* stop)
    : work_(work), in_(in), out_(out), terminal_(terminal), stop_(stop) {
    CConfig* config = work_ ? work_->GetConfig() : nullptr;
    if (!config)
        return;
    // The stored account as the table holds it (the password decoded).
    std::string hostName;
    config->ReadStoredValue(CConfig::KeyName(CConfig::kLoginUser), &account_);
    config->ReadStoredValue(CConfig::KeyName(CConfig::kLoginPasswd), &password_);
    config->ReadStoredValue(CConfig::KeyName(CConfig::kHostName), &hostName);
    // A registered computer keeps its name; a new one is offered this computer's name.
    computer_ = hostName.empty() ? platform::ComputerName() : hostName;
    remember_ = !config->Get(CConfig::kLoginPasswd).empty();
}

bool CConsoleLogin::Run() {
    if (!work_ || !work_->GetConfig()) {
        Log(kLogError, kTag, "No worker to sign in with");
        return false;
    }
    Log(kLogInfo, kTag, "Ask for the account on the console");
    out_ << Shown(platform::Tr("ConsoleLogin", "Kestrine - 用户登录")) << std::endl;
    for (;;) {
        std::string account = account_;
        std::string password = password_;
        std::string computer = computer_;
        bool remember = remember_;
        if (!Ask(Shown(platform::Tr("ConsoleLogin", "账    号")), false, &account) ||
            !Ask(Shown(platform::Tr("ConsoleLogin", "密    码")), true, &password) ||
            !Ask(Shown(platform::Tr("ConsoleLogin", "主机名称")), false, &computer) ||
            !AskYesNo(Shown(platform::Tr("ConsoleLogin", "记住密码")), &remember)) {
            GiveUp();
            return false;
        }
        if (!Complete(account, password, computer))
            continue;
        Accept(account, password, computer, remember);
        const int result = SignIn();
        if (result == 1) {
            out_ << Shown(platform::Tr("ConsoleLogin", "登录成功: ")) << account << std::endl;
            Log(kLogInfo, kTag, "Signed in as %s", account.c_str());
            return true;
        }
        if (result < 0) {
            GiveUp();
            return false;
        }
        out_ << Shown(platform::Tr("ConsoleLogin", "登录失败，请重新输入")) << std::endl;
        // The next round offers what was typed, but asks for the password again.
        account_ = account;
        password_.clear();
        computer_ = computer;
        remember_ = remember;
    }
}

bool CConsoleLogin::Ask(const std::string& label, bool secret, std::string* value) {
    if (Stopped())
        return false;
    if (secret)
        out_ << label
             << (value->empty() ? std::string() : " [" + Shown(platform::Tr("ConsoleLogin", "已保存")) + "]")
             << ": " << std::flush;
    else
        out_ << label << (value->empty() ? "" : " [" + *value + "]") << ": " << std::flush;
    std::string line;
    bool got;
    if (secret && terminal_) {
        platform::EchoOff quiet;
        got = static_cast<bool>(std::getline(in_, line));
        out_ << std::endl;  // the typed line end was not echoed
    } else {
        got = static_cast<bool>(std::getline(in_, line));
        if (!terminal_)
            out_ << std::endl;  // keeps a scripted session readable
    }
    if (!got || Stopped())
        return false;
    line = Trimmed(line);
    if (!line.empty())
        *value = line;
    return true;
}

bool CConsoleLogin::AskYesNo(const std::string& label, bool* value) {
    for (;;) {
        std::string answer = *value ? "y" : "n";
        if (!Ask(label + " (y/n)", false, &answer))
            return false;
        if (IsYes(answer) || IsNo(answer)) {
            *value = IsYes(answer);
            return true;
        }
        out_ << Shown(platform::Tr("ConsoleLogin", "请输入 y 或 n")) << std::endl;
    }
}

bool CConsoleLogin::Complete(const std::string& account, const std::string& password,
                             const std::string& computer) {
    if (account.empty() || password.empty() || computer.empty()) {
        out_ << Shown(platform::Tr("ConsoleLogin", "请输入完整数据")) << std::endl;
        return false;
    }
    if (CharCount(account) > kMaxFieldChars || CharCount(computer) > kMaxFieldChars) {
        out_ << Shown(platform::Tr("ConsoleLogin", "账号和主机名称不能超过64个字符")) << std::endl;
        return false;
    }
    // The sign-in encrypts at most this many bytes of password; a longer one could never work.
    if (password.size() > CAuth::kMaxPasswordBytes) {
        out_ << Shown(platform::Tr("ConsoleLogin", "密码不能超过64字节")) << std::endl;
        return false;
    }
    return true;
}

void CConsoleLogin::Accept(const std::string& account, const std::string& password,
                           const std::string& computer, bool remember) {
    CConfig* config = work_->GetConfig();
    config->Set(CConfig::kLoginUser, account);
    config->Set(CConfig::kLoginPasswd, password);
    work_->SetUser(config->Get(CConfig::kLoginUser));
    work_->SetPassword(config->Get(CConfig::kLoginPasswd));
    // A registered computer keeps the name it was registered with.
    if (config->Get(CConfig::kHostName).empty())
        config->Set(CConfig::kHostName, computer);
    // Not remembered: the sign-in stores an empty password; the worker keeps the typed one.
    if (!remember)
        config->Set(CConfig::kLoginPasswd, "");
}

int CConsoleLogin::SignIn() {
    struct Reply {
        std::mutex mu;
        std::condition_variable cv;
        bool got = false;
        bool ok = false;
    };
    auto reply = std::make_shared<Reply>();
    platform::WindowHandle window = platform::RegisterWindow([reply](const platform::WindowMessage& msg) {
        if (msg.code != platform::WM_LOGIN_RESULT)
            return;
        std::lock_guard<std::mutex> lock(reply->mu);
        reply->got = true;
        reply->ok = msg.wParam == 1;
        reply->cv.notify_all();
    });
    if (!work_->Request(platform::WM_WORK_LOGIN, window)) {
        platform::UnregisterWindow(window);
        out_ << Shown(platform::Tr("ConsoleLogin", "登录失败: 无法启动登录")) << std::endl;
        return -1;
    }
    int result = -1;
    {
        std::unique_lock<std::mutex> lock(reply->mu);
        while (!reply->got && !Stopped())
            reply->cv.wait_for(lock, std::chrono::milliseconds(kStopPollMs));
        if (reply->got)
            result = reply->ok ? 1 : 0;
    }
    platform::UnregisterWindow(window);
    return result;
}

void CConsoleLogin::GiveUp() {
    // As the dialog's Cancel: a sign-in still waiting for the portal stops at its next attempt.
    work_->SetLoginCancel(1);
    out_ << Shown(platform::Tr("ConsoleLogin", "登录已取消")) << std::endl;
    Log(kLogInfo, kTag, "Login cancelled; running signed out");
}
