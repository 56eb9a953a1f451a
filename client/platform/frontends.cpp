#include "platform/frontends.h"

#include <chrono>
#include <iostream>

#include "platform/codepage.h"
#include "platform/messages.h"
#include "platform/translate.h"
#include "util/ascii.h"

namespace platform {

namespace {

// Scripts read the console line by line: a text never spans lines.
std::string OneLine(const std::string& text) {
    std::string r = text;
    for (char& c : r) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return r;
}

bool IsYesNo(unsigned flags) {
    unsigned type = flags & 0xF;
    return type == MB_YESNO || type == 3 /* yes, no, cancel */;
}

bool IsPositive(std::string answer) {
    size_t b = answer.find_first_not_of(" \t\r");
    size_t e = answer.find_last_not_of(" \t\r");
    answer = b == std::string::npos ? std::string() : answer.substr(b, e - b + 1);
    answer = ascii::Lowered(answer);
    return answer == "y" || answer == "yes" || answer == "ok" || answer == "o";
}

// A translated text (UTF-8) in the locale's character set, as every other text the console
// prints; what cannot be converted stays as it was.
std::string AnsiText(const std::string& utf8) {
    std::string out;
    return ConvertCodeset("UTF-8", AnsiCodeset(), utf8, &out) ? out : utf8;
}

}  // namespace

// ---- ConsoleFrontEnd ----

ConsoleFrontEnd::ConsoleFrontEnd(Handler handler)
    : handler_(std::move(handler)), in_(&std::cin), out_(&std::cout) {}

void ConsoleFrontEnd::SetStreams(std::istream* in, std::ostream* out) {
    std::lock_guard<std::mutex> lock(outMu_);
    if (in) {
        in_ = in;
    }
    if (out) {
        out_ = out;
    }
}

int64_t ConsoleFrontEnd::Send(const WindowMessage& msg) {
    std::unique_lock<std::mutex> lock(mu_);
    // Inline when no loop runs, and on the loop's own thread (waiting there would deadlock).
    if (!running_ || std::this_thread::get_id() == loopThread_) {
        lock.unlock();
        return Handle(msg);
    }
    auto pending = std::make_shared<Pending>();
    pending->msg = msg;
    pending->isSend = true;
    queue_.push_back(pending);
    cv_.notify_all();
    cv_.wait(lock, [&] { return pending->done || !running_; });
    if (pending->done) {
        return pending->result;
    }
    // The loop ended before it reached this message: handle it here instead.
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (*it == pending) {
            queue_.erase(it);
            break;
        }
    }
    lock.unlock();
    return Handle(msg);
}

bool ConsoleFrontEnd::Post(const WindowMessage& msg) {
    std::lock_guard<std::mutex> lock(mu_);
    if (quit_) {
        return false;
    }
    auto pending = std::make_shared<Pending>();
    pending->msg = msg;
    queue_.push_back(std::move(pending));
    cv_.notify_all();
    return true;
}

int ConsoleFrontEnd::Run() {
    std::unique_lock<std::mutex> lock(mu_);
    if (running_) {
        return -1;  // one loop at a time
    }
    running_ = true;
    loopThread_ = std::this_thread::get_id();
    for (;;) {
        cv_.wait(lock, [this] { return quit_ || !queue_.empty(); });
        if (quit_) {
            break;
        }
        std::shared_ptr<Pending> p = queue_.front();
        queue_.pop_front();
        lock.unlock();
        int64_t result = Handle(p->msg);
        lock.lock();
        p->result = result;
        p->done = true;
        cv_.notify_all();
    }
    running_ = false;
    loopThread_ = std::thread::id();
    cv_.notify_all();
    return exitCode_;
}

void ConsoleFrontEnd::Quit(int code) {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
    exitCode_ = code;
    cv_.notify_all();
}

int64_t ConsoleFrontEnd::Handle(const WindowMessage& msg) {
    if (handler_ && handler_(msg)) {
        return 1;
    }
    std::string line = Describe(msg);
    if (!line.empty()) {
        PrintLine(line);
    }
    return 0;
}

void ConsoleFrontEnd::PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(outMu_);
    *out_ << line << '\n';
    out_->flush();
}

