#include "server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cryptopp/misc.h>
#include <cryptopp/sha.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "wire.h"

namespace kserver {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kMaxPlainBody = 65536;          // routes that read their body whole
constexpr size_t kMaxBlobBytes = size_t(4) << 30;  // one benchmark blob
constexpr size_t kControlTokenBytes = 32;
constexpr size_t kMaxDigestFile = 4096;  // a published "<installer>.sha256"

std::mutex gLogMutex;

bool IsLoopback(const std::string& addr) {
    return addr == "127.0.0.1" || addr == "::1" || addr.compare(0, 4, "127.") == 0 ||
           addr.compare(0, 11, "::ffff:127.") == 0;
}

int PortOf(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return -1;
}

// Closes the request's TCP connection under the HTTP library's feet, so the client sees it drop
// without any answer. The socket is found by its two port numbers.
void ShutdownConnection(const httplib::Request& req) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return;
    while (dirent* e = ::readdir(dir)) {
        int fd = std::atoi(e->d_name);
        if (fd <= 2 || fd == ::dirfd(dir))
            continue;
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        sockaddr_storage local{}, peer{};
        socklen_t ll = sizeof local, pl = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &ll) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) != 0)
            continue;
        if (PortOf(local) == req.local_port && PortOf(peer) == req.remote_port) {
            ::shutdown(fd, SHUT_RDWR);
            break;
        }
    }
    ::closedir(dir);
}

// An open descriptor of the regular file at `path` (never through a link), or -1.
int OpenRegular(const std::string& path, struct stat* st) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 && (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Streams a file as the response body without reading it whole.
bool ServeFile(const std::string& path, const std::string& contentType, httplib::Response& res) {
    struct stat st;
    int fd = OpenRegular(path, &st);
    if (fd < 0)
        return false;
    auto file = std::shared_ptr<int>(new int(fd), [](int* p) {
        ::close(*p);
        delete p;
    });
    auto buffer = std::make_shared<std::string>(1u << 20, '\0');
    res.set_content_provider(static_cast<size_t>(st.st_size), contentType,
                             [file, buffer](size_t offset, size_t length, httplib::DataSink& sink) {
                                 size_t want = std::min(length, buffer->size());
                                 ssize_t n = ::pread(*file, buffer->data(), want, static_cast<off_t>(offset));
                                 if (n <= 0)
                                     return false;
                                 return sink.write(buffer->data(), static_cast<size_t>(n));
                             });
    return true;
}

// A Debian package is named as one, so the desktop hands a download to its package installer.
std::string InstallerType(const std::string& path) {
    const std::string deb = ".deb";
    if (path.size() >= deb.size() && path.compare(path.size() - deb.size(), deb.size(), deb) == 0)
        return "application/vnd.debian.binary-package";
    return "application/octet-stream";
}

// Hex of `bytes` bytes from the system's random source (not the seeded generator of ids).
std::string SecretHex(size_t bytes) {
    std::random_device rd;
    static const char* hex = "0123456789abcdef";
    std::string out;
    while (out.size() < 2 * bytes) {
        unsigned v = rd();
        for (int i = 0; i < 8 && out.size() < 2 * bytes; ++i, v >>= 4)
            out.push_back(hex[v & 15]);
    }
    return out;
}

// Equal texts, in a time that depends only on the expected one's length.
bool SameToken(const std::string& expected, const std::string& given) {
    if (given.size() != expected.size())
        return false;
    return CryptoPP::VerifyBufsEqual(reinterpret_cast<const CryptoPP::byte*>(expected.data()),
                                     reinterpret_cast<const CryptoPP::byte*>(given.data()), expected.size());
}

// A request without Content-Length or Transfer-Encoding has no body (RFC 9112 6.3); the HTTP
// library would wait for the connection's end instead, and answer 400 when its read times out.
bool HasBody(const httplib::Request& req) {
    return req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
}

// At most `limit` bytes of a regular file; false when there is none.
bool ReadHead(const std::string& path, size_t limit, std::string* out) {
    struct stat st;
    int fd = OpenRegular(path, &st);
    if (fd < 0)
        return false;
    out->assign(limit, '\0');
    ssize_t n = ::pread(fd, out->data(), limit, 0);
    ::close(fd);
    out->resize(n > 0 ? static_cast<size_t>(n) : 0);
    return n >= 0;
}

// The operator's own "<installer>.sha256" as it is, else the SHA-256 line `sha256sum` prints for
// the installer (recomputed only when the installer changed). False when neither can be read.
bool InstallerDigest(const std::string& path, std::string* line) {
    if (ReadHead(path + ".sha256", kMaxDigestFile, line))
        return true;
    static std::mutex mu;
    static std::string cachedKey, cachedLine;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const std::string key = path + "|" + std::to_string(st.st_ino) + "|" + std::to_string(st.st_size) + "|" +
                            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    std::lock_guard<std::mutex> lock(mu);
    if (key == cachedKey) {
        *line = cachedLine;
        return true;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    CryptoPP::SHA256 hash;
    std::string buffer(1u << 20, '\0');
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0)
        hash.Update(reinterpret_cast<const CryptoPP::byte*>(buffer.data()), static_cast<size_t>(n));
    ::close(fd);
    if (n < 0)
        return false;
    CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
    hash.Final(digest);
    static const char* hex = "0123456789abcdef";
    line->clear();
    for (CryptoPP::byte b : digest) {
        line->push_back(hex[b >> 4]);
        line->push_back(hex[b & 15]);
    }
    *line += "  " + std::filesystem::path(path).filename().string() + "\n";
    cachedKey = key;
    cachedLine = *line;
    return true;
}

std::string Page(const std::string& title, const std::string& text) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
           "</title></head><body><h1>" + title + "</h1><p>" + text + "</p></body></html>\n";
}

