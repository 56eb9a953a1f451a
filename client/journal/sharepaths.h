// CSharePaths: the shared folders of a user's tree and the translation of paths between the
// root-relative form ("/Team/plan.doc") and the server form ("<folder id>/plan.doc" for a path
// inside a share, "<root>/docs/a.txt" otherwise). It keeps four small maps: the shares the
// journal recorded, the shares the service listed in this pass, the folder ids fetched in this
// pass and the owner of each share. Pure: no database, no log, no file. Owned by CFileJournal;
// the same thread rule as its owner (the worker thread after Init).
#pragma once

#include <map>
#include <set>
#include <string>

class CSharePaths {
  public:
    // Splits a server path at its first slash: the root or folder id, and the rest with its
    // slash. False, with the outputs untouched, when there is no slash or it comes first.
    static bool Split(const std::string& path, std::string* first, std::string* rest);

    bool SetRoot(const std::string& root);  // refuses an empty root
    const std::string& Root() const { return root_; }

    // Folder ids are decimal texts; an empty id, path or owner is refused.
    void ClearDB() { dbShares_.clear(); }
    bool GetDB(const std::string& folderId, std::string* path) const;
    bool SetDB(const std::string& folderId, const std::string& path);
    bool RemoveDB(const std::string& folderId);
    void ClearServer() { serverShares_.clear(); }
    bool AddServer(const std::string& folderId, const std::string& path);
    void ClearListed() { listed_.clear(); }
    bool AddListed(int folderValue);  // values below 2 name no share
    bool IsListed(const std::string& folderId) const { return listed_.count(folderId) > 0; }
    bool AddOwner(const std::string& folderId, const std::string& owner);
    bool GetOwner(const std::string& folderId, std::string* owner) const;

    // Where ToRootRelative stopped: a text without the "first/rest" form (`at` is that text),
    // or a folder id the recorded map lacks or that leads round a loop (`at` is the id).
    enum class Trim { Done, Unsplit, UnknownShare };
    // The root-relative form of a server path (backslashes read as slashes), following recorded
    // shares, and shares inside shares, until the root; the root compares without ASCII case.
    Trim ToRootRelative(const std::string& serverPath, std::string* relative, std::string* at) const;
    // The server form of a root-relative path (a leading slash is optional): below a share of the
    // listing, or of the recorded map, the share's id replaces its folder.
    std::string ToServerForm(const std::string& relative) const {
        return ToShareForm(serverShares_, relative);
    }
    std::string ToDBForm(const std::string& relative) const { return ToShareForm(dbShares_, relative); }

  private:
    std::string ToShareForm(const std::map<std::string, std::string>& shares,
                            const std::string& relative) const;

    std::string root_;
    std::map<std::string, std::string> dbShares_;      // folder id -> server path, from the journal
    std::map<std::string, std::string> serverShares_;  // folder id -> server path, from the listing
    std::set<std::string> listed_;                     // folder ids fetched in this pass
    std::map<std::string, std::string> owners_;        // folder id -> owner name
};
