// CFileCache: the client's view of its local folders (the sync root and the chunk cache). The
// worker owns the one instance; it owns the shared status area published for the desktop's
// overlay component. This file holds the share-marker and removal helpers; the scan, the chunk
// cache and the file operations build on them.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "store/sharedfilestatus.h"

class CFileCache {
  public:
    // A shared folder carries its share id as decimal text in this hidden, system file.
    static constexpr const char* kShareMarkerName = ".peltashare";
    static constexpr const char* kFolderIconFile = "desktop.ini";
    static constexpr size_t kShareMarkerReadLimit = 128;

    CFileCache() = default;
    CFileCache(const CFileCache&) = delete;
    CFileCache& operator=(const CFileCache&) = delete;

    // The folder's share marker, at most its first 128 bytes; false when there is none.
    bool _GetShareFolder(const std::string& folder, std::string* id);
    // Writes the marker; on failure logs, shows the file error and leaves no partial marker.
    bool _SetShareFolder(const std::string& folder, const std::string& id);
    bool RemoveShareMarker(const std::string& folder);
    bool RemoveFolderIcon(const std::string& folder);
    void RefreshShellIcons();
    // Removes a folder with everything in it, or a file whatever its attributes. A symbolic
    // link is removed itself, never what it points to.
    bool Remove(const std::string& path);

    CSharedFileStatus& SharedStatus() { return sharedStatus_; }

  private:
    static std::string MarkerPath(const std::string& folder);

    std::string root_;   // the sync root, "/"-separated, no trailing separator
    std::string cache_;  // the chunk cache folder, same form
    // The scan's records (by lower-cased relative path), their cursor and the per-path state
    // table take their place here.
    CSharedFileStatus sharedStatus_;
    std::map<std::string, std::string> shareMap_;  // share id text -> folder path, from the last scan
    std::string lastStatusPath_;
};
