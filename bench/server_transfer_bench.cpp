// The reference service moving 256 MiB in 4 MiB chunks over loopback, against the same service
// moving the same bytes as one plain HTTP blob, in the same run and with the same HTTP client:
// the overhead of the SOAP/MTOM path (negotiation, MIME parsing, MD5, atomic chunk files).
// Prints "BENCH server_soap_upload_vs_blob_put <ratio> x" and
// "BENCH server_soap_download_vs_blob_get <ratio> x" (SOAP throughput over the blob's; goal >= 0.5)
// and the four throughputs in MB/s.
#include <httplib.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "server.h"
#include "service/mtom.h"
#include "service/soapcodec.h"
#include "wire.h"

namespace {

constexpr size_t kTotal = 256u << 20;
constexpr size_t kChunk = 4194304;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Sends pieces of memory as a request body without joining them.
httplib::Result PostPieces(httplib::Client& c, const std::string& path,
                           const std::vector<std::string_view>& pieces, const std::string& type) {
    size_t total = 0;
    for (std::string_view p : pieces)
        total += p.size();
    return c.Post(
        path.c_str(), total,
        [&](size_t offset, size_t length, httplib::DataSink& sink) {
            size_t pos = 0;
            for (std::string_view p : pieces) {
                if (offset < pos + p.size()) {
                    size_t in = offset - pos;
                    return sink.write(p.data() + in, std::min(p.size() - in, length));
                }
                pos += p.size();
            }
            return false;
        },
        type.c_str());
}

struct Session {
    httplib::Client* http;
    std::string digest, passport, host;
    int seq = 0;

    std::string Frame(const std::string& op, const std::string& body, bool back) {
        return "<operation name=\"" + op +
               "\" version=\"version01\"><request_head user_name=\"bench\" password=\"" + digest + "\"" +
               (back ? " passport=\"" + passport + "\"" : std::string()) + " req_sequence=\"" +
               std::to_string(++seq) + "\"><host_id>" + host + "</host_id></request_head>" + body +
               "</operation>";
    }
    static std::string Envelope(const std::string& payload) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><s:Envelope "
               "xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
               "<s:Body>" +
               payload + "</s:Body></s:Envelope>";
    }
    pugi::xml_node Call(const std::string& service, const std::string& op, const std::string& body, bool back,
                        pugi::xml_document* doc) {
        auto res = http->Post(("/axis2/services/" + service).c_str(), Envelope(Frame(op, body, back)),
                              "application/soap+xml; charset=UTF-8");
        if (!res || !doc->load_string(res->body.c_str()))
            return pugi::xml_node();
        return doc->select_node("//operation/*[2]").node();
    }
};

}  // namespace

