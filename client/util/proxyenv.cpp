#include "util/proxyenv.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "util/ascii.h"

namespace proxyenv {

namespace {

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

bool AllDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// "host", "host:port", "[v6]" or "[v6]:port" into host (brackets dropped) and port (empty when
// none). Several colons without brackets are an IPv6 address without a port.
void SplitHostPort(const std::string& text, std::string* host, std::string* port) {
    port->clear();
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) {
            *host = text.substr(1);
            return;
        }
        *host = text.substr(1, close - 1);
        if (close + 1 < text.size() && text[close + 1] == ':')
            *port = text.substr(close + 2);
        return;
    }
    const size_t colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
        *host = text.substr(0, colon);
        *port = text.substr(colon + 1);
        return;
    }
    *host = text;
}

// The authority of a URL or proxy value: scheme, user information and path taken off.
std::string Authority(const std::string& text, std::string* scheme) {
    std::string v = Trim(text);
    const size_t sep = v.find("://");
    if (scheme)
        *scheme = sep == std::string::npos ? std::string() : ascii::Lowered(v.substr(0, sep));
    if (sep != std::string::npos)
        v.erase(0, sep + 3);
    const size_t end = v.find_first_of("/?#");
    if (end != std::string::npos)
        v.resize(end);
    const size_t at = v.rfind('@');
    if (at != std::string::npos)
        v.erase(0, at + 1);
    return v;
}

// Canonical form for comparing names: lower case, no trailing dot.
std::string NormalHost(std::string host) {
    host = ascii::Lowered(host);
    while (!host.empty() && host.back() == '.')
        host.pop_back();
    return host;
}

bool ParseV4(const std::string& text, uint8_t out[4]) {
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? text.find('.', pos) : text.size();
        if (dot == std::string::npos)
            return false;
        const std::string part = text.substr(pos, dot - pos);
        if (!AllDigits(part) || part.size() > 3 || std::stoi(part) > 255)
            return false;
        out[i] = static_cast<uint8_t>(std::stoi(part));
        pos = dot + 1;
    }
    return pos == text.size() + 1;
}

// Groups of an IPv6 half ("2001:db8" or "1:2:1.2.3.4") as 16-bit values; an IPv4 tail counts as
// two groups and is allowed only where `tailV4`.
bool ParseGroups(const std::string& text, bool tailV4, std::vector<uint16_t>* out) {
    if (text.empty())
        return true;
    size_t pos = 0;
    for (;;) {
        const size_t colon = text.find(':', pos);
        const std::string g = text.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
        if (colon == std::string::npos && tailV4 && g.find('.') != std::string::npos) {
            uint8_t v4[4];
            if (!ParseV4(g, v4))
                return false;
            out->push_back(static_cast<uint16_t>(v4[0] << 8 | v4[1]));
            out->push_back(static_cast<uint16_t>(v4[2] << 8 | v4[3]));
            return true;
        }
        if (g.empty() || g.size() > 4 ||
            !std::all_of(g.begin(), g.end(), [](unsigned char c) { return std::isxdigit(c); }))
            return false;
        out->push_back(static_cast<uint16_t>(std::stoul(g, nullptr, 16)));
        if (colon == std::string::npos)
            return true;
        pos = colon + 1;
    }
}

