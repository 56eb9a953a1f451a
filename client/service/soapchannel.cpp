#include "service/soapchannel.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/locations.h"
#include "core/log.h"
#include "core/logger.h"
#include "service/curlproxy.h"
#include "util/ascii.h"
#include "util/redact.h"
#include "util/util.h"

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr const char* kVersion = "version01";
// Texts longer than this inside a reply's "content" element are chunk bytes in Base64: the log
// shows their length instead.
constexpr size_t kMaxLoggedContent = 256;

const SoapChannelProfile kBack = {
    .tag = "CBack",
    .logFileName = "axis2c_bs.log",
    .srcAttribute = true,
    .passportAttribute = true,
    .backMessages = true,
    .keepLastReason = true,
    .logXml = true,
    .replyLogWord = "reponse:",
    .deadlineMs = 37000,
    // A listing of a large tree: 256 MiB of reply body (compressed or not) is far beyond any
    // real account and still fits in memory.
    .maxReplyBytes = 256 * kMiB,
};
const SoapChannelProfile kTransmitter = {
    .tag = "CTransmitter",
    .logFileName = "axis2c_trs.log",
    .digestAtInit = true,
    .checkSequence = true,
    .logXml = true,
    .replyLogWord = "reqonse:",
    .initFailureSeverity = kLogInfo,
    .deadlineMs = 361000,
    // A 4 MiB chunk inline in Base64 is 5.6 MiB; as an attachment 4 MiB plus the XML.
    .maxReplyBytes = 8 * kMiB,
};
const SoapChannelProfile kHeartBeat = {
    .tag = "CHeartBeat",
    .logFileName = "axis2c_hb.log",
    .digestAtInit = true,
    .backMessages = true,
    .logEndpointAtInit = true,
    .deadlineMs = 120000,
    .maxReplyBytes = 64 * 1024,
};

// Serialising a large listing only to drop the line is wasted work: ask the logger first.
bool InfoLogged() {
    CLogger* logger = AppLogger();
    return logger && logger->GetLevel() >= kLogInfo;
}

void GlobalInit() {
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)rc;
}

// The elements of a request or reply (itself included): with its size, what the log says of a
// large one at info level.
size_t ElementCount(const pugi::xml_node& node) {
    size_t count = 0;
    std::vector<pugi::xml_node> stack{node};
    while (!stack.empty()) {
        pugi::xml_node n = stack.back();
        stack.pop_back();
        if (n.type() != pugi::node_element)
            continue;
        ++count;
        for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
            stack.push_back(c);
    }
    return count;
}

// A reply's serialisation for the log, with chunk bytes carried inline replaced by their length.
std::string ReplyForLog(const pugi::xml_node& node) {
    bool inlineBytes = false;
    std::vector<pugi::xml_node> stack{node};
    while (!stack.empty() && !inlineBytes) {
        pugi::xml_node n = stack.back();
        stack.pop_back();
        for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
            if (c.type() == pugi::node_element)
                stack.push_back(c);
            else if ((c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) &&
                     soap::LocalName(n.name()) == "content" && std::strlen(c.value()) > kMaxLoggedContent)
                inlineBytes = true;
        }
    }
    if (!inlineBytes)
        return soap::NodeToString(node);
    pugi::xml_document copy;
    pugi::xml_node root = copy.append_copy(node);
    stack.assign(1, root);
    while (!stack.empty()) {
        pugi::xml_node n = stack.back();
        stack.pop_back();
        for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
            if (c.type() == pugi::node_element) {
                stack.push_back(c);
            } else if ((c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) &&
                       soap::LocalName(n.name()) == "content" && std::strlen(c.value()) > kMaxLoggedContent) {
                std::string note = "[" + std::to_string(std::strlen(c.value())) + " bytes of Base64]";
                c.set_value(note.c_str());
            }
        }
    }
    return soap::NodeToString(root);
}

}  // namespace

namespace soapchannel {

const SoapChannelProfile& BackProfile() {
    return kBack;
}
const SoapChannelProfile& TransmitterProfile() {
    return kTransmitter;
}
const SoapChannelProfile& HeartBeatProfile() {
    return kHeartBeat;
}

std::string PasswordDigest(const std::string& password) {
    std::string md5;
    CUtil::GetMd5String(password.data(), password.size(), &md5);
    return ascii::Uppered(md5.substr(0, 16));
}

}  // namespace soapchannel

