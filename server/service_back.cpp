// CSoapService: the back server's operations (hosts, sign-in, tree listings, renames, removals,
// upload negotiation).
#include <zlib.h>

#include "service.h"
#include "service_internal.h"
#include "util/base64.h"
#include "wire.h"

namespace kserver {

namespace {

using wireattr::Get;
using wireattr::YesNo;

std::string Num(int64_t v) {
    return std::to_string(v);
}

void SetAttr(pugi::xml_node n, const char* name, const std::string& value) {
    n.append_attribute(name) = value.c_str();
}

void AppendChunkElements(pugi::xml_node parent, const std::vector<ChunkRef>& chunks) {
    for (const ChunkRef& c : chunks) {
        pugi::xml_node e = parent.append_child("chunk");
        SetAttr(e, "MD5", c.md5);
        SetAttr(e, "storage_key", c.storageKey);
        SetAttr(e, "chunk_size", Num(c.size));
    }
}

void AppendFolderAttrs(pugi::xml_node e, const Listed& l) {
    SetAttr(e, "shared", l.folderId ? "yes" : "no");
    if (l.folderId) {
        SetAttr(e, "folder_id", Num(l.folderId));
        SetAttr(e, "owner_name", l.owner);
    }
}

// file_list entry: attributes, and a chunk_list child for a file.
void AppendListEntry(pugi::xml_node parent, const Listed& l) {
    pugi::xml_node e = parent.append_child("file");
    SetAttr(e, "file_name", EncodeWireName(l.path));
    SetAttr(e, "modify_time", Num(l.mtime));
    SetAttr(e, "dir_flag", l.dir ? "yes" : "no");
    if (l.dir) {
        AppendFolderAttrs(e, l);
        return;
    }
    SetAttr(e, "file_size", Num(l.size));
    pugi::xml_node list = e.append_child("chunk_list");
    SetAttr(list, "chunk_num", Num(static_cast<int64_t>(l.chunks.size())));
    list.text().set(ChunkListText(l.chunks).c_str());
}

// download_all_file entry: file_size, chunk_num and the chunks as child elements of a file.
void AppendAllEntry(pugi::xml_node parent, const Listed& l) {
    pugi::xml_node e = parent.append_child("file");
    SetAttr(e, "file_name", EncodeWireName(l.path));
    SetAttr(e, "modify_time", Num(l.mtime));
    SetAttr(e, "dir", l.dir ? "yes" : "no");
    if (l.dir) {
        AppendFolderAttrs(e, l);
        return;
    }
    e.append_child("file_size").text().set(Num(l.size).c_str());
    e.append_child("chunk_num").text().set(Num(static_cast<int64_t>(l.chunks.size())).c_str());
    AppendChunkElements(e, l.chunks);
}

bool Compress(const std::string& text, std::string* out) {
    uLongf len = compressBound(static_cast<uLong>(text.size()));
    std::string buf(len, '\0');
    if (compress2(reinterpret_cast<Bytef*>(buf.data()), &len, reinterpret_cast<const Bytef*>(text.data()),
                  static_cast<uLong>(text.size()), Z_DEFAULT_COMPRESSION) != Z_OK)
        return false;
    *out = base64::Encode(buf.data(), len);
    return true;
}

void AppendNextOp(pugi::xml_node rsp, const NextOp& next) {
    pugi::xml_node op = rsp.append_child("next_op");
    SetAttr(op, "op", next.op);
    if (!next.storageKey.empty()) {
        op.append_child("MD5").text().set(next.md5.c_str());
        op.append_child("storage_key").text().set(next.storageKey.c_str());
    }
}

// MD5 and chunk_size of an old_chunk / new_chunk element.
bool ReadOfferedChunk(const pugi::xml_node& n, ChunkRef* out) {
    std::string size;
    if (!Get(n, "MD5", &out->md5) || !IsMd5Hex(out->md5) || !Get(n, "chunk_size", &size) ||
        !ParseInt64(size, &out->size) || out->size < 1 || out->size > kChunkSize)
        return false;
    std::string blocks;
    int64_t b;
    if (Get(n, "block_num", &blocks) && (!ParseInt64(blocks, &b) || b < 0))
        return false;
    return true;
}

}  // namespace

void CSoapService::_PutEntries(pugi::xml_node rsp, const pugi::xml_node& entries, bool wrapped) {
    std::string text;
    if (wrapped) {
        text = soap::NodeToString(entries);
    } else {
        for (pugi::xml_node c = entries.first_child(); c; c = c.next_sibling())
            text += soap::NodeToString(c);
    }
    int64_t threshold = compressThreshold_;
    std::string packed;
    if (threshold >= 0 && static_cast<int64_t>(text.size()) > threshold && Compress(text, &packed)) {
        // compress is the element's only (so last) attribute: the client cuts the start tag at '">'.
        SetAttr(rsp, "compress", Num(static_cast<int64_t>(text.size())));
        rsp.text().set(packed.c_str());
        return;
    }
    SetAttr(rsp, "compress", "0");
    if (wrapped) {
        rsp.append_copy(entries);
    } else {
        for (pugi::xml_node c = entries.first_child(); c; c = c.next_sibling())
            rsp.append_copy(c);
    }
}

int CSoapService::_ObtainHostId(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    std::string computer;
    if (!Get(req, "computer_name", &computer) || computer.size() > kMaxNameBytes || !ValidUtf8(computer))
        return kFormatError;
    std::string id = store_.CreateHost(ctx.user.id, computer);
    if (id.empty())
        return kDatabaseError;
    SetAttr(rsp.append_child("obtain_host_id_rsp"), "host_id", id);
    return kOk;
}

int CSoapService::_Login(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    std::string account;
    if (!Get(req, "account", &account) || ascii::Lowered(account) != ascii::Lowered(ctx.user.name))
        return kFormatError;
    store_.BindPassport(ctx.passport, ctx.host);
    rsp.append_child("login_rsp");
    return kOk;
}

int CSoapService::_Rename(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    std::string from, to;
    if (!Get(req, "old_file_name", &from) || !Get(req, "new_file_name", &to))
        return kFormatError;
    from = DecodeRequestName(from);
    to = DecodeRequestName(to);
    int r = store_.Rename(ctx.user, from, to, ctx.host);
    if (r != kOk)
        return r;
    pugi::xml_node e = rsp.append_child("rename_rsp");
    SetAttr(e, "old_file_name", EncodeWireName(from));
    SetAttr(e, "new_file_name", EncodeWireName(to));
    return kOk;
}

int CSoapService::_Remove(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    std::string name, purge;
    bool purgeFlag = false;
    if (!Get(req, "file_name", &name))
        return kFormatError;
    if (Get(req, "purge_flag", &purge) && !YesNo(purge, &purgeFlag))
        return kFormatError;
    name = DecodeRequestName(name);
    int r = store_.Remove(ctx.user, name, ctx.host);
    if (r != kOk)
        return r;
    SetAttr(rsp.append_child("remove_rsp"), "file_name", EncodeWireName(name));
    return kOk;
}

int CSoapService::_DownloadAll(Context& ctx, pugi::xml_node, pugi::xml_node rsp) {
    std::vector<Listed> all;
    int r = store_.Listing(ctx.user, false, &all);
    if (r != kOk)
        return r;
    pugi::xml_document tmp;
    pugi::xml_node files = tmp.append_child("files");
    for (const Listed& l : all)
        AppendAllEntry(files, l);
    _PutEntries(rsp.append_child("download_all_file_rsp"), files, true);
    return kOk;
}

int CSoapService::_DownloadSpecific(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    std::string name;
    if (!Get(req, "file_name", &name))
        return kFormatError;
    name = DecodeRequestName(name);
    Listed l;
    int r = store_.Describe(ctx.user, name, &l);
    if (r != kOk)
        return r;
    pugi::xml_node e = rsp.append_child("download_specific_file_rsp");
    SetAttr(e, "file_name", EncodeWireName(name));
    SetAttr(e, "modify_time", Num(l.mtime));
    SetAttr(e, "file_size", Num(l.size));
    SetAttr(e, "chunk_num", Num(static_cast<int64_t>(l.chunks.size())));
    AppendChunkElements(e, l.chunks);
    return kOk;
}

int CSoapService::_FileList(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    std::string folder, recursive, showDelete;
    bool rec = true, del = false;
    if (!Get(req, "folder_name", &folder))
        return kFormatError;
    if (Get(req, "recursive", &recursive) && !YesNo(recursive, &rec))
        return kFormatError;
    if (Get(req, "show_delete", &showDelete) && !YesNo(showDelete, &del))
        return kFormatError;
    folder = DecodeRequestName(folder);
    std::vector<Listed> entries;
    int r = store_.FileList(ctx.user, folder, rec, &entries);
    if (r != kOk)
        return r;
    pugi::xml_document tmp;
    pugi::xml_node holder = tmp.append_child("entries");
    for (const Listed& l : entries)
        AppendListEntry(holder, l);
    _PutEntries(rsp.append_child("file_list_rsp"), holder, false);
    return kOk;
}

int CSoapService::_UploadFile(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    UploadOffer offer;
    std::string name, dirFlag, size, mtime, newNum, newFlag, oldNum;
    int64_t newCount = 0, oldCount = 0;
    if (!Get(req, "file_name", &name) || !Get(req, "dir_flag", &dirFlag) || !YesNo(dirFlag, &offer.dir) ||
        !Get(req, "file_size", &size) || !ParseInt64(size, &offer.size) || offer.size < 0 ||
        !Get(req, "modify_time", &mtime) || !ParseInt64(mtime, &offer.mtime) ||
        !Get(req, "new_chunk_num", &newNum) || !ParseInt64(newNum, &newCount) ||
        !Get(req, "new_file_flag", &newFlag) || !YesNo(newFlag, &offer.newFile) ||
        !Get(req, "old_chunk_num", &oldNum) || !ParseInt64(oldNum, &oldCount))
        return kFormatError;
    if (newCount < 0 || newCount > kMaxChunksPerFile || oldCount < 0 || oldCount > kMaxChunksPerFile)
        return kFormatError;
    offer.path = DecodeRequestName(name);
    int64_t total = 0;
    for (pugi::xml_node c = req.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element)
            continue;
        std::string_view tag = c.name();
        if (tag != "old_chunk" && tag != "new_chunk")
            continue;
        ChunkRef chunk;
        if (!ReadOfferedChunk(c, &chunk))
            return kFormatError;
        if (tag == "old_chunk") {
            if (static_cast<int64_t>(offer.oldChunks.size()) >= oldCount)
                return kFormatError;
            offer.oldChunks.push_back(std::move(chunk));
        } else {
            if (static_cast<int64_t>(offer.newChunks.size()) >= newCount)
                return kFormatError;
            total += chunk.size;
            offer.newChunks.push_back(std::move(chunk));
        }
    }
    if (static_cast<int64_t>(offer.newChunks.size()) != newCount ||
        static_cast<int64_t>(offer.oldChunks.size()) != oldCount || total != offer.size)
        return kFormatError;
    if (offer.newFile && oldCount != 0)
        return kFormatError;
    if (offer.dir && (newCount != 0 || offer.size != 0))
        return kFormatError;
    NextOp next;
    int r = store_.BeginUpload(ctx.user, ctx.host, offer, &next);
    if (r != kOk)
        return r;
    pugi::xml_node e = rsp.append_child("upload_file_rsp");
    SetAttr(e, "file_name", EncodeWireName(offer.path));
    AppendNextOp(e, next);
    return kOk;
}

