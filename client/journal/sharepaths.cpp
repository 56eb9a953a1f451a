#include "journal/sharepaths.h"

#include "util/ascii.h"

namespace {

// Shared folders inside shared folders resolve one level per step; a loop in the map stops here.
constexpr int kMaxShareDepth = 16;

bool Put(std::map<std::string, std::string>& map, const std::string& folderId, const std::string& value) {
    if (folderId.empty() || value.empty())
        return false;
    map[folderId] = value;
    return true;
}

bool Get(const std::map<std::string, std::string>& map, const std::string& folderId, std::string* value) {
    auto found = map.find(folderId);
    if (found == map.end())
        return false;
    *value = found->second;
    return true;
}

}  // namespace

bool CSharePaths::Split(const std::string& path, std::string* first, std::string* rest) {
    size_t slash = path.find('/');
    if (slash == std::string::npos || slash == 0)
        return false;
    *first = path.substr(0, slash);
    *rest = path.substr(slash);
    return true;
}

bool CSharePaths::SetRoot(const std::string& root) {
    if (root.empty())
        return false;
    root_ = root;
    return true;
}

bool CSharePaths::GetDB(const std::string& folderId, std::string* path) const {
    return Get(dbShares_, folderId, path);
}

bool CSharePaths::SetDB(const std::string& folderId, const std::string& path) {
    return Put(dbShares_, folderId, path);
}

bool CSharePaths::RemoveDB(const std::string& folderId) {
    return dbShares_.erase(folderId) > 0;
}

bool CSharePaths::AddServer(const std::string& folderId, const std::string& path) {
    return Put(serverShares_, folderId, path);
}

bool CSharePaths::AddListed(int folderValue) {
    if (folderValue < 2)
        return false;
    listed_.insert(std::to_string(folderValue));
    return true;
}

bool CSharePaths::AddOwner(const std::string& folderId, const std::string& owner) {
    return Put(owners_, folderId, owner);
}

bool CSharePaths::GetOwner(const std::string& folderId, std::string* owner) const {
    return Get(owners_, folderId, owner);
}

CSharePaths::Trim CSharePaths::ToRootRelative(const std::string& serverPath, std::string* relative,
                                              std::string* at) const {
    std::string work = serverPath;
    for (char& c : work) {
        if (c == '\\')
            c = '/';
    }
    std::string head, rest;
    if (!Split(work, &head, &rest)) {
        *at = work;
        return Trim::Unsplit;
    }
    // Keys are lower case while the root keeps the service's spelling: compare without case.
    for (int depth = 0; !ascii::EqualNoCase(head, root_); ++depth) {
        auto share = dbShares_.find(head);
        if (share == dbShares_.end() || depth >= kMaxShareDepth) {
            *at = head;
            return Trim::UnknownShare;
        }
        const std::string next = share->second + rest;
        if (!Split(next, &head, &rest)) {
            *at = next;
            return Trim::Unsplit;
        }
    }
    *relative = rest;
    return Trim::Done;
}

std::string CSharePaths::ToShareForm(const std::map<std::string, std::string>& shares,
                                     const std::string& relative) const {
    std::string server = root_;
    if (relative.empty() || relative[0] != '/')
        server += '/';
    server += relative;
    for (const auto& [id, prefix] : shares) {
        if (server.size() > prefix.size() && server[prefix.size()] == '/' &&
            server.compare(0, prefix.size(), prefix) == 0)
            return id + server.substr(prefix.size());
    }
    return server;
}
