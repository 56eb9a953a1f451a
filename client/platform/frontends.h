// Front ends of the main-window interface that need no display.
//  - ConsoleFrontEnd prints tray state, tooltips, balloons and status texts one line each on
//    standard output and asks message boxes on the terminal (or reads answers from stdin).
//  - RecordingFrontEnd keeps every message for tests and answers message boxes from a script.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/mainwindow.h"

namespace platform {

class ConsoleFrontEnd : public IMainWindow {
  public:
    // `handler` sees every message first, on the front end's thread (the app's GUI loop), and may
    // return true to swallow it. Output goes to stdout; prompts read stdin.
    using Handler = std::function<bool(const WindowMessage&)>;
    explicit ConsoleFrontEnd(Handler handler = nullptr);

    int64_t Send(const WindowMessage& msg) override;
    bool Post(const WindowMessage& msg) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;

    // Runs the GUI loop on the calling thread until Quit(); handles posted messages in order.
    int Run();
    void Quit(int code);

    // The line the console prints for a message (empty for messages it does not show).
    static std::string Describe(const WindowMessage& msg);

    // Replaces stdout / stdin (for tests); the streams must outlive the front end.
    void SetStreams(std::istream* in, std::ostream* out);

  private:
    // A queued message; a sent one carries the state its sender waits on.
    struct Pending {
        WindowMessage msg;
        bool isSend = false;
        bool done = false;
        int64_t result = 0;
    };
    int64_t Handle(const WindowMessage& msg);
    void PrintLine(const std::string& line);

    Handler handler_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Pending>> queue_;
    bool quit_ = false;
    bool running_ = false;
    std::thread::id loopThread_;
    int exitCode_ = 0;
    std::mutex outMu_;
    std::mutex inMu_;  // one prompt reads at a time; output is not held up meanwhile
    std::istream* in_;
    std::ostream* out_;
};

class RecordingFrontEnd : public IMainWindow {
  public:
    int64_t Send(const WindowMessage& msg) override;
    bool Post(const WindowMessage& msg) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;

    struct Box {
        std::string text, caption;
        unsigned flags;
    };
    // Answers for the coming message boxes, in order; when none is left the answer is IDOK for a
    // plain OK box and IDCANCEL otherwise.
    void ScriptAnswers(std::vector<int> answers);
    std::vector<WindowMessage> Messages();  // sent and posted, in order
    std::vector<WindowMessage> MessagesWithCode(uint32_t code);
    std::vector<Box> Boxes();
    // Texts of every message with this code (the `text` member).
    std::vector<std::string> Texts(uint32_t code);
    // Blocks until a message with `code` has arrived (counting from the start), or timeout.
    bool WaitFor(uint32_t code, int timeoutMs, WindowMessage* out = nullptr);
    void Clear();  // forgets messages and boxes; scripted answers stay

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<WindowMessage> messages_;
    std::vector<Box> boxes_;
    std::deque<int> answers_;
};

}  // namespace platform
