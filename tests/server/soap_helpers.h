// Hand-written SOAP requests for the reference service's tests: the request frame spelled out as
// text, MTOM bodies assembled byte by byte, and a reader of the framed replies.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include <pugixml.hpp>

#include "service.h"
#include "service/mtom.h"
#include "service/soapcodec.h"
#include "store.h"
#include "wire.h"

namespace servertest {

inline std::string Envelope12(const std::string& payload) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<soapenv:Envelope xmlns:soapenv=\"http://www.w3.org/2003/05/soap-envelope\"><soapenv:Body>" +
           payload + "</soapenv:Body></soapenv:Envelope>";
}

inline std::string Envelope11(const std::string& payload) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>" +
           payload + "</soapenv:Body></soapenv:Envelope>";
}

// multipart/related body with the envelope as root and one binary attachment named `cid`.
inline std::string MtomBody(const std::string& envelope, const std::string& bytes, const std::string& cid,
                            std::string* contentType) {
    const std::string b = "MIMEBoundary_test0123";
    *contentType = "multipart/related; boundary=\"" + b +
                   "\"; type=\"application/xop+xml\"; start=\"<root.test@kestrine>\"; "
                   "start-info=\"application/soap+xml\"";
    return "--" + b +
           "\r\nContent-Type: application/xop+xml; charset=UTF-8; type=\"application/soap+xml\"\r\n"
           "Content-Transfer-Encoding: binary\r\nContent-ID: <root.test@kestrine>\r\n\r\n" +
           envelope + "\r\n--" + b +
           "\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\nContent-ID: "
           "<" +
           cid + ">\r\n\r\n" + bytes + "\r\n--" + b + "--\r\n";
}

struct Reply {
    std::string raw;
    std::string contentType;
    bool parsed = false;
    std::string opName;      // the reply operation's name attribute
    std::string result;      // response_head result
    std::string seq;         // response_head rsp_sequence
    std::string reason;      // reason text on refusals
    pugi::xml_node body;     // the operation's body element
    std::string attachment;  // bytes of a download_chunk reply
    std::shared_ptr<soap::Envelope> env;
};

inline Reply ParseReply(const std::string& contentType, const std::string& raw) {
    Reply r;
    r.raw = raw;
    r.contentType = contentType;
    mtom::Message msg;
    std::string error;
    if (!mtom::Parse(contentType, r.raw.data(), r.raw.size(), &msg, &error))
        return r;
    r.env = std::make_shared<soap::Envelope>();
    if (!r.env->Parse(msg.root.data(), msg.root.size(), &error))
        return r;
    pugi::xml_node op = r.env->Payload();
    pugi::xml_node head = op.child("response_head");
    if (std::string(op.name()) != "operation" || !head)
        return r;
    r.parsed = true;
    r.opName = op.attribute("name").value();
    r.result = head.attribute("result").value();
    r.seq = head.attribute("rsp_sequence").value();
    r.reason = head.child("reason").text().get();
    r.body = head.next_sibling();
    pugi::xml_node content = r.body.child("content");
    if (content) {
        std::string_view bytes;
        std::string storage;
        if (mtom::ReadBinary(content, msg, &bytes, &storage, &error))
            r.attachment.assign(bytes);
    }
    return r;
}

// Sends one request body and returns the framed reply.
using Transport =
    std::function<Reply(kserver::ServiceKind, const std::string& contentType, const std::string& body)>;

inline Reply Call(kserver::CSoapService& svc, kserver::ServiceKind kind, const std::string& contentType,
                  const std::string& body) {
    kserver::SoapReply out;
    svc.Handle(kind, contentType, body.data(), body.size(), &out);
    if (out.drop) {
        Reply r;
        r.result = "dropped";
        return r;
    }
    return ParseReply(out.contentType, out.package ? out.package->Flatten() : out.body);
}

// A client's view of one host: the head it sends and the sequence it counts.
struct Client {
    kserver::CSoapService* svc = nullptr;
    Transport send;  // when set, used instead of `svc` (e.g. HTTP to a running service)
    std::string user;
    std::string digest;  // 16 upper-case hex digits
    std::string passport;
    std::string host;
    int seq = 0;