std::string Param(const httplib::Request& req, const char* name) {
    return req.has_param(name) ? req.get_param_value(name) : std::string();
}

// A portal answer as the HTTP response.
void Answer(const HttpAnswer& a, httplib::Response& res) {
    res.status = a.status;
    for (const auto& [k, v] : a.headers)
        res.set_header(k.c_str(), v);
    res.set_content(a.body, a.contentType.c_str());
}

}  // namespace

bool IsValidControlToken(const std::string& token) {
    if (token.size() < kMinControlToken || token.size() > 256)
        return false;
    return std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

// The HTTP side of the service: the server, the thread Start() runs it on, and the routes, one
// member per family. It borrows the owner's objects. Routes run on the HTTP library's pool
// threads; the request log is serialized by gLogMutex.
struct CKestrineServer::Impl {
    explicit Impl(CKestrineServer& owner)
        : owner_(owner),
          options_(owner.options_),
          store_(owner.store_),
          faults_(owner.faults_),
          soap_(owner.soap_),
          portal_(owner.portal_) {}

    void Route();

    httplib::Server http;
    std::thread thread;

  private:
    // Whether a control route did what was asked; `text` is its answer either way.
    using ControlBody = bool (Impl::*)(const httplib::Request& req, std::string* text);

    void _SetLimits();
    void _RoutePortal();
    void _RouteUpdates();
    void _RoutePages();
    void _RouteSoap();
    void _RouteControl();
    void _RouteBlobs();

    void _Log(const httplib::Request& req, int status, const std::string& what, Clock::time_point start,
              size_t in, size_t out) const;
    // 413 and the end of the connection, for a body over its route's limit (`in` bytes read).
    void _RefuseTooLarge(const httplib::Request& req, httplib::Response& res, Clock::time_point start,
                         size_t in) const;
    std::string _BaseUrl(const httplib::Request& req) const;
    // A portal fault: refusal (503), drop or stall; true when the request is done with.
    bool _PortalFault(const std::string& op, const httplib::Request& req, httplib::Response& res,
                      Clock::time_point start);

    void _ServeSoap(ServiceKind kind, const httplib::Request& req, httplib::Response& res,
                    const httplib::ContentReader& reader);
    // The body of a SOAP request up to `limit` bytes; false when it is longer.
    static bool _ReadSoapBody(const httplib::Request& req, const httplib::ContentReader& reader, size_t limit,
                              std::string* body);
    void _SendSoapReply(const httplib::Request& req, httplib::Response& res,
                        const std::shared_ptr<SoapReply>& reply, Clock::time_point start, size_t received);

    void _ServeControl(ControlBody body, const httplib::Request& req, httplib::Response& res);
    void _ControlPost(const char* path, ControlBody body);
    bool _ArmFault(const httplib::Request& req, std::string* text);
    bool _ResetFaults(const httplib::Request& req, std::string* text);
    bool _ListFaults(const httplib::Request& req, std::string* text);
    bool _InvalidatePassports(const httplib::Request& req, std::string* text);
    bool _SetCompressThreshold(const httplib::Request& req, std::string* text);

    // The file of the blob the request names; false for a bad name or a peer not on loopback.
    bool _BlobPath(const httplib::Request& req, std::string* path) const;
    void _PutBlob(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
    void _GetBlob(const httplib::Request& req, httplib::Response& res);

    CKestrineServer& owner_;
    const ServerOptions& options_;
    CServerStore& store_;
    CFaults& faults_;
    CSoapService& soap_;
    CPortal& portal_;
};

void CKestrineServer::Impl::Route() {
    _SetLimits();
    _RoutePortal();
    _RouteUpdates();
    _RoutePages();
    _RouteSoap();
    _RouteControl();
    _RouteBlobs();
}

void CKestrineServer::Impl::_Log(const httplib::Request& req, int status, const std::string& what,
                                 Clock::time_point start, size_t in, size_t out) const {
    if (!options_.logRequests)
        return;
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    std::lock_guard<std::mutex> lock(gLogMutex);
    std::printf("%s %s %s %s %d %s in=%zu out=%zu %.1fms\n", when, req.remote_addr.c_str(),
                req.method.c_str(), req.path.c_str(), status, what.c_str(), in, out, ms);
    std::fflush(stdout);
}

void CKestrineServer::Impl::_RefuseTooLarge(const httplib::Request& req, httplib::Response& res,
                                            Clock::time_point start, size_t in) const {
    res.status = 413;
    res.set_header("Connection", "close");
    res.set_content("request body too large\n", "text/plain");
    _Log(req, 413, "body too large", start, in, 0);
}

std::string CKestrineServer::Impl::_BaseUrl(const httplib::Request& req) const {
    if (!options_.advertise.empty())
        return options_.advertise;
    std::string host = req.get_header_value("Host");
    return host.empty() ? owner_.BaseUrl() : "http://" + host;
}

bool CKestrineServer::Impl::_PortalFault(const std::string& op, const httplib::Request& req,
                                         httplib::Response& res, Clock::time_point start) {
    Fault f;
    if (!faults_.Take(op, &f))
        return false;
    if (f.action == FaultAction::Stall) {
        faults_.Stall(f.stallMs > 0 ? f.stallMs : faults_.DefaultStallMs());
        if (!f.thenDrop)
            return false;
    }
    if (f.action == FaultAction::Drop || f.action == FaultAction::Stall) {
        ShutdownConnection(req);
        res.set_header("Connection", "close");
        _Log(req, 0, op + " dropped", start, 0, 0);
        return true;
    }
    res.status = 503;
    res.set_content("service unavailable\n", "text/plain");
    _Log(req, 503, op + " refused", start, 0, res.body.size());
    return true;
}

void CKestrineServer::Impl::_SetLimits() {
    int threads = options_.threads;
    http.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
    // Bodies are bounded per route: SOAP requests by maxBody, other routes by kMaxPlainBody.
    http.set_payload_max_length(kMaxBlobBytes);
    http.set_keep_alive_max_count(1000);
    http.set_keep_alive_timeout(15);
    http.set_tcp_nodelay(true);
    http.set_read_timeout(30);
    http.set_write_timeout(30);

    // Only the SOAP services and blob uploads stream their bodies (with limits of their own);
    // every other route would take its body whole into memory, so a large one is refused first.
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        bool streaming = (req.method == "POST" && req.path.compare(0, 16, "/axis2/services/") == 0) ||
                         (req.method == "PUT" && req.path.compare(0, 12, "/bench/blob/") == 0);
        bool chunked = req.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
        uint64_t length =
            req.has_header("Content-Length") ? req.get_header_value<uint64_t>("Content-Length") : 0;
        if (streaming || (!chunked && length <= kMaxPlainBody))
            return httplib::Server::HandlerResponse::Unhandled;
        _RefuseTooLarge(req, res, Clock::now(), 0);
        return httplib::Server::HandlerResponse::Handled;
    });
    // Requests no route answered (unknown paths, methods, malformed requests): their error
    // answers have no body, the routes' own answers always have one.
    http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        if (res.status >= 400 && res.body.empty())
            _Log(req, res.status, "unrouted", Clock::now(), 0, 0);
    });
}

