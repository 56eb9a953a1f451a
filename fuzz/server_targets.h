// Fuzz target body for the reference service's SOAP request handling. An input is a first line
// "<service> <Content-Type>" (service b, t or h) and a body; the tokens @USER@, @DIGEST@,
// @PASSPORT@ and @HOST@ in it are replaced by a signed-in host's values, and two 34-character
// tokens (kAbcKey, kAbcdKey: the length of a storage key, so binary deltas keep their layout) by
// the storage keys of the chunks "abc" and "abcd", so seeds reach the operations behind the head
// check. Every reply must be a well-formed framed SOAP reply.
#pragma once

#include <string>

#include "codec_targets.h"
#include "service.h"
#include "store.h"
#include "wire.h"

namespace fuzztarget {

inline constexpr const char* kAbcKey = "@@SK:abc:storage-key-placeholder@@";
inline constexpr const char* kAbcdKey = "@@SK:abcd:storage-key-placeholdr@@";

struct ServerFixture {
    kserver::CServerStore store;
    kserver::CChunkStore chunks;
    kserver::CFaults faults{0};
    kserver::CSoapService service{store, chunks, faults};
    std::string passport, host, abcKey, abcdKey;

    bool Open(const std::string& dir) {
        std::string error;
        if (!store.Open(dir, &error) || !chunks.Open(dir, &error))
            return false;
        store.AddAccount("fuzz", "fuzz-pw", "fuzz", "", "", &error);
        store.AddAccount("other", "other-pw", "other", "", "", &error);
        kserver::Account a;
        if (!store.FindAccount("fuzz", &a))
            return false;
        passport = store.IssuePassport(a.id);
        host = store.CreateHost(a.id, "FUZZ");
        kserver::ChunkRecord rec;
        if (!store.EnsureChunk(kserver::Md5Hex("abc", 3), 3, a.id, &rec))
            return false;
        abcKey = rec.storageKey;
        if (!store.EnsureChunk(kserver::Md5Hex("abcd", 4), 4, a.id, &rec))
            return false;
        abcdKey = rec.storageKey;
        return !passport.empty() && !host.empty();
    }
};

inline void ReplaceAll(std::string* s, const std::string& from, const std::string& to) {
    for (size_t pos = s->find(from); pos != std::string::npos; pos = s->find(from, pos + to.size()))
        s->replace(pos, from.size(), to);
}

// `result` (optional) receives the reply's result and reason, e.g. "OK" or "fail 9".
inline int ServerRequest(ServerFixture& fx, const uint8_t* data, size_t size, std::string* result = nullptr) {
    std::string header;
    std::string_view rest;
    SplitHeader(data, size, &header, &rest);
    kserver::ServiceKind kind = kserver::ServiceKind::Back;
    std::string type = "application/soap+xml";
    if (!header.empty()) {
        if (header[0] == 't')
            kind = kserver::ServiceKind::Transmitter;
        if (header[0] == 'h')
            kind = kserver::ServiceKind::Heartbeat;
        type = header.size() > 2 ? header.substr(2) : "";
    }
    std::string body(rest);
    ReplaceAll(&body, "@USER@", "fuzz");
    ReplaceAll(&body, "@DIGEST@", kserver::PasswordDigest("fuzz-pw"));
    ReplaceAll(&body, "@PASSPORT@", fx.passport);
    ReplaceAll(&body, "@HOST@", fx.host);
    ReplaceAll(&body, kAbcKey, fx.abcKey);
    ReplaceAll(&body, kAbcdKey, fx.abcdKey);
    kserver::SoapReply reply;
    fx.service.Handle(kind, type, body.data(), body.size(), &reply);
    if (result)
        *result = reply.result + (reply.reason ? " " + std::to_string(reply.reason) : std::string());
    if (reply.drop)
        return 0;
    std::string out = reply.package ? reply.package->Flatten() : reply.body;
    mtom::Message msg;
    std::string error;
    Check(mtom::Parse(reply.contentType, out.data(), out.size(), &msg, &error));
    soap::Envelope env;
    Check(env.Parse(msg.root.data(), msg.root.size(), &error));
    pugi::xml_node op = env.Payload();
    Check(std::string(op.name()) == "operation" &&
          std::string(op.attribute("version").value()) == "version01");
    pugi::xml_node head = op.first_child();
    Check(std::string(head.name()) == "response_head");
    std::string ack = head.attribute("result").value();
    Check(ack == "OK" || !std::string(head.child("reason").text().get()).empty());
    return 0;
}

}  // namespace fuzztarget
