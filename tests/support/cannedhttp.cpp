#include "support/cannedhttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>

namespace testsupport {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const char* StatusText(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string CannedHttpServer::Request::Header(const std::string& name) const {
    std::string want = Lower(name) + ":";
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos + 2 < head.size()) {
        size_t start = pos + 2;
        size_t end = head.find("\r\n", start);
        std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (Lower(line.substr(0, want.size())) == want) {
            std::string v = line.substr(want.size());
            while (!v.empty() && v.front() == ' ')
                v.erase(0, 1);
            return v;
        }
        pos = end;
    }
    return std::string();
}

std::string CannedHttpServer::Response(int status, const std::string& contentType, const std::string& body,
                                       const std::string& extraHeaders) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) + "\r\n";
    if (!contentType.empty())
        out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
    return out;
}

CannedHttpServer::CannedHttpServer() {
    default_.bytes = Response(500, "text/plain", "no canned reply\n");
}

CannedHttpServer::~CannedHttpServer() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        for (int fd : fds_)
            shutdown(fd, SHUT_RDWR);
    }
    cv_.notify_all();
    if (listenFd_ >= 0)
        shutdown(listenFd_, SHUT_RDWR);
    if (acceptor_.joinable())
        acceptor_.join();
    for (std::thread& t : workers_)
        t.join();
    if (listenFd_ >= 0)
        close(listenFd_);
}

bool CannedHttpServer::Start() {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        return false;
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 16) != 0)
        return false;
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

std::string CannedHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void CannedHttpServer::Push(const Reply& reply) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(reply);
}

void CannedHttpServer::SetDefault(const Reply& reply) {
    std::lock_guard<std::mutex> lock(mu_);
    default_ = reply;
}

std::vector<CannedHttpServer::Request> CannedHttpServer::Requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

int CannedHttpServer::Connections() {
    std::lock_guard<std::mutex> lock(mu_);
    return connections_;
}

bool CannedHttpServer::WaitForRequests(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return requests_.size() >= count; });
}

CannedHttpServer::Reply CannedHttpServer::NextReply() {
    std::lock_guard<std::mutex> lock(mu_);
    if (queue_.empty())
        return default_;
    Reply r = queue_.front();
    queue_.pop_front();
    return r;
}

bool CannedHttpServer::Sleep(int ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_; });
}

void CannedHttpServer::AcceptLoop() {
    while (true) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;  // shut down
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) {
            close(fd);
            return;
        }
        fds_.push_back(fd);
        int number = ++connections_;
        workers_.emplace_back([this, fd, number] { Serve(fd, number); });
    }
}

void CannedHttpServer::Serve(int fd, int number) {
    std::string pending;
    auto record = [&](Request r) {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back(std::move(r));
        cv_.notify_all();
    };
    bool open = true;
    while (open) {
        // One request: the head up to the empty line, then Content-Length bytes of body.
        size_t headEnd;
        while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
            char buf[65536];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                if (!pending.empty()) {
                    Request r;
                    r.head = pending;
                    r.connection = number;
                    record(r);
                }
                open = false;
                break;
            }
            pending.append(buf, static_cast<size_t>(n));
        }
        if (!open)
            break;
        Request r;
        r.head = pending.substr(0, headEnd + 2);
        r.connection = number;
        size_t length = static_cast<size_t>(std::strtoull(r.Header("Content-Length").c_str(), nullptr, 10));
        pending.erase(0, headEnd + 4);
        while (pending.size() < length) {
            char buf[65536];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                open = false;
                break;
            }
            pending.append(buf, static_cast<size_t>(n));
        }
        r.body = pending.substr(0, std::min(length, pending.size()));
        pending.erase(0, r.body.size());
        r.complete = open;
        record(r);
        if (!open)
            break;

        Reply reply = NextReply();
        if (reply.delayMs > 0 && !Sleep(reply.delayMs))
            break;
        if (reply.pieceSize == 0) {
            if (!SendAll(fd, reply.bytes.data(), reply.bytes.size()))
                break;
        } else {
            for (size_t off = 0; off < reply.bytes.size(); off += reply.pieceSize) {
                size_t n = std::min(reply.pieceSize, reply.bytes.size() - off);
                if (!SendAll(fd, reply.bytes.data() + off, n))
                    open = false;
                if (!open || (reply.pieceDelayMs > 0 && !Sleep(reply.pieceDelayMs))) {
                    open = false;
                    break;
                }
            }
        }
        if (reply.close)
            break;
    }
    std::lock_guard<std::mutex> lock(mu_);
    fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

}  // namespace testsupport
