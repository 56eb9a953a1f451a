// CBack: the tree listings (download_all_file, file_list) and their compressed form.
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "core/log.h"
#include "service/back.h"
#include "service/back_internal.h"
#include "util/util.h"

using backwire::DecodeName;
using backwire::EncodeName;
using backwire::IsElement;
using backwire::ReadInt32;
using backwire::ReadInt64;

namespace {

// The start tag of `element` as the serialiser writes it: "<name a=\"...\" compress=\"N\">".
// Only name and attributes matter, so a shallow copy is serialised instead of the whole list.
std::string StartTag(const pugi::xml_node& element) {
    pugi::xml_document shallow;
    pugi::xml_node copy = shallow.append_child(element.name());
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute())
        copy.append_copy(a);
    copy.append_child(pugi::node_pcdata).set_value("-");
    std::string text = soap::NodeToString(copy);
    // Attribute values never hold a raw '"', so the first '">' ends the start tag.
    size_t end = text.find("\">");
    return end == std::string::npos ? std::string() : text.substr(0, end + 2);
}

}  // namespace

bool CBack::_FirstEntry(const pugi::xml_node& rsp, const char* tag, bool wrapped, pugi::xml_document* doc,
                        pugi::xml_node* first) {
    const char* compressText = rsp.attribute("compress").value();
    int64_t length = ReadInt64(compressText);
    if (length < 1) {
        *first = rsp.first_child();
        return true;
    }
    std::string packed = rsp.text().get();
    // Bound the announced length before allocating for it: by an absolute limit, and by what the
    // Base64 text could possibly inflate to.
    int64_t packedBytes = static_cast<int64_t>(packed.size() / 4 + 1) * 3;
    if (length > kMaxListingBytes || length > packedBytes * kMaxInflateRatio) {
        Log(kLogError, tag, "Refuse a compressed list of %s bytes from %zu bytes of Base64", compressText,
            packed.size());
        return false;
    }
    if (wrapped)
        LogBulk(tag, "", soap::NodeToString(rsp), static_cast<size_t>(length), "bytes uncompressed");
    std::string start = StartTag(rsp);
    if (start.empty()) {
        Log(kLogError, tag, "Fail to get the start tag of a compressed list");
        return false;
    }
    std::vector<char> inflated(static_cast<size_t>(length) + 4, '\0');
    if (!CUtil::UnCompress(packed, inflated.data(), inflated.size()))
        return false;  // logged by UnCompress
    std::string joined;
    size_t textLength = std::strlen(inflated.data());
    std::string end = std::string("</") + rsp.name() + ">";
    joined.reserve(start.size() + textLength + end.size());
    joined.append(start).append(inflated.data(), textLength).append(end);
    std::vector<char>().swap(inflated);
    pugi::xml_parse_result parsed =
        doc->load_buffer(joined.data(), joined.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!wrapped) {
        size_t entries = 0;
        for (pugi::xml_node n = parsed ? doc->document_element().first_child() : pugi::xml_node(); n;
             n = n.next_sibling())
            ++entries;
        LogBulk(tag, "", joined, entries, "entries");
    }
    if (!parsed) {
        Log(kLogError, tag, "Fail to parse the uncompressed list: %s at offset %lld", parsed.description(),
            static_cast<long long>(parsed.offset));
        return false;
    }
    *first = doc->document_element().first_child();
    return true;
}

// ---- Entries of either listing

bool CBack::_ReadEntries(pugi::xml_node first, const char* tag, Listing listing,
                         const std::function<void(CFileInfo&&)>& take) {
    for (pugi::xml_node n = first; n; n = n.next_sibling()) {
        if (!IsElement(n, "file")) {
            Log(kLogError, tag, "Fail to get a node");
            return false;
        }
        CFileInfo info;
        info.path = DecodeName(n.attribute("file_name").value());
        if (info.path.empty()) {
            Log(kLogInfo, tag, "file name is NULL!");
            continue;
        }
        info.modifyTime = ReadInt64(n.attribute("modify_time").value());
        const char* dir = n.attribute(listing == Listing::kTree ? "dir" : "dir_flag").value();
        if (std::strcmp(dir, "no") == 0) {
            info.dirFlag = 0;
            if (!(listing == Listing::kTree ? _ReadTreeFile(n, tag, &info) : _ReadListedFile(n, tag, &info)))
                return false;
        } else if (std::strcmp(dir, "yes") == 0) {
            if (!_ReadFolder(n, tag, &info))
                return false;
        } else {
            // Neither file nor folder: guessing either could replace a local entry wrongly.
            Log(kLogError, tag, "Unknown dir flag \"%s\" of {%s}", dir, info.path.c_str());
            return false;
        }
        take(std::move(info));
    }
    return true;
}

