// CUtil's system helpers: folders, shell-style file operations, registry values, proxy, browser,
// Explorer refresh and log cleaning, in their Linux forms through the platform layer.
#include <cstdint>
#include <optional>
#include <vector>

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "util/ascii.h"
#include "util/proxyenv.h"
#include "util/util.h"

namespace {

constexpr uint32_t kKeptAttributes = platform::kAttrReadOnly | platform::kAttrHidden | platform::kAttrSystem;

// Deletes a file or link; a file that refuses is given the normal attribute and tried once
// more. A link is never given attributes (that would reach its target).
bool DeleteEntry(const std::string& path, platform::EntryKind kind) {
    if (platform::RemoveFile(path))
        return true;
    if (kind != platform::EntryKind::File)
        return false;
    platform::SetFileAttributes(path, platform::kAttrNormal);
    return platform::RemoveFile(path);
}

// Copies `from` (a file or a folder with its content) to `to`, replacing files that exist there
// and keeping write times and attributes. Links and special files are not copied.
bool CopyTree(const std::string& from, const std::string& to) {
    platform::FileStat st;
    if (!platform::Stat(from, &st))
        return false;
    if (st.kind == platform::EntryKind::File) {
        if (!platform::CopyFile(from, to, true))
            return false;
        platform::SetFileWriteTime(to, st.writeTime);
        const uint32_t attrs = platform::GetFileAttributes(from);
        if (attrs != platform::kInvalidAttributes && (attrs & kKeptAttributes) != 0)
            platform::SetFileAttributes(to, attrs & kKeptAttributes);
        return true;
    }
    if (st.kind != platform::EntryKind::Directory) {
        Log(kLogInfo, "CUtil::ShellCopy", "Skip \"%s\": not a file or folder", from.c_str());
        return true;
    }
    if (!platform::IsDirectory(to) && !platform::MakeDir(to))
        return false;
    std::vector<platform::DirEntry> entries;
    if (!platform::ListDir(from, &entries))
        return false;
    bool ok = true;
    for (const auto& e : entries)
        ok = CopyTree(from + "/" + e.name, to + "/" + e.name) && ok;
    return ok;
}

bool EndsWithLog(const std::string& name) {
    if (name.size() < 4)
        return false;
    return ascii::EqualNoCase(std::string_view(name).substr(name.size() - 4), ".log");
}

}  // namespace

bool CUtil::IsDirectory(const std::string& path) {
    return !path.empty() && platform::IsDirectory(path);
}

bool CUtil::CreateFolder(const std::string& path) {
    if (IsDirectory(path))
        return true;
    return platform::MakeDir(path);
}

bool CUtil::DeleteFolder(const std::string& folder) {
    platform::FileStat st;
    if (platform::Stat(folder, &st) && st.kind == platform::EntryKind::Link) {
        // A link where a folder was expected: the link goes, what it points to stays.
        if (platform::RemoveFile(folder))
            return true;
        const int err = platform::LastError();
        Log(kLogError, "CUtil::DeleteFolder", "Fail to remove folder:%s error code: %d", folder.c_str(), err);
        return false;
    }

    auto removeEntries = [&folder]() {
        std::vector<platform::DirEntry> entries;
        if (!platform::ListDir(folder, &entries))
            return;
        for (const auto& e : entries) {
            const std::string path = folder + "/" + e.name;
            if (e.stat.kind == platform::EntryKind::Directory)
                DeleteFolder(path);
            else
                DeleteEntry(path, e.stat.kind);
        }
    };
    removeEntries();
    if (platform::RemoveDir(folder))
        return true;
    // The normal attribute also gives the owner back a folder made unwritable or unreadable,
    // whose entries could not go on the first pass.
    platform::SetFileAttributes(folder, platform::kAttrNormal);
    removeEntries();
    if (platform::RemoveDir(folder))
        return true;
    const int err = platform::LastError();
    Log(kLogError, "CUtil::DeleteFolder", "Fail to remove folder:%s error code: %d", folder.c_str(), err);
    return false;
}

bool CUtil::ShellMove(const std::string& from, const std::string& to) {
    return platform::MoveFile(from, to);
}

