#include "support/hostsession.h"

#include "service/auth.h"

namespace testsupport {

bool HostSession::Open(TestServer& server, const std::string& computerName) {
    CAuth auth;
    if (!auth.Init(server.BaseUrl(), TestServer::kUser, TestServer::kPassword) ||
        !auth.Request(&passport_, "", "")) {
        error_ = "sign-in at the portal failed: " + std::to_string(auth.GetResponseCode());
        return false;
    }
    root_ = auth.GetRootFolder();
    trsUrl_ = auth.GetTransmitterServer();
    hbUrl_ = auth.GetHeartBeatServer();
    if (!back_.Init(auth.GetBackServer(), TestServer::kUser, TestServer::kPassword, "", "")) {
        error_ = "back channel init failed";
        return false;
    }
    back_.SetCredentials(TestServer::kUser, TestServer::kPassword, passport_);
    CSoapReply reply;
    pugi::xml_node body;
    std::string ack;
    auto host = back_.NewRequest("obtain_host_id");
    host->Body().append_attribute("computer_name") = computerName.c_str();
    if (back_.Call(*host, "CTest::GetHostID", "get host id time out!", &ack, &reply, &body) !=
        CSoapChannel::Result::kOk) {
        error_ = "obtain_host_id failed: " + ack;
        return false;
    }
    hostId_ = body.attribute("host_id").value();
    back_.SetHostID(hostId_);
    auto login = back_.NewRequest("login");
    login->Body().append_attribute("account") = TestServer::kUser;
    if (back_.Call(*login, "CTest::Login", "login time out!", &ack, &reply, &body) !=
        CSoapChannel::Result::kOk) {
        error_ = "login failed: " + ack;
        return false;
    }
    return !hostId_.empty();
}

std::string HostSession::_NextOp(CSoapRequest& request, const char* tag, CChunkInfo* next) {
    CSoapReply reply;
    pugi::xml_node body;
    std::string ack;
    if (back_.Call(request, tag, "time out!", &ack, &reply, &body) != CSoapChannel::Result::kOk)
        return std::string();
    pugi::xml_node op = body.child("next_op");
    if (next) {
        next->key = op.child("MD5").text().get();
        next->storageKey = op.child("storage_key").text().get();
    }
    return op.attribute("op").value();
}

std::string HostSession::Offer(const std::string& path, int64_t size, const std::vector<CChunkInfo>& chunks,
                               const std::vector<CChunkInfo>* previous, CChunkInfo* next) {
    auto request = back_.NewRequest("upload_file");
    pugi::xml_node u = request->Body();
    u.append_attribute("file_name") = (root_ + "/" + path).c_str();
    u.append_attribute("dir_flag") = "no";
    u.append_attribute("file_size") = std::to_string(size).c_str();
    u.append_attribute("modify_time") = "130000000000000000";
    u.append_attribute("new_chunk_num") = std::to_string(chunks.size()).c_str();
    u.append_attribute("new_file_flag") = previous ? "no" : "yes";
    u.append_attribute("old_chunk_num") = std::to_string(previous ? previous->size() : 0).c_str();
    if (previous) {
        for (const CChunkInfo& c : *previous) {
            pugi::xml_node o = u.append_child("old_chunk");
            o.append_attribute("MD5") = c.key.c_str();
            o.append_attribute("chunk_size") = std::to_string(c.size).c_str();
        }
    }
    for (const CChunkInfo& c : chunks) {
        pugi::xml_node n = u.append_child("new_chunk");
        n.append_attribute("MD5") = c.key.c_str();
        n.append_attribute("chunk_size") = std::to_string(c.size).c_str();
        n.append_attribute("block_num") = "0";
    }
    return _NextOp(*request, "CTest::Upload", next);
}

std::string HostSession::Done(const std::string& path, const std::vector<CChunkInfo>& chunks,
                              const CChunkInfo& uploaded, CChunkInfo* next) {
    auto request = back_.NewRequest("chunk_uploaded");
    pugi::xml_node d = request->Body();
    d.append_attribute("MD5") = uploaded.key.c_str();
    d.append_attribute("storage_key") = uploaded.storageKey.c_str();
    d.append_attribute("file_name") = (root_ + "/" + path).c_str();
    std::string list;
    // As a chunking client writes it: "key," for every full chunk, "key" for a shorter last one.
    for (const CChunkInfo& c : chunks)
        list += c.key + (c.size == static_cast<int32_t>(CChunkBuffer::kChunkSize) ? "," : "");
    pugi::xml_node l = d.append_child("chunk_list");
    l.append_attribute("chunk_num") = std::to_string(chunks.size()).c_str();
    l.text().set(list.c_str());
    return _NextOp(*request, "CTest::ChunkDone", next);
}

}  // namespace testsupport