int ConsoleFrontEnd::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    bool plain = (flags & 0xF) == MB_OK;
    bool yesNo = IsYesNo(flags);
    std::string line = "[box] " + OneLine(caption) + ": " + OneLine(text);
    if (plain) {
        PrintLine(line);
        return IDOK;
    }
    std::lock_guard<std::mutex> inLock(inMu_);
    PrintLine(line + (yesNo ? " [y/n]" : " [ok/cancel]"));
    std::string answer;
    bool got = static_cast<bool>(std::getline(*in_, answer));
    bool yes = got && IsPositive(answer);
    if (yesNo) {
        return yes ? IDYES : IDNO;
    }
    return yes ? IDOK : IDCANCEL;
}

std::string ConsoleFrontEnd::Describe(const WindowMessage& msg) {
    switch (msg.code) {
        case WM_TRAY_STATE: {
            std::string state;
            switch (msg.wParam) {
                case kTrayIdle:
                    state = "idle";
                    break;
                case kTrayBusy:
                    state = "busy";
                    break;
                case kTrayDone:
                    state = "done";
                    break;
                case kTrayConnecting:
                    state = "connecting";
                    break;
                default:
                    state = "state " + std::to_string(msg.wParam);
            }
            return "[tray] " + state + (msg.text.empty() ? "" : ": " + OneLine(msg.text));
        }
        case WM_TRAY_TIP:
            return "[tip] " + OneLine(msg.text);
        case WM_ITEM_NOT_SYNCED:
            if (msg.text.empty())
                return "[not synced] every item is synced";
            return "[not synced] " + OneLine(msg.text) + ": " + OneLine(msg.text2);
        case WM_TRAY_BALLOON:
            return "[balloon] " + OneLine(msg.text2) + ": " + OneLine(msg.text);
        case WM_SETMESSAGESTRING:
            return "[status] " + OneLine(msg.text);
        case WM_TRAY_ICON:
            if (msg.wParam == 0) {
                return "[tray] signed out";
            }
            return msg.text.empty() ? "[tray] signed in" : "[tray] signed in: " + OneLine(msg.text);
        case WM_LOGOUT_DONE:
            return "[status] " + AnsiText(Tr("Console", "注销成功"));
        default:
            return "";
    }
}

// ---- RecordingFrontEnd ----

int64_t RecordingFrontEnd::Send(const WindowMessage& msg) {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.push_back(msg);
    cv_.notify_all();
    return 0;
}

bool RecordingFrontEnd::Post(const WindowMessage& msg) {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.push_back(msg);
    cv_.notify_all();
    return true;
}

int RecordingFrontEnd::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    std::lock_guard<std::mutex> lock(mu_);
    boxes_.push_back(Box{text, caption, flags});
    cv_.notify_all();
    if (!answers_.empty()) {
        int a = answers_.front();
        answers_.pop_front();
        return a;
    }
    return (flags & 0xF) == MB_OK ? IDOK : IDCANCEL;
}

void RecordingFrontEnd::ScriptAnswers(std::vector<int> answers) {
    std::lock_guard<std::mutex> lock(mu_);
    answers_.assign(answers.begin(), answers.end());
}

std::vector<WindowMessage> RecordingFrontEnd::Messages() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
}

std::vector<WindowMessage> RecordingFrontEnd::MessagesWithCode(uint32_t code) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<WindowMessage> r;
    for (const WindowMessage& m : messages_) {
        if (m.code == code) {
            r.push_back(m);
        }
    }
    return r;
}

std::vector<RecordingFrontEnd::Box> RecordingFrontEnd::Boxes() {
    std::lock_guard<std::mutex> lock(mu_);
    return boxes_;
}

std::vector<std::string> RecordingFrontEnd::Texts(uint32_t code) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> r;
    for (const WindowMessage& m : messages_) {
        if (m.code == code) {
            r.push_back(m.text);
        }
    }
    return r;
}

bool RecordingFrontEnd::WaitFor(uint32_t code, int timeoutMs, WindowMessage* out) {
    std::unique_lock<std::mutex> lock(mu_);
    const WindowMessage* found = nullptr;
    auto seen = [&] {
        for (const WindowMessage& m : messages_) {
            if (m.code == code) {
                found = &m;
                return true;
            }
        }
        return false;
    };
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs), seen)) {
        return false;
    }
    if (out) {
        *out = *found;
    }
    return true;
}

void RecordingFrontEnd::Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.clear();
    boxes_.clear();
}

}  // namespace platform
