// CFileCache: local file operations on behalf of the passes: building a file from its chunks,
// folders, moves, copies, modification times and the description of one path.
#include <cerrno>
#include <map>
#include <memory>
#include <string>

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/filemode.h"
#include "store/filecache.h"
#include "util/util.h"

namespace {

constexpr size_t kMaxNameLength = 255;

// The hidden name beside `target` under which its new content is built. A name too long to
// carry the suffix is replaced by its digest.
std::string PartPath(const std::string& target, const char* suffix) {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (1 + name.size() + std::char_traits<char>::length(suffix) > kMaxNameLength) {
        std::string digest;
        CUtil::GetMd5String(name.data(), name.size(), &digest);
        name = digest;
    }
    return dir + "." + name + suffix;
}

void SyncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    platform::File dir;
    if (dir.Open(path.substr(0, slash), platform::File::Mode::Read))
        dir.Sync();
}

// The new version takes the permission bits and the extended attributes (not the client's own)
// of the file it replaces, so an executable stays executable. A failure leaves the new version
// with the user's default modes: its content matters more, and it is logged.
void KeepFileMetadata(const std::string& abs, const std::string& part) {
    const char* tag = "CFileCache::MakeFile";
    unsigned mode = 0;
    if (!platform::GetMode(abs, &mode) || !platform::SetMode(part, mode & 0777))
        Log(kLogWarn, tag, "Fail to keep the permission bits of {%s}: %s", abs.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
    if (!platform::CopyExtendedAttributes(abs, part, platform::kOwnXattrPrefix))
        Log(kLogWarn, tag, "Fail to keep the extended attributes of {%s}: %s", abs.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
}

}  // namespace

bool CFileCache::MakeFile(CFileInfo* info, const platform::FileStat* judged, std::string* keptAs) {
    const char* tag = "CFileCache::MakeFile";
    if (info == nullptr)
        return false;
    if (keptAs)
        keptAs->clear();
    std::string abs;
    if (!_LocalPath(info->path, &abs, tag))
        return false;
    auto openFailed = [&abs, tag](int err) {
        const int answer = _ShowFileError(abs, err);
        Log(kLogError, tag, "Fail to open a localfile {%s} error :%d", abs.c_str(), answer);
        return false;
    };

    // An existing target must be a file that no other program holds locked; the lock is kept
    // until the new content has replaced it. It must still be the version that was judged.
    platform::File current;
    platform::FileStat st;
    const bool exists = platform::Stat(abs, &st);
    if (exists) {
        if (st.kind != platform::EntryKind::File)
            return openFailed(st.kind == platform::EntryKind::Directory ? EISDIR : ELOOP);
        if (judged && judged->kind == platform::EntryKind::File && !StillAsJudged(st, *judged, abs))
            return false;
        if (!current.Open(abs, platform::File::Mode::Read, true))
            return openFailed(platform::LastError());
    } else if (judged && judged->kind == platform::EntryKind::File) {
        Log(kLogError, tag, "Fail to make a file {%s}: it is gone since it was judged", abs.c_str());
        return false;
    }
    const platform::FileStat expected = judged && judged->kind == platform::EntryKind::File ? *judged : st;

    const std::string part = PartPath(abs, kPartSuffix);
    int64_t stored = 0;
    if (!_BuildPart(info, abs, part, &stored))
        return false;
    if (exists)
        KeepFileMetadata(abs, part);
    // Noted before the move: the watcher may read its record before this thread goes on.
    _NoteOwnWrite(abs, info->size, stored);
    const bool placed = exists ? _ReplaceJudged(part, abs, expected, keptAs) : _PlaceNew(part, abs);
    if (!placed) {
        _ForgetOwnWrite(abs);
        platform::RemoveFile(part);
        return false;
    }
    current.Close();
    SyncFolderOf(abs);
    if (stored != info->modifyTime) {
        // File systems that keep times in 2-second steps store a neighbouring value.
        Log(kLogWarn, tag, "Mayble a resolution of 2 seconds from file: %s(%lld <-> %lld)", abs.c_str(),
            static_cast<long long>(info->modifyTime), static_cast<long long>(stored));
        info->modifyTime = stored;
        info->timeAdjusted = 1;
    }
    Log(kLogInfo, tag, "Mak a new local folder: %s", abs.c_str());
    return true;
}

bool CFileCache::StillAsJudged(const platform::FileStat& now, const platform::FileStat& judged,
                               const std::string& abs) {
    if (platform::SameFileVersion(now, judged) && now.changeTimeNs == judged.changeTimeNs)
        return true;
    Log(kLogError, "CFileCache::MakeFile", "Fail to make a file {%s}: it changed during the update",
        abs.c_str());
    return false;
}

bool CFileCache::_BuildPart(CFileInfo* info, const std::string& abs, const std::string& part,
                            int64_t* stored) {
    const char* tag = "CFileCache::MakeFile";
    platform::File out;
    // Made new, never opened where it lies: a file or hard link planted at the part name would
    // otherwise be written through. A part left by an earlier run is only a name to drop.
    platform::RemoveFile(part);
    if (!out.Open(part, platform::File::Mode::CreateNew, true)) {
        const int answer = _ShowFileError(abs, platform::LastError());
        Log(kLogError, tag, "Fail to open a localfile {%s} error :%d", abs.c_str(), answer);
        return false;
    }
    auto discard = [&out, &part]() {
        out.Close();
        platform::RemoveFile(part);
        return false;
    };

    // A key listed twice uses its in-memory buffer each time; the buffer is freed after its last use.
    std::map<std::string, size_t> lastUse;
    for (size_t i = 0; i < info->chunks.size(); ++i)
        lastUse[info->chunks[i].key] = i;
    int64_t total = 0;
    for (size_t i = 0; i < info->chunks.size(); ++i) {
        const CChunkInfo& chunk = info->chunks[i];
        std::unique_ptr<CChunkBuffer> owned;
        const CChunkBuffer* data = nullptr;
        auto mem = info->chunkBuffers.find(chunk.key);
        if (mem != info->chunkBuffers.end() && mem->second) {
            if (lastUse[chunk.key] == i)
                owned = info->TakeChunkBuffer(chunk.key);
            data = owned ? owned.get() : mem->second.get();
        } else {
            owned = std::make_unique<CChunkBuffer>();
            if (!GetChunkCache(chunk, owned.get())) {
                Log(kLogError, tag, "Fail to get chunk of {%s} from cache", chunk.key.c_str());
                return discard();
            }
            data = owned.get();
        }
        if (!out.WriteAll(data->GetData(), data->GetSize())) {
            Log(kLogError, tag, "Fail to write a localfile {%s}: %s", abs.c_str(),
                platform::ErrorText(platform::LastError()).c_str());
            return discard();
        }
        total += static_cast<int64_t>(data->GetSize());
    }
    if (total != info->size) {
        Log(kLogError, tag, "Fail to make file {%s} for Mismatched size %lld with %lld, remove it!",
            abs.c_str(), static_cast<long long>(total), static_cast<long long>(info->size));
        return discard();
    }
    if (!out.SetWriteTime(info->modifyTime) || !out.GetWriteTime(stored)) {
        Log(kLogError, tag, "Fail to set the time of a localfile {%s}: %s", abs.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
        return discard();
    }
    if (!out.Sync()) {
        Log(kLogError, tag, "Fail to write a localfile {%s}: %s", abs.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
        return discard();
    }
    out.Close();
    return true;
}

bool CFileCache::_PlaceNew(const std::string& part, const std::string& abs) {
    // Whatever appeared at the path since the decision is the user's: it is never replaced.
    if (platform::RenameNew(part, abs))
        return true;
    Log(kLogError, "CFileCache::MakeFile", "Fail to replace a localfile {%s}: %s", abs.c_str(),
        platform::ErrorText(platform::LastError()).c_str());
    return false;
}

bool CFileCache::_ReplaceJudged(const std::string& part, const std::string& abs,
                                const platform::FileStat& judged, std::string* keptAs) {
    const char* tag = "CFileCache::MakeFile";
    platform::FileStat now;
    if (!platform::Stat(abs, &now) || !StillAsJudged(now, judged, abs))
        return false;
    // One step swaps the new version in and the old one out, so a save that lands after the look
    // above is in the file taken out, which is looked at once more before it goes to the trash.
    if (platform::ExchangeFiles(part, abs)) {
        if (_Dispose(part, abs, &judged, keptAs) == Trashed::kFailed)
            Log(kLogError, tag, "The earlier version of %s stays as %s", abs.c_str(), part.c_str());
        return true;
    }
    const int err = platform::LastError();
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP) {
        Log(kLogError, tag, "Fail to replace a localfile {%s}: %s", abs.c_str(),
            platform::ErrorText(err).c_str());
        return false;
    }
    // Without the swap: the old version steps aside, and the new one moves in only where nothing
    // appeared in between.
    const std::string aside = PartPath(abs, kAsideSuffix);
    if (!platform::RenameNew(abs, aside)) {
        Log(kLogError, tag, "Fail to replace a localfile {%s}: %s", abs.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
        return false;
    }
    const bool placed = _PlaceNew(part, abs);
    if (placed || platform::Exists(abs)) {
        if (_Dispose(aside, abs, &judged, keptAs) == Trashed::kFailed)
            Log(kLogError, tag, "The earlier version of %s stays as %s", abs.c_str(), aside.c_str());
    } else if (!platform::RenameNew(aside, abs)) {
        Log(kLogError, tag, "The earlier version of %s stays as %s", abs.c_str(), aside.c_str());
    }
    return placed;
}

void CFileCache::_NoteOwnWrite(const std::string& abs, int64_t size, int64_t writeTime) {
    std::lock_guard<std::mutex> lock(ownWritesMu_);
    // Notes are used up by the watcher; without one running they would only pile up.
    if (ownWrites_.size() >= 4096)
        ownWrites_.clear();
    ownWrites_[abs] = {size, writeTime};
}

void CFileCache::_ForgetOwnWrite(const std::string& abs) {
    std::lock_guard<std::mutex> lock(ownWritesMu_);
    ownWrites_.erase(abs);
}

int CFileCache::CheckOwnWrite(const std::string& abs) {
    std::pair<int64_t, int64_t> wrote;
    {
        std::lock_guard<std::mutex> lock(ownWritesMu_);
        auto it = ownWrites_.find(abs);
        if (it == ownWrites_.end())
            return -1;
        wrote = it->second;
        ownWrites_.erase(it);
    }
    platform::FileStat st;
    return platform::Stat(abs, &st) && st.kind == platform::EntryKind::File && st.size == wrote.first &&
                   st.writeTime == wrote.second
               ? 1
               : 0;
}

bool CFileCache::MkDir(const std::string& path) {
    std::string abs;
    if (!_LocalPath(path, &abs, "CFileCache::MkDir"))
        return false;
    Log(kLogInfo, "CFileCache::MkDir", "make a new folder: %s", abs.c_str());
    if (CUtil::IsDirectory(abs)) {
        Log(kLogWarn, "CFileCache::MkDir", "folder {%s} exists", abs.c_str());
        return true;
    }
    if (!platform::MakeDir(abs)) {
        Log(kLogError, "CFileCache::MkDir", "Fail to create a folder: %s", abs.c_str());
        return false;
    }
    return true;
}

bool CFileCache::Rename(const std::string& from, const std::string& to) {
    std::string src, dst;
    if (!_LocalPath(from, &src, "CFileCache::Rename") || !_LocalPath(to, &dst, "CFileCache::Rename"))
        return false;
    if (!platform::MoveFile(src, dst)) {
        Log(kLogError, "CFileCache::Rename", "Fail to rename \"%s\" to \"%s\"", src.c_str(), dst.c_str());
        return false;
    }
    return true;
}

bool CFileCache::Copy(const std::string& from, const std::string& to) {
    std::string src, dst;
    if (!_LocalPath(from, &src, "CFileCache::Copy") || !_LocalPath(to, &dst, "CFileCache::Copy"))
        return false;
    if (!platform::CopyFile(src, dst, true)) {
        Log(kLogError, "CFileCache::Copy", "Fail to rename \"%s\" to \"%s\"", src.c_str(), dst.c_str());
        return false;
    }
    return true;
}

bool CFileCache::SetFileTime(CFileInfo* info) {
    if (info == nullptr)
        return false;
    if (info->dirFlag != 0)
        return true;
    std::string abs;
    if (!_LocalPath(info->path, &abs, "CFileCache::SetFileTime"))
        return false;
    int64_t stored = 0;
    if (!platform::IsRegularFile(abs) || !platform::SetFileWriteTime(abs, info->modifyTime) ||
        !platform::GetFileWriteTime(abs, &stored)) {
        Log(kLogError, "CFileCache::SetFileTime", "Fail to set the time of a localfile {%s}: %s", abs.c_str(),
            platform::ErrorText(platform::LastError()).c_str());
        return false;
    }
    if (stored == info->modifyTime)
        return true;
    Log(kLogError, "CFileCache::SetFileTime", "Set File Time fail; in{%lld} out{%lld}",
        static_cast<long long>(info->modifyTime), static_cast<long long>(stored));
    info->modifyTime = stored;
    return false;
}

bool CFileCache::GetFileInfo(const std::string& path, CFileInfo* out) {
    std::string abs;
    if (out == nullptr || !_LocalPath(path, &abs, "CFileCache::GetFileInfo"))
        return false;
    platform::FileStat st;
    if (!platform::Stat(abs, &st))
        return false;
    // Links and special files are not part of the tree (the scan skips them too).
    if (st.kind != platform::EntryKind::File && st.kind != platform::EntryKind::Directory)
        return false;
    const bool dir = st.kind == platform::EntryKind::Directory;
    *out = CFileInfo(abs, dir ? 1 : 0, dir ? 0 : st.size);
    out->creationTime = st.creationTime;
    out->writeTime = st.writeTime;
    out->accessTime = st.accessTime;
    out->modifyTime = dir ? 1 : st.writeTime;
    return true;
}
