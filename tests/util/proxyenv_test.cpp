// The proxy decision for a URL: under the client's options, which variable applies, how a
// configured address and a variable's value are read, and which hosts no_proxy sends direct.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "util/proxyenv.h"

namespace {

using Env = std::map<std::string, std::string>;

proxyenv::Lookup LookupIn(const Env& vars) {
    return [&vars](const std::string& name) {
        const auto it = vars.find(name);
        return it == vars.end() ? std::string() : it->second;
    };
}

std::string Decide(const std::string& url, const Env& vars) {
    const auto p = proxyenv::ForUrl(url, LookupIn(vars));
    return p ? p->Address() : std::string("direct");
}

std::string Listed(const Env& vars) {
    std::string text;
    for (const auto& [k, v] : vars)
        text += k + "=" + v + " ";
    return text;
}

TEST(ProxyEnv, VariableForTheUrl) {
    const struct {
        const char* url;
        Env env;
        const char* want;
    } cases[] = {
        {"http://svc.example:8089/x", {}, "direct"},
        {"http://svc.example/x", {{"http_proxy", "http://p:3128/"}}, "p:3128"},
        {"http://svc.example/x", {{"HTTP_PROXY", "P:1"}}, "P:1"},
        {"http://svc.example/x", {{"http_proxy", "lower:1"}, {"HTTP_PROXY", "upper:2"}}, "lower:1"},
        {"http://svc.example/x", {{"http_proxy", "  "}, {"HTTP_PROXY", "upper:2"}}, "upper:2"},
        {"http://svc.example/x", {{"https_proxy", "s:1"}}, "direct"},
        {"https://svc.example/x", {{"https_proxy", "s:1"}, {"http_proxy", "h:2"}}, "s:1"},
        {"https://svc.example/x", {{"HTTPS_PROXY", "S:1"}, {"http_proxy", "h:2"}}, "S:1"},
        // As before, one proxy for every URL when only http_proxy is set.
        {"HTTPS://svc.example/x", {{"http_proxy", "h:2"}}, "h:2"},
        // The value's scheme, credentials and path are not part of the address; no port is 80.
        {"http://svc/x", {{"http_proxy", "http://u:pa@ss@10.0.0.1:8000/p?q"}}, "10.0.0.1:8000"},
        {"http://svc/x", {{"http_proxy", "proxy.example"}}, "proxy.example:80"},
        {"http://svc/x", {{"http_proxy", "socks5://[::1]:1080"}}, "[::1]:1080"},
        {"http://svc/x", {{"http_proxy", "::1"}}, "[::1]:80"},
        {"http://svc/x", {{"http_proxy", "http://"}}, "direct"},
        {"http://svc/x", {{"HTTP_PROXY", "HTTP://UPPER:81"}}, "UPPER:81"},
        {"http://svc/x", {{"http_proxy", "  spaced:9  "}}, "spaced:9"},
        // no_proxy takes the URL's host and its port (the scheme's when the URL names none).
        {"http://127.0.0.1:8089/x", {{"http_proxy", "p:1"}, {"no_proxy", "127.0.0.1"}}, "direct"},
        {"http://127.0.0.1:8089/x", {{"http_proxy", "p:1"}, {"NO_PROXY", "127.0.0.1"}}, "direct"},
        {"http://127.0.0.1:8089/x",
         {{"http_proxy", "p:1"}, {"no_proxy", "x"}, {"NO_PROXY", "127.0.0.1"}},
         "p:1"},
        {"http://svc.example/x", {{"http_proxy", "p:1"}, {"no_proxy", "svc.example:80"}}, "direct"},
        {"https://svc.example/x", {{"http_proxy", "p:1"}, {"no_proxy", "svc.example:80"}}, "p:1"},
        {"http://user:pw@[::1]:8089/x", {{"http_proxy", "p:1"}, {"no_proxy", "::1"}}, "direct"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Decide(c.url, c.env), c.want) << c.url << " with " << Listed(c.env);
}

// The address libcurl is given for a configured proxy: always "host:port", as libcurl refuses an
// IPv6 address without brackets and would take port 1080 where none is named.
TEST(ProxyEnv, ConfiguredAddress) {
    const struct {
        const char* address;
        const char* want;
    } cases[] = {
        {"proxy.example:3128", "proxy.example:3128"},
        {"127.0.0.1:8080", "127.0.0.1:8080"},
        {"proxy.example", "proxy.example:80"},
        {"proxy.example:", "proxy.example:80"},
        // The options page joins an IPv6 address and its port without brackets.
        {"fe80::1:8080", "[fe80::1]:8080"},
        {"[fe80::1]:8080", "[fe80::1]:8080"},
        {"[::1]", "[::1]:80"},
        // Read like a variable's value: scheme, credentials and path are not part of the address.
        {"http://proxy.example:3128/", "proxy.example:3128"},
        {"http://proxy.example", "proxy.example:80"},
        {"socks5://u:pw@s5:1080", "s5:1080"},
        {"  proxy.example:3128 ", "proxy.example:3128"},
        {":3128", ":3128"},  // names no host: libcurl refuses it as before, never direct
    };
    for (const auto& c : cases)
        EXPECT_EQ(proxyenv::ParseConfigured(c.address).Address(), c.want) << "'" << c.address << "'";
}

TEST(ProxyEnv, RouteForTheOptions) {
    using Type = proxyenv::Route::Type;
    const std::string kUrl = "http://svc.example:8089/axis2/services/mirn_service_bs";
    const std::string kSystem = proxyenv::kSystemKind;
    const struct {
        proxyenv::Options options;
        Env env;
        std::string url;
        const char* want;  // the proxy's address, or "direct"
        Type type;
        const char* user;
        const char* password;
    } cases[] = {
        {{"HTTP", "proxy.example:3128", "u", "p"}, {}, kUrl, "proxy.example:3128", Type::kHttp, "u", "p"},
        {{"HTTP", "proxy.example", "u", "p"}, {}, kUrl, "proxy.example:80", Type::kHttp, "u", "p"},
        {{"HTTP", "fe80::1:8080", "u", "p"}, {}, kUrl, "[fe80::1]:8080", Type::kHttp, "u", "p"},
        {{"SOCKS4", "s4:1080", "u", "p"}, {}, kUrl, "s4:1080", Type::kSocks4, "u", "p"},
        {{"SOCKS5", "s5:1080", "u", "p"}, {}, kUrl, "s5:1080", Type::kSocks5, "u", "p"},
        // Without a user no proxy password is given.
        {{"HTTP", "proxy.example:3128", "", "secret"}, {}, kUrl, "proxy.example:3128", Type::kHttp, "", ""},
        // Any other kind, or no address, goes direct, whatever the environment names.
        {{"", "proxy.example:3128", "u", "p"}, {{"http_proxy", "h:1"}}, kUrl, "direct", Type::kHttp, "", ""},
        {{"FTP", "proxy.example:3128", "u", "p"}, {}, kUrl, "direct", Type::kHttp, "", ""},
        {{"HTTP", "", "u", "p"}, {{"http_proxy", "h:1"}}, kUrl, "direct", Type::kHttp, "", ""},
        // The system's proxy is the environment's, never the configured address.
        {{kSystem, "ignored:1", "u", "p"}, {}, kUrl, "direct", Type::kHttp, "", ""},
        {{kSystem, "", "", "secret"},
         {{"http_proxy", "http://browser.example:8118/"}},
         kUrl,
         "browser.example:8118",
         Type::kHttp,
         "",
         ""},
        {{kSystem, "", "", ""},
         {{"http_proxy", "http://[fd00::5]:8118"}},
         "http://other.example/x",
         "[fd00::5]:8118",
         Type::kHttp,
         "",
         ""},
        // no_proxy leaves out the hosts it names from the system's proxy, not from a configured one.
        {{kSystem, "", "", ""},
         {{"http_proxy", "browser.example:8118"}, {"no_proxy", "svc.example"}},
         kUrl,
         "direct",
         Type::kHttp,
         "",
         ""},
        {{kSystem, "", "", ""},
         {{"http_proxy", "browser.example:8118"}, {"no_proxy", "svc.example"}},
         "http://other.example/x",
         "browser.example:8118",
         Type::kHttp,
         "",
         ""},
        {{"HTTP", "proxy.example:3128", "", ""},
         {{"http_proxy", "browser.example:8118"}, {"no_proxy", "svc.example"}},
         kUrl,
         "proxy.example:3128",
         Type::kHttp,
         "",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.kind + " '" + c.options.address + "' to " + c.url + " with " + Listed(c.env));
        const auto route = proxyenv::ForOptions(c.options, c.url, LookupIn(c.env));
        EXPECT_EQ(route ? route->proxy.Address() : std::string("direct"), c.want);
        if (!route)
            continue;
        EXPECT_EQ(route->type, c.type);
        EXPECT_EQ(route->user, c.user);
        EXPECT_EQ(route->password, c.password);
    }
}

TEST(ProxyEnv, NoProxyEntries) {
    const struct {
        const char* list;
        const char* host;
        const char* port;
        bool exempt;
    } cases[] = {
        {"", "example.com", "80", false},
        {"*", "anything.example", "80", true},
        {" * ", "10.1.1.1", "443", true},
        {"*.example.com", "other.org", "80", false},  // "*" only alone means every host
        // Names: the name itself and everything below it, whatever the case and a trailing dot.
        {"example.com", "example.com", "80", true},
        {"example.com", "svc.example.com", "80", true},
        {".example.com", "example.com", "80", true},
        {".example.com", "a.b.EXAMPLE.com.", "80", true},
        {"*.example.com", "a.example.com", "80", true},
        {"example.com", "badexample.com", "80", false},
        {"example.com", "example.com.evil.org", "80", false},
        {"svc.example.com", "example.com", "80", false},
        {"other.org, example.com", "x.example.com", "80", true},
        {"other.org example.com", "x.example.com", "80", true},
        {"other.org,,example.com", "x.example.com", "80", true},
        {".", "example.com", "80", false},
        // Ports.
        {"example.com:8089", "example.com", "8089", true},
        {"example.com:8089", "example.com", "80", false},
        {"[::1]:8089", "[::1]", "8089", true},
        {"[::1]:8089", "::1", "80", false},
        // Addresses and ranges; a name never matches an address, nothing is resolved.
        {"127.0.0.1", "127.0.0.1", "80", true},
        {"127.0.0.1", "127.0.0.2", "80", false},
        {"127.0.0.1", "localhost", "80", false},
        {"localhost", "127.0.0.1", "80", false},
        {"0.0.1", "10.0.0.1", "80", false},
        {"10.0.0.0/8", "10.200.3.4", "80", true},
        {"10.0.0.0/8", "11.0.0.1", "80", false},
        {"192.168.1.0/24", "192.168.1.77", "80", true},
        {"192.168.1.0/24", "192.168.2.1", "80", false},
        {"172.16.0.0/12", "172.31.255.255", "80", true},
        {"172.16.0.0/12", "172.32.0.0", "80", false},
        {"0.0.0.0/0", "8.8.8.8", "80", true},
        {"0.0.0.0/0", "::1", "80", false},  // families apart
        {"10.0.0.0/33", "10.0.0.1", "80", false},
        {"10.0.0.0/x", "10.0.0.1", "80", false},
        {"example.com/8", "example.com", "80", false},
        {"::1", "::1", "80", true},
        {"::1", "[::1]", "80", true},
        {"[::1]", "::1", "80", true},
        {"::1", "0:0:0:0:0:0:0:1", "80", true},
        {"::1", "::2", "80", false},
        {"::1", "127.0.0.1", "80", false},
        {"fd00::/8", "fd12:3456::1", "80", true},
        {"fd00::/8", "fe80::1", "80", false},
        {"2001:db8::/32", "2001:DB8:ffff::1", "80", true},
        {"2001:db8::/33", "2001:db8:8000::1", "80", false},
        {"::ffff:10.0.0.0/104", "::ffff:10.9.9.9", "80", true},
        {"1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8", "80", false},  // not an address
    };
    for (const auto& c : cases)
        EXPECT_EQ(proxyenv::Exempt(c.list, c.host, c.port), c.exempt)
            << "'" << c.list << "' for " << c.host << ":" << c.port;
}

TEST(ProxyEnv, Addresses) {
    const struct {
        const char* text;
        bool ok;
        bool v4;
    } cases[] = {
        {"10.0.0.1", true, true},
        {"255.255.255.255", true, true},
        {"256.0.0.1", false, false},
        {"1.2.3", false, false},
        {"1.2.3.4.5", false, false},
        {"1..3.4", false, false},
        {"::", true, false},
        {"::1", true, false},
        {"fe80::1:2", true, false},
        {"1:2:3:4:5:6:7:8", true, false},
        {"1:2:3:4:5:6:7::8", false, false},
        {"1::2::3", false, false},
        {":::1", false, false},
        {"12345::1", false, false},
        {"::ffff:1.2.3.4", true, false},
        {"1.2.3.4::", false, false},
        {"g::1", false, false},
        {"example.com", false, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        const auto a = proxyenv::ParseAddress(c.text);
        EXPECT_EQ(a.has_value(), c.ok) << c.text;
        if (a && c.ok) {
            EXPECT_EQ(a->v4, c.v4) << c.text;
        }
    }
    // Both spellings of one address are the same bytes.
    EXPECT_EQ(proxyenv::ParseAddress("::ffff:10.1.2.3")->bytes, proxyenv::ParseAddress("10.1.2.3")->bytes);
    EXPECT_EQ(proxyenv::ParseAddress("1:0:0:0:0:0:0:2")->bytes, proxyenv::ParseAddress("1::2")->bytes);
}

}  // namespace