// The portal's servlets: sign-in and the addresses of the SOAP services.
void CKestrineServer::Impl::_RoutePortal() {
    http.Get("/mirnportal/LoginServlet", [this](const httplib::Request& req, httplib::Response& res) {
        auto start = Clock::now();
        if (_PortalFault("portal_login", req, res, start))
            return;
        std::map<std::string, std::string> params;
        for (const auto& [k, v] : req.params)
            params.emplace(k, v);
        HttpAnswer a = portal_.Login(req.method, req.target, params, req.get_header_value("Authorization"));
        Answer(a, res);
        _Log(req, a.status, "login user=" + a.user, start, 0, a.body.size());
    });
    http.Get("/mirnportal/GetServersAddrServlet",
             [this](const httplib::Request& req, httplib::Response& res) {
                 auto start = Clock::now();
                 if (_PortalFault("portal_servers", req, res, start))
                     return;
                 HttpAnswer a = portal_.Servers(_BaseUrl(req));
                 Answer(a, res);
                 _Log(req, a.status, "servers", start, 0, a.body.size());
             });
}

// The update endpoints: the published client versions, its installer and the installer's digest.
void CKestrineServer::Impl::_RouteUpdates() {
    auto version = [this](const std::string& value) {
        return [this, value](const httplib::Request& req, httplib::Response& res) {
            auto start = Clock::now();
            if (_PortalFault("portal_version", req, res, start))
                return;
            res.set_content(value, "text/plain; charset=UTF-8");
            _Log(req, 200, "version", start, 0, value.size());
        };
    };
    http.Get("/mirnportal/clientVersion", version(options_.clientVersion));
    http.Get("/mirnportal/clientMinAvailableVersion", version(options_.clientMinVersion));
    http.Get("/mirnportal/downloadClient", [this](const httplib::Request& req, httplib::Response& res) {
        auto start = Clock::now();
        if (_PortalFault("portal_download", req, res, start))
            return;
        if (options_.clientFile.empty() ||
            !ServeFile(options_.clientFile, InstallerType(options_.clientFile), res)) {
            res.status = 404;
            res.set_content("no client installer\n", "text/plain");
        }
        _Log(req, res.status, "download_client", start, 0, 0);
    });
    http.Get(R"(/mirnportal/downloadClient\.sha256)",
             [this](const httplib::Request& req, httplib::Response& res) {
                 auto start = Clock::now();
                 if (_PortalFault("portal_digest", req, res, start))
                     return;
                 std::string line;
                 if (options_.clientFile.empty() || !options_.publishClientDigest ||
                     !InstallerDigest(options_.clientFile, &line)) {
                     res.status = 404;
                     res.set_content("no client digest\n", "text/plain");
                 } else {
                     res.status = 200;
                     res.set_content(line, "text/plain; charset=UTF-8");
                 }
                 _Log(req, res.status, "download_client_digest", start, 0, res.body.size());
             });
}

