// CBack: the channel it owns, the simple operations (host registration, sign-in, rename, remove)
// and the description of one file.
#include "service/back.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/log.h"
#include "service/back_internal.h"
#include "util/ascii.h"
#include "util/util.h"

// ---- Wire helpers

namespace backwire {

int64_t ReadInt64(const char* text) {
    if (text == nullptr || *text == '\0')
        return 0;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 10);  // saturates at the range's ends
    return static_cast<int64_t>(v);
}

int32_t ReadInt32(const char* text) {
    int64_t v = ReadInt64(text);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

std::string Int64Text(int64_t value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
    return buf;
}

std::string DecodeName(const char* text) {
    if (text == nullptr)
        return CUtil::ChnDecode(text);
    size_t len = std::strlen(text);
    if (len <= CUtil::kMaxChnDecodeInput)
        return CUtil::ChnDecode(text);
    // The decoded text is never longer than its input.
    std::vector<char> out(len + 1, '\0');
    if (getGbkFromUnicode(out.data(), text) < 0)
        return std::string();
    return std::string(out.data());
}

std::string EncodeName(const std::string& ansi) {
    return CUtil::XmlEncode(ansi);
}

std::string PlainText(const std::string& ansi) {
    std::string text = ansi;
    CUtil::AnsiToUtf8(text);
    return text;
}

bool IsElement(const pugi::xml_node& node, const char* name) {
    return node && node.type() == pugi::node_element && soap::LocalName(node.name()) == name;
}

}  // namespace backwire

using backwire::DecodeName;
using backwire::EncodeName;
using backwire::IsElement;
using backwire::ReadInt32;
using backwire::ReadInt64;

// ---- The channel

CBack::CBack() : channel_(soapchannel::BackProfile()) {}

CBack::~CBack() = default;

void CBack::SetProxy(const std::string& kind, const std::string& address, const std::string& user,
                     const std::string& password) {
    channel_.SetProxy(kind, address, user, password);
}

bool CBack::Init(const std::string& endpoint, const std::string& user, const std::string& password,
                 const std::string& hostId, const std::string& installFolder) {
    return channel_.Init(endpoint, user, password, hostId, installFolder);
}

bool CBack::InitAxis2c() {
    return channel_.InitAxis2c();
}

void CBack::Reset() {
    channel_.Reset();
}

void CBack::SetCredentials(const std::string& user, const std::string& password,
                           const std::string& passport) {
    channel_.SetCredentials(user, password, passport);
}

void CBack::SetHostID(const std::string& hostId) {
    channel_.SetHostID(hostId);
}

const std::string& CBack::GetReason() const {
    return channel_.GetReason();
}

void CBack::ClearReason() {
    channel_.ClearReason();
}

const std::string& CBack::GetLastReason() const {
    return channel_.GetLastReason();
}

bool CBack::ParseOmHead(const pugi::xml_node& node, std::string* ack, pugi::xml_node* body) {
    return channel_.ParseOmHead(node, ack, body);
}

bool CBack::PareseOmElementValue(const pugi::xml_node& node, const char* name, std::string* text,
                                 pugi::xml_node* element) {
    return channel_.PareseOmElementValue(node, name, text, element);
}

std::string CBack::ListKey(const std::string& path) {
    bool plain = true;
    for (unsigned char c : path)
        plain = plain && c < 0x80;
    // In a double-byte code page a trail byte may look like an ASCII capital: lower only in UTF-8.
    std::string key = path;
    if (!plain)
        CUtil::AnsiToUtf8(key);
    key = ascii::Lowered(key);
    if (!plain)
        CUtil::Utf8ToAnsi(key);
    return key;
}

