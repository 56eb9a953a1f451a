#include "support/testserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>

namespace testsupport {

namespace {

const char* kProgramName = "kestrine-server";

// A decimal number that fills the whole text.
bool WholeNumber(const std::string& text, long long* value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    *value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

}  // namespace

HttpResult HttpExchange(int port, const std::string& method, const std::string& target,
                        const std::string& body, const std::string& contentType, int timeoutMs,
                        const std::string& extraHeaders) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\nContent-Type: " + contentType +
                          "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
                          "\r\n" + body;
    return HttpRaw(port, request, timeoutMs);
}

HttpResult HttpRaw(int port, const std::string& request, int timeoutMs) {
    HttpResult result;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return result;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return result;
    }
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            close(fd);
            return result;
        }
        sent += static_cast<size_t>(n);
    }
    std::string raw;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char buf[16384];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        raw.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 && raw.compare(0, 9, "HTTP/1.0 ") != 0)
        return result;
    result.status = std::atoi(raw.c_str() + 9);
    if (end == std::string::npos) {
        result.headers = raw;
        return result;
    }
    result.headers = raw.substr(0, end + 2);
    result.body = raw.substr(end + 4);
    return result;
}

TestServer::TestServer() = default;

TestServer::~TestServer() {
    Stop();
}

bool TestServer::Start(const std::vector<std::string>& extraArgs, bool withAccount) {
    error_.clear();
    if (withAccount && !AddUser(kUser, kPassword)) {
        error_ = "add-user failed";
        return false;
    }
    server_ = std::make_unique<ChildProcess>();
    LaunchPlan how;
    how.program = BuildProgram(kProgramName);
    how.args = {"serve", "--data", DataDir(), "--listen", "127.0.0.1:0", "--stall-ms", "3000"};
    auto given = std::find(extraArgs.begin(), extraArgs.end(), "--control-token");
    if (given != extraArgs.end() && given + 1 != extraArgs.end()) {
        token_ = *(given + 1);
    } else {
        token_ = kControlToken;
        how.args.insert(how.args.end(), {"--control-token", kControlToken});
    }
    how.args.insert(how.args.end(), extraArgs.begin(), extraArgs.end());
    if (!server_->Start(how, &error_))
        return false;
    if (!server_->WaitForOutput("\n", 15000)) {
        error_ = "no port announced: " + server_->Stderr();
        return false;
    }
    std::smatch m;
    std::string out = server_->Stdout();
    if (!std::regex_search(out, m, std::regex("^listening on 127\\.0\\.0\\.1:(\\d+)\n"))) {
        error_ = "unexpected first line: " + out + server_->Stderr();
        return false;
    }
    port_ = std::stoi(m[1]);
    return true;
}

void TestServer::Stop() {
    if (!server_)
        return;
    if (server_->Running()) {
        server_->Signal(SIGTERM);
        if (!server_->Wait(5000))
            server_->Kill();
    }
    server_.reset();
    port_ = 0;
}

bool TestServer::Running() {
    return server_ && server_->Running();
}

std::string TestServer::BaseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}
std::string TestServer::BackUrl() const {
    return BaseUrl() + "/axis2/services/mirn_service_bs";
}
std::string TestServer::TransmitterUrl() const {
    return BaseUrl() + "/axis2/services/mirn_service_trs";
}
std::string TestServer::HeartBeatUrl() const {
    return BaseUrl() + "/axis2/services/mirn_service_hb";
}

std::string TestServer::Output() {
    return server_ ? server_->Stdout() : std::string();
}

int TestServer::Cli(const std::string& command, const std::vector<std::string>& args, std::string* out,
                    std::string* err) const {
    ChildProcess p;
    LaunchPlan how;
    how.program = BuildProgram(kProgramName);
    how.args = {command, "--data", DataDir()};
    how.args.insert(how.args.end(), args.begin(), args.end());
    if (!p.Start(how))
        return -1;
    int status = -1;
    if (!p.Wait(120000, &status)) {
        p.Kill();
        return -1;
    }
    if (out)
        *out = p.Stdout();
    if (err)
        *err = p.Stderr();
    return status;
}

