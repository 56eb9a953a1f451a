// CBack: the client of the back server ("mirn_service_bs"), the service that keeps the user's file
// tree. It registers this computer, signs the host in, lists the tree, describes single files,
// renames and removes entries, and negotiates every upload (which chunks the transmitter must
// send). Each operation is one call over the back channel, which CBack owns; the worker thread
// is its only user. Records handed out (lists, maps, chunk records) are the caller's; on a failed
// call the caller's list, map or record is left as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "service/soapchannel.h"
#include "store/fileinfo.h"

class CBack {
  public:
    // Lower-cased server path -> record, as a folder listing gives it.
    using FileMap = std::map<std::string, CFileInfo>;

    // A compressed listing announcing a longer inflated text is refused before anything is
    // allocated. 256 MiB holds the listing of millions of entries.
    static constexpr int64_t kMaxListingBytes = 256LL * 1024 * 1024;
    // zlib never inflates one byte into more than 1032: a larger announced length is a lie.
    static constexpr int64_t kMaxInflateRatio = 1032;

    CBack();
    ~CBack();
    CBack(const CBack&) = delete;
    CBack& operator=(const CBack&) = delete;

    // --- The channel (set-up, credentials and reasons as every service client has them).
    void SetProxy(const std::string& kind, const std::string& address, const std::string& user,
                  const std::string& password);
    bool Init(const std::string& endpoint, const std::string& user, const std::string& password,
              const std::string& hostId, const std::string& installFolder);
    bool InitAxis2c();
    void Reset();
    void SetCredentials(const std::string& user, const std::string& password, const std::string& passport);
    void SetHostID(const std::string& hostId);
    const std::string& GetReason() const;
    void ClearReason();
    const std::string& GetLastReason() const;
    bool ParseOmHead(const pugi::xml_node& node, std::string* ack, pugi::xml_node* body);
    bool PareseOmElementValue(const pugi::xml_node& node, const char* name, std::string* text,
                              pugi::xml_node* element);
    CSoapChannel& Channel() { return channel_; }

    // --- Operations. `ack` receives the reply head's result once a head was read (untouched on a
    // time-out or an unusable reply); some operations then overwrite it as noted.
    // On success *ack holds the new host id.
    bool GetHostID(const std::string& computerName, std::string* ack);
    bool Login(std::string* ack);
    bool Rename(const std::string& oldPath, const std::string& newPath, std::string* ack);
    bool Remove(const std::string& path, std::string* ack);
    // The whole tree in the service's order (the root folder first).
    bool DownloadAll(std::string* ack, std::vector<CFileInfo>* list);
    // One file with its chunks (keys, storage keys and sizes).
    bool Download(const std::string& path, std::string* ack, CFileInfo* info);
    // The recursive listing of a folder (chunk keys only).
    bool GetList(const std::string& folder, std::string* ack, FileMap* map);
    // Opens the upload of `info` (with the previous version's chunks when `previous` is given).
    // On success *ack holds the next step ("upload_chunk", "all_chunk_exist", ...) and *chunk the
    // chunk it names (key and storage key; empty for other steps).
    bool Upload(const CFileInfo& info, CFileInfo* previous, std::string* ack, CChunkInfo* chunk);
    // Reports a chunk the transmitter stored; answers with the next step as Upload does.
    bool ChunkDone(const CFileInfo& info, const CChunkInfo& uploaded, std::string* ack, CChunkInfo* chunk);

    // --- Reply body parsers: `body` is the element after the reply's response_head. Public so
    // tests and the fuzzer can feed them any tree. Outputs are written only on success.
    bool ParseOmGetHostID(const pugi::xml_node& body, std::string* hostId);
    bool ParseOmLogin(const pugi::xml_node& body);
    bool ParseOmRename(const pugi::xml_node& body);
    bool ParseOmRemove(const pugi::xml_node& body);
    bool ParseOmDownloadAll(const pugi::xml_node& body, std::vector<CFileInfo>* list);
    bool ParseOmDownload(const pugi::xml_node& body, CFileInfo* info);
    bool ParseOmGetList(const pugi::xml_node& body, FileMap* map);
    // *op receives the next step as soon as it was read, *fileName the decoded name of the reply.
    bool ParseOmUpload(const pugi::xml_node& body, std::string* op, std::string* fileName, CChunkInfo* chunk);
    bool ParseOmChunkDone(const pugi::xml_node& body, std::string* op, std::string* fileName,
                          CChunkInfo* chunk);

    // The map key of a listed path: ASCII letters lowered in its UTF-8 form, as the journal keys.
    static std::string ListKey(const std::string& path);

  private:
    enum class Refusal { kInfo, kUploadInfo, kError };
    // One call: true when the head said "OK" (*body is then the element after the head).
    bool _Call(CSoapRequest& request, const char* tag, const char* timeoutMessage, std::string* ack,
               CSoapReply* reply, pugi::xml_node* body, Refusal refusal = Refusal::kInfo);
    // The element check at the start of every body parser.
    bool _BodyElement(const pugi::xml_node& body, const char* name, const char* tag, const char* missing);
    // The first entry of a listing, inflating a compressed one into *doc first.
    bool _FirstEntry(const pugi::xml_node& rsp, const char* tag, bool wrapped, pugi::xml_document* doc,
                     pugi::xml_node* first);
    // How a listing lays out a file: the whole tree gives its size and every chunk as elements,
    // a folder listing its size as an attribute and the chunk keys as one text.
    enum class Listing { kTree, kFolder };
    // Every <file> entry from `first` on, each handed to `take`; entries without a name are
    // skipped. False (logged) at the first entry that describes neither a file nor a folder.
    bool _ReadEntries(pugi::xml_node first, const char* tag, Listing listing,
                      const std::function<void(CFileInfo&&)>& take);
    bool _ReadTreeFile(const pugi::xml_node& entry, const char* tag, CFileInfo* info);
    bool _ReadListedFile(const pugi::xml_node& entry, const char* tag, CFileInfo* info);
    bool _ReadChunk(const pugi::xml_node& node, const char* tag, CFileInfo* info);
    bool _ReadFolder(const pugi::xml_node& node, const char* tag, CFileInfo* info);
    bool _ReadNextOp(const pugi::xml_node& body, const char* tag, bool chunkDone, std::string* op,
                     std::string* fileName, CChunkInfo* chunk);

    CSoapChannel channel_;
};