bool CBack::_Call(CSoapRequest& request, const char* tag, const char* timeoutMessage, std::string* ack,
                  CSoapReply* reply, pugi::xml_node* body, Refusal refusal) {
    std::string local;
    std::string* result = ack ? ack : &local;
    switch (channel_.Call(request, tag, timeoutMessage, result, reply, body)) {
        case CSoapChannel::Result::kOk:
            return true;
        case CSoapChannel::Result::kRefused:
            switch (refusal) {
                case Refusal::kInfo:
                    Log(kLogInfo, tag, "Get a ack (%s) with reason (%s)", result->c_str(),
                        GetReason().c_str());
                    break;
                case Refusal::kUploadInfo:
                    Log(kLogInfo, tag, "get a ack (%s) with reason (%s)", result->c_str(),
                        GetReason().c_str());
                    break;
                case Refusal::kError:
                    Log(kLogError, tag, "Get a ack (%s) with reason (%s)", result->c_str(),
                        GetReason().c_str());
                    break;
            }
            return false;
        case CSoapChannel::Result::kFailed:
            break;
    }
    return false;
}

bool CBack::_BodyElement(const pugi::xml_node& body, const char* name, const char* tag, const char* missing) {
    if (!body) {
        LogText(kLogError, tag, missing);
        return false;
    }
    if (!channel_.PareseOmElementValue(body, name, nullptr, nullptr)) {
        Log(kLogError, tag, "Fail to get a element");
        return false;
    }
    return true;
}

// ---- Host registration and sign-in

bool CBack::GetHostID(const std::string& computerName, std::string* ack) {
    const char* tag = "CBack::GetHostID";
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("obtain_host_id");
    request->Body().append_attribute("computer_name") = backwire::PlainText(computerName).c_str();
    CSoapReply reply;
    pugi::xml_node body;
    std::string local;
    std::string* result = ack ? ack : &local;
    if (!_Call(*request, tag, "get host id time out!", result, &reply, &body))
        return false;
    std::string hostId;
    if (!ParseOmGetHostID(body, &hostId))
        return false;  // the acknowledgement still reads "OK"
    *result = hostId;
    // A registration that names no host would have the next sign-in register again and again.
    if (hostId.empty()) {
        Log(kLogError, tag, "Fail to get a host id from the reply");
        return false;
    }
    return true;
}

bool CBack::ParseOmGetHostID(const pugi::xml_node& body, std::string* hostId) {
    const char* tag = "CBack::ParseOmGetHostID";
    if (!_BodyElement(body, "obtain_host_id_rsp", tag, "Fail to get a node"))
        return false;
    *hostId = body.attribute("host_id").value();
    return true;
}

bool CBack::Login(std::string* ack) {
    const char* tag = "CBack::Login";
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("login");
    request->Body().append_attribute("account") = backwire::PlainText(channel_.UserName()).c_str();
    CSoapReply reply;
    pugi::xml_node body;
    if (!_Call(*request, tag, "login time out!", ack, &reply, &body))
        return false;
    // The head's "OK" decides; the body carries nothing the caller needs.
    ParseOmLogin(body);
    return true;
}

bool CBack::ParseOmLogin(const pugi::xml_node& body) {
    return _BodyElement(body, "login_rsp", "CBack::ParseOmLogin", "Fail to get a node");
}

// ---- Rename and remove

bool CBack::Rename(const std::string& oldPath, const std::string& newPath, std::string* ack) {
    const char* tag = "CBack::Rename";
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("rename");
    pugi::xml_node e = request->Body();
    e.append_attribute("old_file_name") = EncodeName(oldPath).c_str();
    e.append_attribute("new_file_name") = EncodeName(newPath).c_str();
    CSoapReply reply;
    pugi::xml_node body;
    if (!_Call(*request, tag, "rename time out!", ack, &reply, &body))
        return false;
    ParseOmRename(body);
    return true;
}

bool CBack::ParseOmRename(const pugi::xml_node& body) {
    return _BodyElement(body, "rename_rsp", "CBack::ParseOmRename", "Fail to get a node");
}

