// The safety check of paths that come from the service.
#include "sync/serverpath.h"

#include <cstring>

#include "platform/file.h"
#include "store/filecache.h"
#include "sync/skippeditems.h"
#include "util/ascii.h"

namespace serverpath {

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Names from `pos` to the end, each ended by a separator or the end; `pos` is after a separator.
bool PlainNames(const std::string& path, size_t pos) {
    while (true) {
        size_t end = pos;
        while (end < path.size() && !IsSeparator(path[end]))
            ++end;
        const size_t len = end - pos;
        if (len == 0 || (len == 1 && path[pos] == '.') ||
            (len == 2 && path[pos] == '.' && path[pos + 1] == '.'))
            return false;
        if (end == path.size())
            return true;
        pos = end + 1;
    }
}

}  // namespace

bool IsReservedName(const std::string& name) {
    if (ascii::EqualNoCase(name, CFileCache::kShareMarkerName) ||
        ascii::EqualNoCase(name, CFileCache::kFolderIconFile))
        return true;
    // A part file is a hidden name ending in the suffix, as the scan leaves them out: ".x.kestrine-part",
    // which also covers the aside name ".x.old.kestrine-part".
    const size_t n = std::strlen(CFileCache::kPartSuffix);
    return name.size() >= n && name[0] == '.' &&
           ascii::EqualNoCase(std::string_view(name).substr(name.size() - n), CFileCache::kPartSuffix);
}

bool HasReservedName(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end]))
            ++end;
        if (IsReservedName(path.substr(start, end - start)))
            return true;
        start = end + 1;
    }
    return false;
}

const char* RefusalOf(const std::string& serverPath) {
    if (!IsSafeServerPath(serverPath))
        return notsynced::kUnsafeName;
    // The head is the account's root or a share id, no name in the tree.
    const std::string below = serverPath.substr(serverPath.find_first_of("/\\") + 1);
    if (HasReservedName("/" + below))
        return notsynced::kReservedName;
    // Right below the head is the home folder or a shared folder, whose hidden-name list is the
    // client's on each computer.
    if (ascii::EqualNoCase(below, CFileCache::kHiddenListName))
        return notsynced::kReservedName;
    return nullptr;
}

bool IsPlainFolderName(const std::string& name) {
    if (name.empty() || name[0] == '.' || name.size() > platform::kMaxNameBytes)
        return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || IsSeparator(c))
            return false;
    }
    return true;
}

bool IsSafeServerPath(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        return false;
    size_t first = 0;
    while (first < path.size() && !IsSeparator(path[first]))
        ++first;
    if (first == 0 || first == path.size())
        return false;  // no head, or nothing below it
    const std::string head = path.substr(0, first);
    if (head == "." || head == "..")
        return false;
    return PlainNames(path, first + 1);
}

bool IsSafeRelativePath(const std::string& rel) {
    if (rel.empty() || rel[0] != '/' || rel.find('\0') != std::string::npos)
        return false;
    return PlainNames(rel, 1);
}

bool StaysUnderRoot(const std::string& root, const std::string& rel) {
    std::string path = root;
    size_t pos = 1;
    while (true) {
        size_t slash = rel.find_first_of("/\\", pos);
        if (slash == std::string::npos)
            return true;  // the entry itself is the caller's to check
        path.push_back('/');
        path.append(rel, pos, slash - pos);
        platform::FileStat st;
        if (platform::Stat(path, &st) && st.kind != platform::EntryKind::Directory)
            return false;
        pos = slash + 1;
    }
}

bool IsInside(const std::string& path, const std::string& folder) {
    return path == folder || IsBelow(path, folder);
}

std::string Rebase(const std::string& path, const std::string& from, const std::string& to) {
    return IsInside(path, from) ? to + path.substr(from.size()) : path;
}

bool IsBelow(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool FitsLocalLimits(const std::string& abs, size_t slack) {
    if (abs.size() + slack >= platform::kMaxPathBytes)
        return false;
    size_t start = 0;
    while (start <= abs.size()) {
        size_t end = abs.find('/', start);
        if (end == std::string::npos)
            end = abs.size();
        if (end - start > platform::kMaxNameBytes)
            return false;
        start = end + 1;
    }
    return true;
}

}  // namespace serverpath