int CSoapService::_ChunkUploaded(Context& ctx, pugi::xml_node req, pugi::xml_node rsp) {
    std::string md5, key, name, numText;
    int64_t num = 0;
    pugi::xml_node list = req.child("chunk_list");
    if (!Get(req, "MD5", &md5) || !IsMd5Hex(md5) || !Get(req, "storage_key", &key) ||
        !CChunkStore::ValidStorageKey(key) || !Get(req, "file_name", &name) || !list ||
        !Get(list, "chunk_num", &numText) || !ParseInt64(numText, &num))
        return kFormatError;
    std::string text = list.text().get();
    int64_t keys = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        if (comma > pos) {
            if (!IsMd5Hex(std::string_view(text).substr(pos, comma - pos)))
                return kFormatError;
            ++keys;
        }
        pos = comma + 1;
    }
    if (keys != num)
        return kFormatError;
    name = DecodeRequestName(name);
    NextOp next;
    int r = store_.ChunkUploaded(ctx.user, ctx.host, name, md5, key, text, &next);
    if (r != kOk)
        return r;
    pugi::xml_node e = rsp.append_child("chunk_uploaded_rsp");
    SetAttr(e, "file_name", EncodeWireName(name));
    AppendNextOp(e, next);
    return kOk;
}

}  // namespace kserver
