#include "platform/controlsocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/error.h"
#include "platform/internal.h"
#include "platform/plog.h"
#include "platform/system.h"

namespace platform {

namespace control {

Request ParseRequest(std::string_view received) {
    const size_t end = received.find('\n');
    if (end == std::string_view::npos)
        return received.size() >= kMaxRequest ? Request::kTooLong : Request::kIncomplete;
    if (end >= kMaxRequest)
        return Request::kTooLong;
    std::string_view line = received.substr(0, end);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line == "status")
        return Request::kStatus;
    if (line == "sync")
        return Request::kSync;
    return Request::kBad;
}

std::string RequestLine(Request request) {
    return request == Request::kSync ? "sync\n" : "status\n";
}

}  // namespace control

namespace {

constexpr const char* kTag = "platform::ControlSocket";
// A peer that sends nothing, or reads nothing, holds the server no longer than this.
constexpr int kPeerTimeoutMs = 2000;
constexpr const char* kBadRequestAnswer = "{\"error\":\"bad request\"}\n";

// True when `dir` is a folder of this user that no one else may enter; a folder of ours with a
// looser mode is tightened.
bool PrivateFolder(const std::string& dir) {
    // A runtime folder not made yet is made as the instance lock makes it.
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST && !internal::MakeDirs(dir, 0700))
        return false;
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return internal::FailErrno();
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        SetLastError(EPERM);
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
        return internal::FailErrno();
    return true;
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr->sun_path) {
        SetLastError(ENAMETOOLONG);
        return false;
    }
    std::memcpy(addr->sun_path, path.c_str(), path.size());
    return true;
}

void SetTimeouts(int fd, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool SameUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::geteuid();
}

}  // namespace

std::string ControlSocketPath() {
    std::string dir = RuntimeDir();
    if (!dir.empty())
        dir += "/kestrine";
    else
        dir = "/tmp/kestrine-" + std::to_string(::geteuid());
    if (!PrivateFolder(dir)) {
        Log(2, kTag, "The control folder \"" + dir + "\" is not a private folder: " + ErrorText(LastError()));
        return std::string();
    }
    return dir + "/control";
}

ControlServer::~ControlServer() {
    Stop();
}

bool ControlServer::Start(const std::string& path, Handler handler) {
    if (listenFd_ >= 0)
        return true;
    sockaddr_un addr{};
    if (internal::Faulted(Op::Socket, path) || !FillAddress(path, &addr))
        return false;
    internal::FdGuard fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0)
        return internal::FailErrno();
    // A crashed instance's socket refuses connections but keeps the name.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return internal::FailErrno();
    // Until the chmod the socket has the umask's mode; the 0700 folder keeps others out meanwhile.
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(fd.Get(), 8) != 0) {
        internal::FailErrno();
        Log(2, kTag, "Fail to listen on \"" + path + "\": " + ErrorText(LastError()));
        ::unlink(path.c_str());
        return false;
    }
    if (::pipe2(wakeFds_, O_CLOEXEC) != 0) {
        internal::FailErrno();
        ::unlink(path.c_str());
        return false;
    }
    handler_ = std::move(handler);
    path_ = path;
    listenFd_ = fd.Release();
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void ControlServer::Stop() {
    if (listenFd_ < 0)
        return;
    const char wake = 1;
    while (::write(wakeFds_[1], &wake, 1) < 0 && errno == EINTR) {
    }
    if (thread_.joinable())
        thread_.join();
    ::close(listenFd_);
    ::close(wakeFds_[0]);
    ::close(wakeFds_[1]);
    listenFd_ = -1;
    wakeFds_[0] = wakeFds_[1] = -1;
    ::unlink(path_.c_str());
}

void ControlServer::Serve() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            Log(2, kTag, "poll failed: " + ErrorText(errno));
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (fds[0].revents == 0)
            continue;
        internal::FdGuard peer(::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC));
        if (peer.Get() < 0)
            continue;
        if (!SameUser(peer.Get())) {
            Log(2, kTag, "A connection from another user was refused");
            continue;
        }
        Answer(peer.Get());
    }
}

void ControlServer::Answer(int fd) {
    // One deadline for the whole request: a peer sending a byte now and then gains nothing.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerTimeoutMs);
    std::string received;
    control::Request request = control::Request::kIncomplete;
    char buf[control::kMaxRequest];
    while (request == control::Request::kIncomplete) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        SetTimeouts(fd, static_cast<int>(left.count()));
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // gone, or silent past the time-out, before a whole line
        received.append(buf, static_cast<size_t>(n));
        request = control::ParseRequest(received);
    }
    if (request == control::Request::kStatus || request == control::Request::kSync)
        SendAll(fd, handler_(request) + "\n");
    else
        SendAll(fd, kBadRequestAnswer);
}

ControlAnswer AskInstance(const std::string& path, control::Request request, std::string* answer,
                          int timeoutMs) {
    answer->clear();
    sockaddr_un addr{};
    if (internal::Faulted(Op::Socket, path) || !FillAddress(path, &addr))
        return ControlAnswer::kFailed;
    internal::FdGuard fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) {
        internal::FailErrno();
        return ControlAnswer::kFailed;
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        internal::FailErrno();
        return errno == ENOENT || errno == ECONNREFUSED ? ControlAnswer::kNoInstance : ControlAnswer::kFailed;
    }
    SetTimeouts(fd.Get(), timeoutMs);
    if (!SendAll(fd.Get(), control::RequestLine(request)))
        return ControlAnswer::kFailed;
    std::string received;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            internal::FailErrno();
            return ControlAnswer::kFailed;
        }
        if (n == 0)
            break;
        received.append(buf, static_cast<size_t>(n));
        if (received.size() > control::kMaxAnswer) {
            SetLastError(EMSGSIZE);
            return ControlAnswer::kFailed;
        }
    }
    // An instance that ended while answering leaves a cut answer: not one to show.
    if (received.empty() || received.back() != '\n') {
        SetLastError(EPROTO);
        return ControlAnswer::kFailed;
    }
    received.pop_back();
    *answer = std::move(received);
    return ControlAnswer::kAnswered;
}

}  // namespace platform