    std::string Frame(const std::string& op, const std::string& body, bool back) {
        std::string head = "<request_head user_name=\"" + user + "\" password=\"" + digest + "\"" +
                           (back ? " passport=\"" + passport + "\"" : std::string()) + " req_sequence=\"" +
                           std::to_string(++seq) + "\"><host_id>" + host + "</host_id></request_head>";
        return "<operation name=\"" + op + "\" version=\"version01\"" + (back ? " src=\"windows\"" : "") +
               ">" + head + body + "</operation>";
    }
    Reply Go(kserver::ServiceKind kind, const std::string& contentType, const std::string& body) {
        return send ? send(kind, contentType, body) : Call(*svc, kind, contentType, body);
    }
    Reply Back(const std::string& op, const std::string& body) {
        return Go(kserver::ServiceKind::Back, soap::ContentType(soap::Version::k12),
                  Envelope12(Frame(op, body, true)));
    }
    Reply Trs(const std::string& op, const std::string& body) {
        return Go(kserver::ServiceKind::Transmitter, soap::ContentType(soap::Version::k12),
                  Envelope12(Frame(op, body, false)));
    }
    // `attributes` go into the heartbeat element as written (e.g. " wait_ms=\"500\"").
    Reply Heartbeat(const std::string& attributes = "") {
        return Go(kserver::ServiceKind::Heartbeat, soap::ContentType(soap::Version::k12),
                  Envelope12(Frame("heartbeat", "<heartbeat" + attributes + "/>", false)));
    }
    // upload_chunk with the bytes as an MTOM attachment.
    Reply UploadChunk(const std::string& md5, const std::string& key, const std::string& bytes,
                      bool delta = false) {
        std::string body = "<upload_chunk MD5=\"" + md5 + "\" storage_key=\"" + key + "\" chunk_size=\"" +
                           std::to_string(bytes.size()) + "\" delta_flag=\"" + (delta ? "yes" : "no") +
                           "\"><content><xop:Include xmlns:xop=\"http://www.w3.org/2004/08/xop/include\" "
                           "href=\"cid:1.chunk%40kestrine\"/></content></upload_chunk>";
        std::string contentType;
        std::string mtomBody =
            MtomBody(Envelope12(Frame("upload_chunk", body, false)), bytes, "1.chunk@kestrine", &contentType);
        return Go(kserver::ServiceKind::Transmitter, contentType, mtomBody);
    }
    Reply DownloadChunk(const std::string& md5, const std::string& key) {
        return Trs("download_chunk", "<download_chunk MD5=\"" + md5 + "\" storage_key=\"" + key + "\"/>");
    }
};

inline std::string Md5(const std::string& s) {
    return kserver::Md5Hex(s.data(), s.size());
}

// One new_chunk element per chunk of `content` (4 MiB pieces).
inline std::string NewChunks(const std::string& content, std::vector<std::string>* pieces = nullptr) {
    std::string xml;
    for (size_t off = 0; off < content.size(); off += static_cast<size_t>(kserver::kChunkSize)) {
        std::string piece = content.substr(off, static_cast<size_t>(kserver::kChunkSize));
        if (pieces)
            pieces->push_back(piece);
        xml += "<new_chunk MD5=\"" + Md5(piece) + "\" chunk_size=\"" + std::to_string(piece.size()) +
               "\" block_num=\"0\"/>";
    }
    return xml;
}

inline std::string UploadFileXml(const std::string& name, const std::string& content, int64_t mtime,
                                 const std::string* previous = nullptr) {
    size_t n = (content.size() + static_cast<size_t>(kserver::kChunkSize) - 1) /
               static_cast<size_t>(kserver::kChunkSize);
    std::string old;
    size_t oldN = 0;
    if (previous) {
        for (size_t off = 0; off < previous->size();
             off += static_cast<size_t>(kserver::kChunkSize), ++oldN) {
            std::string piece = previous->substr(off, static_cast<size_t>(kserver::kChunkSize));
            old +=
                "<old_chunk MD5=\"" + Md5(piece) + "\" chunk_size=\"" + std::to_string(piece.size()) + "\"/>";
        }
    }
    return "<upload_file file_name=\"" + name + "\" dir_flag=\"no\" file_size=\"" +
           std::to_string(content.size()) + "\" modify_time=\"" + std::to_string(mtime) +
           "\" new_chunk_num=\"" + std::to_string(n) + "\" new_file_flag=\"" + (previous ? "no" : "yes") +
           "\" old_chunk_num=\"" + std::to_string(oldN) + "\">" + old + NewChunks(content) + "</upload_file>";
}

inline std::string ChunkListOf(const std::string& content) {
    std::string text;
    for (size_t off = 0; off < content.size(); off += static_cast<size_t>(kserver::kChunkSize)) {
        std::string piece = content.substr(off, static_cast<size_t>(kserver::kChunkSize));
        text += Md5(piece);
        if (piece.size() == static_cast<size_t>(kserver::kChunkSize))
            text += ",";
    }
    return text;
}

}  // namespace servertest
