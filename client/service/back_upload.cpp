// CBack: the upload negotiation (upload_file, then chunk_uploaded after every stored chunk).
#include <memory>
#include <string>

#include "core/log.h"
#include "service/back.h"
#include "service/back_internal.h"

using backwire::DecodeName;
using backwire::EncodeName;
using backwire::Int64Text;
using backwire::IsElement;

bool CBack::Upload(const CFileInfo& info, CFileInfo* previous, std::string* ack, CChunkInfo* chunk) {
    const char* tag = "CBack::Upload";
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("upload_file");
    pugi::xml_node e = request->Body();
    e.append_attribute("file_name") = EncodeName(info.path).c_str();
    e.append_attribute("dir_flag") = info.dirFlag != 0 ? "yes" : "no";
    e.append_attribute("file_size") = Int64Text(info.size).c_str();
    e.append_attribute("modify_time") = Int64Text(info.modifyTime).c_str();
    e.append_attribute("new_chunk_num") = std::to_string(info.chunks.size()).c_str();
    if (previous) {
        e.append_attribute("new_file_flag") = "no";
        e.append_attribute("old_chunk_num") = std::to_string(previous->GetChunkCount()).c_str();
        for (const CChunkInfo& c : previous->chunks) {
            pugi::xml_node old = e.append_child("old_chunk");
            old.append_attribute("MD5") = c.key.c_str();
            old.append_attribute("chunk_size") = std::to_string(c.size).c_str();
        }
    } else {
        e.append_attribute("new_file_flag") = "yes";
        e.append_attribute("old_chunk_num") = "0";
    }
    for (const CChunkInfo& c : info.chunks) {
        pugi::xml_node now = e.append_child("new_chunk");
        now.append_attribute("MD5") = c.key.c_str();
        now.append_attribute("chunk_size") = std::to_string(c.size).c_str();
        now.append_attribute("block_num") = "0";
    }

    CSoapReply reply;
    pugi::xml_node body;
    std::string local;
    std::string* result = ack ? ack : &local;
    if (!_Call(*request, tag, "upload time out!", result, &reply, &body, Refusal::kUploadInfo))
        return false;
    std::string name;
    CChunkInfo next;
    // An answer that names no usable next step would leave the caller acting on "OK".
    if (!ParseOmUpload(body, result, &name, &next))
        return false;
    if (name != info.path) {
        Log(kLogInfo, "CBack::ParseOmUpload", "mismached upload file {%s} with {%s}", info.path.c_str(),
            name.c_str());
        return false;
    }
    if (chunk)
        *chunk = std::move(next);
    return true;
}

bool CBack::ParseOmUpload(const pugi::xml_node& body, std::string* op, std::string* fileName,
                          CChunkInfo* chunk) {
    const char* tag = "CBack::ParseOmUpload";
    if (!_BodyElement(body, "upload_file_rsp", tag, "Fail to get a body node"))
        return false;
    return _ReadNextOp(body, tag, false, op, fileName, chunk);
}

bool CBack::ChunkDone(const CFileInfo& info, const CChunkInfo& uploaded, std::string* ack,
                      CChunkInfo* chunk) {
    const char* tag = "CBack::ChunkDone";
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("chunk_uploaded");
    pugi::xml_node e = request->Body();
    e.append_attribute("MD5") = uploaded.key.c_str();
    e.append_attribute("storage_key") = uploaded.storageKey.c_str();
    e.append_attribute("file_name") = EncodeName(info.path).c_str();
    pugi::xml_node list = e.append_child("chunk_list");
    list.append_attribute("chunk_num") = std::to_string(info.chunkCount).c_str();
    list.text().set(info.chunkListText.c_str());

    CSoapReply reply;
    pugi::xml_node body;
    std::string local;
    std::string* result = ack ? ack : &local;
    if (!_Call(*request, tag, "chunk done time out!", result, &reply, &body, Refusal::kError))
        return false;
    std::string name;
    CChunkInfo next;
    if (!ParseOmChunkDone(body, result, &name, &next))
        return false;
    if (name != info.path) {
        Log(kLogInfo, "CBack::ParseOmChunkDone", "Mismached upload file {%s} with {%s}", info.path.c_str(),
            name.c_str());
        return false;
    }
    if (chunk)
        *chunk = std::move(next);
    return true;
}

bool CBack::ParseOmChunkDone(const pugi::xml_node& body, std::string* op, std::string* fileName,
                             CChunkInfo* chunk) {
    const char* tag = "CBack::ParseOmChunkDone";
    if (!_BodyElement(body, "chunk_uploaded_rsp", tag, "Fail to get a body node"))
        return false;
    return _ReadNextOp(body, tag, true, op, fileName, chunk);
}

bool CBack::_ReadNextOp(const pugi::xml_node& body, const char* tag, bool chunkDone, std::string* op,
                        std::string* fileName, CChunkInfo* chunk) {
    std::string name = DecodeName(body.attribute("file_name").value());
    pugi::xml_node next = body.first_child();
    if (chunkDone) {
        if (!channel_.PareseOmElementValue(next, "next_op", nullptr, nullptr))
            return false;
    } else if (!next) {
        Log(kLogError, tag, "Fail to get a body node");
        return false;
    } else if (!IsElement(next, "next_op")) {
        Log(kLogError, tag, "Fail to get a element");
        return false;
    }
    std::string value = next.attribute("op").value();
    *op = value;

    CChunkInfo named;
    if (value == "upload_chunk" || (chunkDone && value == "remove_chunk")) {
        pugi::xml_node md5 = next.first_child();
        if (!md5 && !chunkDone) {
            Log(kLogError, tag, "Fail to get a body node");
            return false;
        }
        if (!IsElement(md5, "MD5")) {
            Log(kLogError, tag, "Fail to get a element");
            return false;
        }
        named.key = md5.text().get();
        pugi::xml_node key = md5.next_sibling();
        if (!key && !chunkDone) {
            Log(kLogError, tag, "Fail to get a body node");
            return false;
        }
        if (!IsElement(key, "storage_key")) {
            Log(kLogError, tag, "Fail to get a element");
            return false;
        }
        named.storageKey = key.text().get();
        // The key picks the chunk to read and send (or drop): it must be a chunk key.
        if (!CFileInfo::IsChunkKey(named.key)) {
            Log(kLogError, tag, "Invalid chunk key {%s} for %s", named.key.c_str(), value.c_str());
            return false;
        }
    } else if (!chunkDone && value != "all_chunk_exist") {
        Log(kLogWarn, tag, "!!!Get ack: %s", value.c_str());
    }
    *fileName = std::move(name);
    *chunk = std::move(named);
    return true;
}