// The portal's static pages.
void CKestrineServer::Impl::_RoutePages() {
    const std::pair<const char*, std::string> pages[] = {
        {"/files.jsp", Page("Kestrine", "Your files are available through the Kestrine client.")},
        {"/support/manual.jsp",
         Page("Kestrine manual", "Sign in, choose a folder, and Kestrine keeps it in step.")},
        {"/reg.jsp", Page("Kestrine registration", "Accounts are created by the service administrator.")},
    };
    for (const auto& page : pages) {
        std::string html = page.second;
        http.Get(page.first, [this, html](const httplib::Request& req, httplib::Response& res) {
            auto start = Clock::now();
            if (_PortalFault("portal_page", req, res, start))
                return;
            res.set_content(html, "text/html; charset=UTF-8");
            _Log(req, 200, "page", start, 0, html.size());
        });
    }
}

// The three SOAP services.
void CKestrineServer::Impl::_RouteSoap() {
    auto soap = [this](ServiceKind kind) {
        return [this, kind](const httplib::Request& req, httplib::Response& res,
                            const httplib::ContentReader& reader) { _ServeSoap(kind, req, res, reader); };
    };
    http.Post(R"(/axis2/services/mirn_service_bs(/.*)?)", soap(ServiceKind::Back));
    http.Post(R"(/axis2/services/mirn_service_trs(/.*)?)", soap(ServiceKind::Transmitter));
    http.Post(R"(/axis2/services/mirn_service_hb(/.*)?)", soap(ServiceKind::Heartbeat));
}

