// A loopback HTTP server that answers with scripted raw bytes, for replies no real service would
// send: malformed XML, SOAP faults, truncated MTOM, replies shaped like other SOAP stacks, headers
// and bodies split into small pieces, stalls and dropped connections. It records every request
// (and whatever arrived on a connection that never formed one, such as a SOCKS greeting). The
// object owns its listening socket, its connections and their threads; the destructor ends them.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class CannedHttpServer {
  public:
    struct Reply {
        std::string bytes;     // the whole answer: status line, headers, body (may be empty)
        int delayMs = 0;       // wait before answering (ended early by the destructor)
        bool close = false;    // close the connection after `bytes`
        size_t pieceSize = 0;  // write in pieces of this many bytes (0: at once)
        int pieceDelayMs = 0;  // pause between pieces, so the reader sees them separately
    };
    struct Request {
        std::string head;       // request line and headers, or the raw bytes of a non-HTTP exchange
        std::string body;       // by Content-Length
        int connection = 0;     // 1 for the first accepted connection, 2 for the next, ...
        bool complete = false;  // a whole HTTP request arrived
        std::string RequestLine() const { return head.substr(0, head.find("\r\n")); }
        std::string Header(const std::string& name) const;  // case-insensitive; empty when absent
    };

    // An answer with status, Content-Type, Content-Length and the body; `extraHeaders` are whole
    // header lines ending in "\r\n".
    static std::string Response(int status, const std::string& contentType, const std::string& body,
                                const std::string& extraHeaders = "");

    CannedHttpServer();
    ~CannedHttpServer();
    CannedHttpServer(const CannedHttpServer&) = delete;
    CannedHttpServer& operator=(const CannedHttpServer&) = delete;

    bool Start();  // listens on 127.0.0.1 with a free port
    int Port() const { return port_; }
    std::string Url(const std::string& path = "/") const;

    // Replies are used one per request, in order; once the queue is empty the default answers.
    void Push(const Reply& reply);
    void Push(const std::string& bytes) { Push(Reply{bytes}); }
    void SetDefault(const Reply& reply);

    std::vector<Request> Requests();
    int Connections();
    // Waits until `count` requests (complete or not) have been recorded.
    bool WaitForRequests(size_t count, int timeoutMs);

  private:
    void AcceptLoop();
    void Serve(int fd, int number);
    Reply NextReply();
    bool Sleep(int ms);  // false when stopping

    int listenFd_ = -1;
    int port_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::deque<Reply> queue_;
    Reply default_;
    std::vector<Request> requests_;
    std::vector<int> fds_;
    int connections_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
};

}  // namespace testsupport
