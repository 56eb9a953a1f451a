// CSoapChannel: the SOAP transport that CBack, CTransmitter and CHeartBeat each own (one channel
// per client). It frames requests ("operation" / "request_head" / "host_id" and the operation's
// body element), posts them as SOAP 1.2 (MTOM multipart/related when they carry attachments) over
// one reused libcurl handle, waits for the answer within the channel's deadline without spinning,
// reads SOAP 1.1 or 1.2 replies (plain XML or MTOM, attachments as XOP includes or inline Base64),
// and checks the reply head. What differs between the three services is a SoapChannelProfile.
// The channel owns its curl handles; a request owns its XML tree and borrows its attachment bytes;
// a reply owns the received bytes and every node it hands out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "core/log.h"
#include "service/mtom.h"
#include "service/soapcodec.h"
#include "util/proxyenv.h"

// The per-service differences. Use the three ready profiles below; each names only what differs
// from these defaults.
struct SoapChannelProfile {
    const char* tag = "";            // log tag prefix: "CBack", "CTransmitter", "CHeartBeat"
    const char* logFileName = "";    // "axis2c_bs.log", "axis2c_trs.log", "axis2c_hb.log"
    bool srcAttribute = false;       // operation carries src="windows" (back)
    bool passportAttribute = false;  // request_head carries passport (back)
    bool digestAtInit = false;       // Init stores the password's digest; else plain until SetCredentials
    bool checkSequence = false;      // rsp_sequence must echo req_sequence (transmitter)
    bool backMessages = false;       // back wording of the head and element check messages
    bool keepLastReason = false;     // a refusal's reason is also copied to the last reason (back)
    bool logXml = false;             // "request:" and reply lines (not the heartbeat)
    const char* replyLogWord = "";   // "reponse:" (back), "reqonse:" (transmitter)
    int initFailureSeverity = kLogError;  // "Stub invoke FAILED" is an error, on the transmitter only info
    bool logEndpointAtInit = false;       // "Using endpoint : %s" (heartbeat)
    int deadlineMs = 0;                   // a call that has no complete reply by then fails
    size_t maxReplyBytes = 0;             // a longer reply body is not read; the call fails
};

namespace soapchannel {
// 37 s deadline; listings up to 256 MiB of reply body.
const SoapChannelProfile& BackProfile();
// 361 s deadline; a 4 MiB chunk as attachment or inline Base64 plus the XML: 8 MiB.
const SoapChannelProfile& TransmitterProfile();
// 120 s deadline; the reply is a few hundred bytes: 64 KiB.
const SoapChannelProfile& HeartBeatProfile();

// The first 16 characters of the password bytes' MD5 text, upper-cased.
std::string PasswordDigest(const std::string& password);
}  // namespace soapchannel

// One request: the frame built by CSoapChannel::NewRequest. Fill Body() with the operation's
// attributes and children; Attach() puts bytes in as an MTOM attachment.
class CSoapRequest {
  public:
    CSoapRequest();
    ~CSoapRequest();
    CSoapRequest(const CSoapRequest&) = delete;
    CSoapRequest& operator=(const CSoapRequest&) = delete;

    pugi::xml_node Operation() const { return operation_; }  // the "operation" root
    pugi::xml_node Body() const { return body_; }            // the operation's own element
    int Sequence() const { return sequence_; }               // the req_sequence it carries

    // Makes `element` carry `bytes` as an attachment (<xop:Include href="cid:..."/>); the request
    // then travels as multipart/related. The bytes are borrowed, not copied: they must stay valid
    // until the call that sends this request returns.
    void Attach(pugi::xml_node element, std::string_view bytes);
    bool HasAttachments() const { return package_ != nullptr; }

  private:
    friend class CSoapChannel;
    pugi::xml_document doc_;
    pugi::xml_node operation_;
    pugi::xml_node body_;
    int sequence_ = 0;
    std::unique_ptr<mtom::Package> package_;
};

