#include "chunkstore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "wire.h"

namespace kserver {

namespace fs = std::filesystem;

namespace {

std::string Errno(const char* what, const std::string& path) {
    return std::string(what) + " \"" + path + "\": " + std::strerror(errno);
}

void SyncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

CStagedFile::~CStagedFile() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(tmp_.c_str());
    }
}

bool CStagedFile::Write(const std::string& tmpDir, std::string_view bytes, std::string* error) {
    tmp_ = tmpDir + "/" + RandomHex(24) + ".part";
    fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        if (error)
            *error = Errno("cannot create", tmp_);
        return false;
    }
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (error)
                *error = Errno("cannot write", tmp_);
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);  // start the writeback now
    return true;
}

bool CStagedFile::Commit(const std::string& path, std::string* error) {
    if (fd_ < 0) {
        if (error)
            *error = "nothing staged";
        return false;
    }
    if (::fsync(fd_) != 0) {
        if (error)
            *error = Errno("cannot sync", tmp_);
        return false;
    }
    ::close(fd_);
    fd_ = -1;
    if (::rename(tmp_.c_str(), path.c_str()) != 0) {
        if (error)
            *error = Errno("cannot rename into", path);
        ::unlink(tmp_.c_str());
        return false;
    }
    SyncFolder(fs::path(path).parent_path().string());
    return true;
}

bool WriteFileAtomic(const std::string& tmpDir, const std::string& path, std::string_view bytes,
                     std::string* error) {
    CStagedFile staged;
    return staged.Write(tmpDir, bytes, error) && staged.Commit(path, error);
}

bool ReadWholeFile(const std::string& path, std::string* out, size_t maxBytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return false;
    }
    out->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < out->size()) {
        ssize_t n = ::read(fd, out->data() + got, out->size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    out->resize(got);
    return got == static_cast<size_t>(st.st_size);
}

bool CChunkStore::Open(const std::string& dataDir, std::string* error) {
    dir_ = dataDir + "/chunks";
    tmp_ = dataDir + "/tmp";
    std::error_code ec;
    fs::create_directories(dir_, ec);
    if (!ec)
        fs::create_directories(tmp_, ec);
    if (ec) {
        if (error)
            *error = "cannot create the chunk folders under \"" + dataDir + "\": " + ec.message();
        return false;
    }
    return true;
}

std::string CChunkStore::NewStorageKey() {
    return "sk" + RandomHex(32);
}

bool CChunkStore::ValidStorageKey(std::string_view key) {
    if (key.size() != 34 || key.substr(0, 2) != "sk")
        return false;
    for (char c : key.substr(2)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

std::string CChunkStore::PathOf(const std::string& key) const {
    return dir_ + "/" + key.substr(2, 2) + "/" + key;
}

bool CChunkStore::Write(const std::string& key, std::string_view bytes, std::string* error) {
    CStagedFile staged;
    return Stage(bytes, &staged, error) && Commit(key, &staged, error);
}

bool CChunkStore::Stage(std::string_view bytes, CStagedFile* staged, std::string* error) const {
    return staged->Write(tmp_, bytes, error);
}

bool CChunkStore::Commit(const std::string& key, CStagedFile* staged, std::string* error) const {
    if (!ValidStorageKey(key)) {
        if (error)
            *error = "invalid storage key";
        return false;
    }
    std::string path = PathOf(key);
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (ec) {
        if (error)
            *error = "cannot create chunk folder: " + ec.message();
        return false;
    }
    return staged->Commit(path, error);
}

bool CChunkStore::Read(const std::string& key, std::string* out) const {
    if (!ValidStorageKey(key))
        return false;
    return ReadWholeFile(PathOf(key), out, static_cast<size_t>(kChunkSize));
}

bool CChunkStore::Exists(const std::string& key) const {
    if (!ValidStorageKey(key))
        return false;
    std::error_code ec;
    return fs::is_regular_file(PathOf(key), ec);
}

bool CChunkStore::Remove(const std::string& key) {
    if (!ValidStorageKey(key))
        return false;
    return ::unlink(PathOf(key).c_str()) == 0 || errno == ENOENT;
}

}  // namespace kserver
