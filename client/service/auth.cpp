#include "service/auth.h"

#include <cryptopp/blowfish.h>
#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/log.h"
#include "platform/system.h"
#include "service/curlproxy.h"
#include "service/urlencode.h"
#include "util/redact.h"
#include "util/util.h"

namespace {

constexpr const char* kLoginServlet = "/mirnportal/LoginServlet";
constexpr const char* kEndpointServlet = "/mirnportal/GetServersAddrServlet";
// The password buffer: 64 bytes of password and room for the last block's zero padding.
constexpr size_t kPasswordBuffer = 68;
// A sign-in body is a few hundred bytes; anything beyond this is not gathered for the parser.
constexpr size_t kMaxBody = 64 * 1024;

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

CurlHandle NewHandle() {
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)rc;
    return CurlHandle(curl_easy_init(), &curl_easy_cleanup);
}

size_t TrimmedStart(const std::string& text, size_t pos) {
    while (pos < text.size() &&
           (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n'))
        ++pos;
    return pos;
}

// libcurl's verbose lines go to the log instead of the terminal.
int DebugLine(CURL*, curl_infotype type, char* data, size_t size, void*) {
    if (type == CURLINFO_TEXT) {
        std::string line(data, size);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        LogText(kLogDebug, "CAuth::curl", line);
    }
    return 0;
}

// "Fail to find {%s} from {%s}" with 0 to 3 trailing dots.
void LogFindFailure(const char* tag, const std::string& name, const std::string& text, int dots) {
    LogText(kLogError, tag, "Fail to find {" + name + "} from {" + text + "}" + std::string(dots, '.'));
}

}  // namespace

size_t CAuth::_OnData(char* data, size_t size, size_t count, void* self) {
    auto* auth = static_cast<CAuth*>(self);
    size_t n = size * count;
    // All bytes count as consumed: a parse failure never aborts the transfer.
    try {
        if (!auth->inBody_) {
            auth->ParserContent(std::string(data, n));
        } else if (auth->body_.size() + n <= kMaxBody) {
            auth->body_.append(data, n);
        } else {
            auth->bodyTruncated_ = true;
        }
    } catch (...) {
        Log(kLogError, "CAuth::ParserContent", "Fail to parse a piece of %zu bytes", n);
    }
    return n;
}

// Called after the same header line went to _OnData; it only follows where headers end.
size_t CAuth::_OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* auth = static_cast<CAuth*>(self);
    size_t n = size * count;
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
        // A new response (after a digest challenge): its status line went into the previous
        // body, which is dropped with it.
        auth->inBody_ = false;
        auth->body_.clear();
        auth->bodyTruncated_ = false;
    } else if (line == "\r\n" || line == "\n") {
        auth->inBody_ = true;
        auth->body_.clear();
        auth->bodyTruncated_ = false;
    }
    return n;
}

void CAuth::_StartTransfer() {
    inBody_ = false;
    body_.clear();
    bodyTruncated_ = false;
}

void CAuth::_EndTransfer() {
    if (bodyTruncated_)
        Log(kLogWarn, "CAuth::ParserContent", "Reply body longer than %zu bytes: the rest is ignored",
            kMaxBody);
    if (!body_.empty()) {
        std::string body;
        body.swap(body_);
        ParserContent(body);
    }
    inBody_ = false;
}

void CAuth::ParseAnswer(const char* data, size_t size) {
    _StartTransfer();
    size_t pos = 0;
    while (pos < size) {
        size_t n = size - pos;
        if (!inBody_) {
            const void* lf = std::memchr(data + pos, '\n', n);
            if (lf)
                n = static_cast<size_t>(static_cast<const char*>(lf) - (data + pos)) + 1;
        }
        // libcurl hands a header line to the write callback first, then to the header callback.
        const bool header = !inBody_;
        _OnData(const_cast<char*>(data + pos), 1, n, this);
        if (header)
            _OnHeader(const_cast<char*>(data + pos), 1, n, this);
        pos += n;
    }
    _EndTransfer();
}

