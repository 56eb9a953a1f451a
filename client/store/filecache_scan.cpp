// CFileCache: the scan of the sync root into records, with the filters that keep the client's own
// files, programs' temporary files, links and special files out of the list.
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "store/filecache.h"
#include "util/ascii.h"
#include "util/util.h"

namespace {

bool EndsWith(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// A share marker's id: decimal digits (surrounding blanks tolerated) naming an id of 2 or more,
// since 0 and 1 mean a file and a plain folder. False for anything else.
bool ParseShareId(const std::string& text, int32_t* id) {
    size_t b = 0, e = text.size();
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (b < e && blank(text[b]))
        ++b;
    while (e > b && blank(text[e - 1]))
        --e;
    if (b == e)
        return false;
    int64_t v = 0;
    for (size_t i = b; i < e; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
        if (v > INT32_MAX)
            return false;
    }
    if (v < 2)
        return false;
    *id = static_cast<int32_t>(v);
    return true;
}

}  // namespace

bool CFileCache::ScanRoot() {
    // A missing root is not made again here: read as empty, it would make every file of the
    // journal look deleted.
    if (root_.empty() || !CUtil::IsDirectory(root_)) {
        Log(kLogError, "CFileCache::ScanRoot", "Fail to open root path \"%s\"", root_.c_str());
        return false;
    }
    localFiles_.clear();
    cursor_ = localFiles_.end();
    shareMap_.clear();
    scanFailed_ = false;
    leftOut_.clear();
    Log(kLogDebug, "CFileCache::ScanRoot", "--------------------- local filesystem ------------------------");
    markerClaims_.clear();
    if (!_ScanFolder(root_, "", 0) || scanFailed_) {
        markerClaims_.clear();
        // A partial list would read as deleted files: the pass must not see one.
        localFiles_.clear();
        cursor_ = localFiles_.end();
        shareMap_.clear();
        return false;
    }
    _SettleMarkerClaims();
    Log(kLogDebug, "CFileCache::ScanRoot", "---------------------------------------------------------------");
    return true;
}

bool CFileCache::ScanPath(const std::string& folder, int depth) {
    std::string full = folder;
    while (full.size() > 1 && (full.back() == '/' || full.back() == '\\'))
        full.pop_back();
    std::string rel = full;
    if (!ToRelativePath(&rel)) {
        Log(kLogError, "CFileCache::ScanPath", "Folder \"%s\" is not below the sync root", folder.c_str());
        return false;
    }
    markerClaims_.clear();
    const bool listed = _ScanFolder(full, rel, depth);
    _SettleMarkerClaims();
    return listed;
}

namespace {

// How a row of the temporary-name table matches: the whole name; a head and a tail with at least
// one character between them (so ".swp" or "~" alone is an ordinary name); or a "~" head and an
// extension (the text after the last dot, or the whole rest without one) found anywhere in the
// list, as office programs have been matched since the first version.
enum class Match { kExact, kHeadTail, kOfficeExtension };

struct TemporaryPattern {
    Match match;
    const char* head;  // the exact name, the head, or "~"
    const char* tail;  // the tail, or the office list
    bool onlyHidden;
};

constexpr TemporaryPattern kTemporaryNames[] = {
    {Match::kExact, "Thumbs.db", "", true},
    {Match::kOfficeExtension, "~", "docx,xlsx,pptx,~vsd,tmp", true},
    {Match::kHeadTail, ".~lock.", "#", false},         // LibreOffice locks
    {Match::kHeadTail, ".", ".swp", false},            // vim swap files
    {Match::kHeadTail, ".", ".swx", false},            // vim's probe before it writes one
    {Match::kHeadTail, "", "~", false},                // backup copies
    {Match::kHeadTail, ".#", "", false},               // Emacs locks
    {Match::kHeadTail, ".goutputstream-", "", false},  // GTK safe saves
    {Match::kHeadTail, "", ".crdownload", false},      // Chromium's unfinished downloads
    {Match::kHeadTail, "", ".part", false},            // Firefox's unfinished downloads
};

bool Matches(const TemporaryPattern& p, const std::string& name) {
    const size_t head = std::strlen(p.head);
    switch (p.match) {
        case Match::kExact:
            return name == p.head;
        case Match::kHeadTail: {
            const size_t tail = std::strlen(p.tail);
            return name.size() > head + tail && name.compare(0, head, p.head) == 0 && EndsWith(name, p.tail);
        }
        case Match::kOfficeExtension: {
            if (name.compare(0, head, p.head) != 0)
                return false;
            const size_t dot = name.rfind('.');
            const std::string ext = dot == std::string::npos ? name : name.substr(dot + 1);
            return std::strstr(p.tail, ext.c_str()) != nullptr;
        }
    }
    return false;
}

}  // namespace

CFileCache::TemporaryName CFileCache::ClassifyName(const std::string& name) {
    TemporaryName found = TemporaryName::kNo;
    for (const TemporaryPattern& p : kTemporaryNames) {
        if (!Matches(p, name))
            continue;
        if (!p.onlyHidden)
            return TemporaryName::kAlways;
        found = TemporaryName::kWhenHidden;
    }
    return found;
}

bool CFileCache::IsTemporaryFile(const std::string& full, const std::string& name) {
    switch (ClassifyName(name)) {
        case TemporaryName::kNo:
            return false;
        case TemporaryName::kAlways:
            return true;
        case TemporaryName::kWhenHidden:
            break;
    }
    // A leading "." hides a name by itself; the stored attribute is read only here, as one
    // lookup per file would double the cost of a scan.
    if (!name.empty() && name[0] == '.')
        return true;
    const uint32_t attrs = platform::GetFileAttributes(full);
    return attrs != platform::kInvalidAttributes && (attrs & platform::kAttrHidden) != 0;
}

int32_t CFileCache::KnownShareAt(const std::string& rel) const {
    const std::string key = ascii::Lowered(rel);
    int32_t id = 0;
    for (const auto& [idText, path] : knownShares_)
        if (ascii::Lowered(path) == key && ParseShareId(idText, &id))
            return id;
    return 1;
}

int32_t CFileCache::_ShareIdOf(const std::string& full, const std::string& rel) {
    int32_t id = KnownShareAt(rel);
    if (id >= 2 && !shareMap_.count(std::to_string(id))) {
        shareMap_[std::to_string(id)] = full;
        return id;
    }
    std::string marker;
    if (!_GetShareFolder(full, &marker))
        return 1;
    if (!ParseShareId(marker, &id)) {
        Log(kLogWarn, "CFileCache::ScanPath", "Ignore a share marker without a valid id in %s", full.c_str());
        return 1;
    }
    const std::string idText = std::to_string(id);
    if (!knownShares_.count(idText)) {
        // The journal knows no such share (a copy from elsewhere): an ordinary folder, which
        // loses the marker and the shared-folder icon.
        Log(kLogWarn, "CFileCache::ScanPath", "Remove the marker of an unknown share (%s) from %s",
            idText.c_str(), full.c_str());
        RemoveShareMarker(full);
        RemoveFolderIcon(full);
        return 1;
    }
    // Settled once the whole tree is listed: the share may still be found in its place.
    markerClaims_.push_back({ascii::Lowered(rel), full, idText});
    return 1;
}

bool CFileCache::_IsDecoratedFolder(const std::string& rel) const {
    if (rel.empty())
        return true;
    auto it = localFiles_.find(ascii::Lowered(rel));
    return it != localFiles_.end() && it->second.dirFlag >= 2;
}

void CFileCache::_SettleMarkerClaims() {
    for (const MarkerClaim& claim : markerClaims_) {
        const std::string& place = knownShares_[claim.id];
        auto at = localFiles_.find(ascii::Lowered(place));
        const bool inPlace =
            at != localFiles_.end() ? at->second.dirFlag != 0 : CUtil::IsDirectory(root_ + place);
        if (shareMap_.count(claim.id) || inPlace) {
            // A copy of a shared folder, or a marker put beside it: the share stays where it is.
            Log(kLogInfo, "CFileCache::ScanPath", "Remove the marker of share %s from %s: not that share",
                claim.id.c_str(), claim.full.c_str());
            RemoveShareMarker(claim.full);
            RemoveFolderIcon(claim.full);
            continue;
        }
        // The shared folder moved here since the journal saw it: its marker came with it.
        auto self = localFiles_.find(claim.key);
        if (self == localFiles_.end())
            continue;
        self->second.dirFlag = static_cast<int32_t>(std::stol(claim.id));
        shareMap_[claim.id] = claim.full;
        localFiles_.erase(claim.key + "/" + kHiddenListName);  // listed before it was known a share
    }
    markerClaims_.clear();
}

bool CFileCache::_ScanFolder(const std::string& folder, const std::string& rel, int depth) {
    ++depth;
    if (depth > kMaxScanDepth) {
        Log(kLogError, "CFileCache::ScanPath", "Deepth fo dirctory is too large");
        return false;
    }
    std::vector<platform::DirEntry> entries;
    if (!platform::ListDir(folder, &entries)) {
        Log(kLogError, "CFileCache::ScanPath", "Fail to list folder \"%s\": %s", folder.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
        scanFailed_ = true;
        return false;
    }
    std::string full, relPath, key;
    for (const platform::DirEntry& e : entries) {
        const std::string& name = e.name;
        const platform::EntryKind kind = e.stat.kind;
        full.assign(folder).append("/").append(name);
        if (kind != platform::EntryKind::File && kind != platform::EntryKind::Directory) {
            // Links are never followed (no loops, nothing outside the tree); specials carry no data.
            Log(kLogInfo, "CFileCache::ScanPath", "Skip a link or special file: %s", full.c_str());
            continue;
        }
        if (name.find('\\') != std::string::npos) {
            // The service takes "\" for a separator: such a name would come back as a folder
            // path elsewhere and look deleted here on every pass.
            Log(kLogWarn, "CFileCache::ScanPath", "\"%s\" holds a \"\\\" and is not synced", full.c_str());
            leftOut_.push_back({std::string(rel).append("/").append(name), Unsyncable::kBackslash});
            continue;
        }
        if (kind == platform::EntryKind::File) {
            if (name == kFolderIconFile || name == kShareMarkerName)
                continue;
            // Kept beside the decoration, on each computer for itself; in any letter case, as
            // the service would take another spelling for the same name.
            if (name.size() == std::strlen(kHiddenListName) && ascii::Lowered(name) == kHiddenListName &&
                _IsDecoratedFolder(rel))
                continue;
            if (name[0] == '.' && EndsWith(name, kPartSuffix))
                continue;  // a file being built, or left by an interrupted build
            if (IsTemporaryFile(full, name)) {
                Log(kLogInfo, "CFileCache::ScanPath", "File filter: %s %s", name.c_str(), full.c_str());
                continue;
            }
        }
        relPath.assign(rel).append("/").append(name);
        key = ascii::Lowered(relPath);
        auto found = localFiles_.lower_bound(key);
        if (found != localFiles_.end() && found->first == key) {
            // Linux tells the two apart, the service does not: the first one listed is synced.
            Log(kLogWarn, "CFileCache::ScanPath",
                "\"%s\" differs from \"%s\" only in letter case and is not synced", relPath.c_str(),
                found->second.path.c_str());
            leftOut_.push_back({relPath, Unsyncable::kCaseClash});
            continue;
        }
        auto state = states_.find(key);
        const int32_t syncState = state == states_.end() ? 0 : state->second;

        if (kind == platform::EntryKind::File) {
            auto it = localFiles_.emplace_hint(found, key, CFileInfo(relPath, 0, e.stat.size));
            CFileInfo& info = it->second;
            info.creationTime = e.stat.creationTime;
            info.writeTime = e.stat.writeTime;
            info.accessTime = e.stat.accessTime;
            info.modifyTime = e.stat.writeTime;
            info.syncState = syncState;
            info.fileDevice = e.stat.device;
            info.fileInode = e.stat.inode;
            Log(kLogDebug, "CFileCache::ScanPath", "Local FS: %s  (%lld)", relPath.c_str(),
                static_cast<long long>(info.size));
            continue;
        }

        const int32_t dirFlag = _ShareIdOf(full, relPath);
        auto it = localFiles_.emplace_hint(found, key, CFileInfo(relPath, dirFlag, 0));
        CFileInfo& info = it->second;
        info.creationTime = e.stat.creationTime;
        info.writeTime = e.stat.writeTime;
        info.accessTime = e.stat.accessTime;
        info.modifyTime = 1;
        info.syncState = syncState;
        info.fileDevice = e.stat.device;
        info.fileInode = e.stat.inode;
        Log(kLogDebug, "CFileCache::ScanPath",
            "Local FS: %s  (%lld)>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>", relPath.c_str(), 0LL);
        _ScanFolder(full, relPath, depth);
    }
    return true;
}