void CKestrineServer::Impl::_ServeSoap(ServiceKind kind, const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
    auto start = Clock::now();
    size_t limit = options_.maxBody;
    if (req.has_header("Content-Length") && req.get_header_value<uint64_t>("Content-Length") > limit) {
        _RefuseTooLarge(req, res, start, 0);
        return;
    }
    std::string body;
    if (!_ReadSoapBody(req, reader, limit, &body)) {
        _RefuseTooLarge(req, res, start, body.size());
        return;
    }
    auto reply = std::make_shared<SoapReply>();
    soap_.Handle(kind, req.get_header_value("Content-Type"), body.data(), body.size(), reply.get());
    _SendSoapReply(req, res, reply, start, body.size());
}

bool CKestrineServer::Impl::_ReadSoapBody(const httplib::Request& req, const httplib::ContentReader& reader,
                                          size_t limit, std::string* body) {
    if (req.has_header("Content-Length"))
        body->reserve(req.get_header_value<uint64_t>("Content-Length"));
    bool tooLarge = false;
    reader([&](const char* data, size_t len) {
        if (body->size() + len > limit) {
            tooLarge = true;
            return false;
        }
        body->append(data, len);
        return true;
    });
    return !tooLarge;
}

// The reply as the service decided it: dropped, a whole body, or an MTOM package sent piece by
// piece (the pieces point into the package, which the provider keeps alive).
void CKestrineServer::Impl::_SendSoapReply(const httplib::Request& req, httplib::Response& res,
                                           const std::shared_ptr<SoapReply>& reply, Clock::time_point start,
                                           size_t received) {
    std::string what = reply->op + " user=" + reply->user + " " + reply->result +
                       (reply->reason ? " reason=" + std::to_string(reply->reason) : std::string());
    if (reply->drop) {
        ShutdownConnection(req);
        res.set_header("Connection", "close");
        _Log(req, 0, what, start, received, 0);
        return;
    }
    res.status = reply->status;
    if (!reply->package) {
        res.set_content(reply->body, reply->contentType);
        _Log(req, reply->status, what, start, received, reply->body.size());
        return;
    }
    size_t total = reply->package->Size();
    auto pieces = std::make_shared<std::vector<std::string_view>>(reply->package->Pieces());
    res.set_content_provider(total, reply->contentType,
                             [reply, pieces](size_t offset, size_t length, httplib::DataSink& sink) {
                                 size_t pos = 0;
                                 for (std::string_view p : *pieces) {
                                     if (offset < pos + p.size()) {
                                         size_t in = offset - pos;
                                         size_t n = std::min(p.size() - in, length);
                                         return sink.write(p.data() + in, n);
                                     }
                                     pos += p.size();
                                 }
                                 return false;
                             });
    _Log(req, reply->status, what, start, received, total);
}

// Control interface: loopback peers with the control token only. A local account or a web
// page may reach loopback, but neither knows the token, and a page cannot set the header.
void CKestrineServer::Impl::_RouteControl() {
    _ControlPost("/control/fault", &Impl::_ArmFault);
    _ControlPost("/control/reset", &Impl::_ResetFaults);
    http.Get("/control/faults", [this](const httplib::Request& req, httplib::Response& res) {
        _ServeControl(&Impl::_ListFaults, req, res);
    });
    _ControlPost("/control/invalidate_passport", &Impl::_InvalidatePassports);
    _ControlPost("/control/compress", &Impl::_SetCompressThreshold);
}

// POST routes take the body themselves: one may have none at all (curl -X POST).
void CKestrineServer::Impl::_ControlPost(const char* path, ControlBody body) {
    http.Post(path, [this, body](const httplib::Request& req, httplib::Response& res,
                                 const httplib::ContentReader& reader) {
        // The pre-routing check bounds the body; it is not used.
        if (HasBody(req))
            reader([](const char*, size_t) { return true; });
        _ServeControl(body, req, res);
    });
}