bool CAuth::Init(const std::string& server, const std::string& user, const std::string& password) {
    if (server.empty())
        return false;
    loginUrl_ = server + kLoginServlet;
    endpointUrl_ = server + kEndpointServlet;
    user_ = user;
    password_ = password;
    redact::Remember(password);
    return true;
}

void CAuth::SetProxy(const std::string& kind, const std::string& address, const std::string& user,
                     const std::string& password) {
    proxy_ = {kind, address, user, password};
}

bool CAuth::Request(std::string* passport, const std::string& user, const std::string& password) {
    if (!user.empty() && !password.empty()) {
        user_ = user;
        password_ = password;
        redact::Remember(password);
    }
    if (user_.empty() || password_.empty()) {
        Log(kLogError, "CAuth::Request", "Invalid user: %s", user_.c_str());
        return false;
    }
    // Such a password cannot be sent; a non-zero code makes the caller report a refusal instead
    // of waiting for a portal that would never accept it.
    if (password_.size() > kMaxPasswordBytes) {
        Log(kLogError, "CAuth::Request", "The password of user %s is longer than %zu bytes", user_.c_str(),
            kMaxPasswordBytes);
        responseCode_ = kRefusedLocally;
        return false;
    }
    if (!RequestLogin())
        return false;
    if (passport)
        *passport = passport_;
    return RequestServlet();
}

bool CAuth::EncryptPassword(const std::string& password, const std::string& timeStamp, std::string* base64) {
    if (password.size() > kMaxPasswordBytes)
        return false;
    unsigned char buffer[kPasswordBuffer] = {};
    std::memcpy(buffer, password.data(), password.size());
    // Blowfish takes 4 to 56 key bytes: a time stamp under 1000 ms ("%d" of 0..999, or a short
    // negative value) is completed with zero bytes, as the portal does when it decrypts.
    std::string key = timeStamp.substr(0, CryptoPP::Blowfish::MAX_KEYLENGTH);
    if (key.size() < CryptoPP::Blowfish::MIN_KEYLENGTH)
        key.resize(CryptoPP::Blowfish::MIN_KEYLENGTH, '\0');
    CryptoPP::BlowfishEncryption cipher(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
    size_t blocks = 0;
    for (size_t off = 0; off < password.size(); off += CryptoPP::Blowfish::BLOCKSIZE, ++blocks)
        cipher.ProcessBlock(buffer + off);
    *base64 = CUtil::Base64EncodeBytes(buffer, blocks * CryptoPP::Blowfish::BLOCKSIZE);
    return true;
}

void CAuth::_SetOptions(void* handle, const std::string& url, bool credentials) {
    CURL* curl = static_cast<CURL*>(handle);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &DebugLine);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADER, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Kestrine");
    curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
    if (credentials) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user_.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password_.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CAuth::_OnData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CAuth::_OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kConnectTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::max(1, (stallMs_ + 999) / 1000)));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(deadlineMs_));

    // The system's proxy is chosen for each URL: no_proxy may send this one direct.
    curlproxy::Apply(curl, proxy_, url);
}

void CAuth::_Perform(void* handle) {
    CURL* curl = static_cast<CURL*>(handle);
    aborted_ = false;
    transferError_ = CURLE_FAILED_INIT;
    std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(), &curl_multi_cleanup);
    if (!multi || curl_multi_add_handle(multi.get(), curl) != CURLM_OK) {
        Log(kLogError, "CAuth::Perform", "curl_multi_init() failed");
        return;
    }
    // A multi handle of our own, so the wait wakes often enough to see the abort: libcurl's own
    // progress callback may be a second apart when nothing moves.
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK)
            break;
        int left = 0;
        bool done = false;
        while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == curl) {
                transferError_ = static_cast<int>(msg->data.result);
                done = true;
            }
        }
        if (done)
            break;
        if (abort_ && abort_()) {
            aborted_ = true;
            transferError_ = CURLE_ABORTED_BY_CALLBACK;
            Log(kLogInfo, "CAuth::Perform", "The exchange was interrupted");
            break;
        }
        curl_multi_poll(multi.get(), nullptr, 0, kAbortPollMs, nullptr);
    }
    curl_multi_remove_handle(multi.get(), curl);
}

