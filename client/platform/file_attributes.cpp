// The attribute emulation: read-only, hidden and system kept as Windows-like flags on Linux. A
// leading "." reads as hidden; the stored flags live as text ("hidden,system,readonly") in the
// extended attribute "user.kestrine.attributes"; read-only also takes the write bits away.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/internal.h"

namespace platform {

using internal::FailErrno;
using internal::Faulted;

namespace {

constexpr const char* kAttrXattr = "user.kestrine.attributes";
constexpr uint32_t kStoredBits = kAttrReadOnly | kAttrHidden | kAttrSystem;

uint32_t ParseAttrText(const char* text, size_t len) {
    uint32_t bits = 0;
    size_t i = 0;
    while (i < len) {
        while (i < len && (text[i] == ',' || text[i] == ' ')) {
            ++i;
        }
        size_t start = i;
        while (i < len && text[i] != ',' && text[i] != ' ') {
            ++i;
        }
        std::string_view word(text + start, i - start);
        if (word == "hidden") {
            bits |= kAttrHidden;
        } else if (word == "system") {
            bits |= kAttrSystem;
        } else if (word == "readonly") {
            bits |= kAttrReadOnly;
        }
    }
    return bits;
}

std::string AttrText(uint32_t bits) {
    std::string text;
    auto add = [&text](const char* w) {
        if (!text.empty()) {
            text.push_back(',');
        }
        text.append(w);
    };
    if (bits & kAttrHidden) {
        add("hidden");
    }
    if (bits & kAttrSystem) {
        add("system");
    }
    if (bits & kAttrReadOnly) {
        add("readonly");
    }
    return text;
}

// Reads the stored attribute bits; *supported turns false on a file system without user xattrs.
uint32_t ReadStoredBits(const char* path, bool* supported) {
    char buf[64];
    ssize_t n = ::lgetxattr(path, kAttrXattr, buf, sizeof buf);
    if (n < 0) {
        if (errno == ENOTSUP && supported) {
            *supported = false;
        }
        return 0;
    }
    return ParseAttrText(buf, static_cast<size_t>(n));
}

}  // namespace

namespace internal {

uint32_t AttributesOf(const struct stat& st, const char* name, const char* path, bool* xattrSupported) {
    uint32_t bits = 0;
    if (name[0] == '.') {
        bits |= kAttrHidden;
    }
    // User xattrs exist only on files and folders (Linux refuses them on links and specials).
    if ((S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) && (!xattrSupported || *xattrSupported)) {
        bits |= ReadStoredBits(path, xattrSupported);
    }
    // A file nobody may write to reads as read-only, whoever made it so.
    if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
        bits |= kAttrReadOnly;
    }
    if (S_ISDIR(st.st_mode)) {
        return bits | kAttrDirectory;
    }
    return bits == 0 ? kAttrNormal : bits;
}

void CopyAttrXattr(int fromFd, int toFd) {
    char buf[64];
    ssize_t n = ::fgetxattr(fromFd, kAttrXattr, buf, sizeof buf);
    if (n > 0) {
        ::fsetxattr(toFd, kAttrXattr, buf, static_cast<size_t>(n), 0);
    }
}

}  // namespace internal

uint32_t GetFileAttributes(const std::string& path) {
    if (Faulted(Op::Stat, path)) {
        return kInvalidAttributes;
    }
    internal::AtPath at;
    struct stat st;
    if (!at.Resolve(path)) {
        return kInvalidAttributes;
    }
    if (::fstatat(at.Dir(), at.Leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        FailErrno();
        return kInvalidAttributes;
    }
    std::string name = internal::BaseName(path);
    return internal::AttributesOf(st, name.c_str(), at.ProcPath().c_str(), nullptr);
}

bool SetFileAttributes(const std::string& path, uint32_t attributes) {
    if (Faulted(Op::SetAttr, path)) {
        return false;
    }
    internal::AtPath at;
    struct stat st;
    if (!at.Resolve(path)) {
        return false;
    }
    if (::fstatat(at.Dir(), at.Leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return FailErrno();
    }
    const std::string where = at.ProcPath();
    uint32_t bits = attributes & kStoredBits;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        // Links and special files carry no attributes; clearing them is already done.
        if (bits == 0) {
            return true;
        }
        SetLastError(S_ISLNK(st.st_mode) ? ELOOP : EINVAL);
        return false;
    }
    if (bits == 0) {
        if (::lremovexattr(where.c_str(), kAttrXattr) != 0 && errno != ENODATA && errno != ENOTSUP) {
            return FailErrno();
        }
    } else {
        std::string text = AttrText(bits);
        if (::lsetxattr(where.c_str(), kAttrXattr, text.data(), text.size(), 0) != 0 && errno != ENOTSUP) {
            return FailErrno();
        }
    }
    mode_t mode = st.st_mode & 07777;
    mode_t want = mode;
    if (S_ISREG(st.st_mode)) {
        want = (bits & kAttrReadOnly) ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH))
                                      : (mode | S_IWUSR);
    } else if (attributes == kAttrNormal || attributes == 0) {
        // Read-only is only an attribute on a folder, but clearing everything also gives the
        // owner back a folder someone made unwritable, so its entries can be removed.
        want = mode | S_IRWXU;
    }
    if (want != mode && ::fchmodat(at.Dir(), at.Leaf(), want, AT_SYMLINK_NOFOLLOW) != 0) {
        return FailErrno();
    }
    return true;
}

}  // namespace platform
