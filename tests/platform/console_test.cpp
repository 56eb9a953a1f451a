// The console dialogs' input: lines come through as written, an interrupt from another thread
// ends a read that waits for a line that never comes, and the echo is off only while asked.
#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <istream>
#include <string>
#include <thread>

namespace {

class Pipe {
  public:
    Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
    ~Pipe() {
        CloseWrite();
        ::close(fds_[0]);
    }
    int ReadEnd() const { return fds_[0]; }
    void Write(const std::string& s) {
        EXPECT_EQ(::write(fds_[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    void CloseWrite() {
        if (fds_[1] >= 0)
            ::close(fds_[1]);
        fds_[1] = -1;
    }

  private:
    int fds_[2] = {-1, -1};
};

}  // namespace

TEST(InterruptibleInput, LinesThenEndOfInput) {
    Pipe pipe;
    platform::InterruptibleInput buf(pipe.ReadEnd());
    std::istream in(&buf);
    pipe.Write("alice\n密码 with spaces\n\nlast");
    pipe.CloseWrite();
    std::string line;
    const char* want[] = {"alice", "密码 with spaces", "", "last"};
    for (const char* w : want) {
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_EQ(line, w);
    }
    EXPECT_FALSE(std::getline(in, line));
    EXPECT_FALSE(buf.Interrupted());
}

TEST(InterruptibleInput, InterruptEndsAWaitingRead) {
    Pipe pipe;  // the writer stays open and silent
    platform::InterruptibleInput buf(pipe.ReadEnd());
    std::istream in(&buf);
    pipe.Write("first\n");
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "first");

    bool got = true;
    std::thread reader([&] {
        std::string l;
        got = static_cast<bool>(std::getline(in, l));
    });
    buf.Interrupt();
    reader.join();
    EXPECT_FALSE(got);
    EXPECT_TRUE(buf.Interrupted());
    // For good: a line that arrives later is not read any more.
    pipe.Write("late\n");
    in.clear();
    EXPECT_FALSE(std::getline(in, line));
}

TEST(EchoOff, TerminalEchoIsOffForTheScopeOnly) {
    // Standard input on a pseudo-terminal for this test.
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    int savedStdin = ::dup(STDIN_FILENO);
    ASSERT_EQ(::dup2(slave, STDIN_FILENO), STDIN_FILENO);

    auto echo = [] {
        termios t;
        return ::tcgetattr(STDIN_FILENO, &t) == 0 && (t.c_lflag & ECHO) != 0;
    };
    EXPECT_TRUE(platform::StdinIsTerminal());
    ASSERT_TRUE(echo());
    {
        platform::EchoOff quiet;
        EXPECT_FALSE(echo());
    }
    EXPECT_TRUE(echo());

    ::dup2(savedStdin, STDIN_FILENO);
    ::close(savedStdin);
    ::close(slave);
    ::close(master);
}
