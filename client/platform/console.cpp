#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>
#include <mutex>

namespace platform {

bool StdinIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

InterruptibleInput::InterruptibleInput(int fd) : fd_(fd) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        wake_[0] = wake_[1] = -1;  // Interrupt then only takes effect at the next wait's start
    setg(buffer_, buffer_, buffer_);
}

InterruptibleInput::~InterruptibleInput() {
    for (int fd : wake_) {
        if (fd >= 0)
            ::close(fd);
    }
}

void InterruptibleInput::Interrupt() {
    interrupted_.store(true);
    if (wake_[1] >= 0) {
        const char byte = 1;
        ssize_t ignored = ::write(wake_[1], &byte, 1);
        (void)ignored;  // a full pipe already wakes the reader
    }
}

InterruptibleInput::int_type InterruptibleInput::underflow() {
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    for (;;) {
        if (interrupted_.load())
            return traits_type::eof();
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const nfds_t count = wake_[0] >= 0 ? 2 : 1;
        // Without a wake-up pipe the wait is cut into slices so the flag is still seen.
        const int timeout = wake_[0] >= 0 ? -1 : 200;
        int ready = ::poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR)
            return traits_type::eof();
        if (ready <= 0 || interrupted_.load())
            continue;
        if (fds[0].revents == 0)
            continue;
        ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return traits_type::eof();
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(*gptr());
    }
}

namespace {

// std::cin reads through the shared buffer until the process ends.
struct InstalledStdin {
    InstalledStdin() : previous(std::cin.rdbuf(&input)) {}
    ~InstalledStdin() { std::cin.rdbuf(previous); }
    InterruptibleInput input{STDIN_FILENO};
    std::streambuf* previous;
};

std::mutex g_stdinMu;
InstalledStdin* g_stdin = nullptr;

}  // namespace

void InstallInterruptibleStdin() {
    std::lock_guard<std::mutex> lock(g_stdinMu);
    if (g_stdin)
        return;
    static InstalledStdin installed;
    g_stdin = &installed;
}

void InterruptStdin() {
    std::lock_guard<std::mutex> lock(g_stdinMu);
    if (g_stdin)
        g_stdin->input.Interrupt();
}

EchoOff::EchoOff() {
    termios t;
    if (!StdinIsTerminal() || ::tcgetattr(STDIN_FILENO, &t) != 0)
        return;
    saved_ = static_cast<unsigned>(t.c_lflag);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    restore_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
}

EchoOff::~EchoOff() {
    termios t;
    if (!restore_ || ::tcgetattr(STDIN_FILENO, &t) != 0)
        return;
    t.c_lflag = static_cast<tcflag_t>(saved_);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &t);
}

}  // namespace platform
