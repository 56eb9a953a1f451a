// The control socket: the request codec on untrusted bytes, the socket's folder and mode, the
// same-user rule, a crashed instance's socket, and the failures a command must tell apart.
#include "platform/controlsocket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/fault.h"
#include "support/env.h"
#include "support/tempdir.h"

namespace {

using platform::AskInstance;
using platform::ControlAnswer;
using platform::ControlServer;
using platform::control::kMaxRequest;
using platform::control::ParseRequest;
using platform::control::Request;

TEST(ControlCodec, RequestsByTable) {
    struct Case {
        std::string bytes;
        Request want;
    };
    const Case cases[] = {
        {"status\n", Request::kStatus},
        {"sync\n", Request::kSync},
        {"status\r\n", Request::kStatus},
        {"sync\nstatus\n", Request::kSync},  // only the first line counts
        {"", Request::kIncomplete},
        {"stat", Request::kIncomplete},
        {"status", Request::kIncomplete},
        {"\n", Request::kBad},
        {"STATUS\n", Request::kBad},
        {" status\n", Request::kBad},
        {"status \n", Request::kBad},
        {"status\r\r\n", Request::kBad},
        {"sync\r", Request::kIncomplete},
        {std::string("sta\0tus\n", 8), Request::kBad},
        {std::string("status\0\n", 8), Request::kBad},
        {"\xff\xfe\n", Request::kBad},
        {std::string(kMaxRequest - 1, 'a'), Request::kIncomplete},
        {std::string(kMaxRequest, 'a'), Request::kTooLong},
        {std::string(kMaxRequest, 'a') + "\n", Request::kTooLong},
        {std::string(kMaxRequest - 1, 'a') + "\n", Request::kBad},
        {std::string(1 << 20, 's'), Request::kTooLong},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseRequest(c.bytes), c.want) << "bytes: \"" << c.bytes.substr(0, 40) << "\"";
}

TEST(ControlCodec, RequestLinesParseBack) {
    for (Request r : {Request::kStatus, Request::kSync})
        EXPECT_EQ(ParseRequest(platform::control::RequestLine(r)), r);
}

// A client of the socket that sends raw bytes, as a fuzzer or a broken peer would.
std::string RawExchange(const std::string& path, const std::string& first, const std::string& second = "") {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return "<no connection>";
    }
    ::send(fd, first.data(), first.size(), MSG_NOSIGNAL);
    if (!second.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::send(fd, second.data(), second.size(), MSG_NOSIGNAL);
    }
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
        got.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return got;
}

class ControlSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.Set("XDG_RUNTIME_DIR", dir_.Path());
        path_ = platform::ControlSocketPath();
        ASSERT_EQ(path_, dir_.Path() + "/kestrine/control");
    }
    bool StartServer() {
        return server_.Start(path_, [this](Request r) {
            ++handled_;
            return r == Request::kSync ? std::string("{\"sync\":true}") : std::string("{\"state\":\"x\"}");
        });
    }

    testsupport::TempDir dir_;
    testsupport::ScopedEnv env_;
    std::string path_;
    std::atomic<int> handled_{0};
    ControlServer server_;
};

TEST_F(ControlSocketTest, AnswersStatusAndSyncAndRefusesOtherLines) {
    ASSERT_TRUE(StartServer());
    std::string answer;
    ASSERT_EQ(AskInstance(path_, Request::kStatus, &answer), ControlAnswer::kAnswered);
    EXPECT_EQ(answer, "{\"state\":\"x\"}");
    ASSERT_EQ(AskInstance(path_, Request::kSync, &answer), ControlAnswer::kAnswered);
    EXPECT_EQ(answer, "{\"sync\":true}");
    // A request arriving in pieces is put together; bad and endless lines never reach the handler.
    EXPECT_EQ(RawExchange(path_, "sta", "tus\n"), "{\"state\":\"x\"}\n");
    EXPECT_EQ(RawExchange(path_, "reboot\n"), "{\"error\":\"bad request\"}\n");
    EXPECT_EQ(RawExchange(path_, std::string(4096, 'x')), "{\"error\":\"bad request\"}\n");
    EXPECT_EQ(handled_.load(), 3);
}

