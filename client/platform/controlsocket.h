// The control socket: how `kestrine status` and `kestrine sync` reach the running instance. The
// instance holding the single-instance lock listens on a Unix socket in a private folder of the
// runtime folder; a command connects, sends one request line and reads one answer (a JSON object
// and a newline) until the instance closes the connection. Only the same user is answered: the
// folder is 0700, the socket 0600, and every peer's uid is checked (SO_PEERCRED).
// Ownership: ControlServer owns its listening socket and its thread; Stop (or the destructor)
// ends the thread and removes the socket. Thread rule: Start and Stop on one thread; the handler
// runs on the server's own thread, one request at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace platform {

namespace control {

// What a command asks the instance.
enum class Request {
    kIncomplete,  // no newline yet: read more
    kStatus,      // "status"
    kSync,        // "sync": a pass, as the tray's command starts it
    kBad,         // a line that is not a request
    kTooLong,     // no newline within kMaxRequest bytes
};

// A request line is a word and "\n"; anything longer is not one of ours.
constexpr size_t kMaxRequest = 64;
// The longest answer a command reads; the items not synced are cut to stay below it.
constexpr size_t kMaxAnswer = 1 << 20;

// Reads the request in the bytes received so far (untrusted: any bytes at all). A trailing "\r"
// before the newline is accepted.
Request ParseRequest(std::string_view received);

// The word a command sends for `request` (kStatus or kSync), newline included.
std::string RequestLine(Request request);

}  // namespace control

// The socket's path: "<folder>/control" where the folder is "$XDG_RUNTIME_DIR/kestrine", or
// "/tmp/kestrine-<uid>" without a runtime folder. Empty (LastError set) when the folder cannot be
// made or is not a private folder of this user (a link, another owner, open to others): nothing
// may listen or connect there.
std::string ControlSocketPath();

class ControlServer {
  public:
    // Answers a request (kStatus or kSync) with one line of JSON, without the newline.
    using Handler = std::function<std::string(control::Request request)>;

    ControlServer() = default;
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on `path` and starts the thread. Whatever is at `path` is removed first: only the
    // holder of the single-instance lock calls this, so a socket there is a crashed instance's.
    // False (LastError set, logged) when the socket cannot be made (Op::Socket fails it).
    bool Start(const std::string& path, Handler handler);
    void Stop();

  private:
    void Serve();
    void Answer(int fd);

    Handler handler_;
    std::string path_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::thread thread_;
};

// The outcome of asking the instance.
enum class ControlAnswer {
    kAnswered,    // *answer holds the instance's answer, without the newline
    kNoInstance,  // nothing listens at the path (no socket, or a crashed instance's)
    kFailed,      // connected but no complete answer within the time-out, or another error
};

// Sends `request` to the instance listening at `path` and reads its answer.
ControlAnswer AskInstance(const std::string& path, control::Request request, std::string* answer,
                          int timeoutMs = 10000);

}  // namespace platform
