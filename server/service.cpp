// CSoapService: request framing, head checks, fault injection and the reply frame.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "service.h"
#include "service_internal.h"
#include "wire.h"

namespace kserver {

namespace {

struct OpInfo {
    const char* name;
    ServiceKind kind;
};

const OpInfo kOps[] = {
    {"obtain_host_id", ServiceKind::Back},
    {"login", ServiceKind::Back},
    {"rename", ServiceKind::Back},
    {"remove", ServiceKind::Back},
    {"download_all_file", ServiceKind::Back},
    {"download_specific_file", ServiceKind::Back},
    {"file_list", ServiceKind::Back},
    {"upload_file", ServiceKind::Back},
    {"chunk_uploaded", ServiceKind::Back},
    {"download_chunk", ServiceKind::Transmitter},
    {"upload_chunk", ServiceKind::Transmitter},
    {"remove_chunk", ServiceKind::Transmitter},
    {"heartbeat", ServiceKind::Heartbeat},
};

bool KnownOp(const std::string& name, ServiceKind kind) {
    for (const OpInfo& op : kOps) {
        if (name == op.name && op.kind == kind)
            return true;
    }
    return false;
}

pugi::xml_node NextElement(pugi::xml_node n) {
    for (n = n.next_sibling(); n && n.type() != pugi::node_element; n = n.next_sibling()) {
    }
    return n;
}

pugi::xml_node FirstElement(const pugi::xml_node& parent) {
    for (pugi::xml_node n = parent.first_child(); n; n = n.next_sibling()) {
        if (n.type() == pugi::node_element)
            return n;
    }
    return pugi::xml_node();
}

}  // namespace

// One request as its frame reads and what is decided about it before the operation runs.
struct CSoapService::Frame {
    std::string opName = "unknown";
    std::string user;
    std::string password;
    int64_t seq = 0;
    pugi::xml_node req;        // the operation's own element
    int reason = kOk;          // a refusal decided before the operation runs
    std::string result;        // set for refusals decided before the operation runs
    bool badSequence = false;  // a fault asks to answer with the wrong sequence number
};

CSoapService::CSoapService(CServerStore& store, CChunkStore& chunks, CFaults& faults)
    : store_(store), chunks_(chunks), faults_(faults) {}

void CSoapService::Handle(ServiceKind kind, std::string_view contentType, const char* body, size_t size,
                          SoapReply* out) {
    *out = SoapReply();
    Context ctx;
    ctx.kind = kind;
    Frame frame;
    mtom::Message message;
    soap::Envelope env;
    std::string error;
    if (!mtom::Parse(contentType, body, size, &message, &error) ||
        !env.Parse(message.root.data(), message.root.size(), &error)) {
        frame.reason = kFormatError;
    } else {
        ctx.version = env.version();
        ctx.message = &message;
        frame.reason = _ReadFrame(env.Payload(), ctx, frame);
        out->user = frame.user;
        if (frame.reason == kOk && _TakeFault(ctx, frame)) {
            out->drop = true;
            out->op = frame.opName;
            out->result = "dropped";
            return;
        }
        if (frame.reason == kOk)
            frame.reason = _CheckAccount(ctx, frame);
    }
    _Answer(ctx, frame, out);
}

// Frame: operation(name, version) > request_head(user_name, password[, passport], req_sequence)
// > host_id, then the operation's own element. The user is kept only from a well-formed head.
int CSoapService::_ReadFrame(pugi::xml_node op, Context& ctx, Frame& frame) {
    pugi::xml_node head = FirstElement(op);
    std::string version, seqText, user, password;
    if (op && soap::LocalName(op.name()) == "operation")
        frame.opName = op.attribute("name").value();
    if (!op || soap::LocalName(op.name()) != "operation" || !KnownOp(frame.opName, ctx.kind) ||
        !wireattr::Get(op, "version", &version) || version != "version01" || !head ||
        std::strcmp(head.name(), "request_head") != 0 || !wireattr::Get(head, "req_sequence", &seqText) ||
        !ParseInt64(seqText, &frame.seq) || frame.seq < INT32_MIN || frame.seq > INT32_MAX ||
        !wireattr::Get(head, "user_name", &user) || !wireattr::Get(head, "password", &password) ||
        (ctx.kind == ServiceKind::Back && !wireattr::Get(head, "passport", &ctx.passport))) {
        if (!KnownOp(frame.opName, ctx.kind))
            frame.opName = "unknown";
        return kFormatError;
    }
    frame.user = user;
    frame.password = password;
    ctx.host = head.child("host_id").text().get();
    frame.req = NextElement(head);
    if (!frame.req || frame.opName != frame.req.name())
        return kFormatError;
    return kOk;
}

// A fault armed for the operation: a refusal, a delay, a stall, a wrong sequence number or
// damaged bytes. True when the connection is to be dropped instead of answered.
bool CSoapService::_TakeFault(Context& ctx, Frame& frame) {
    Fault f;
    if (!faults_.Take(frame.opName, &f))
        return false;
    switch (f.action) {
        case FaultAction::Refuse:
            frame.reason = f.reason;
            break;
        case FaultAction::Delay:
            frame.reason = f.reason;
            frame.result = "delay";
            break;
        case FaultAction::Stall:
            faults_.Stall(f.stallMs > 0 ? f.stallMs : faults_.DefaultStallMs());
            return f.thenDrop;
        case FaultAction::Drop:
            return true;
        case FaultAction::BadSequence:
            frame.badSequence = true;
            break;
        case FaultAction::Corrupt:
            ctx.corrupt = true;
            break;
    }
    return false;
}

// The account, its password digest, the passport (back server) and the host's owner.
int CSoapService::_CheckAccount(Context& ctx, const Frame& frame) {
    int64_t owner = 0;
    if (!store_.FindAccount(frame.user, &ctx.user))
        return kUserNotExist;
    if (ascii::Lowered(frame.password) != ascii::Lowered(ctx.user.pwDigest))
        return kPasswordWrong;
    if (ctx.kind == ServiceKind::Back && !store_.PassportValid(ctx.passport, ctx.user.id))
        return kPassportInvalid;
    if (frame.opName != "obtain_host_id" && !store_.HostAccount(ctx.host, &owner))
        return kHostNotExist;
    if (frame.opName != "obtain_host_id" && owner != ctx.user.id)
        return kHostMismatch;
    return kOk;
}

// Runs the operation unless the request is already refused, and frames the reply: the response
// head (result, echoed sequence, reason) and, on success only, the operation's own reply.
void CSoapService::_Answer(Context& ctx, Frame& frame, SoapReply* out) {
    soap::EnvelopeWriter w(ctx.version);
    pugi::xml_node rop = w.Body().append_child("operation");
    rop.append_attribute("name") = (frame.opName + "_rsp").c_str();
    rop.append_attribute("version") = "version01";
    pugi::xml_node rhead = rop.append_child("response_head");
    int reason = frame.reason;
    std::string result = frame.result;
    if (reason == kOk) {
        try {
            reason = _Dispatch(ctx, frame.req, rop);
        } catch (const std::exception&) {  // e.g. an allocation failure: refuse, never crash
            reason = kDatabaseError;
        }
    }
    if (reason == kOk) {
        result = "OK";
    } else {
        while (rhead.next_sibling())
            rop.remove_child(rhead.next_sibling());
        if (result.empty())
            result = "fail";
        ctx.attachment.reset();
        ctx.package.reset();
    }
    rhead.append_attribute("result") = result.c_str();
    rhead.append_attribute("rsp_sequence") =
        std::to_string(frame.badSequence ? frame.seq + 1 : frame.seq).c_str();
    if (reason != kOk)
        rhead.append_child("reason").text().set(std::to_string(reason).c_str());

    out->op = frame.opName;
    out->result = result;
    out->reason = reason;
    if (ctx.package) {
        ctx.package->SetRoot(w.ToString());
        out->contentType = ctx.package->ContentType();
        out->attachment = ctx.attachment;
        out->package = ctx.package;
    } else {
        out->body = w.ToString();
        out->contentType = soap::ContentType(ctx.version);
    }
}

int CSoapService::_Dispatch(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    const std::string name = req.name();
    if (name == "obtain_host_id")
        return _ObtainHostId(ctx, req, rsp);
    if (name == "login")
        return _Login(ctx, req, rsp);
    if (name == "rename")
        return _Rename(ctx, req, rsp);
    if (name == "remove")
        return _Remove(ctx, req, rsp);
    if (name == "download_all_file")
        return _DownloadAll(ctx, req, rsp);
    if (name == "download_specific_file")
        return _DownloadSpecific(ctx, req, rsp);
    if (name == "file_list")
        return _FileList(ctx, req, rsp);
    if (name == "upload_file")
        return _UploadFile(ctx, req, rsp);
    if (name == "chunk_uploaded")
        return _ChunkUploaded(ctx, req, rsp);
    if (name == "download_chunk")
        return _DownloadChunk(ctx, req, rsp);
    if (name == "upload_chunk")
        return _UploadChunk(ctx, req, rsp);
    if (name == "remove_chunk")
        return _RemoveChunk(ctx, req, rsp);
    if (name == "heartbeat")
        return _Heartbeat(ctx, req, rsp);
    return kFormatError;
}

// A heartbeat that names "wait_ms" may be held until another host changes the tree (at most
// kMaxHeartbeatHoldMs), so a second computer hears of a change at once instead of a cycle later.
int CSoapService::_Heartbeat(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    constexpr int64_t kMaxHeartbeatHoldMs = 20000;
    int64_t holdMs = 0;
    std::string holdText;
    if (req && wireattr::Get(req, "wait_ms", &holdText) && !ParseInt64(holdText, &holdMs))
        return kFormatError;
    holdMs = std::clamp<int64_t>(holdMs, 0, kMaxHeartbeatHoldMs);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(holdMs);
    bool newEvent = false;
    for (;;) {
        const uint64_t seen = store_.ChangeCount();
        if (!store_.Heartbeat(ctx.user.id, ctx.host, &newEvent))
            return kHostNotExist;
        if (newEvent || std::chrono::steady_clock::now() >= until || !store_.WaitForChange(seen, until))
            break;
    }
    rsp.append_child("heartbeat_rsp").append_attribute("new_event") = newEvent ? "yes" : "no";
    return kOk;
}

}  // namespace kserver