void CKestrineServer::Impl::_ServeControl(ControlBody body, const httplib::Request& req,
                                          httplib::Response& res) {
    auto start = Clock::now();
    if (!IsLoopback(req.remote_addr)) {
        res.status = 403;
        res.set_content("control is loopback only\n", "text/plain");
    } else if (!SameToken(options_.controlToken, req.get_header_value(kControlTokenHeader))) {
        res.status = 403;
        res.set_content("control needs the service's token in " + std::string(kControlTokenHeader) + "\n",
                        "text/plain");
    } else {
        std::string text;
        res.status = (this->*body)(req, &text) ? 200 : 400;
        res.set_content(text, "text/plain");
    }
    _Log(req, res.status, "control", start, 0, res.body.size());
}

bool CKestrineServer::Impl::_ArmFault(const httplib::Request& req, std::string* text) {
    std::string op = Param(req, "op"), action = Param(req, "action");
    Fault f;
    int64_t v;
    if (op.empty() || !ParseFaultAction(action, &f.action)) {
        *text =
            "usage: op=NAME action=refuse|delay|stall|drop|bad_sequence|corrupt [count=N] [reason=R] "
            "[ms=M] [then=drop]\n";
        return false;
    }
    f.reason = f.action == FaultAction::Delay ? kFlowError : kDatabaseError;
    if (req.has_param("count")) {
        if (!ParseInt64(Param(req, "count"), &v) || v < 1 || v > 1000000)
            return (*text = "bad count\n", false);
        f.remaining = static_cast<int>(v);
    }
    if (req.has_param("reason")) {
        if (!ParseInt64(Param(req, "reason"), &v) || v < 0 || v > 1000)
            return (*text = "bad reason\n", false);
        f.reason = static_cast<int>(v);
    }
    if (req.has_param("ms")) {
        if (!ParseInt64(Param(req, "ms"), &v) || v < 0 || v > 3600000)
            return (*text = "bad ms\n", false);
        f.stallMs = static_cast<int>(v);
    }
    f.thenDrop = Param(req, "then") == "drop";
    faults_.Arm(op, f);
    *text = "OK\n";
    return true;
}

bool CKestrineServer::Impl::_ResetFaults(const httplib::Request&, std::string* text) {
    faults_.Clear();
    *text = "OK\n";
    return true;
}

bool CKestrineServer::Impl::_ListFaults(const httplib::Request&, std::string* text) {
    for (const auto& [op, f] : faults_.List()) {
        *text += op + " " + FaultActionName(f.action) + " count=" + std::to_string(f.remaining) +
                 " reason=" + std::to_string(f.reason) + " ms=" + std::to_string(f.stallMs) + "\n";
    }
    return true;
}

bool CKestrineServer::Impl::_InvalidatePassports(const httplib::Request& req, std::string* text) {
    int n = -1;
    if (req.has_param("host")) {
        n = store_.InvalidateHostPassports(Param(req, "host"));
    } else if (req.has_param("user")) {
        Account a;
        if (store_.FindAccount(Param(req, "user"), &a))
            n = store_.InvalidateAccountPassports(a.id);
    }
    if (n < 0)
        return (*text = "usage: host=HOSTID or user=NAME (an existing account)\n", false);
    *text = "OK " + std::to_string(n) + "\n";
    return true;
}

bool CKestrineServer::Impl::_SetCompressThreshold(const httplib::Request& req, std::string* text) {
    int64_t v;
    if (!ParseInt64(Param(req, "threshold"), &v))
        return (*text = "usage: threshold=BYTES (-1: never)\n", false);
    soap_.SetCompressThreshold(v);
    *text = "OK\n";
    return true;
}

// Benchmark blobs: the same server moving a plain file, as a baseline for the SOAP transfer.
void CKestrineServer::Impl::_RouteBlobs() {
    const char* blobPattern = R"(/bench/blob/([A-Za-z0-9._-]{1,128}))";
    http.Put(blobPattern, [this](const httplib::Request& req, httplib::Response& res,
                                 const httplib::ContentReader& reader) { _PutBlob(req, res, reader); });
    http.Get(blobPattern,
             [this](const httplib::Request& req, httplib::Response& res) { _GetBlob(req, res); });
}