// ---------------------------------------------------------------------------------------------

CSoapRequest::CSoapRequest() = default;
CSoapRequest::~CSoapRequest() = default;

void CSoapRequest::Attach(pugi::xml_node element, std::string_view bytes) {
    if (!package_)
        package_ = std::make_unique<mtom::Package>(soap::Version::k12);
    std::string id = package_->AddAttachment(bytes);
    mtom::AddXopInclude(element, id);
}

CSoapReply::CSoapReply() = default;
CSoapReply::~CSoapReply() = default;

bool CSoapReply::Parse(std::string contentType, std::string body, long httpStatus, std::string* error) {
    contentType_ = std::move(contentType);
    body_ = std::move(body);
    httpStatus_ = httpStatus;
    hasEnvelope_ = false;
    if (!mtom::Parse(contentType_, body_.data(), body_.size(), &message_, error))
        return false;
    if (!envelope_.Parse(message_.root.data(), message_.root.size(), error))
        return false;
    hasEnvelope_ = true;
    return true;
}

bool CSoapReply::ReadBinary(const pugi::xml_node& element, std::string_view* bytes, std::string* storage,
                            std::string* error) const {
    return mtom::ReadBinary(element, message_, bytes, storage, error);
}

// ---------------------------------------------------------------------------------------------

void CSoapCancel::Cancel() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!multi_)
        return;
    cancelled_ = true;
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

struct CSoapChannel::Handles {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    ~Handles() {
        if (easy)
            curl_easy_cleanup(easy);
        if (multi)
            curl_multi_cleanup(multi);
    }
};

namespace {

// What a transfer reads from and writes to while curl runs.
struct TransferState {
    std::vector<std::string_view> pieces;
    size_t piece = 0;
    size_t offset = 0;
    std::string body;
    size_t maxBody = 0;
    bool tooLarge = false;
};

size_t ReadPieces(char* buffer, size_t size, size_t count, void* user) {
    auto* s = static_cast<TransferState*>(user);
    size_t room = size * count, done = 0;
    while (done < room && s->piece < s->pieces.size()) {
        std::string_view p = s->pieces[s->piece];
        size_t n = std::min(room - done, p.size() - s->offset);
        std::memcpy(buffer + done, p.data() + s->offset, n);
        done += n;
        s->offset += n;
        if (s->offset == p.size()) {
            ++s->piece;
            s->offset = 0;
        }
    }
    return done;
}

// libcurl rewinds the request when it resends it on a fresh connection (a kept connection the
// server closed while idle); without this the call would fail instead of being retried.
int SeekPieces(void* user, curl_off_t offset, int origin) {
    auto* s = static_cast<TransferState*>(user);
    if (origin != SEEK_SET || offset < 0)
        return CURL_SEEKFUNC_CANTSEEK;
    size_t rest = static_cast<size_t>(offset);
    s->piece = 0;
    s->offset = 0;
    while (s->piece < s->pieces.size() && rest >= s->pieces[s->piece].size()) {
        rest -= s->pieces[s->piece].size();
        ++s->piece;
    }
    if (s->piece == s->pieces.size() && rest > 0)
        return CURL_SEEKFUNC_FAIL;
    s->offset = rest;
    if (offset == 0)
        s->body.clear();
    return CURL_SEEKFUNC_OK;
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<TransferState*>(user);
    size_t n = size * count;
    if (s->body.size() + n > s->maxBody) {
        s->tooLarge = true;
        return 0;  // stops the transfer
    }
    s->body.append(data, n);
    return n;
}

// Reserves the announced length up front, and refuses a reply announced beyond the bound before
// any of its body arrives.
size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<TransferState*>(user);
    size_t n = size * count;
    static const char kName[] = "content-length:";
    if (n > sizeof kName - 1) {
        if (ascii::EqualNoCase(std::string_view(data, sizeof kName - 1), kName)) {
            std::string value(data + sizeof kName - 1, n - (sizeof kName - 1));
            unsigned long long length = std::strtoull(value.c_str(), nullptr, 10);
            if (length > s->maxBody) {
                s->tooLarge = true;
                return 0;
            }
            s->body.reserve(static_cast<size_t>(length));
        }
    }
    return n;
}

}  // namespace

