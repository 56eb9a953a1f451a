// The authentication portal of the reference service: the sign-in servlet (HTTP digest
// authentication, then the Blowfish-encrypted password of the query checked against the
// account), the servlet that names the three SOAP endpoints, and the helpers both use.
// Independent of the HTTP library: handlers take the request's parts and return an answer.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "store.h"

namespace kserver {

struct HttpAnswer {
    int status = 200;
    std::string contentType = "text/plain; charset=UTF-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string user;  // for the request log
};

class CPortal {
  public:
    CPortal(CServerStore& store, bool requireDigest);

    // GET /mirnportal/LoginServlet?user_name=&password=&time_stamp= . `target` is the request
    // target as sent (path and query, still percent-encoded), which the digest covers.
    HttpAnswer Login(const std::string& method, const std::string& target,
                     const std::map<std::string, std::string>& params, const std::string& authorization);
    // GET /mirnportal/GetServersAddrServlet: the endpoints under `baseUrl` (http://host:port).
    HttpAnswer Servers(const std::string& baseUrl) const;

  private:
    std::string _Nonce(int64_t now) const;
    bool _NonceFresh(const std::string& nonce, bool* stale) const;
    HttpAnswer _Challenge(bool stale) const;

    CServerStore& store_;
    bool requireDigest_;
    std::string secret_;
};

// The password as the client sends it: zero-padded to whole 8-byte blocks, Blowfish-encrypted
// (ECB) with the time-stamp text as key, Base64. A key shorter than Blowfish's 4 bytes is
// completed with zero bytes.
std::string EncryptPassword(const std::string& password, const std::string& timeStamp);
// The reverse, with the zero padding stripped. False for text that is not whole blocks, a key of
// more than 56 bytes, or more than 1024 bytes of ciphertext.
bool DecryptPassword(const std::string& base64Text, const std::string& timeStamp, std::string* plain);

// The name=value pairs of an "Authorization: Digest ..." header (quotes removed); empty when the
// scheme is not Digest.
std::map<std::string, std::string> ParseDigestHeader(const std::string& header);

}  // namespace kserver