bool CBack::_ReadTreeFile(const pugi::xml_node& entry, const char* tag, CFileInfo* info) {
    pugi::xml_node c = entry.first_child();
    if (!c) {
        Log(kLogError, tag, "Fail to get a node FILESIZE");
        return false;
    }
    if (!IsElement(c, "file_size")) {
        Log(kLogError, tag, "Fail to get a element");
        return false;
    }
    info->size = ReadInt64(c.text().get());
    if (info->size < 0) {
        Log(kLogError, tag, "Invalid size %s of file {%s}", c.text().get(), info->path.c_str());
        return false;
    }
    c = c.next_sibling();
    if (!c) {
        Log(kLogError, tag, "Fail to get a node FILECHUNKNUM");
        return false;
    }
    if (!IsElement(c, "chunk_num")) {
        Log(kLogError, tag, "Fail to get a element");
        return false;
    }
    int32_t count = ReadInt32(c.text().get());
    for (int32_t i = 0; i < count; ++i) {
        c = c.next_sibling();
        if (!IsElement(c, "chunk")) {
            Log(kLogError, tag, "Fail to get a element");
            return false;
        }
        if (!_ReadChunk(c, tag, info))
            return false;
    }
    // More chunks than announced: the file would be built short.
    if (IsElement(c.next_sibling(), "chunk")) {
        Log(kLogError, tag, "Mismatched chunk count %d of file {%s}", count, info->path.c_str());
        return false;
    }
    info->JoinChunkList();
    return true;
}

bool CBack::_ReadListedFile(const pugi::xml_node& entry, const char* tag, CFileInfo* info) {
    info->size = ReadInt64(entry.attribute("file_size").value());
    if (info->size < 0) {
        Log(kLogError, tag, "Invalid size %s of file {%s}", entry.attribute("file_size").value(),
            info->path.c_str());
        return false;
    }
    pugi::xml_node list = entry.first_child();
    if (!list) {
        Log(kLogError, tag, "Fail to get a node FILECHUNKNUM");
        return false;
    }
    if (!IsElement(list, "chunk_list")) {
        Log(kLogError, tag, "Fail to get a element CHUNKLIST");
        return false;
    }
    info->chunkListText = list.text().get();
    info->chunkCount = ReadInt32(list.attribute("chunk_num").value());
    // A list that does not split into as many keys as announced describes no file.
    if (!info->SplitChunkList()) {
        Log(kLogError, tag, "Mismatched chunk list (%d chunks) of file {%s}", info->chunkCount,
            info->path.c_str());
        return false;
    }
    return true;
}

// ---- The whole tree

bool CBack::DownloadAll(std::string* ack, std::vector<CFileInfo>* list) {
    const char* tag = "CBack::DownloadAll";
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("download_all_file");
    CSoapReply reply;
    pugi::xml_node body;
    if (!_Call(*request, tag, "download all files time out!", ack, &reply, &body))
        return false;
    // A list that cannot be read to its end is a failed listing, not a smaller tree.
    return ParseOmDownloadAll(body, list);
}

bool CBack::ParseOmDownloadAll(const pugi::xml_node& body, std::vector<CFileInfo>* list) {
    const char* tag = "CBack::ParseOmDownloadAll";
    if (!_BodyElement(body, "download_all_file_rsp", tag, "Fail to get a body node"))
        return false;
    pugi::xml_document inflated;
    pugi::xml_node files;
    if (!_FirstEntry(body, tag, true, &inflated, &files))
        return false;
    if (!files) {
        Log(kLogError, tag, "Fail to get a node child");
        return false;
    }
    if (!IsElement(files, "files")) {
        Log(kLogError, tag, "Fail to get a element");
        return false;
    }
    std::vector<CFileInfo> entries;
    if (!_ReadEntries(files.first_child(), tag, Listing::kTree,
                      [&](CFileInfo&& info) { entries.push_back(std::move(info)); }))
        return false;
    list->swap(entries);
    return true;
}

// ---- A folder's listing

bool CBack::GetList(const std::string& folder, std::string* ack, FileMap* map) {
    const char* tag = "CBack::GetList";
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("file_list");
    pugi::xml_node e = request->Body();
    e.append_attribute("folder_name") = EncodeName(folder).c_str();
    e.append_attribute("recursive") = "yes";
    e.append_attribute("show_delete") = "no";
    CSoapReply reply;
    pugi::xml_node body;
    if (!_Call(*request, tag, "get filelist time out!", ack, &reply, &body))
        return false;
    return ParseOmGetList(body, map);
}

bool CBack::ParseOmGetList(const pugi::xml_node& body, FileMap* map) {
    const char* tag = "CBack::ParseOmGetList";
    if (!_BodyElement(body, "file_list_rsp", tag, "Fail to get a body node"))
        return false;
    pugi::xml_document inflated;
    pugi::xml_node first;
    if (!_FirstEntry(body, tag, false, &inflated, &first))
        return false;
    FileMap entries;
    // The first of two paths that differ only in letter case stays.
    if (!_ReadEntries(first, tag, Listing::kFolder, [&](CFileInfo&& info) {
            std::string key = ListKey(info.path);
            entries.emplace(std::move(key), std::move(info));
        }))
        return false;
    map->swap(entries);
    return true;
}