CSoapChannel::CSoapChannel(const SoapChannelProfile& profile)
    : profile_(profile), deadlineMs_(profile.deadlineMs), cancel_(std::make_shared<CSoapCancel>()) {}

CSoapChannel::~CSoapChannel() {
    Reset();
}

std::string CSoapChannel::_Tag(const char* method) const {
    return std::string(profile_.tag) + "::" + method;
}

void CSoapChannel::SetProxy(const std::string& kind, const std::string& address, const std::string& user,
                            const std::string& password) {
    proxy_ = {kind, address, user, password};
}

bool CSoapChannel::Init(const std::string& endpoint, const std::string& user, const std::string& password,
                        const std::string& hostId, const std::string& installFolder) {
    if (endpoint.empty()) {
        Log(kLogError, _Tag("Init").c_str(), "Invalid endpoint: empty");
        return false;
    }
    endpoint_ = endpoint;
    user_ = user;
    password_ = profile_.digestAtInit ? soapchannel::PasswordDigest(password) : password;
    redact::Remember(password);
    redact::Remember(password_);
    hostId_ = hostId;
    sequence_ = 0;
    std::string install = installFolder.empty() ? locations::DefaultInstallFolder() : installFolder;
    repositoryPath_ = locations::Join(install, "axis2c");
    char log[1024];
    std::snprintf(log, sizeof log, "%s/%s", locations::LogFolder().c_str(), profile_.logFileName);
    logFile_ = log;
    if (!InitAxis2c()) {
        Log(kLogError, _Tag("Init").c_str(), "Fail to init Axis2c!");
        return false;
    }
    curlproxy::Apply(handles_->easy, proxy_, endpoint_);
    return true;
}

bool CSoapChannel::InitAxis2c() {
    GlobalInit();
    handles_.reset();
    auto h = std::make_unique<Handles>();
    h->easy = curl_easy_init();
    h->multi = h->easy ? curl_multi_init() : nullptr;
    if (!h->easy || !h->multi) {
        Log(profile_.initFailureSeverity, _Tag("InitAxis2c").c_str(),
            "Stub invoke FAILED: Error code: %d :: %s", static_cast<int>(CURLE_FAILED_INIT),
            curl_easy_strerror(CURLE_FAILED_INIT));
        return false;
    }
    if (profile_.logEndpointAtInit)
        Log(kLogInfo, _Tag("InitAxis2c").c_str(), "Using endpoint : %s", endpoint_.c_str());
    handles_ = std::move(h);
    return true;
}

void CSoapChannel::Reset() {
    handles_.reset();
    sequence_ = 0;
}

bool CSoapChannel::IsInitialised() const {
    return handles_ != nullptr;
}

void CSoapChannel::SetCredentials(const std::string& user, const std::string& password,
                                  const std::string& passport) {
    user_ = user;
    password_ = soapchannel::PasswordDigest(password);
    passport_ = passport;
    redact::Remember(password);
    redact::Remember(password_);
    redact::Remember(passport_);
}

std::unique_ptr<CSoapRequest> CSoapChannel::NewRequest(const char* name) {
    auto r = std::make_unique<CSoapRequest>();
    r->operation_ = r->doc_.append_child("operation");
    r->operation_.append_attribute("name") = name;
    r->operation_.append_attribute("version") = kVersion;
    if (profile_.srcAttribute)
        r->operation_.append_attribute("src") = "windows";
    pugi::xml_node head = r->operation_.append_child("request_head");
    head.append_attribute("user_name") = user_.c_str();
    head.append_attribute("password") = password_.c_str();
    if (profile_.passportAttribute)
        head.append_attribute("passport") = passport_.c_str();
    r->sequence_ = ++sequence_;
    head.append_attribute("req_sequence") = std::to_string(r->sequence_).c_str();
    head.append_child("host_id").text().set(hostId_.c_str());
    r->body_ = r->operation_.append_child(name);
    return r;
}

