// Standard input for the console dialogs: whether it is a terminal, the terminal's echo (off while
// a password is typed), and an input buffer whose waits an exit request can end. Installed under
// std::cin, the buffer is shared by every console reader (the login dialog and the console
// message boxes), so no reader's buffering swallows lines meant for another.
#pragma once

#include <atomic>
#include <streambuf>

namespace platform {

bool StdinIsTerminal();

// Reads a file descriptor (standard input by default) through poll(), so Interrupt() from any
// thread ends the wait in progress and every later one: the reader then sees end of input.
// The descriptor stays open; the object owns only its wake-up pipe.
class InterruptibleInput : public std::streambuf {
  public:
    explicit InterruptibleInput(int fd = 0);
    ~InterruptibleInput() override;
    InterruptibleInput(const InterruptibleInput&) = delete;
    InterruptibleInput& operator=(const InterruptibleInput&) = delete;

    void Interrupt();
    bool Interrupted() const { return interrupted_.load(); }

  protected:
    int_type underflow() override;

  private:
    int fd_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> interrupted_{false};
    char buffer_[4096];
};

// Puts one process-wide InterruptibleInput under std::cin (the first call; later calls do
// nothing). The original buffer is restored at process exit.
void InstallInterruptibleStdin();
// Ends std::cin's reads for good when the buffer is installed; any thread.
void InterruptStdin();

// The terminal of standard input does not echo while this object lives (nothing happens when
// standard input is not a terminal).
class EchoOff {
  public:
    EchoOff();
    ~EchoOff();
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    bool restore_ = false;
    unsigned saved_ = 0;  // the local-mode flags before
};

}  // namespace platform