bool ParseV6(const std::string& text, std::array<uint8_t, 16>* bytes) {
    std::vector<uint16_t> head, tail;
    const size_t gap = text.find("::");
    if (gap == std::string::npos) {
        if (!ParseGroups(text, true, &head) || head.size() != 8)
            return false;
    } else {
        if (text.find("::", gap + 1) != std::string::npos)
            return false;
        const std::string after = text.substr(gap + 2);
        if (!ParseGroups(text.substr(0, gap), false, &head) || !ParseGroups(after, true, &tail) ||
            head.size() + tail.size() > 7)
            return false;
    }
    std::vector<uint16_t> groups = head;
    groups.resize(8 - tail.size(), 0);
    groups.insert(groups.end(), tail.begin(), tail.end());
    for (size_t i = 0; i < 8; ++i) {
        (*bytes)[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
        (*bytes)[2 * i + 1] = static_cast<uint8_t>(groups[i] & 0xff);
    }
    return true;
}

// Whether the first `bits` bits of two addresses agree.
bool SamePrefix(const Address& a, const Address& b, int bits) {
    for (int i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
        const uint8_t mask = bits >= 8 ? 0xff : static_cast<uint8_t>(0xff << (8 - bits));
        if ((a.bytes[i] & mask) != (b.bytes[i] & mask))
            return false;
    }
    return true;
}

// One entry of the list against the host (canonical) and, when it is one, its address.
bool EntryCovers(const std::string& entry, const std::string& host, const std::optional<Address>& hostAddr,
                 const std::string& port) {
    std::string name, entryPort, range;
    const size_t slash = entry.find('/');
    if (slash != std::string::npos && entry[0] != '[') {
        range = entry.substr(slash + 1);
        name = entry.substr(0, slash);
    } else {
        SplitHostPort(entry, &name, &entryPort);
        const size_t rslash = name.find('/');
        if (rslash != std::string::npos) {
            range = name.substr(rslash + 1);
            name.resize(rslash);
        }
    }
    if (!entryPort.empty() && entryPort != port)
        return false;
    const std::optional<Address> addr = ParseAddress(name);
    if (addr) {
        if (!hostAddr || hostAddr->v4 != addr->v4)
            return false;
        int bits = addr->v4 ? 32 : 128;
        if (!range.empty()) {
            if (!AllDigits(range) || range.size() > 3 || std::stoi(range) > bits)
                return false;
            bits = std::stoi(range);
        }
        return SamePrefix(*addr, *hostAddr, (addr->v4 ? 96 : 0) + bits);
    }
    if (!range.empty() || hostAddr)
        return false;
    if (name.rfind("*.", 0) == 0)
        name.erase(0, 1);
    if (!name.empty() && name[0] == '.')
        name.erase(0, 1);
    name = NormalHost(name);
    if (name.empty())
        return false;
    return host == name ||
           (host.size() > name.size() && host.compare(host.size() - name.size(), name.size(), name) == 0 &&
            host[host.size() - name.size() - 1] == '.');
}

// Host and port in the one form every caller hands on.
Proxy MakeProxy(const std::string& host, const std::string& port) {
    Proxy p;
    p.host = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    p.port = port.empty() ? "80" : port;
    return p;
}

std::string FirstSet(const Lookup& env, const char* lower, const char* upper) {
    std::string v = Trim(env(lower));
    return v.empty() ? Trim(env(upper)) : v;
}

}  // namespace

std::optional<Address> ParseAddress(const std::string& text) {
    Address a;
    uint8_t v4[4];
    if (ParseV4(text, v4)) {
        a.v4 = true;
        a.bytes[10] = a.bytes[11] = 0xff;
        std::copy(v4, v4 + 4, a.bytes.begin() + 12);
        return a;
    }
    if (text.find(':') != std::string::npos && ParseV6(text, &a.bytes))
        return a;
    return std::nullopt;
}

std::optional<Proxy> ParseProxy(const std::string& value) {
    std::string host, port;
    SplitHostPort(Authority(value, nullptr), &host, &port);
    if (host.empty())
        return std::nullopt;
    return MakeProxy(host, port);
}

Proxy ParseConfigured(const std::string& address) {
    const std::string authority = Authority(address, nullptr);
    std::string host = authority, port;
    const size_t colon = authority.rfind(':');
    const size_t close = authority.rfind(']');
    if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return MakeProxy(host, port);
}

std::optional<Route> ForOptions(const Options& options, const std::string& url, const Lookup& env) {
    Route route;
    if (options.kind == kSystemKind) {
        const std::optional<Proxy> system = ForUrl(url, env);
        if (!system)
            return std::nullopt;
        route.proxy = *system;
    } else {
        if (options.kind == "SOCKS4")
            route.type = Route::Type::kSocks4;
        else if (options.kind == "SOCKS5")
            route.type = Route::Type::kSocks5;
        else if (options.kind != "HTTP")
            return std::nullopt;
        if (options.address.empty())
            return std::nullopt;
        route.proxy = ParseConfigured(options.address);
    }
    route.user = options.user;
    route.password = options.user.empty() ? std::string() : options.password;
    return route;
}

bool Exempt(const std::string& noProxy, const std::string& hostIn, const std::string& port) {
    std::string host, unused;
    SplitHostPort(Trim(hostIn), &host, &unused);
    host = NormalHost(host);
    const std::optional<Address> hostAddr = ParseAddress(host);
    size_t pos = 0;
    while (pos < noProxy.size()) {
        const size_t end = std::min(noProxy.find_first_of(", \t", pos), noProxy.size());
        const std::string entry = ascii::Lowered(noProxy.substr(pos, end - pos));
        pos = end + 1;
        if (entry.empty())
            continue;
        if (entry == "*" || EntryCovers(entry, host, hostAddr, port))
            return true;
    }
    return false;
}

std::optional<Proxy> ForUrl(const std::string& url, const Lookup& env) {
    std::string scheme, host, port;
    SplitHostPort(Authority(url, &scheme), &host, &port);
    if (port.empty())
        port = scheme == "https" ? "443" : "80";
    std::string value;
    if (scheme == "https")
        value = FirstSet(env, "https_proxy", "HTTPS_PROXY");
    if (value.empty())
        value = FirstSet(env, "http_proxy", "HTTP_PROXY");
    std::optional<Proxy> proxy = ParseProxy(value);
    if (!proxy)
        return std::nullopt;
    if (Exempt(FirstSet(env, "no_proxy", "NO_PROXY"), host, port))
        return std::nullopt;
    return proxy;
}

}  // namespace proxyenv
