#include "core/locations.h"

#include <cstdio>

#include "platform/file.h"
#include "platform/filemode.h"
#include "platform/registry.h"

namespace locations {

namespace {

std::string StripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// A root taken from the registry must be an absolute folder other than "/" itself: a relative
// value would follow the working folder, and "/" would make the system's /home the synced folder.
bool UsableRoot(const std::string& root) {
    return root.size() > 1 && root[0] == '/';
}

bool ExistsOrCreatable(const std::string& dir) {
    return platform::IsDirectory(dir) || platform::MakeDir(dir);
}

// The registry root when it is usable and exists or can be created one level; empty otherwise.
std::string RegistryRoot() {
    std::string value;
    if (!platform::RegistryGetString(platform::kClientKey, "root_path", &value, kRootPathBuffer))
        return std::string();
    value = StripTrailingSlashes(value);
    if (!UsableRoot(value) || !ExistsOrCreatable(value))
        return std::string();
    return value;
}

}  // namespace

std::string Join(const std::string& base, const std::string& name) {
    if (base.empty())
        return name;
    if (base.back() == '/')
        return base + name;
    return base + "/" + name;
}

std::string DefaultInstallFolder() {
    return platform::InstallResourceDir();
}

std::string InstallFolder() {
    std::string value;
    if (platform::RegistryGetString(platform::kClientKey, "install_path", &value, kInstallPathBuffer)) {
        value = StripTrailingSlashes(value);
        if (!value.empty() && platform::IsDirectory(value))
            return value;
    }
    return DefaultInstallFolder();
}

std::string DefaultRootFolder() {
    return Join(platform::HomeDir(), "Kestrine");
}

std::string RootFolder() {
    std::string root = RegistryRoot();
    if (!root.empty())
        return root;
    root = DefaultRootFolder();
    if (!platform::IsDirectory(root))
        platform::MakeDir(root);
    return root;
}

std::string LogFolder() {
    std::string root = RegistryRoot();
    if (!root.empty())
        return Join(root, ".log");
    return Join(DefaultInstallFolder(), ".log");
}

std::string LogFileName(const std::string& folder, const platform::LocalTime& t) {
    char name[64];
    std::snprintf(name, sizeof name, "%4d-%02d-%02d-%02d-%02d-%02d.log", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return Join(folder, name);
}

std::string DatabaseFolder(const std::string& root) {
    return Join(root, ".db");
}
std::string DatabasePath(const std::string& root) {
    return Join(DatabaseFolder(root), "client.db");
}
std::string HomeFolder(const std::string& root) {
    return Join(root, "home");
}
std::string CacheFolder(const std::string& root) {
    return Join(root, ".cache");
}

std::string TrashFolder(const std::string& root) {
    return Join(root, ".trash");
}

bool PrepareDatabaseFolder(const std::string& root) {
    std::string dir = DatabaseFolder(root);
    // client.db holds the passport and may hold the remembered password.
    platform::MakeDirPrivate(dir);
    if (!platform::IsDirectory(dir))
        return false;
    platform::SetFileAttributes(dir, platform::kAttrHidden);
    return true;
}

std::vector<std::string> DatabaseFiles(const std::string& root) {
    const std::string db = DatabasePath(root);
    return {db, db + "-wal", db + "-shm", db + "-journal"};
}

int TightenFilesIn(const std::string& folder) {
    std::vector<platform::DirEntry> entries;
    if (!platform::ListDir(folder, &entries))
        return 0;  // a missing folder has nothing to tighten
    int failures = 0;
    for (const platform::DirEntry& entry : entries) {
        if (entry.stat.kind == platform::EntryKind::File && !platform::TightenFile(Join(folder, entry.name)))
            ++failures;
    }
    return failures;
}

int TightenDataRoot(const std::string& root) {
    int failures = 0;
    for (const std::string& dir :
         {DatabaseFolder(root), Join(root, ".log"), CacheFolder(root), TrashFolder(root), HomeFolder(root)}) {
        // Only the folder's own mode: the home folder's contents are the user's.
        if (platform::IsDirectory(dir) && !platform::SetMode(dir, platform::kPrivateDirMode))
            ++failures;
    }
    for (const std::string& file : DatabaseFiles(root)) {
        if (!platform::TightenFile(file))
            ++failures;
    }
    failures += TightenFilesIn(Join(root, ".log"));
    failures += TightenFilesIn(CacheFolder(root));
    return failures;
}

}  // namespace locations