bool CAuth::RequestLogin() {
    const char* tag = "CAuth::RequestLogin";
    if (loginUrl_.empty() || loginUrl_.find("http://") == std::string::npos) {
        Log(kLogError, tag, "Invalid auth server: %s", loginUrl_.c_str());
        return false;
    }
    passport_.clear();
    backServer_.clear();
    transmitterServer_.clear();
    heartBeatServer_.clear();
    CurlHandle curl = NewHandle();
    if (!curl) {
        Log(kLogError, tag, "curl_easy_init() failed");
        return false;
    }
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%d", static_cast<int>(platform::TickCount()));
    std::string encrypted;
    if (!EncryptPassword(password_, stamp, &encrypted)) {
        Log(kLogError, tag, "The password of user %s is longer than %zu bytes", user_.c_str(),
            kMaxPasswordBytes);
        responseCode_ = kRefusedLocally;
        return false;
    }
    CURLEncode encoder;
    const std::string encoded = encoder.URLEncode(encrypted);
    redact::Remember(encrypted);
    redact::Remember(encoded);
    std::string url = loginUrl_ + "?user_name=" + encoder.URLEncode(user_) + "&password=" + encoded +
                      "&time_stamp=" + stamp;
    LogText(kLogInfo, tag, redact::Items(url));
    _SetOptions(curl.get(), url, true);
    _StartTransfer();
    _Perform(curl.get());  // a transport failure shows as response code 0
    _EndTransfer();
    // An exchange cut short (time-out, dropped connection, abort) got no answer, whatever status
    // line an earlier round (a digest challenge) or the cut reply had.
    long code = 0;
    if (transferError_ == CURLE_OK)
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &code);
    responseCode_ = static_cast<int32_t>(code);
    if (responseCode_ == 200) {
        if (!passport_.empty())
            return true;
        Log(kLogError, tag, "Fail to get passport for User {%s}", user_.c_str());
        return false;
    }
    Log(kLogError, tag, "Fail to process http ack code: %d", responseCode_);
    return false;
}

bool CAuth::RequestServlet() {
    const char* tag = "CAuth::RequestServlet";
    if (endpointUrl_.empty() || endpointUrl_.find("http://") == std::string::npos) {
        Log(kLogError, tag, "Invalid auth server: %s", endpointUrl_.c_str());
        return false;
    }
    passport_.clear();
    backServer_.clear();
    transmitterServer_.clear();
    heartBeatServer_.clear();
    CurlHandle curl = NewHandle();
    if (!curl) {
        Log(kLogError, tag, "curl_easy_init() failed");
        return false;
    }
    LogText(kLogInfo, tag, endpointUrl_);
    _SetOptions(curl.get(), endpointUrl_, false);
    _StartTransfer();
    _Perform(curl.get());
    _EndTransfer();
    // An exchange cut short (time-out, dropped connection, abort) got no answer, whatever status
    // line an earlier round (a digest challenge) or the cut reply had.
    long code = 0;
    if (transferError_ == CURLE_OK)
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &code);
    responseCode_ = static_cast<int32_t>(code);
    if (responseCode_ == 200) {
        if (!backServer_.empty() && !transmitterServer_.empty() && !heartBeatServer_.empty())
            return true;
        Log(kLogError, tag, "Fail to get servers list: backer(%s), transmitter(%s), heartbeater(%s)",
            backServer_.c_str(), transmitterServer_.c_str(), heartBeatServer_.c_str());
        return false;
    }
    Log(kLogError, tag, "Fail to process http ack code: %d", responseCode_);
    return false;
}

