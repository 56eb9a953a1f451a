// The reference Kestrine service as one object: the HTTP server (cpp-httplib) that routes the
// portal, the update endpoints and pages, the three SOAP services, the control interface for
// fault injection (loopback peers that send the control token only) and the benchmark blobs; it
// owns the store, the chunk files and the fault table. Start() serves on a thread (tests); Bind() + Run()
// serve in the caller's thread (the command line).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "chunkstore.h"
#include "faults.h"
#include "portal.h"
#include "service.h"
#include "store.h"

namespace kserver {

// The header that carries the control token: a web page cannot send it to another origin
// without a preflight, which the service never answers.
constexpr const char* kControlTokenHeader = "X-Kestrine-Control-Token";
// A token given on the command line: visible ASCII, no spaces, at least this long.
constexpr size_t kMinControlToken = 16;
bool IsValidControlToken(const std::string& token);

struct ServerOptions {
    std::string dataDir;
    std::string host = "127.0.0.1";
    int port = 8089;                     // 0 picks a free port
    std::string advertise;               // base URL of the endpoints; empty: from the Host header
    std::string clientVersion = "none";  // /mirnportal/clientVersion
    std::string clientMinVersion = "none";
    std::string clientFile;  // /mirnportal/downloadClient; empty: 404
    // /mirnportal/downloadClient.sha256: "<clientFile>.sha256" when it exists, else computed.
    bool publishClientDigest = true;
    // What /control/* requests carry in kControlTokenHeader; empty: a random one (ControlToken()).
    std::string controlToken;
    int64_t compressThreshold = kDefaultCompressThreshold;
    size_t maxBody = 64u << 20;  // largest SOAP request body
    int stallMs = 40000;         // default length of a "stall" fault
    bool requireDigest = true;   // HTTP digest authentication on the sign-in servlet
    bool logRequests = true;     // one line per request on stdout
    int threads = 64;
};

class CKestrineServer {
  public:
    explicit CKestrineServer(ServerOptions options);
    ~CKestrineServer();
    CKestrineServer(const CKestrineServer&) = delete;
    CKestrineServer& operator=(const CKestrineServer&) = delete;

    bool Open(std::string* error);  // the store and the chunk folders
    // Binds the listening socket; returns the port (a free one for port 0), or -1.
    int Bind(std::string* error);
    void Run();                      // serves until Stop()
    bool Start(std::string* error);  // Open, Bind and Run on a thread of its own
    void Stop();

    int Port() const { return port_; }
    std::string BaseUrl() const;
    const std::string& ControlToken() const { return options_.controlToken; }
    CServerStore& Store() { return store_; }
    CChunkStore& Chunks() { return chunks_; }
    CFaults& Faults() { return faults_; }
    CSoapService& Soap() { return soap_; }

  private:
    struct Impl;

    ServerOptions options_;
    CServerStore store_;
    CChunkStore chunks_;
    CFaults faults_;
    CSoapService soap_;
    CPortal portal_;
    int port_ = -1;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kserver