int main() {
    char tmpl[] = "/tmp/kestrine-bench-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir)
        return 1;
    kserver::ServerOptions options;
    options.dataDir = dir;
    options.port = 0;
    options.logRequests = false;
    options.requireDigest = false;
    int status = 1;
    {
        kserver::CKestrineServer server(options);
        std::string error;
        if (!server.Start(&error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        kserver::CServerStore& store = server.Store();
        store.AddAccount("bench", "bench-pw", "bench", "", "", &error);
        kserver::Account account;
        store.FindAccount("bench", &account);
        httplib::Client http("127.0.0.1", server.Port());
        http.set_read_timeout(120, 0);
        http.set_write_timeout(120, 0);
        Session s{&http, kserver::PasswordDigest("bench-pw"), store.IssuePassport(account.id),
                  store.CreateHost(account.id, "BENCH")};

        std::string data(kTotal, '\0');
        std::mt19937_64 rng(42);
        for (size_t i = 0; i < data.size(); i += 8) {
            uint64_t v = rng();
            std::memcpy(&data[i], &v, 8);
        }
        std::vector<std::string> md5s;
        std::string chunksXml;
        for (size_t off = 0; off < kTotal; off += kChunk) {
            md5s.push_back(kserver::Md5Hex(data.data() + off, kChunk));
            chunksXml += "<new_chunk MD5=\"" + md5s.back() + "\" chunk_size=\"4194304\" block_num=\"0\"/>";
        }

        // Blob baseline: PUT and GET of the whole file.
        double t0 = Now();
        auto putRes = http.Put(
            "/bench/blob/bench.bin", kTotal,
            [&](size_t offset, size_t length, httplib::DataSink& sink) {
                return sink.write(data.data() + offset, std::min<size_t>(length, kTotal - offset));
            },
            "application/octet-stream");
        double blobPut = Now() - t0;
        // Both downloads land in the same buffer, touched beforehand, through a content receiver
        // (the HTTP client's own body accumulation would dominate the figures).
        std::string back(kTotal, '\0');
        size_t filled = 0;
        t0 = Now();
        auto getRes = http.Get("/bench/blob/bench.bin", [&](const char* d, size_t n) {
            if (filled + n > kTotal)
                return false;
            std::memcpy(&back[filled], d, n);
            filled += n;
            return true;
        });
        double blobGet = Now() - t0;
        if (!putRes || putRes->status != 201 || !getRes || filled != kTotal || back != data) {
            std::fprintf(stderr, "blob baseline failed\n");
        } else {
            // SOAP upload: one negotiation, then upload_chunk and chunk_uploaded per chunk.
            pugi::xml_document doc;
            t0 = Now();
            pugi::xml_node rsp =
                s.Call("mirn_service_bs", "upload_file",
                       "<upload_file file_name=\"bench/big.bin\" dir_flag=\"no\" file_size=\"" +
                           std::to_string(kTotal) +
                           "\" modify_time=\"130000000000000000\" new_chunk_num=\"64\" new_file_flag=\"yes\" "
                           "old_chunk_num=\"0\">" +
                           chunksXml + "</upload_file>",
                       true, &doc);
            std::string listText;
            for (const std::string& m : md5s)
                listText += m + ",";
            std::vector<std::string> keys(md5s.size());
            bool ok = true;
            while (ok && std::string(rsp.child("next_op").attribute("op").value()) == "upload_chunk") {
                std::string md5 = rsp.child("next_op").child("MD5").text().get();
                std::string key = rsp.child("next_op").child("storage_key").text().get();
                size_t index = 0;
                while (index < md5s.size() && md5s[index] != md5)
                    ++index;
                if (index == md5s.size())
                    break;
                keys[index] = key;
                mtom::Package pkg;
                std::string cid = pkg.AddAttachment(std::string_view(data).substr(index * kChunk, kChunk));
                soap::EnvelopeWriter w;
                pugi::xml_document frame;
                frame.load_string(
                    s.Frame("upload_chunk",
                            "<upload_chunk MD5=\"" + md5 + "\" storage_key=\"" + key +
                                "\" chunk_size=\"4194304\" delta_flag=\"no\"><content/></upload_chunk>",
                            false)
                        .c_str());
                mtom::AddXopInclude(frame.select_node("//content").node(), cid);
                w.Body().append_copy(frame.document_element());
                pkg.SetRoot(w.ToString());
                auto res =
                    PostPieces(http, "/axis2/services/mirn_service_trs", pkg.Pieces(), pkg.ContentType());
                ok = res && res->status == 200 && res->body.find("result=\"OK\"") != std::string::npos;
                rsp = s.Call("mirn_service_bs", "chunk_uploaded",
                             "<chunk_uploaded MD5=\"" + md5 + "\" storage_key=\"" + key +
                                 "\" file_name=\"bench/big.bin\"><chunk_list chunk_num=\"64\">" + listText +
                                 "</chunk_list></chunk_uploaded>",
                             true, &doc);
            }
            double soapPut = Now() - t0;
            ok = ok && std::string(rsp.child("next_op").attribute("op").value()) == "all_chunk_exist";

            // SOAP download: download_chunk per chunk, each an MTOM reply.
            std::fill(back.begin(), back.end(), '\0');
            std::string reply(kChunk + 4096, '\0');
            t0 = Now();
            size_t got = 0;
            for (size_t i = 0; ok && i < md5s.size(); ++i) {
                std::string body = Session::Envelope(s.Frame(
                    "download_chunk",
                    "<download_chunk MD5=\"" + md5s[i] + "\" storage_key=\"" + keys[i] + "\"/>", false));
                httplib::Request req;
                req.method = "POST";
                req.path = "/axis2/services/mirn_service_trs";
                req.body = body;
                req.set_header("Content-Type", "application/soap+xml; charset=UTF-8");
                size_t len = 0;
                req.content_receiver = [&](const char* d, size_t n, uint64_t, uint64_t) {
                    if (len + n > reply.size())
                        return false;
                    std::memcpy(&reply[len], d, n);
                    len += n;
                    return true;
                };
                auto res = http.send(req);
                mtom::Message msg;
                ok = res &&
                     mtom::Parse(res->get_header_value("Content-Type"), reply.data(), len, &msg, nullptr) &&
                     msg.attachments.size() == 1;
                if (ok) {
                    std::memcpy(&back[got], msg.attachments[0].bytes.data(), msg.attachments[0].bytes.size());
                    got += msg.attachments[0].bytes.size();
                }
            }
            double soapGet = Now() - t0;
            if (!ok || got != kTotal || back != data) {
                std::fprintf(stderr, "SOAP transfer failed\n");
            } else {
                double mb = static_cast<double>(kTotal) / 1e6;
                std::printf("BENCH server_blob_put %.1f MB/s\n", mb / blobPut);
                std::printf("BENCH server_soap_upload %.1f MB/s\n", mb / soapPut);
                std::printf("BENCH server_soap_upload_vs_blob_put %.3f x\n", blobPut / soapPut);
                std::printf("BENCH server_blob_get %.1f MB/s\n", mb / blobGet);
                std::printf("BENCH server_soap_download %.1f MB/s\n", mb / soapGet);
                std::printf("BENCH server_soap_download_vs_blob_get %.3f x\n", blobGet / soapGet);
                status = 0;
            }
        }
        server.Stop();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