bool CUtil::ShellRename(const std::string& from, const std::string& to) {
    return platform::MoveFile(from, to);
}

bool CUtil::ShellCopy(const std::string& from, const std::string& to) {
    if (from.empty() || to.empty())
        return false;
    // Copying a folder into itself would never end.
    if (to == from || to.compare(0, from.size() + 1, from + "/") == 0)
        return false;
    return CopyTree(from, to);
}

bool CUtil::ShellDelete(const std::string& from, const std::string& /*to*/) {
    platform::FileStat st;
    if (from.empty() || !platform::Stat(from, &st))
        return false;
    if (st.kind == platform::EntryKind::Directory)
        return DeleteFolder(from);
    return DeleteEntry(from, st.kind);
}

bool CUtil::GetInstallPath(std::string* path) {
    std::string value;
    if (path == nullptr ||
        !platform::RegistryGetString(platform::kClientKey, "install_path", &value, kInstallPathBuffer))
        return false;
    *path = value;
    return true;
}

bool CUtil::GetRootPath(std::string* path) {
    std::string value;
    if (path == nullptr ||
        !platform::RegistryGetString(platform::kClientKey, "root_path", &value, kRootPathBuffer))
        return false;
    *path = value;
    return true;
}

bool CUtil::SetRootPath(const std::string& path) {
    // The value is read back with a 160-byte buffer: a longer path could never be read again.
    if (path.size() > kMaxRootPath || path.find('\0') != std::string::npos)
        return false;
    return platform::RegistrySetString(platform::kClientKey, "root_path", path);
}

bool CUtil::SetShellFolderTarget(const std::string& path) {
    if (path.empty())
        return false;
    return platform::SetBookmark(path);
}

bool CUtil::GetIEProxySet(const std::string& url, std::string* proxy) {
    if (proxy == nullptr)
        return false;
    const std::optional<proxyenv::Proxy> chosen = proxyenv::ForUrl(url, &platform::GetEnv);
    if (!chosen)
        return false;
    *proxy = chosen->Address();
    return true;
}

namespace {

// Position of the ":" before the port, or npos. A colon inside "[...]" (an IPv6 address) is part
// of the host.
size_t PortColon(const std::string& proxy) {
    const size_t colon = proxy.rfind(':');
    if (colon == std::string::npos)
        return colon;
    const size_t close = proxy.rfind(']');
    if (close != std::string::npos && close > colon)
        return std::string::npos;
    return colon;
}

}  // namespace

std::string CUtil::GetProxyHost(const std::string& proxy) {
    const size_t colon = PortColon(proxy);
    return colon == std::string::npos ? proxy : proxy.substr(0, colon);
}

std::string CUtil::GetProxyPort(const std::string& proxy) {
    if (proxy.empty())
        return proxy;
    const size_t colon = PortColon(proxy);
    return colon == std::string::npos ? std::string("80") : proxy.substr(colon + 1);
}

bool CUtil::GetDefaultBrowser(std::string* path) {
    if (path == nullptr)
        return false;
    // xdg-open hands a page to the desktop's default browser.
    *path = "xdg-open";
    return true;
}

void CUtil::RefreshExplorer() {
    Log(kLogDebug, "CUtil::RefreshExplorer", "No refresh needed: file managers follow changes themselves");
}

bool CUtil::CleanLogs(const std::string& folder, int days) {
    // Days beyond a century would overflow the FILETIME arithmetic; they keep everything anyway.
    const int64_t kDay = 86400LL * 10000000LL;
    const int64_t span = days < 0 ? 0 : (days > 36500 ? 36500 : days);
    const int64_t threshold = platform::LocalTimeAsFileTime() - span * kDay;

    CreateFolder(folder);
    std::vector<platform::DirEntry> entries;
    if (!platform::ListDir(folder, &entries))
        return true;
    for (const auto& e : entries) {
        if (e.stat.kind != platform::EntryKind::File || !EndsWithLog(e.name))
            continue;
        if (e.stat.writeTime < threshold)
            platform::RemoveFile(folder + "/" + e.name);
    }
    return true;
}
