// A fresh reference service (build/kestrine-server) for one test: its own data folder, a free
// loopback port, one account ready to sign in, helpers for its command line (put, get, ls, rm,
// share, add-user) and for its control interface (faults, passports, compression). The object
// owns the running service and stops it (and removes the data folder) at scope end.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/tempdir.h"

namespace testsupport {

// A plain HTTP/1.1 exchange over loopback (Connection: close). status 0 when nothing came back.
struct HttpResult {
    int status = 0;
    std::string headers;  // the header block as received
    std::string body;
};
// `extraHeaders` are whole header lines ending in "\r\n".
HttpResult HttpExchange(int port, const std::string& method, const std::string& target,
                        const std::string& body = "", const std::string& contentType = "text/plain",
                        int timeoutMs = 10000, const std::string& extraHeaders = "");
// `request` sent as it is (request line, headers, body), the answer read until the service closes.
HttpResult HttpRaw(int port, const std::string& request, int timeoutMs = 10000);

// A query value percent-encoded: every byte but letters, digits and "-_.~" as "%XX".
std::string PercentEncode(const std::string& s);

// One line of the service's listing (TestServer::Ls): "<path> <dir|file> <size> <modify_time>".
struct ListedItem {
    std::string path;  // below the account's root, as listed ("docs/a.txt")
    bool dir = false;
    long long size = 0;
    long long modifyTime = 0;
    std::string line;  // the whole line
};
// The items of a listing. A path may hold spaces, so each line is cut from the right; a line of
// another shape goes to *unreadable (when given) instead.
std::vector<ListedItem> ParseListing(const std::string& text, std::vector<std::string>* unreadable = nullptr);

class TestServer {
  public:
    static constexpr const char* kUser = "alice";
    static constexpr const char* kPassword = "pw-alice";
    // The control token the service is started with (unless the test gives --control-token).
    static constexpr const char* kControlToken = "test-control-token-5f0c9a";

    TestServer();
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Adds the account kUser/kPassword (unless `withAccount` is false), starts `serve` on
    // 127.0.0.1:0 with `--stall-ms 3000`, `--control-token kControlToken` and the extra arguments,
    // and reads the port. False (with the reason in Error()) when the program cannot be started or
    // does not announce its port.
    bool Start(const std::vector<std::string>& extraArgs = {}, bool withAccount = true);
    // Stops the service (SIGTERM, then SIGKILL); the data folder stays until destruction, so a
    // second Start serves the same data.
    void Stop();
    bool Running();

    int Port() const { return port_; }
    std::string BaseUrl() const;         // http://127.0.0.1:PORT (the authentication server)
    std::string BackUrl() const;         // .../axis2/services/mirn_service_bs
    std::string TransmitterUrl() const;  // .../axis2/services/mirn_service_trs
    std::string HeartBeatUrl() const;    // .../axis2/services/mirn_service_hb
    std::string DataDir() const { return dir_.Sub("data"); }
    const TempDir& Dir() const { return dir_; }
    std::string Output();  // the service's request log so far (stdout)
    const std::string& Error() const { return error_; }

    // The command line on the same data folder: `kestrine-server <command> --data DIR args...`.
    // Returns the exit code (-1 when it could not run); stdout and stderr into the outputs.
    int Cli(const std::string& command, const std::vector<std::string>& args, std::string* out = nullptr,
            std::string* err = nullptr) const;
    bool AddUser(const std::string& name, const std::string& password,
                 const std::vector<std::string>& extra = {}) const;
    bool Put(const std::string& user, const std::string& localPath, const std::string& serverPath) const;
    bool Get(const std::string& user, const std::string& serverPath, const std::string& localPath) const;
    bool Rm(const std::string& user, const std::string& serverPath) const;
    // "<path> <dir|file> <size> <modify_time>" lines (ParseListing reads them); empty on failure.
    std::string Ls(const std::string& user) const;
    // The listed item of `path` in the user's tree; nullopt when it is not listed (or ls fails).
    std::optional<ListedItem> Listed(const std::string& user, const std::string& path) const;
    // The folder id, or empty on failure.
    std::string Share(const std::string& owner, const std::string& folder, const std::string& user) const;

    // Control interface, with the service's token. Arms `action` for the next `count` requests of
    // `op` (a SOAP operation, "portal_login", "portal_servers", "portal" or "*"); reason / ms < 0
    // leave the default.
    bool Fault(const std::string& op, const std::string& action, int count = 1, int reason = -1, int ms = -1,
               bool thenDrop = false);
    bool ResetFaults();
    std::string Faults();  // the armed faults as the service lists them
    const std::string& ControlToken() const { return token_; }
    bool InvalidatePassportOfHost(const std::string& hostId);
    bool InvalidatePassportOfUser(const std::string& user);
    bool SetCompressThreshold(long long bytes);

  private:
    bool Control(const std::string& target);
    std::string TokenHeader() const;

    TempDir dir_;
    std::unique_ptr<ChildProcess> server_;
    int port_ = 0;
    std::string token_ = kControlToken;
    std::string error_;
};

}  // namespace testsupport