// One reply as received. Payload() is the first element inside the SOAP Body.
class CSoapReply {
  public:
    CSoapReply();
    ~CSoapReply();
    CSoapReply(const CSoapReply&) = delete;
    CSoapReply& operator=(const CSoapReply&) = delete;

    bool HasEnvelope() const { return hasEnvelope_; }
    pugi::xml_node Payload() const { return envelope_.Payload(); }
    bool IsFault() const { return hasEnvelope_ && envelope_.IsFault(); }
    const soap::Fault& fault() const { return envelope_.fault(); }
    soap::Version version() const { return envelope_.version(); }
    long HttpStatus() const { return httpStatus_; }
    size_t Size() const { return body_.size(); }

    // The bytes `element` carries: an XOP include naming an attachment of this reply (a view
    // into the reply) or inline Base64 (decoded into *storage). False with *error otherwise.
    bool ReadBinary(const pugi::xml_node& element, std::string_view* bytes, std::string* storage,
                    std::string* error) const;

    // Reads raw HTTP reply parts as received; false with *error when there is no usable envelope
    // (not MTOM-parsable, not XML, not SOAP). Used by the channel and by tests with canned bytes.
    bool Parse(std::string contentType, std::string body, long httpStatus, std::string* error);

  private:
    std::string contentType_;
    std::string body_;
    long httpStatus_ = 0;
    mtom::Message message_;
    soap::Envelope envelope_;
    bool hasEnvelope_ = false;
};

// The cancel side of a channel, shared with whoever may stop it from another thread.
class CSoapCancel {
  public:
    // Ends the call in flight, if any; does nothing between calls.
    void Cancel();

  private:
    friend class CSoapChannel;
    std::mutex mu_;
    void* multi_ = nullptr;  // the curl multi handle while a call is in flight
    bool cancelled_ = false;
};

class CSoapChannel {
  public:
    // How a call ended (Call).
    enum class Result {
        kOk,       // head "OK": *body is the node after response_head (may be empty)
        kRefused,  // head read, result not "OK": *ack holds it, GetReason() the reason
        kFailed,   // time-out, no usable reply, or head check failed (already logged)
    };
    // How a send ended (Send).
    enum class SendResult { kReply, kTimeout, kNoReply, kCancelled };

    explicit CSoapChannel(const SoapChannelProfile& profile);
    ~CSoapChannel();
    CSoapChannel(const CSoapChannel&) = delete;
    CSoapChannel& operator=(const CSoapChannel&) = delete;

    // Stored for the next Init.
    void SetProxy(const std::string& kind, const std::string& address, const std::string& user,
                  const std::string& password);
    // Fails (no message) for an empty endpoint. Stores the texts (the password as its digest when
    // the profile says so), sets the sequence to 0, works out the repository path and the log
    // file, creates the transfer handles (InitAxis2c) and applies the proxy.
    bool Init(const std::string& endpoint, const std::string& user, const std::string& password,
              const std::string& hostId, const std::string& installFolder);
    bool InitAxis2c();
    // Releases the handles (and with them the kept connection); sequence 0. Init must run again.
    void Reset();
    bool IsInitialised() const;

    // Back channel: user, the password's digest and the passport for the following requests.
    void SetCredentials(const std::string& user, const std::string& password, const std::string& passport);
    void SetHostID(const std::string& hostId) { hostId_ = hostId; }

    // A fresh request for operation `name` (the body element has the same name): the sequence is
    // incremented and carried in request_head.
    std::unique_ptr<CSoapRequest> NewRequest(const char* name);

    // The back and transmitter call: logs "request:", sends, waits within the deadline (on
    // time-out logs `timeoutMessage` at error level under `tag`), checks the reply head
    // ("Fail to parse the responsed head" under `tag` when it fails). `ack` is written only once
    // a head was read. The caller logs its own refusal line (LogRefusal gives the usual one).
    Result Call(CSoapRequest& request, const char* tag, const char* timeoutMessage, std::string* ack,
                CSoapReply* reply, pugi::xml_node* body);
    // "Get a ack (%s) with reason (%s)" at info level under `tag`.
    void LogRefusal(const char* tag, const std::string& ack) const;

