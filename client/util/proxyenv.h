// Which proxy, if any, a request to a URL goes through: under the client's proxy options, and for
// the system's proxy by the Linux convention (http_proxy, https_proxy, no_proxy and their
// upper-case names). Pure: the environment comes in as a lookup, nothing here reads the process
// or the network, so every caller (the portal sign-in, the SOAP channels) decides the same way.
// No state, any thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace proxyenv {

// A variable's value, empty when unset.
using Lookup = std::function<std::string(const std::string& name)>;

// The one form a proxy is handed on in: libcurl takes "host:port" and needs an IPv6 address in
// brackets; without a port it would pick 1080 of its own accord.
struct Proxy {
    std::string host;  // an IPv6 address in brackets ("[::1]")
    std::string port;  // "80" when the value names none
    std::string Address() const { return host + ":" + port; }
};

// The proxy for `url`, or nullopt to go direct. An "https" URL takes https_proxy (HTTPS_PROXY),
// and, where neither is set, http_proxy as every URL did before; any other takes http_proxy
// (HTTP_PROXY). The lower-case name wins when both are set. A host that no_proxy (NO_PROXY) names
// goes direct.
std::optional<Proxy> ForUrl(const std::string& url, const Lookup& env);

// A proxy variable's value ("http://user:pw@host:3128/") as host and port; nullopt when it names
// no host.
std::optional<Proxy> ParseProxy(const std::string& value);

// A proxy address as the options page stores it: address and port joined at the last ":", so an
// IPv6 address may stand without brackets ("fe80::1:8080" is port 8080). Scheme, credentials and
// path are not part of it, as in a variable's value; no port is 80. The host is empty when the
// address names none.
Proxy ParseConfigured(const std::string& address);

// The client's proxy options as the settings hold them.
inline constexpr const char* kSystemKind = "浏览器设置";  // the kind that means the system's proxy
struct Options {
    std::string kind;     // "HTTP", "SOCKS4", "SOCKS5" or kSystemKind; anything else: direct
    std::string address;  // the configured proxy (ParseConfigured); unused for kSystemKind
    std::string user;     // empty: no proxy credentials
    std::string password;
};

// How a request goes when it goes through a proxy.
struct Route {
    enum class Type { kHttp, kSocks4, kSocks5 } type = Type::kHttp;
    Proxy proxy;
    std::string user;      // empty: no proxy credentials
    std::string password;  // empty without a user
};

// The route to `url` under `options`, or nullopt to go direct. A configured proxy applies to
// every URL (an empty address means direct); the system's proxy is ForUrl's choice, so no_proxy
// may send the URL direct.
std::optional<Route> ForOptions(const Options& options, const std::string& url, const Lookup& env);

// Whether the comma- or blank-separated `noProxy` list exempts `host` (brackets optional for an
// IPv6 address) at `port`. Entries: "*" (every host), a name ("example.com", ".example.com" and
// "*.example.com" cover the name and all below it), an address ("10.1.2.3", "::1", "[::1]"), a
// range ("10.0.0.0/8", "fd00::/8"), each optionally with ":port" (IPv6 then in brackets) to
// cover that port only. Names never match addresses: nothing is resolved.
bool Exempt(const std::string& noProxy, const std::string& host, const std::string& port);

// An address as 16 bytes (IPv4 as ::ffff:a.b.c.d) and whether it was IPv4; nullopt when `text`
// is not a literal address.
struct Address {
    std::array<uint8_t, 16> bytes{};
    bool v4 = false;
};
std::optional<Address> ParseAddress(const std::string& text);

}  // namespace proxyenv
