#include "ui/optionmove.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "util/util.h"

namespace {

constexpr size_t kCompareBlock = 1 << 20;

bool SameBytes(const std::string& a, const std::string& b, int64_t size) {
    platform::File fa, fb;
    if (!fa.Open(a, platform::File::Mode::Read) || !fb.Open(b, platform::File::Mode::Read))
        return false;
    if (fa.Size() != size || fb.Size() != size)
        return false;
    std::vector<char> ba(kCompareBlock), bb(kCompareBlock);
    int64_t left = size;
    while (left > 0) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(kCompareBlock)));
        if (!fa.ReadAll(ba.data(), n) || !fb.ReadAll(bb.data(), n))
            return false;
        if (!std::equal(ba.begin(), ba.begin() + static_cast<std::ptrdiff_t>(n), bb.begin()))
            return false;
        left -= static_cast<int64_t>(n);
    }
    return true;
}

// The folder as the file system resolves it (links followed as far as it exists), else as its
// text reads; "a/b/" and "a/b" are one folder.
std::string Resolved(const std::string& path) {
    std::string text;
    if (!platform::ResolvePath(path, &text))
        text = platform::LexicalPath(path);
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// `inner` is `outer` or lies inside it, name by name (both resolved).
bool Inside(const std::string& inner, const std::string& outer) {
    if (outer.empty() || inner == outer)
        return true;
    const std::string prefix = outer.back() == '/' ? outer : outer + "/";
    return inner.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string CDataFolderMove::NewRoot(const std::string& picked) {
    if (!picked.empty() && picked.back() == '/')
        return picked + kFolderName;
    return picked + "/" + kFolderName;
}

bool CDataFolderMove::Overlaps(const std::string& a, const std::string& b) {
    const std::string pa = Resolved(a), pb = Resolved(b);
    return Inside(pa, pb) || Inside(pb, pa);
}

bool CDataFolderMove::IsCompleteCopy(const std::string& from, const std::string& to) {
    std::vector<platform::DirEntry> entries;
    if (!platform::ListDir(from, &entries) || !platform::IsDirectory(to))
        return false;
    for (const platform::DirEntry& e : entries) {
        const std::string src = from + "/" + e.name;
        const std::string dst = to + "/" + e.name;
        if (e.stat.kind == platform::EntryKind::Directory) {
            if (!IsCompleteCopy(src, dst))
                return false;
        } else if (e.stat.kind == platform::EntryKind::Link) {
            // A link is the user's too: deleting the old root must not lose it.
            std::string target, copied;
            if (!platform::ReadLink(src, &target) || !platform::ReadLink(dst, &copied) || copied != target) {
                Log(kLogError, "CDataFolderMove::IsCompleteCopy", "Link \"%s\" is missing from the copy",
                    dst.c_str());
                return false;
            }
        } else if (e.stat.kind == platform::EntryKind::File) {
            platform::FileStat st;
            if (!platform::Stat(dst, &st) || st.kind != platform::EntryKind::File || st.size != e.stat.size ||
                !SameBytes(src, dst, e.stat.size)) {
                Log(kLogError, "CDataFolderMove::IsCompleteCopy", "\"%s\" differs from \"%s\"", dst.c_str(),
                    src.c_str());
                return false;
            }
        }
    }
    return true;
}

CDataFolderMove::Result CDataFolderMove::Move(const std::string& from, const std::string& to, int* error) {
    *error = 0;
    // A folder already there is replaced; when it cannot go, nothing is moved into what is left.
    if (CUtil::IsDirectory(to) && !CUtil::DeleteFolder(to)) {
        *error = platform::LastError();
        return Result::Failed;
    }
    auto moved = [&] { return platform::Exists(from) ? Result::OldLeft : Result::Moved; };
    if (platform::MoveFile(from, to))
        return moved();
    if (CUtil::ShellMove(from, to))
        return moved();
    const bool existed = platform::Exists(to);
    if (CUtil::ShellCopy(from, to) && IsCompleteCopy(from, to)) {
        CUtil::ShellDelete(from, to);
        return moved();
    }
    *error = platform::LastError();
    if (*error == 0)
        *error = EIO;
    // What the copy left is not the data: the old root still holds all of it.
    if (!existed && platform::Exists(to))
        CUtil::DeleteFolder(to);
    return Result::Failed;
}