    // The heartbeat's blocking call: sends and reads the reply, no XML logged. kReply means *reply
    // holds an envelope (possibly a fault); otherwise LastErrorCode/LastErrorMessage say why.
    SendResult Send(CSoapRequest& request, CSoapReply* reply);

    // Reply checks (messages under "<tag>::ParseOmHead" / "<tag>::PareseOmElementValue").
    bool ParseOmHead(const pugi::xml_node& node, std::string* ack, pugi::xml_node* body);
    bool PareseOmElementValue(const pugi::xml_node& node, const char* name, std::string* text,
                              pugi::xml_node* element);

    const std::string& GetReason() const { return reason_; }
    void ClearReason() { reason_.clear(); }
    const std::string& GetLastReason() const { return lastReason_; }

    // Ends the call in flight, if any, promptly (from any thread); a call that starts afterwards
    // runs normally. The token may outlive the channel, so a stopper can keep its own copy.
    void Cancel();
    std::shared_ptr<CSoapCancel> GetCancelToken() const { return cancel_; }

    // Tests use short deadlines against a stalling service.
    void SetDeadlineMs(int ms) { deadlineMs_ = ms; }
    int DeadlineMs() const { return deadlineMs_; }
    // No connection within kConnectTimeoutMs, or no byte moving either way for StallMs() (whole
    // seconds, at least one), fails the call before its deadline: a stalled chunk transfer must
    // not hold the worker for the transmitter's six minutes.
    static constexpr int kConnectTimeoutMs = 15000;
    static constexpr int kStallMs = 60000;
    void SetStallMs(int ms) { stallMs_ = ms; }
    int StallMs() const { return stallMs_; }
    // Polled on the calling thread (every kAbortPollMs) while a call waits; a true answer ends it
    // as cancelled. The owner sets it around steps a user may interrupt (the sign-in); empty: none.
    static constexpr int kAbortPollMs = 100;
    void SetAbort(std::function<bool()> abort) { abort_ = std::move(abort); }
    // The last call got no answer at all (time-out, no connection, the connection dropped or a
    // gateway error): the service may answer later. False after a reply, a refusal or a cancel.
    bool LastCallUnanswered() const { return unanswered_; }

    int Sequence() const { return sequence_; }
    int LastErrorCode() const { return lastErrorCode_; }
    const std::string& LastErrorMessage() const { return lastErrorMessage_; }
    const SoapChannelProfile& Profile() const { return profile_; }
    const std::string& Endpoint() const { return endpoint_; }
    const std::string& UserName() const { return user_; }
    const std::string& Password() const { return password_; }  // the digest once made
    const std::string& Passport() const { return passport_; }
    const std::string& HostID() const { return hostId_; }
    const std::string& RepositoryPath() const { return repositoryPath_; }
    const std::string& LogFile() const { return logFile_; }  // kept for reference, never written

  private:
    struct Handles;
    std::string _Tag(const char* method) const;
    SendResult _Transfer(CSoapRequest& request, CSoapReply* reply);  // _Exchange, then unanswered_
    // One call's transfer in three steps: frame the request and set the handle's options, wait
    // within the deadline while curl moves the bytes, then release the handle and read the reply.
    struct Transfer;
    SendResult _Exchange(CSoapRequest& request, CSoapReply* reply);
    void _Prepare(CSoapRequest& request, Transfer* t);
    void _Pump(Transfer* t);
    SendResult _Collect(Transfer* t, CSoapReply* reply);

    const SoapChannelProfile& profile_;
    std::string endpoint_, user_, password_, passport_, hostId_;
    std::string repositoryPath_, logFile_;
    proxyenv::Options proxy_;
    int sequence_ = 0;
    int deadlineMs_;
    int stallMs_ = kStallMs;
    std::function<bool()> abort_;
    bool unanswered_ = false;
    std::string reason_, lastReason_;
    int lastErrorCode_ = 0;
    std::string lastErrorMessage_;
    std::unique_ptr<Handles> handles_;
    std::shared_ptr<CSoapCancel> cancel_;
};
