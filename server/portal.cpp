#include "portal.h"

#include <cryptopp/blowfish.h>

#include <cctype>
#include <ctime>

#include "util/base64.h"
#include "wire.h"

namespace kserver {

namespace {

constexpr int64_t kNonceLifetime = 300;  // seconds
constexpr size_t kMaxCipherBytes = 1024;

std::string Md5Text(const std::string& s) {
    return Md5Hex(s.data(), s.size());
}

std::string BlowfishKey(const std::string& timeStamp) {
    std::string key = timeStamp;
    while (key.size() < CryptoPP::Blowfish::MIN_KEYLENGTH)
        key.push_back('\0');
    return key;
}

// Constant-time comparison of two digests.
bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string PercentDecoded(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// The digest's uri must name this request; some clients send it percent-decoded.
bool SameRequestUri(const std::string& uri, const std::string& target) {
    return uri == target || PercentDecoded(uri) == PercentDecoded(target);
}

HttpAnswer Refuse(int status, const std::string& message) {
    HttpAnswer a;
    a.status = status;
    // No item names here: the client reads every piece it receives for "root_folder".
    a.body = message + "\n";
    return a;
}

}  // namespace

std::string EncryptPassword(const std::string& password, const std::string& timeStamp) {
    std::string key = BlowfishKey(timeStamp);
    CryptoPP::BlowfishEncryption enc(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
    std::string buf = password;
    buf.resize((password.size() + 7) / 8 * 8, '\0');
    for (size_t off = 0; off < buf.size(); off += 8) {
        auto* p = reinterpret_cast<CryptoPP::byte*>(&buf[off]);
        enc.ProcessBlock(p);
    }
    return base64::Encode(buf.data(), buf.size());
}

bool DecryptPassword(const std::string& base64Text, const std::string& timeStamp, std::string* plain) {
    std::string key = BlowfishKey(timeStamp);
    if (key.size() > CryptoPP::Blowfish::MAX_KEYLENGTH)
        return false;
    std::string buf;
    base64::Decode(base64Text.data(), base64Text.size(), &buf);
    if (buf.empty() || buf.size() % 8 != 0 || buf.size() > kMaxCipherBytes)
        return false;
    CryptoPP::BlowfishDecryption dec(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
    for (size_t off = 0; off < buf.size(); off += 8) {
        auto* p = reinterpret_cast<CryptoPP::byte*>(&buf[off]);
        dec.ProcessBlock(p);
    }
    while (!buf.empty() && buf.back() == '\0')
        buf.pop_back();
    *plain = std::move(buf);
    return true;
}

std::map<std::string, std::string> ParseDigestHeader(const std::string& header) {
    std::map<std::string, std::string> out;
    size_t pos = 0;
    while (pos < header.size() && std::isspace(static_cast<unsigned char>(header[pos])))
        ++pos;
    if (header.size() < pos + 6 || ascii::Lowered(header.substr(pos, 6)) != "digest")
        return out;
    pos += 6;
    while (pos < header.size()) {
        while (pos < header.size() &&
               (header[pos] == ',' || std::isspace(static_cast<unsigned char>(header[pos]))))
            ++pos;
        size_t eq = header.find('=', pos);
        if (eq == std::string::npos)
            break;
        std::string name = ascii::Lowered(header.substr(pos, eq - pos));
        while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back())))
            name.pop_back();
        pos = eq + 1;
        while (pos < header.size() && std::isspace(static_cast<unsigned char>(header[pos])))
            ++pos;
        std::string value;
        if (pos < header.size() && header[pos] == '"') {
            ++pos;
            while (pos < header.size() && header[pos] != '"') {
                if (header[pos] == '\\' && pos + 1 < header.size())
                    ++pos;
                value.push_back(header[pos++]);
            }
            ++pos;
        } else {
            size_t end = header.find(',', pos);
            if (end == std::string::npos)
                end = header.size();
            value = header.substr(pos, end - pos);
            while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
                value.pop_back();
            pos = end;
        }
        out[name] = value;
    }
    return out;
}

CPortal::CPortal(CServerStore& store, bool requireDigest)
    : store_(store), requireDigest_(requireDigest), secret_(RandomHex(32)) {}

std::string CPortal::_Nonce(int64_t now) const {
    std::string ts = std::to_string(now);
    return ts + "-" + Md5Text(secret_ + ":" + ts);
}

bool CPortal::_NonceFresh(const std::string& nonce, bool* stale) const {
    *stale = false;
    size_t dash = nonce.find('-');
    int64_t ts;
    if (dash == std::string::npos || !ParseInt64(nonce.substr(0, dash), &ts))
        return false;
    if (!SameText(nonce, _Nonce(ts)))
        return false;
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (now - ts > kNonceLifetime || ts > now + 5) {
        *stale = true;
        return false;
    }
    return true;
}

HttpAnswer CPortal::_Challenge(bool stale) const {
    HttpAnswer a = Refuse(401, "authentication required");
    std::string value = std::string("Digest realm=\"") + kDigestRealm +
                        "\", qop=\"auth\", algorithm=MD5, nonce=\"" +
                        _Nonce(static_cast<int64_t>(std::time(nullptr))) + "\"";
    if (stale)
        value += ", stale=true";
    a.headers.emplace_back("WWW-Authenticate", value);
    return a;
}

HttpAnswer CPortal::Login(const std::string& method, const std::string& target,
                          const std::map<std::string, std::string>& params,
                          const std::string& authorization) {
    auto param = [&](const char* name, std::string* out) {
        auto it = params.find(name);
        if (it == params.end())
            return false;
        *out = it->second;
        return true;
    };
    std::string user, password, timeStamp;
    if (!param("user_name", &user) || !param("password", &password) || !param("time_stamp", &timeStamp) ||
        user.empty())
        return Refuse(400, "user_name, password and time_stamp are required");

    Account account;
    bool known = store_.FindAccount(user, &account);
    HttpAnswer denied = Refuse(403, "wrong user name or password");
    denied.user = user;

    if (requireDigest_) {
        std::map<std::string, std::string> d = ParseDigestHeader(authorization);
        if (d.empty())
            return _Challenge(false);
        bool stale = false;
        if (!_NonceFresh(d["nonce"], &stale))
            return _Challenge(stale);
        if (!SameRequestUri(d["uri"], target) || d["realm"] != kDigestRealm ||
            ascii::Lowered(d["username"]) != ascii::Lowered(user) || !known)
            return _Challenge(false);
        if (d.count("qop") && (d["qop"] != "auth" || d["nc"].empty() || d["cnonce"].empty()))
            return _Challenge(false);
        // The response may hash the uri as the header spells it or as the request line does.
        bool matched = false;
        for (const std::string& uri : {d["uri"], target}) {
            std::string ha2 = Md5Text(std::string(method).append(":").append(uri));
            std::string expect = d.count("qop") ? Md5Text(account.ha1 + ":" + d["nonce"] + ":" + d["nc"] +
                                                          ":" + d["cnonce"] + ":auth:" + ha2)
                                                : Md5Text(account.ha1 + ":" + d["nonce"] + ":" + ha2);
            matched = matched || SameText(ascii::Lowered(d["response"]), expect);
        }
        if (!matched)
            return _Challenge(false);
    }
    if (!known)
        return denied;
    std::string plain;
    if (!DecryptPassword(password, timeStamp, &plain) || !SameText(PasswordMd5(plain), account.pwMd5))
        return denied;

    std::string passport = store_.IssuePassport(account.id);
    if (passport.empty())
        return Refuse(500, "cannot issue a passport");
    HttpAnswer a;
    a.user = account.name;
    a.contentType = "application/json; charset=UTF-8";
    // Item order matters to the client, which finds each key as the first occurrence of its
    // name: the values it does not control (root folder, contacts) come after the fixed ones.
    a.body = "{\"result\":\"OK\",\"message\":\"login success\",\"passport\":\"" + passport +
             "\",\"telephone\":\"" + account.telephone + "\",\"email\":\"" + account.email +
             "\",\"root_folder\":\"" + account.root + "\"}";
    return a;
}

HttpAnswer CPortal::Servers(const std::string& baseUrl) const {
    HttpAnswer a;
    std::string base = baseUrl + "/axis2/services/";
    a.headers.emplace_back("Set-Kestrine", "result=OK; back_server=" + base +
                                               "mirn_service_bs; trs_server=" + base +
                                               "mirn_service_trs; hb_server=" + base + "mirn_service_hb;");
    a.body = "OK\n";
    return a;
}

}  // namespace kserver