bool CBack::Remove(const std::string& path, std::string* ack) {
    const char* tag = "CBack::Remove";
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("remove");
    pugi::xml_node e = request->Body();
    e.append_attribute("file_name") = EncodeName(path).c_str();
    e.append_attribute("purge_flag") = "no";
    CSoapReply reply;
    pugi::xml_node body;
    if (!_Call(*request, tag, "remove time out!", ack, &reply, &body))
        return false;
    ParseOmRemove(body);
    return true;
}

bool CBack::ParseOmRemove(const pugi::xml_node& body) {
    return _BodyElement(body, "remove_rsp", "CBack::ParseOmRemove", "Fail to get a node");
}

// ---- One file

bool CBack::Download(const std::string& path, std::string* ack, CFileInfo* info) {
    const char* tag = "CBack::Download";
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("download_specific_file");
    request->Body().append_attribute("file_name") = EncodeName(path).c_str();
    CSoapReply reply;
    pugi::xml_node body;
    if (!_Call(*request, tag, "download time out!", ack, &reply, &body))
        return false;
    // A description that cannot be read completely is no description: the caller would build
    // the file from a partial chunk list.
    return ParseOmDownload(body, info);
}

bool CBack::ParseOmDownload(const pugi::xml_node& body, CFileInfo* info) {
    const char* tag = "CBack::ParseOmDownload";
    if (!_BodyElement(body, "download_specific_file_rsp", tag, "Fail to get a body node"))
        return false;
    CFileInfo record;
    record.dirFlag = 0;
    record.path = DecodeName(body.attribute("file_name").value());
    record.modifyTime = ReadInt64(body.attribute("modify_time").value());
    record.size = ReadInt64(body.attribute("file_size").value());
    record.chunkCount = ReadInt32(body.attribute("chunk_num").value());
    if (record.size < 0) {
        Log(kLogError, tag, "Invalid size %s of file {%s}", body.attribute("file_size").value(),
            record.path.c_str());
        return false;
    }
    for (pugi::xml_node c = body.first_child(); c; c = c.next_sibling()) {
        if (!IsElement(c, "chunk")) {
            Log(kLogError, tag, "Fail to get a element");
            return false;
        }
        if (!_ReadChunk(c, tag, &record))
            return false;
    }
    // The chunk elements count, whatever chunk_num said.
    record.chunkListText.clear();
    record.JoinChunkList();
    *info = std::move(record);
    return true;
}

bool CBack::_ReadChunk(const pugi::xml_node& node, const char* tag, CFileInfo* info) {
    CChunkInfo chunk;
    chunk.key = node.attribute("MD5").value();
    chunk.storageKey = node.attribute("storage_key").value();
    const char* sizeText = node.attribute("chunk_size").value();
    int64_t size = ReadInt64(sizeText);
    // The key names a file of the chunk cache and the size a buffer: neither is taken unchecked.
    if (!CFileInfo::IsChunkKey(chunk.key) || size < 1 || size > CFileInfo::kChunkSize) {
        Log(kLogError, tag, "Invalid chunk {%s} of %s bytes in {%s}", chunk.key.c_str(), sizeText,
            info->path.c_str());
        return false;
    }
    chunk.size = static_cast<int32_t>(size);
    info->chunks.push_back(std::move(chunk));
    return true;
}

bool CBack::_ReadFolder(const pugi::xml_node& node, const char* tag, CFileInfo* info) {
    if (std::strcmp(node.attribute("shared").value(), "yes") != 0) {
        info->dirFlag = 1;
        return true;
    }
    const char* idText = node.attribute("folder_id").value();
    int32_t id = ReadInt32(idText);
    // 0 would turn the folder into a file and 1 into a plain folder: neither is a share's id.
    if (id < 2) {
        Log(kLogError, tag, "Invalid folder id \"%s\" of shared folder {%s}", idText, info->path.c_str());
        return false;
    }
    info->dirFlag = id;
    info->ownerName = node.attribute("owner_name").value();
    return true;
}