void CAuth::ParserContent(const std::string& piece) {
    const char* tag = "CAuth::ParserContent";
    LogText(kLogInfo, tag, redact::Items(piece));  // the portal's answer carries the passport
    auto missing = [&](const char* item, const std::string& text) {
        LogText(kLogError, tag, std::string("Fail to get item {") + item + "} from " + text);
    };
    if (piece.find("root_folder") != std::string::npos) {
        std::string value;
        if (!GetFieldItem1("result", piece, &value)) {
            missing("result", piece);
            return;
        }
        if (value != "OK") {
            Log(kLogError, tag, "get auth result: %s", value.c_str());
            return;
        }
        struct Item {
            const char* name;
            std::string* field;
        } items[] = {{"message", &message_},
                     {"root_folder", &rootFolder_},
                     {"passport", &passport_},
                     {"telephone", &telephone_},
                     {"email", &email_}};
        for (const Item& item : items) {
            if (!GetFieldItem1(item.name, piece, &value)) {
                missing(item.name, piece);
                return;
            }
            *item.field = value;
        }
        redact::Remember(passport_);
        return;
    }
    if (piece.find("back_server") != std::string::npos) {
        std::string header;
        if (!GetHeaderField("Set-Kestrine", piece, &header)) {
            missing("Set-Kestrine", piece);
            return;
        }
        std::string value;
        if (!GetFieldItem("result", header, &value)) {
            missing("result", header);
            return;
        }
        if (value != "OK") {
            Log(kLogError, tag, "get auth result: %s", value.c_str());
            return;
        }
        struct Item {
            const char* name;
            std::string* field;
            const char* logged;
        } items[] = {{"back_server", &backServer_, "get back server: %s"},
                     {"trs_server", &transmitterServer_, "get transmitter server: %s"},
                     {"hb_server", &heartBeatServer_, "get heartbeat server: %s"}};
        for (const Item& item : items) {
            if (!GetFieldItem(item.name, header, &value)) {
                missing(item.name, header);
                return;
            }
            *item.field = value;
            Log(kLogInfo, tag, item.logged, value.c_str());
        }
    }
}

bool CAuth::GetHeaderField(const std::string& name, const std::string& text, std::string* value) {
    const char* tag = "CAuth::GetHeaderField";
    if (text.empty() || name.empty()) {
        LogFindFailure(tag, name, text, 0);
        return false;
    }
    size_t pos = text.find(name);
    if (pos == std::string::npos) {
        LogFindFailure(tag, name, text, 1);
        return false;
    }
    pos = TrimmedStart(text, pos + name.size());
    size_t lf = text.find('\n', pos);
    *value = text.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
    return true;
}

namespace {

// The common tail of the two item rules: from `pos` (just past the name and what follows it),
// trim, require `open`, trim, and take the value up to `close`, else up to the first line feed.
bool TakeItem(const char* tag, const std::string& name, const std::string& text, size_t pos, char open,
              char close, std::string* value) {
    pos = TrimmedStart(text, pos);
    if (pos >= text.size() || text[pos] != open) {
        LogFindFailure(tag, name, text, 2);
        return false;
    }
    pos = TrimmedStart(text, pos + 1);
    size_t end = text.find(close, pos);
    if (end == std::string::npos)
        end = text.find('\n', pos);
    if (end == std::string::npos) {
        LogFindFailure(tag, name, text, 3);
        return false;
    }
    *value = text.substr(pos, end - pos);
    return true;
}

}  // namespace

bool CAuth::GetFieldItem(const std::string& name, const std::string& text, std::string* value) {
    const char* tag = "CAuth::GetFieldItem";
    if (text.empty() || name.empty()) {
        LogFindFailure(tag, name, text, 0);
        return false;
    }
    size_t pos = text.find(name);
    if (pos == std::string::npos) {
        LogFindFailure(tag, name, text, 1);
        return false;
    }
    return TakeItem(tag, name, text, pos + name.size(), '=', ';', value);
}

bool CAuth::GetFieldItem1(const std::string& name, const std::string& text, std::string* value) {
    const char* tag = "CAuth::GetFieldItem1";
    if (text.empty() || name.empty()) {
        LogFindFailure(tag, name, text, 0);
        return false;
    }
    size_t pos = text.find(name);
    if (pos == std::string::npos) {
        LogFindFailure(tag, name, text, 1);
        return false;
    }
    // Past the name, its closing quote and the colon of "name":.
    return TakeItem(tag, name, text, std::min(pos + name.size() + 2, text.size()), '"', '"', value);
}
