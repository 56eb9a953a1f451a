#include "support/tempdir.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace testsupport {

namespace {

void MakeDirsAbs(const std::string& path) {
    if (path.empty() || path == "/") {
        return;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        return;
    }
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        MakeDirsAbs(path.substr(0, slash));
    }
    ::mkdir(path.c_str(), 0755);
}

}  // namespace

bool RemoveTree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ::unlink(path.c_str()) == 0;
    }
    ::chmod(path.c_str(), 0700);
    std::vector<std::string> names;
    if (DIR* d = ::opendir(path.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") {
                names.push_back(n);
            }
        }
        ::closedir(d);
    }
    for (const std::string& n : names) {
        RemoveTree(path + "/" + n);
    }
    return ::rmdir(path.c_str()) == 0;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kestrine-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) {
        throw std::runtime_error("mkdtemp failed for " + tmpl);
    }
    path_ = buf.data();
}

TempDir::~TempDir() {
    RemoveTree(path_);
}

std::string TempDir::Sub(const std::string& rel) const {
    return rel.empty() ? path_ : path_ + "/" + rel;
}

void TempDir::WriteFile(const std::string& rel, const std::string& data) const {
    std::string p = Sub(rel);
    size_t slash = p.rfind('/');
    MakeDirsAbs(p.substr(0, slash));
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    f.close();
    ASSERT_TRUE(f.good()) << "cannot write " << p;
}

std::string TempDir::ReadFile(const std::string& rel) const {
    std::ifstream f(Sub(rel), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void TempDir::MakeDirs(const std::string& rel) const {
    MakeDirsAbs(Sub(rel));
}

bool TempDir::Exists(const std::string& rel) const {
    struct stat st;
    return ::lstat(Sub(rel).c_str(), &st) == 0;
}

}  // namespace testsupport