bool CKestrineServer::Impl::_BlobPath(const httplib::Request& req, std::string* path) const {
    std::string name = req.matches[1];
    if (name == "." || name == ".." || !IsLoopback(req.remote_addr))
        return false;
    *path = options_.dataDir + "/bench/" + name;
    return true;
}

// Written to a temporary file first and renamed into place once synced.
void CKestrineServer::Impl::_PutBlob(const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& reader) {
    auto start = Clock::now();
    std::string path;
    if (!_BlobPath(req, &path)) {
        res.status = 403;
        res.set_header("Connection", "close");
        res.set_content("benchmark blobs are loopback only\n", "text/plain");
        _Log(req, 403, "blob", start, 0, 0);
        return;
    }
    std::string tmp = options_.dataDir + "/tmp/" + RandomHex(24) + ".blob";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    size_t total = 0;
    reader([&](const char* data, size_t len) {
        if (total + len > kMaxBlobBytes)
            ok = false;
        while (ok && len > 0) {
            ssize_t n = ::write(fd, data, len);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = false;
                break;
            }
            data += n;
            len -= static_cast<size_t>(n);
            total += static_cast<size_t>(n);
        }
        return ok;
    });
    if (fd >= 0) {
        ok = ::fsync(fd) == 0 && ok;
        ::close(fd);
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) {
        res.status = 201;
    } else {
        ::unlink(tmp.c_str());
        res.status = total > kMaxBlobBytes ? 413 : 500;
        res.set_header("Connection", "close");
        res.set_content("blob not stored\n", "text/plain");
    }
    _Log(req, res.status, "blob", start, total, 0);
}

void CKestrineServer::Impl::_GetBlob(const httplib::Request& req, httplib::Response& res) {
    auto start = Clock::now();
    std::string path;
    if (!_BlobPath(req, &path) || !ServeFile(path, "application/octet-stream", res)) {
        res.status = 404;
        res.set_content("no such blob\n", "text/plain");
    }
    _Log(req, res.status, "blob", start, 0, 0);
}

CKestrineServer::CKestrineServer(ServerOptions options)
    : options_(std::move(options)),
      faults_(options_.stallMs),
      soap_(store_, chunks_, faults_),
      portal_(store_, options_.requireDigest),
      impl_(std::make_unique<Impl>(*this)) {
    soap_.SetCompressThreshold(options_.compressThreshold);
    if (options_.controlToken.empty())
        options_.controlToken = SecretHex(kControlTokenBytes);
}

CKestrineServer::~CKestrineServer() {
    Stop();
}

bool CKestrineServer::Open(std::string* error) {
    if (options_.dataDir.empty()) {
        if (error)
            *error = "no data folder given";
        return false;
    }
    if (!store_.Open(options_.dataDir, error) || !chunks_.Open(options_.dataDir, error))
        return false;
    std::error_code ec;
    std::filesystem::create_directories(options_.dataDir + "/bench", ec);
    return true;
}

std::string CKestrineServer::BaseUrl() const {
    if (!options_.advertise.empty())
        return options_.advertise;
    return "http://" + options_.host + ":" + std::to_string(port_);
}

int CKestrineServer::Bind(std::string* error) {
    // A client that goes away mid-answer must not kill the service.
    std::signal(SIGPIPE, SIG_IGN);
    impl_->Route();
    httplib::Server& http = impl_->http;
    int port = options_.port == 0 ? http.bind_to_any_port(options_.host)
                                  : (http.bind_to_port(options_.host, options_.port) ? options_.port : -1);
    if (port < 0) {
        if (error)
            *error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
        return -1;
    }
    port_ = port;
    return port;
}

void CKestrineServer::Run() {
    impl_->http.listen_after_bind();
}

bool CKestrineServer::Start(std::string* error) {
    if (!Open(error) || Bind(error) < 0)
        return false;
    impl_->thread = std::thread([this] { Run(); });
    // stop() only acts on a running server: wait until the accept loop is up.
    while (!impl_->http.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void CKestrineServer::Stop() {
    if (!impl_)
        return;
    faults_.Shutdown();
    store_.WakeAll();  // held heartbeats answer now, so the request threads can end
    impl_->http.stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
}

}  // namespace kserver
