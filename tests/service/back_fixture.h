// Helpers for the CBack tests: a back client signed in to a fresh reference service (portal
// passport, host registration, back-server sign-in), a chunk stored at the service's transmitter
// so an upload can complete, and canned SOAP replies shaped like our service's or another
// stack's.
#pragma once

#include <cryptopp/blowfish.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "service/back.h"
#include "service/soapchannel.h"
#include "store/fileinfo.h"
#include "support/cannedhttp.h"
#include "support/env.h"
#include "support/logcapture.h"
#include "support/testserver.h"
#include "util/util.h"

namespace backtest {

using testsupport::CannedHttpServer;
using testsupport::TestServer;

using testsupport::PercentEncode;

// A passport from the sign-in servlet of a service started with --no-digest: the password goes
// Blowfish-encrypted (ECB, zero-padded) with the time stamp as key, in Base64.
inline std::string PortalPassport(TestServer& server, const std::string& user, const std::string& password) {
    const std::string stamp = "20260101120000";
    CryptoPP::BlowfishEncryption bf(reinterpret_cast<const CryptoPP::byte*>(stamp.data()), stamp.size());
    std::string buf = password;
    buf.resize((buf.size() + 7) / 8 * 8, '\0');
    for (size_t off = 0; off < buf.size(); off += 8)
        bf.ProcessBlock(reinterpret_cast<CryptoPP::byte*>(&buf[off]));
    std::string target = "/mirnportal/LoginServlet?user_name=" + PercentEncode(user) +
                         "&password=" + PercentEncode(CUtil::Base64EncodeBytes(buf.data(), buf.size())) +
                         "&time_stamp=" + stamp;
    testsupport::HttpResult r = testsupport::HttpExchange(server.Port(), "GET", target);
    std::smatch m;
    if (r.status != 200 || !std::regex_search(r.body, m, std::regex("\"passport\":\"([0-9a-f]+)\"")))
        return std::string();
    return m[1];
}

// Stores `bytes` as the chunk `md5` under `storageKey` at the service's transmitter, as the
// transmitter client will (inline Base64 is one of the forms the service accepts).
inline bool StoreChunk(TestServer& server, const std::string& user, const std::string& password,
                       const std::string& hostId, const std::string& md5, const std::string& storageKey,
                       const std::string& bytes) {
    CSoapChannel trs(soapchannel::TransmitterProfile());
    if (!trs.Init(server.TransmitterUrl(), user, password, hostId, ""))
        return false;
    std::unique_ptr<CSoapRequest> request = trs.NewRequest("upload_chunk");
    pugi::xml_node e = request->Body();
    e.append_attribute("MD5") = md5.c_str();
    e.append_attribute("storage_key") = storageKey.c_str();
    e.append_attribute("chunk_size") = std::to_string(bytes.size()).c_str();
    e.append_child("content").text().set(CUtil::Base64EncodeBytes(bytes.data(), bytes.size()).c_str());
    CSoapReply reply;
    pugi::xml_node body;
    std::string ack;
    return trs.Call(*request, "test::StoreChunk", "store chunk time out!", &ack, &reply, &body) ==
           CSoapChannel::Result::kOk;
}

inline std::string Md5(const std::string& bytes) {
    std::string key;
    CUtil::GetMd5String(bytes.data(), bytes.size(), &key);
    return key;
}

// A file record whose chunks are the given pieces (keys, sizes and the joined list text).
inline CFileInfo FileOf(const std::string& path, const std::vector<std::string>& pieces, int64_t mtime) {
    CFileInfo f(path);
    f.modifyTime = mtime;
    for (const std::string& p : pieces) {
        f.AddChunk(Md5(p), static_cast<int32_t>(p.size()), "", "", 0);
        f.size += static_cast<int64_t>(p.size());
    }
    f.JoinChunkList();
    return f;
}

inline CFileInfo FolderOf(const std::string& path) {
    CFileInfo f(path, 1, 0);
    f.modifyTime = 1;
    return f;
}

// A back client signed in to a fresh reference service as TestServer::kUser.
class BackServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start({"--no-digest"})) << server_.Error();
        passport_ = PortalPassport(server_, TestServer::kUser, TestServer::kPassword);
        ASSERT_FALSE(passport_.empty());
        ASSERT_TRUE(back_.Init(server_.BackUrl(), TestServer::kUser, TestServer::kPassword, "", ""));
        back_.SetCredentials(TestServer::kUser, TestServer::kPassword, passport_);
        std::string ack;
        ASSERT_TRUE(back_.GetHostID("test-host", &ack)) << log_.Text();
        hostId_ = ack;
        back_.SetHostID(hostId_);
        ASSERT_TRUE(back_.Login(&ack)) << log_.Text();
        ASSERT_EQ(ack, "OK");
    }

    // Folder alice/d with 40 small files File0.txt .. File39.txt, for the listing tests.
    void PutFortyFiles() {
        ASSERT_EQ(UploadAll(FolderOf("alice/d"), nullptr, {}), "all_chunk_exist");
        std::vector<std::string> pieces;
        for (int i = 0; i < 40; ++i) {
            pieces.push_back("content of file " + std::to_string(i));
            CFileInfo f = FileOf("alice/d/File" + std::to_string(i) + ".txt", {pieces.back()}, 1000 + i);
            ASSERT_EQ(UploadAll(f, nullptr, pieces), "all_chunk_exist");
        }
    }

    // Drives the upload conversation of `f` to its end, storing every chunk asked for from
    // `pieces` (by key). The last step's acknowledgement ("all_chunk_exist" when committed).
    std::string UploadAll(const CFileInfo& f, CFileInfo* previous, const std::vector<std::string>& pieces) {
        std::string ack;
        CChunkInfo next;
        if (!back_.Upload(f, previous, &ack, &next))
            return "upload failed: " + ack;
        for (int round = 0; ack == "upload_chunk" && round < 100; ++round) {
            const std::string* bytes = nullptr;
            for (const std::string& p : pieces)
                if (Md5(p) == next.key)
                    bytes = &p;
            if (!bytes)
                return "unknown chunk asked for: " + next.key;
            if (!StoreChunk(server_, TestServer::kUser, TestServer::kPassword, hostId_, next.key,
                            next.storageKey, *bytes))
                return "store failed";
            CChunkInfo stored = next;
            if (!back_.ChunkDone(f, stored, &ack, &next))
                return "chunk done failed: " + ack;
        }
        return ack;
    }

    testsupport::FakeHome home_;
    testsupport::LogCapture log_;
    TestServer server_;
    CBack back_;
    std::string passport_;
    std::string hostId_;
};