TEST_F(ControlSocketTest, APeerTricklingBytesDoesNotHoldTheServer) {
    ASSERT_TRUE(StartServer());
    std::atomic<bool> done{false};
    std::thread trickler([&] {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        // A byte every 300 ms for 9 s, never a whole line.
        for (int i = 0; i < 30 && !done.load(); ++i) {
            (void)::send(fd, "s", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        ::close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the trickler is served first
    const auto start = std::chrono::steady_clock::now();
    std::string answer;
    EXPECT_EQ(AskInstance(path_, Request::kStatus, &answer), ControlAnswer::kAnswered);
    const auto waited = std::chrono::steady_clock::now() - start;
    done.store(true);
    trickler.join();
    EXPECT_LT(waited, std::chrono::milliseconds(4000));
}

TEST_F(ControlSocketTest, SocketAndFolderArePrivate) {
    ASSERT_TRUE(StartServer());
    struct stat st {};
    ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::lstat((dir_.Path() + "/kestrine").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    server_.Stop();
    EXPECT_NE(::lstat(path_.c_str(), &st), 0) << "the socket outlived its server";
}

TEST_F(ControlSocketTest, OpenFolderOfOursIsTightenedAndAForeignOneRefused) {
    const std::string folder = dir_.Path() + "/kestrine";
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    EXPECT_EQ(platform::ControlSocketPath(), path_);
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A link in the folder's place, planted by anyone, is never followed.
    ASSERT_EQ(::rmdir(folder.c_str()), 0);
    dir_.MakeDirs("elsewhere");
    ASSERT_EQ(::symlink(dir_.Sub("elsewhere").c_str(), folder.c_str()), 0);
    EXPECT_EQ(platform::ControlSocketPath(), "");
    ASSERT_EQ(::unlink(folder.c_str()), 0);

    if (::geteuid() != 0)
        return;  // only root can hand the folder to another user
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_EQ(platform::ControlSocketPath(), "");
}

TEST_F(ControlSocketTest, NoInstanceWhenNothingListens) {
    std::string answer;
    EXPECT_EQ(AskInstance(path_, Request::kStatus, &answer), ControlAnswer::kNoInstance);
    {
        // A runtime folder that does not exist yet: no instance either, not an unusable folder.
        testsupport::ScopedEnv missing;
        missing.Set("XDG_RUNTIME_DIR", dir_.Sub("not/yet"));
        const std::string path = platform::ControlSocketPath();
        EXPECT_EQ(path, dir_.Sub("not/yet/kestrine/control"));
        EXPECT_EQ(AskInstance(path, Request::kStatus, &answer), ControlAnswer::kNoInstance);
    }
    // A crashed instance leaves its socket behind: still no instance, and the next one takes over.
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    EXPECT_EQ(AskInstance(path_, Request::kStatus, &answer), ControlAnswer::kNoInstance);
    ASSERT_TRUE(StartServer());
    EXPECT_EQ(AskInstance(path_, Request::kStatus, &answer), ControlAnswer::kAnswered);
}

TEST_F(ControlSocketTest, AnInstanceThatClosesWithoutAWholeAnswerIsAFailure) {
    // Listens and accepts but closes after a part of an answer (an instance that crashed).
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    std::thread peer([fd] {
        int c = ::accept(fd, nullptr, nullptr);
        char buf[64];
        (void)::recv(c, buf, sizeof buf, 0);
        (void)::send(c, "{\"state\":", 9, MSG_NOSIGNAL);
        ::close(c);
    });
    std::string answer;
    EXPECT_EQ(AskInstance(path_, Request::kStatus, &answer), ControlAnswer::kFailed);
    EXPECT_EQ(answer, "");
    peer.join();
    ::close(fd);
}

TEST_F(ControlSocketTest, FailuresToListenOrConnectAreReported) {
    platform::FaultScope faults;
    platform::FailCall(platform::Op::Socket, 1, EACCES);
    EXPECT_FALSE(StartServer());
    platform::FailCall(platform::Op::Socket, 1, EACCES);
    std::string answer;
    EXPECT_EQ(AskInstance(path_, Request::kStatus, &answer), ControlAnswer::kFailed);
    // A path longer than a socket address holds is refused, not cut short.
    EXPECT_FALSE(server_.Start(dir_.Path() + "/" + std::string(200, 'p'), [](Request) { return ""; }));
}

TEST_F(ControlSocketTest, AnotherUserIsNotAnswered) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    ASSERT_TRUE(StartServer());
    // Past the folder and the socket's mode (opened here), only the peer check stands between.
    ASSERT_EQ(::chmod((dir_.Path() + "/kestrine").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir_.Path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        const std::string got = RawExchange(path_, "status\n");
        ::_exit(got == "<no connection>" ? 11 : got.empty() ? 0 : 12);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no setuid, 11: no connection, 12: answered";
    EXPECT_EQ(handled_.load(), 0);
}

}  // namespace