void CSoapChannel::Cancel() {
    cancel_->Cancel();
}

namespace {

// Failures after which the service may well answer a later call: nothing came back in time, no
// connection, the connection broke, or a gateway in between could not reach the service.
bool IsUnanswered(CSoapChannel::SendResult result, int code) {
    if (result == CSoapChannel::SendResult::kTimeout)
        return true;
    if (result != CSoapChannel::SendResult::kNoReply)
        return false;
    switch (code) {
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_PARTIAL_FILE:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case 502:  // HTTP statuses of a reply without an envelope
        case 503:
        case 504:
            return true;
        default:
            return false;
    }
}

// Every option of one call. The connect time-out and the low-speed limit end a call whose
// service went silent long before the profile's deadline would.
void SetTransferOptions(CURL* easy, const std::string& url, TransferState* state, curl_off_t total,
                        curl_slist* headers, char* errorText, int stallMs) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, total);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &ReadPieces);
    curl_easy_setopt(easy, CURLOPT_READDATA, state);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &SeekPieces);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, state);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, state);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &ReadHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, state);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Kestrine");
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(CSoapChannel::kConnectTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::max(1, (stallMs + 999) / 1000)));
}

}  // namespace

CSoapChannel::SendResult CSoapChannel::_Transfer(CSoapRequest& request, CSoapReply* reply) {
    SendResult result = _Exchange(request, reply);
    unanswered_ = IsUnanswered(result, lastErrorCode_);
    return result;
}

// One call's transfer while curl runs: what is sent, what comes back, and how the wait ended.
struct CSoapChannel::Transfer {
    std::string envelope;  // the bytes sent when the request has no attachments
    TransferState state;
    curl_slist* headers = nullptr;
    char errorText[CURL_ERROR_SIZE] = "";
    SendResult result = SendResult::kNoReply;  // kTimeout or kCancelled when the wait stopped early
    CURLcode code = CURLE_OK;
    bool done = false;  // curl finished the transfer; `code` says how
};

CSoapChannel::SendResult CSoapChannel::_Exchange(CSoapRequest& request, CSoapReply* reply) {
    lastErrorCode_ = 0;
    lastErrorMessage_.clear();
    if (!handles_) {
        lastErrorCode_ = CURLE_FAILED_INIT;
        lastErrorMessage_ = "the channel is not initialised";
        return SendResult::kNoReply;
    }
    Transfer transfer;
    _Prepare(request, &transfer);
    _Pump(&transfer);
    return _Collect(&transfer, reply);
}

void CSoapChannel::_Prepare(CSoapRequest& request, Transfer* t) {
    std::string envelope = soap::BuildEnvelope(request.operation_, soap::Version::k12);
    t->state.maxBody = profile_.maxReplyBytes;
    std::string contentType;
    if (request.package_) {
        request.package_->SetRoot(std::move(envelope));
        contentType = request.package_->ContentType();
        t->state.pieces = request.package_->Pieces();
    } else {
        contentType = soap::ContentType(soap::Version::k12);
        t->envelope = std::move(envelope);
        t->state.pieces.emplace_back(t->envelope);
    }
    curl_off_t total = 0;
    for (std::string_view p : t->state.pieces)
        total += static_cast<curl_off_t>(p.size());

    t->headers = curl_slist_append(t->headers, ("Content-Type: " + contentType).c_str());
    t->headers = curl_slist_append(t->headers, "Expect:");  // no 100-continue round trip
    SetTransferOptions(handles_->easy, endpoint_, &t->state, total, t->headers, t->errorText, stallMs_);
}