bool TestServer::AddUser(const std::string& name, const std::string& password,
                         const std::vector<std::string>& extra) const {
    std::vector<std::string> args = {name, password};
    args.insert(args.end(), extra.begin(), extra.end());
    return Cli("add-user", args) == 0;
}

bool TestServer::Put(const std::string& user, const std::string& localPath,
                     const std::string& serverPath) const {
    return Cli("put", {user, localPath, serverPath}) == 0;
}

bool TestServer::Get(const std::string& user, const std::string& serverPath,
                     const std::string& localPath) const {
    return Cli("get", {user, serverPath, localPath}) == 0;
}

bool TestServer::Rm(const std::string& user, const std::string& serverPath) const {
    return Cli("rm", {user, serverPath}) == 0;
}

std::string TestServer::Ls(const std::string& user) const {
    std::string out;
    return Cli("ls", {user}, &out) == 0 ? out : std::string();
}

std::optional<ListedItem> TestServer::Listed(const std::string& user, const std::string& path) const {
    for (ListedItem& item : ParseListing(Ls(user))) {
        if (item.path == path)
            return std::move(item);
    }
    return std::nullopt;
}

std::string PercentEncode(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

std::vector<ListedItem> ParseListing(const std::string& text, std::vector<std::string>* unreadable) {
    std::vector<ListedItem> items;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        // The spaces before the time, the size and the kind, found from the line's end.
        size_t cut[3];
        size_t end = line.size();
        bool ok = true;
        for (size_t& c : cut) {
            c = end == 0 ? std::string::npos : line.rfind(' ', end - 1);
            ok = ok && c != std::string::npos;
            if (!ok)
                break;
            end = c;
        }
        ListedItem item;
        const std::string kind = ok ? line.substr(cut[2] + 1, cut[1] - cut[2] - 1) : std::string();
        ok = ok && (kind == "dir" || kind == "file") &&
             WholeNumber(line.substr(cut[1] + 1, cut[0] - cut[1] - 1), &item.size) &&
             WholeNumber(line.substr(cut[0] + 1), &item.modifyTime);
        if (!ok) {
            if (unreadable)
                unreadable->push_back(line);
            continue;
        }
        item.path = line.substr(0, cut[2]);
        item.dir = kind == "dir";
        item.line = std::move(line);
        items.push_back(std::move(item));
    }
    return items;
}

std::string TestServer::Share(const std::string& owner, const std::string& folder,
                              const std::string& user) const {
    std::string out;
    if (Cli("share", {owner, folder, user}, &out) != 0)
        return std::string();
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out;
}

std::string TestServer::TokenHeader() const {
    return "X-Kestrine-Control-Token: " + token_ + "\r\n";
}

bool TestServer::Control(const std::string& target) {
    return HttpExchange(port_, "POST", target, "", "text/plain", 10000, TokenHeader()).status == 200;
}

bool TestServer::Fault(const std::string& op, const std::string& action, int count, int reason, int ms,
                       bool thenDrop) {
    std::string target = "/control/fault?op=" + PercentEncode(op) + "&action=" + PercentEncode(action) +
                         "&count=" + std::to_string(count);
    if (reason >= 0)
        target += "&reason=" + std::to_string(reason);
    if (ms >= 0)
        target += "&ms=" + std::to_string(ms);
    if (thenDrop)
        target += "&then=drop";
    return Control(target);
}

bool TestServer::ResetFaults() {
    return Control("/control/reset");
}

std::string TestServer::Faults() {
    HttpResult r = HttpExchange(port_, "GET", "/control/faults", "", "text/plain", 10000, TokenHeader());
    return r.status == 200 ? r.body : std::string();
}

bool TestServer::InvalidatePassportOfHost(const std::string& hostId) {
    return Control("/control/invalidate_passport?host=" + PercentEncode(hostId));
}

bool TestServer::InvalidatePassportOfUser(const std::string& user) {
    return Control("/control/invalidate_passport?user=" + PercentEncode(user));
}

bool TestServer::SetCompressThreshold(long long bytes) {
    return Control("/control/compress?threshold=" + std::to_string(bytes));
}

}  // namespace testsupport
