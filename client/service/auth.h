// CAuth: sign-in at the service's authentication portal over plain HTTP (libcurl). The sign-in
// exchange ("/mirnportal/LoginServlet") yields a passport, the account's root folder and contact
// items; the endpoint exchange ("/mirnportal/GetServersAddrServlet") yields the back, transmitter
// and heartbeat endpoints. The password travels Blowfish-encrypted with the request's time stamp
// as key. The worker owns one CAuth; every text the portal returned is stored here and read back
// through the accessors. Each exchange owns its curl handles only for its duration. Every exchange
// is bounded (connect time-out, stall limit, overall deadline) and polls the owner's abort check,
// so neither a silent portal nor a cancelled sign-in holds the calling thread. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "util/proxyenv.h"

class CAuth {
  public:
    // The encryption buffer: passwords of at most this many bytes are accepted.
    static constexpr size_t kMaxPasswordBytes = 64;
    // The response code after a password that cannot be encrypted was refused without an exchange.
    static constexpr int32_t kRefusedLocally = -1;

    // The bounds of one exchange: no connection within kConnectTimeoutMs, no byte moving for the
    // stall time (whole seconds) or no whole answer within the deadline ends it as unanswered.
    static constexpr int kConnectTimeoutMs = 10000;
    static constexpr int kStallMs = 15000;
    static constexpr int kDeadlineMs = 30000;
    // How often an exchange asks the abort check while it waits.
    static constexpr int kAbortPollMs = 100;

    CAuth() = default;
    CAuth(const CAuth&) = delete;
    CAuth& operator=(const CAuth&) = delete;

    // False (no message) for an empty server. The servlet paths are appended unchanged.
    bool Init(const std::string& server, const std::string& user, const std::string& password);
    void SetProxy(const std::string& kind, const std::string& address, const std::string& user,
                  const std::string& password);
    // The whole sign-in: non-empty arguments replace the stored credentials; on success the
    // passport is copied out and the endpoints are readable. After a failure GetResponseCode()
    // tells "no answer" (0) from a refusal.
    bool Request(std::string* passport, const std::string& user, const std::string& password);

    int32_t GetResponseCode() const { return responseCode_; }
    // Asked on the calling thread while an exchange waits; true ends it (response code 0,
    // WasAborted). Empty: never.
    void SetAbort(std::function<bool()> abort) { abort_ = std::move(abort); }
    bool WasAborted() const { return aborted_; }
    // Tests shorten the bounds against a stalling portal.
    void SetLimits(int deadlineMs, int stallMs) {
        deadlineMs_ = deadlineMs;
        stallMs_ = stallMs;
    }
    // The libcurl result of the last exchange (0: it completed).
    int GetTransferError() const { return transferError_; }
    std::string GetMessage() const { return message_; }
    std::string GetRootFolder() const { return rootFolder_; }
    std::string GetTelephone() const { return telephone_; }
    std::string GetEmail() const { return email_; }
    std::string GetBackServer() const { return backServer_; }
    std::string GetTransmitterServer() const { return transmitterServer_; }
    std::string GetHeartBeatServer() const { return heartBeatServer_; }
    std::string GetPassport() const { return passport_; }
    std::string GetLoginUrl() const { return loginUrl_; }
    std::string GetEndpointUrl() const { return endpointUrl_; }
    void SetDomain(const std::string& domain) { domain_ = domain; }
    std::string GetDomain() const { return domain_; }

    // One whole response as the transfer delivers it (status and header lines, a blank line, the
    // body): each line up to the blank one goes to ParserContent as it would arrive, the body
    // once whole, through the same callbacks an exchange uses.
    void ParseAnswer(const char* data, size_t size);

    // One piece delivered by the transfer (a header line or part of the body): a sign-in body
    // (contains "root_folder") or the endpoint header (contains "back_server"); others ignored.
    void ParserContent(const std::string& piece);

    // The extraction rules, each logging its failure: the value after `name` up to the line end
    // (header-line rule), after "=" up to ";" (equals-item rule), or between double quotes after
    // "name": (quoted-item rule).
    static bool GetHeaderField(const std::string& name, const std::string& text, std::string* value);
    static bool GetFieldItem(const std::string& name, const std::string& text, std::string* value);
    static bool GetFieldItem1(const std::string& name, const std::string& text, std::string* value);

    // The password as it travels: zero-padded to whole 8-byte blocks, Blowfish ECB keyed by the
    // time-stamp text (a key shorter than 4 bytes completed with zero bytes), Base64. False for a
    // password longer than kMaxPasswordBytes.
    static bool EncryptPassword(const std::string& password, const std::string& timeStamp,
                                std::string* base64);

    // The sign-in and endpoint exchanges on their own.
    bool RequestLogin();
    bool RequestServlet();

  private:
    void _SetOptions(void* curl, const std::string& url, bool credentials);
    // Runs one exchange to its end, its deadline or the abort; sets aborted_ and transferError_.
    void _Perform(void* curl);
    // Header lines reach the parser one by one as they arrive; the body of the final response is
    // gathered and parsed once whole, so a body split by the network still yields its items.
    static size_t _OnData(char* data, size_t size, size_t count, void* self);
    static size_t _OnHeader(char* data, size_t size, size_t count, void* self);
    void _StartTransfer();
    void _EndTransfer();

    bool inBody_ = false;
    std::string body_;
    bool bodyTruncated_ = false;

    int32_t responseCode_ = 0;
    std::function<bool()> abort_;
    bool aborted_ = false;
    int transferError_ = 0;
    int deadlineMs_ = kDeadlineMs;
    int stallMs_ = kStallMs;
    std::string message_;
    std::string loginUrl_;
    std::string endpointUrl_;
    std::string user_;
    std::string password_;
    std::string passport_;
    std::string domain_;
    std::string rootFolder_;
    std::string telephone_;
    std::string email_;
    std::string backServer_;
    std::string heartBeatServer_;
    std::string transmitterServer_;
    proxyenv::Options proxy_;
};