void CSoapChannel::_Pump(Transfer* t) {
    CURL* easy = handles_->easy;
    CURLM* multi = handles_->multi;
    // The transfer runs in this thread under a multi handle, so the wait sleeps in poll until
    // data moves, the deadline passes, or a cancel wakes it.
    curl_multi_add_handle(multi, easy);
    {
        std::lock_guard<std::mutex> lock(cancel_->mu_);
        cancel_->multi_ = multi;
        cancel_->cancelled_ = false;
    }
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::milliseconds(deadlineMs_);
    while (!t->done) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(multi, &running);
        if (mc != CURLM_OK) {
            t->code = CURLE_FAILED_INIT;
            std::snprintf(t->errorText, sizeof t->errorText, "%s", curl_multi_strerror(mc));
            break;
        }
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
                t->code = msg->data.result;
                t->done = true;
            }
        }
        if (t->done)
            break;
        {
            std::lock_guard<std::mutex> lock(cancel_->mu_);
            if (cancel_->cancelled_) {
                t->result = SendResult::kCancelled;
                break;
            }
        }
        if (abort_ && abort_()) {
            t->result = SendResult::kCancelled;
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            t->result = SendResult::kTimeout;
            break;
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        const long long slice = abort_ ? kAbortPollMs : 1000;
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::min<long long>(wait, slice)), nullptr);
    }
    {
        std::lock_guard<std::mutex> lock(cancel_->mu_);
        cancel_->multi_ = nullptr;
        cancel_->cancelled_ = false;
    }
}

CSoapChannel::SendResult CSoapChannel::_Collect(Transfer* t, CSoapReply* reply) {
    CURL* easy = handles_->easy;
    long status = 0;
    char* type = nullptr;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
    std::string replyType = type ? type : "";
    // Removing an unfinished transfer closes its connection: an abandoned reply is never read.
    curl_multi_remove_handle(handles_->multi, easy);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    curl_slist_free_all(t->headers);
    t->headers = nullptr;

    if (t->result == SendResult::kTimeout) {
        lastErrorCode_ = CURLE_OPERATION_TIMEDOUT;
        lastErrorMessage_ = "no reply within " + std::to_string(deadlineMs_) + " ms";
        return t->result;
    }
    if (t->result == SendResult::kCancelled) {
        lastErrorCode_ = CURLE_ABORTED_BY_CALLBACK;
        lastErrorMessage_ = "the call was cancelled";
        return t->result;
    }
    if (!t->done || t->code != CURLE_OK) {
        lastErrorCode_ = t->done ? static_cast<int>(t->code) : static_cast<int>(CURLE_FAILED_INIT);
        if (t->state.tooLarge)
            lastErrorMessage_ = "reply larger than " + std::to_string(t->state.maxBody) + " bytes";
        else
            lastErrorMessage_ = t->errorText[0] ? t->errorText : curl_easy_strerror(t->code);
        return SendResult::kNoReply;
    }
    std::string error;
    if (!reply->Parse(std::move(replyType), std::move(t->state.body), status, &error)) {
        lastErrorCode_ = static_cast<int>(status);
        lastErrorMessage_ = "HTTP status " + std::to_string(status) + ", " + error;
        return SendResult::kNoReply;
    }
    return SendResult::kReply;
}

CSoapChannel::SendResult CSoapChannel::Send(CSoapRequest& request, CSoapReply* reply) {
    return _Transfer(request, reply);
}

CSoapChannel::Result CSoapChannel::Call(CSoapRequest& request, const char* tag, const char* timeoutMessage,
                                        std::string* ack, CSoapReply* reply, pugi::xml_node* body) {
    if (body)
        *body = pugi::xml_node();
    if (profile_.logXml && InfoLogged())
        LogBulk(tag, "request:", redact::Items(soap::NodeToString(request.operation_)),
                ElementCount(request.operation_), "elements");
    switch (_Transfer(request, reply)) {
        case SendResult::kReply:
            break;
        case SendResult::kTimeout:
            LogText(kLogError, tag, timeoutMessage);
            return Result::kFailed;
        case SendResult::kCancelled:
        case SendResult::kNoReply:
            Log(kLogWarn, tag, "No usable reply from %s: %s", endpoint_.c_str(), lastErrorMessage_.c_str());
            return Result::kFailed;
    }
    pugi::xml_node payload = reply->Payload();
    if (!payload) {
        Log(kLogWarn, tag, "Reply without a body element from %s", endpoint_.c_str());
        return Result::kFailed;
    }
    if (reply->IsFault())
        Log(kLogWarn, tag, "SOAP fault %s: %s", reply->fault().code.c_str(), reply->fault().reason.c_str());
    std::string local;
    std::string* result = ack ? ack : &local;
    pugi::xml_node bodyNode;
    if (!ParseOmHead(payload, result, &bodyNode)) {
        Log(kLogError, tag, "Fail to parse the responsed head");
        return Result::kFailed;
    }
    if (*result != "OK")
        return Result::kRefused;
    if (body)
        *body = bodyNode;
    return Result::kOk;
}