// ---- Canned replies

// The reply frame of the back server around `body` (XML text of the body element).
inline std::string Frame(const std::string& body, const std::string& result = "OK",
                         const std::string& reason = "", const std::string& version = "version01") {
    std::string head = "<response_head result=\"" + result + "\" rsp_sequence=\"1\">";
    if (!reason.empty())
        head += "<reason>" + reason + "</reason>";
    head += "</response_head>";
    return "<operation version=\"" + version + "\">" + head + body + "</operation>";
}

inline std::string Soap12(const std::string& payload) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><soapenv:Envelope "
           "xmlns:soapenv=\"http://www.w3.org/2003/05/soap-envelope\"><soapenv:Body>" +
           payload + "</soapenv:Body></soapenv:Envelope>";
}

inline std::string Soap11(const std::string& payload) {
    return "<?xml version='1.0' encoding='utf-8'?>\n<SOAP-ENV:Envelope "
           "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">\n  <SOAP-ENV:Header/>\n  "
           "<SOAP-ENV:Body>\n    " +
           payload + "\n  </SOAP-ENV:Body>\n</SOAP-ENV:Envelope>\n";
}

inline std::string Http12(const std::string& payload) {
    return CannedHttpServer::Response(200, "application/soap+xml; charset=UTF-8", Soap12(payload));
}

// A back client pointed at a canned server.
class BackCannedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(canned_.Start());
        ASSERT_TRUE(back_.Init(canned_.Url("/axis2/services/mirn_service_bs"), "alice", "pw", "host-1", ""));
        back_.SetCredentials("alice", "pw", "passport-1");
    }

    // The body element of the recorded request `index` (parsed into *doc).
    pugi::xml_node RequestBody(size_t index, pugi::xml_document* doc) {
        std::vector<CannedHttpServer::Request> all = canned_.Requests();
        if (index >= all.size())
            return pugi::xml_node();
        if (!doc->load_string(all[index].body.c_str()))
            return pugi::xml_node();
        pugi::xml_node env = doc->document_element();
        pugi::xml_node body = soap::ChildByLocalName(env, "Body");
        return body.first_child();  // the "operation" element
    }

    testsupport::FakeHome home_;
    testsupport::LogCapture log_;
    CannedHttpServer canned_;
    CBack back_;
};

}  // namespace backtest