void CSoapChannel::LogRefusal(const char* tag, const std::string& ack) const {
    Log(kLogInfo, tag, "Get a ack (%s) with reason (%s)", ack.c_str(), reason_.c_str());
}

bool CSoapChannel::PareseOmElementValue(const pugi::xml_node& node, const char* name, std::string* text,
                                        pugi::xml_node* element) {
    std::string tag = _Tag("PareseOmElementValue");
    bool back = profile_.backMessages;
    if (!node) {
        if (back)
            Log(kLogError, tag.c_str(), "Fail to get a element {%s} of node NULL", name);
        else
            Log(kLogError, tag.c_str(), "Fail to get a element");
        return false;
    }
    if (node.type() != pugi::node_element) {
        if (back)
            Log(kLogError, tag.c_str(), "Fail to get a element {%s}", name);
        else
            Log(kLogError, tag.c_str(), "Fail to get a element");
        return false;
    }
    std::string local(soap::LocalName(node.name()));
    if (local != name) {
        if (back)
            Log(kLogError, tag.c_str(), "Mismatched element \"%s\" with \"%s\"", local.c_str(), name);
        else
            Log(kLogError, tag.c_str(), "Mismatched element KEY %s with %s", local.c_str(), name);
        return false;
    }
    if (text)
        *text = node.text().get();
    if (element)
        *element = node;
    return true;
}

bool CSoapChannel::ParseOmHead(const pugi::xml_node& node, std::string* ack, pugi::xml_node* body) {
    std::string tag = _Tag("ParseOmHead");
    if (body)
        *body = pugi::xml_node();
    if (profile_.logXml && node && InfoLogged())
        LogBulk(tag.c_str(), profile_.replyLogWord, ReplyForLog(node), ElementCount(node), "elements");
    if (!PareseOmElementValue(node, "operation", nullptr, nullptr))
        return false;
    pugi::xml_attribute version = node.attribute("version");
    if (std::strcmp(version.value(), kVersion) != 0) {
        Log(kLogError, tag.c_str(), "Mismatched VER %s with %s", version.value(), kVersion);
        return false;
    }
    pugi::xml_node head = node.first_child();
    if (!head) {
        Log(kLogError, tag.c_str(), "Fail to get a node HEAD");
        return false;
    }
    if (head.type() != pugi::node_element || soap::LocalName(head.name()) != "response_head") {
        Log(kLogError, tag.c_str(), "Fail to get a element");
        return false;
    }
    if (profile_.checkSequence) {
        const char* seq = head.attribute("rsp_sequence").value();
        char* end = nullptr;
        long value = std::strtol(seq, &end, 10);
        if (end == seq || *end != '\0' || value != sequence_) {
            Log(kLogError, tag.c_str(), "Mismatched CSEQ %s with %d", seq, sequence_);
            return false;
        }
    }
    std::string result = head.attribute("result").value();
    if (ack)
        *ack = result;
    if (result != "OK") {
        pugi::xml_node reason = head.first_child();
        if (!reason) {
            Log(kLogError, tag.c_str(),
                profile_.backMessages ? "Fail to get a node child" : "Fail to get a element");
            return false;
        }
        if (reason.type() != pugi::node_element || soap::LocalName(reason.name()) != "reason") {
            Log(kLogError, tag.c_str(), "Fail to get a element");
            return false;
        }
        reason_ = reason.text().get();
        if (profile_.keepLastReason)
            lastReason_ = reason_;
        Log(kLogInfo, tag.c_str(), "Return %s for %s", result.c_str(), reason_.c_str());
    } else {
        reason_.clear();
        if (profile_.keepLastReason)
            lastReason_.clear();
    }
    if (body)
        *body = head.next_sibling();
    return true;
}
