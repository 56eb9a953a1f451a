// Local file operations: building files from chunks, folders, moves, copies, times, lookups, and
// paths that would leave the root.
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/xattr.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "filecache_fixture.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/filemode.h"
#include "support/env.h"
#include "support/randombytes.h"
#include "util/util.h"

namespace {

using fctest::FileCacheFixture;
using testsupport::RandomBytes;

const int64_t kOddSecond = platform::UnixToFileTime(1700000001, 0);
const int64_t kEvenSecond = platform::UnixToFileTime(1700000000, 0);

std::string Md5(const std::string& bytes) {
    std::string key;
    CUtil::GetMd5String(bytes.data(), bytes.size(), &key);
    return key;
}

std::unique_ptr<CChunkBuffer> Buffer(const std::string& data) {
    auto b = std::make_unique<CChunkBuffer>(data.size());
    std::copy(data.begin(), data.end(), b->GetData());
    b->SetSize(data.size());
    return b;
}

class OpsTest : public FileCacheFixture {
  protected:
    // A record of the file `rel` made of `pieces`; those listed in `inMemory` get buffers, the
    // others are put in the cache when `cacheRest`.
    CFileInfo Record(const std::string& rel, const std::vector<std::string>& pieces,
                     const std::vector<bool>& inMemory, bool cacheRest = true) {
        CFileInfo info(rel, 0, 0);
        info.modifyTime = kEvenSecond;
        for (size_t i = 0; i < pieces.size(); ++i) {
            const std::string key = Md5(pieces[i]);
            info.AddChunk(key, static_cast<int32_t>(pieces[i].size()), "", "", 0);
            info.size += static_cast<int64_t>(pieces[i].size());
            if (inMemory[i]) {
                info.chunkBuffers[key] = Buffer(pieces[i]);
            } else if (cacheRest) {
                EXPECT_TRUE(cache_.CacheChunk(key, Buffer(pieces[i]).get()));
            }
        }
        return info;
    }
    // Names in the folder of `rel` (to see that no temporary file was left).
    std::vector<std::string> Names(const std::string& relFolder) {
        std::vector<platform::DirEntry> entries;
        platform::ListDir(Abs(relFolder), &entries);
        std::vector<std::string> names;
        for (const auto& e : entries)
            names.push_back(e.name);
        std::sort(names.begin(), names.end());
        return names;
    }
    int64_t WriteTime(const std::string& rel) {
        int64_t t = 0;
        EXPECT_TRUE(platform::GetFileWriteTime(Abs(rel), &t));
        return t;
    }
};

TEST_F(OpsTest, MakeFileFromMemoryAndCache) {
    const std::string a = RandomBytes(4194304, 1), b = RandomBytes(1000, 2);
    CFileInfo info = Record("/out.bin", {a, b}, {true, false});
    ASSERT_TRUE(cache_.MakeFile(&info));
    EXPECT_EQ(Read("/out.bin"), a + b);
    EXPECT_TRUE(info.chunkBuffers.empty());  // the in-memory chunk was used and freed
    EXPECT_EQ(WriteTime("/out.bin"), kEvenSecond);
    EXPECT_EQ(info.timeAdjusted, 0);
    EXPECT_EQ(Names(""), std::vector<std::string>{"out.bin"});
    EXPECT_TRUE(log_.Contains("Mak a new local folder: " + Abs("/out.bin")));

    // An existing file is replaced; an empty record makes an empty file.
    CFileInfo again = Record("/out.bin", {b}, {true});
    ASSERT_TRUE(cache_.MakeFile(&again));
    EXPECT_EQ(Read("/out.bin"), b);
    CFileInfo empty = Record("/empty.txt", {}, {});
    ASSERT_TRUE(cache_.MakeFile(&empty));
    EXPECT_TRUE(Exists("/empty.txt"));
    EXPECT_EQ(Read("/empty.txt"), "");
}

unsigned ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 01'0000;
}

// The value of the extended attribute `name`, or "(none)".
std::string XattrOf(const std::string& path, const char* name) {
    char buf[256];
    const ssize_t n = ::lgetxattr(path.c_str(), name, buf, sizeof buf);
    return n < 0 ? "(none)" : std::string(buf, static_cast<size_t>(n));
}

// A new version keeps the permission bits and the user's extended attributes of the file it
// replaces, but not the client's own attribute; a new file gets the user's default mode.
TEST_F(OpsTest, ANewVersionKeepsTheModeAndAttributesOfTheFileItReplaces) {
    testsupport::UmaskScope mask(022);
    const std::string body = RandomBytes(3000, 7);
    const bool xattrs = ::lsetxattr(Root().c_str(), "user.probe", "1", 1, 0) == 0;
    const unsigned modes[] = {0755, 0700, 0640, 0444, 0600};
    for (const unsigned mode : modes) {
        SCOPED_TRACE(mode);
        Write("/tool.sh", "old version");
        ASSERT_TRUE(platform::SetMode(Abs("/tool.sh"), mode | 0200));  // writable while it is set up
        if (xattrs) {
            ASSERT_EQ(::lsetxattr(Abs("/tool.sh").c_str(), "user.comment", "keep me", 7, 0), 0);
            ASSERT_TRUE(platform::SetFileAttributes(Abs("/tool.sh"), platform::kAttrHidden));
        }
        ASSERT_TRUE(platform::SetMode(Abs("/tool.sh"), mode));
        CFileInfo info = Record("/tool.sh", {body}, {true});
        ASSERT_TRUE(cache_.MakeFile(&info));
        EXPECT_EQ(Read("/tool.sh"), body);
        EXPECT_EQ(ModeOf(Abs("/tool.sh")), mode);
        if (xattrs) {
            EXPECT_EQ(XattrOf(Abs("/tool.sh"), "user.comment"), "keep me");
            EXPECT_EQ(XattrOf(Abs("/tool.sh"), "user.kestrine.attributes"), "(none)") << "the client's own";
        }
        ASSERT_TRUE(platform::SetMode(Abs("/tool.sh"), 0644));
    }
    for (const mode_t umask : {022, 002, 077}) {
        SCOPED_TRACE(umask);
        testsupport::UmaskScope inner(umask);
        const std::string rel = "/new" + std::to_string(umask) + ".txt";
        CFileInfo info = Record(rel, {body}, {true});
        ASSERT_TRUE(cache_.MakeFile(&info));
        EXPECT_EQ(ModeOf(Abs(rel)), 0666u & ~umask);
    }
}

// Modes or attributes that cannot be kept leave the new version in place with the default mode
// and nothing lost: the content is what counts.
TEST_F(OpsTest, ANewVersionIsPlacedWhenItsModeCannotBeKept) {
    testsupport::UmaskScope mask(022);
    const std::string body = RandomBytes(3000, 8);
    const bool xattrs = ::lsetxattr(Root().c_str(), "user.probe", "1", 1, 0) == 0;
    struct Case {
        const char* what;
        platform::Op op;
        unsigned modeAfter;
        const char* warning;
    };
    const Case cases[] = {
        {"the mode cannot be set", platform::Op::SetMode, 0644, "Fail to keep the permission bits of {"},
        {"an attribute cannot be copied", platform::Op::Xattr, 0755,
         "Fail to keep the extended attributes of {"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.op == platform::Op::Xattr && !xattrs)
            continue;  // no attribute to copy, so no copy to fail
        Write("/tool.sh", "old version");
        if (xattrs) {
            ASSERT_EQ(::lsetxattr(Abs("/tool.sh").c_str(), "user.comment", "keep me", 7, 0), 0);
        }
        ASSERT_TRUE(platform::SetMode(Abs("/tool.sh"), 0755));
        platform::FailCall(c.op, 1, EPERM, "kestrine-part");
        CFileInfo info = Record("/tool.sh", {body}, {true});
        ASSERT_TRUE(cache_.MakeFile(&info));
        platform::ClearFaults();
        EXPECT_EQ(Read("/tool.sh"), body);
        EXPECT_EQ(ModeOf(Abs("/tool.sh")), c.modeAfter);
        EXPECT_TRUE(log_.Contains(std::string(c.warning) + Abs("/tool.sh") + "}"));
        EXPECT_EQ(Names(""), std::vector<std::string>{"tool.sh"}) << "no part file left";
        if (xattrs && c.op == platform::Op::Xattr) {
            EXPECT_EQ(XattrOf(Abs("/tool.sh"), "user.comment"), "(none)");
        }
    }
}

// The watcher asks whether a file the client moved into place is still what it wrote: a user's
// save by rename onto the same name can arrive folded into the client's own record.
TEST_F(OpsTest, OwnWritesAreToldFromWhatCameAfter) {
    const std::string a = RandomBytes(1000, 3);
    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "saved over by the user" : "as written");
        CFileInfo info = Record("/own.bin", {a}, {true});
        ASSERT_TRUE(cache_.MakeFile(&info));
        if (replaced) {
            ASSERT_TRUE(platform::WriteFileAtomic(Abs("/own.bin"), "the user's"));
        }
        EXPECT_EQ(cache_.CheckOwnWrite(Abs("/own.bin")), replaced ? 0 : 1);
        EXPECT_EQ(cache_.CheckOwnWrite(Abs("/own.bin")), -1) << "a note is used once";
    }
    EXPECT_EQ(cache_.CheckOwnWrite(Abs("/never.bin")), -1);
}

// The same chunk twice in a file is written twice, from memory, without the cache.
TEST_F(OpsTest, MakeFileWithRepeatedChunk) {
    const std::string z(4194304, '\0'), tail = "end";
    CFileInfo info = Record("/zeros.bin", {z, z, tail}, {true, true, true}, false);
    ASSERT_EQ(info.chunkBuffers.size(), 2u);
    ASSERT_TRUE(cache_.MakeFile(&info));
    EXPECT_EQ(Read("/zeros.bin"), z + z + tail);
    EXPECT_TRUE(info.chunkBuffers.empty());
}

// Every failure after the target was opened leaves the old file as it was and nothing else.
TEST_F(OpsTest, MakeFileFailuresLeaveTheOldFile) {
    const std::string a = RandomBytes(3000, 5), b = RandomBytes(2000, 6);
    struct Case {
        const char* what;
        bool missingChunk;
        int64_t sizeDelta;
        platform::Op faultOp;
        std::string error;
    };
    const std::string path = Abs("/doc.txt");
    const Case cases[] = {
        {"chunk in neither place", true, 0, platform::Op::Stat,
         "Fail to get chunk of {" + Md5(b) + "} from cache"},
        {"size differs", false, 1, platform::Op::Stat,
         "Fail to make file {" + path + "} for Mismatched size 5000 with 5001, remove it!"},
        {"write fails", false, 0, platform::Op::Write, "Fail to write a localfile {" + path + "}"},
        {"sync fails", false, 0, platform::Op::Fsync, "Fail to write a localfile {" + path + "}"},
        {"time cannot be set", false, 0, platform::Op::SetTime,
         "Fail to set the time of a localfile {" + path + "}"},
        {"rename fails", false, 0, platform::Op::Rename, "Fail to replace a localfile {" + path + "}"},
    };
    for (const Case& c : cases) {
        Write("/doc.txt", "old content");
        CFileInfo info = Record("/doc.txt", {a, b}, {true, false}, !c.missingChunk);
        info.size += c.sizeDelta;
        if (c.faultOp != platform::Op::Stat)
            platform::FailCall(c.faultOp, 1, 28 /* ENOSPC */, "kestrine-part");
        EXPECT_FALSE(cache_.MakeFile(&info)) << c.what;
        platform::ClearFaults();
        EXPECT_EQ(log_.LastError().substr(0, c.error.size()), c.error) << c.what;
        EXPECT_EQ(Read("/doc.txt"), "old content") << c.what;
        EXPECT_EQ(Names(""), std::vector<std::string>{"doc.txt"}) << c.what;
        testsupport::RemoveTree(t_.Sub("cache"));
        ASSERT_TRUE(cache_.SetCache(t_.Sub("cache")));
    }
    // Without an old file, nothing at all is left.
    CFileInfo info = Record("/new.txt", {a, b}, {true, false}, false);
    EXPECT_FALSE(cache_.MakeFile(&info));
    EXPECT_EQ(Names(""), std::vector<std::string>{"doc.txt"});
    EXPECT_TRUE(frontEnd_.Boxes().empty());
}

// A target that another program holds, or that is no file, raises the file-error box.
TEST_F(OpsTest, MakeFileOnLockedOrOddTarget) {
    Write("/locked.txt", "theirs");
    const int fd = ::open(Abs("/locked.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    CFileInfo info = Record("/locked.txt", {"mine"}, {true});
    EXPECT_FALSE(cache_.MakeFile(&info));
    ::close(fd);
    EXPECT_EQ(Read("/locked.txt"), "theirs");
    ASSERT_EQ(frontEnd_.Boxes().size(), 1u);
    EXPECT_NE(frontEnd_.Boxes()[0].text.find(Abs("/locked.txt")), std::string::npos);
    EXPECT_EQ(log_.LastError(), "Fail to open a localfile {" + Abs("/locked.txt") + "} error :1");

    MakeDirs("/folder");
    Write("/real.txt", "real");
    ASSERT_EQ(::symlink(Abs("/real.txt").c_str(), Abs("/link.txt").c_str()), 0);
    for (const char* rel : {"/folder", "/link.txt", "/missing/parent.txt"}) {
        CFileInfo odd = Record(rel, {"x"}, {true});
        EXPECT_FALSE(cache_.MakeFile(&odd)) << rel;
    }
    EXPECT_EQ(frontEnd_.Boxes().size(), 4u);
    EXPECT_EQ(Read("/real.txt"), "real");
    EXPECT_TRUE(platform::IsDirectory(Abs("/folder")));
}

// A file system with 2-second times: the record takes the stored time and says so.
TEST_F(OpsTest, MakeFileOnCoarseTimes) {
    CFileInfo info = Record("/odd.txt", {"content"}, {true});
    info.modifyTime = kOddSecond + 1234567;
    const int64_t asked = info.modifyTime;
    platform::FailCall(platform::Op::CoarseTime, 1);
    ASSERT_TRUE(cache_.MakeFile(&info));
    EXPECT_EQ(info.timeAdjusted, 1);
    EXPECT_EQ(info.modifyTime, kEvenSecond);
    EXPECT_EQ(WriteTime("/odd.txt"), kEvenSecond);
    EXPECT_TRUE(log_.Contains("Mayble a resolution of 2 seconds from file: " + Abs("/odd.txt") + "(" +
                              std::to_string(asked) + " <-> " + std::to_string(kEvenSecond) + ")"));
}

TEST_F(OpsTest, UnusualNames) {
    const std::string names[] = {"it's.txt", "100%_done.txt", "\xe6\x96\x87\xe4\xbb\xb6.txt",
                                 std::string(255, 'n')};
    for (const std::string& n : names) {
        CFileInfo info = Record("/" + n, {n}, {true});
        ASSERT_TRUE(cache_.MakeFile(&info)) << n;
        EXPECT_EQ(Read("/" + n), n);
    }
    EXPECT_EQ(Names("").size(), 4u);
}

// Paths that climb out of the root are refused by every operation.
TEST_F(OpsTest, PathsOutsideTheRootAreRefused) {
    t_.WriteFile("victim.txt", "precious");
    const std::string escapes[] = {"/../victim.txt",       "../victim.txt",           "/a/../../victim.txt",
                                   "\\..\\victim.txt",     Root() + "/../victim.txt", "/./x",
                                   std::string("/a\0b", 4)};
    for (const std::string& p : escapes) {
        CFileInfo info = Record(p, {"evil"}, {true});
        EXPECT_FALSE(cache_.MakeFile(&info)) << p;
        EXPECT_FALSE(cache_.MkDir(p)) << p;
        EXPECT_FALSE(cache_.Remove(p)) << p;
        EXPECT_FALSE(cache_.Rename(p, "/moved")) << p;
        EXPECT_FALSE(cache_.Rename("/moved", p)) << p;
        EXPECT_FALSE(cache_.Copy(p, "/copied")) << p;
        EXPECT_FALSE(cache_.SetFileTime(&info)) << p;
        EXPECT_FALSE(cache_.LoadChunk(p, &info)) << p;
        EXPECT_FALSE(cache_.GetFileInfo(p, &info)) << p;
        EXPECT_FALSE(cache_.SetShareFolder(p, "1")) << p;
    }
    EXPECT_EQ(t_.ReadFile("victim.txt"), "precious");
    EXPECT_NE(log_.LastError().find("Refuse a path that leaves the sync root"), std::string::npos);
    // Relative paths are taken below the root, and the root itself is never removed.
    Write("/gone.txt", "g");
    EXPECT_TRUE(cache_.Remove("/gone.txt"));
    EXPECT_FALSE(Exists("/gone.txt"));
    EXPECT_FALSE(cache_.Remove(""));
    EXPECT_FALSE(cache_.Remove(Root()));
    EXPECT_TRUE(platform::IsDirectory(Root()));
}

TEST_F(OpsTest, MkDir) {
    EXPECT_TRUE(cache_.MkDir("/new"));
    EXPECT_TRUE(platform::IsDirectory(Abs("/new")));
    EXPECT_TRUE(log_.Contains("make a new folder: " + Abs("/new")));
    EXPECT_TRUE(cache_.MkDir("/new"));
    EXPECT_TRUE(log_.Contains("folder {" + Abs("/new") + "} exists"));
    EXPECT_FALSE(cache_.MkDir("/no/parent"));
    EXPECT_EQ(log_.LastError(), "Fail to create a folder: " + Abs("/no/parent"));
    Write("/file", "f");
    EXPECT_FALSE(cache_.MkDir("/file"));
}

TEST_F(OpsTest, RenameAndCopy) {
    Write("/a.txt", "A");
    Write("/b.txt", "B");
    EXPECT_FALSE(cache_.Rename("/a.txt", "/b.txt"));  // never over an existing target
    EXPECT_EQ(log_.LastError(), "Fail to rename \"" + Abs("/a.txt") + "\" to \"" + Abs("/b.txt") + "\"");
    EXPECT_EQ(Read("/b.txt"), "B");
    ASSERT_TRUE(cache_.Rename("/a.txt", "/c.txt"));
    EXPECT_EQ(Read("/c.txt"), "A");
    EXPECT_FALSE(Exists("/a.txt"));
    Write("/dir/x", "x");
    ASSERT_TRUE(cache_.Rename(Abs("/dir"), "/Dir2"));
    EXPECT_EQ(Read("/Dir2/x"), "x");

    ASSERT_TRUE(cache_.Copy("/c.txt", "/b.txt"));  // replaces
    EXPECT_EQ(Read("/b.txt"), "A");
    EXPECT_EQ(Read("/c.txt"), "A");
    EXPECT_FALSE(cache_.Copy("/missing", "/d.txt"));
    EXPECT_EQ(log_.LastError(), "Fail to rename \"" + Abs("/missing") + "\" to \"" + Abs("/d.txt") + "\"");
    EXPECT_TRUE(log_.Contains("[CFileCache::Copy]"));
}

TEST_F(OpsTest, SetFileTime) {
    Write("/f.txt", "f");
    CFileInfo info("/f.txt", 0, 1);
    info.modifyTime = kOddSecond + 5;
    EXPECT_TRUE(cache_.SetFileTime(&info));
    EXPECT_EQ(WriteTime("/f.txt"), kOddSecond + 5);

    platform::FailCall(platform::Op::CoarseTime, 1);
    info.modifyTime = kOddSecond;
    EXPECT_FALSE(cache_.SetFileTime(&info));
    EXPECT_EQ(info.modifyTime, kEvenSecond);  // the record takes what the disk keeps
    EXPECT_EQ(log_.LastError(), "Set File Time fail; in{" + std::to_string(kOddSecond) + "} out{" +
                                    std::to_string(kEvenSecond) + "}");

    CFileInfo folder("/f.txt", 1, 0);
    EXPECT_TRUE(cache_.SetFileTime(&folder));  // folders are left alone
    CFileInfo missing("/missing", 0, 0);
    EXPECT_FALSE(cache_.SetFileTime(&missing));
}

TEST_F(OpsTest, GetFileInfo) {
    Write("/d/f.txt", "12345");
    CFileInfo f;
    ASSERT_TRUE(cache_.GetFileInfo("/d/f.txt", &f));
    EXPECT_EQ(f.path, Abs("/d/f.txt"));
    EXPECT_EQ(f.dirFlag, 0);
    EXPECT_EQ(f.size, 5);
    EXPECT_EQ(f.modifyTime, WriteTime("/d/f.txt"));
    CFileInfo d;
    ASSERT_TRUE(cache_.GetFileInfo(Abs("/d"), &d));
    EXPECT_EQ(d.dirFlag, 1);
    EXPECT_EQ(d.size, 0);
    EXPECT_EQ(d.modifyTime, 1);
    EXPECT_FALSE(cache_.GetFileInfo("/missing", &f));
    ASSERT_EQ(::symlink(Abs("/d/f.txt").c_str(), Abs("/link").c_str()), 0);
    EXPECT_FALSE(cache_.GetFileInfo("/link", &f));
}

}  // namespace

// Names planted where the store builds its files (a file, or a hard link to a file elsewhere) are
// dropped, never written through; a folder swapped for a link while the file is built stops
// the build before anything lands outside the root.
TEST_F(OpsTest, MakeFileNeverWritesThroughPlantedNamesOrLinkedFolders) {
    t_.WriteFile("outside/secret", "secret");
    MakeDirs("/race");
    const std::string piece = RandomBytes(3000, 7);
    struct Case {
        const char* what;
        std::string plantAt;  // a hard link to outside/secret
    };
    const Case cases[] = {
        {"part file", Abs("/race/.big.bin.kestrine-part")},
        {"cached chunk's temporary file", t_.Sub("cache/") + Md5(piece) + ".kestrine-part"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, ::link(t_.Sub("outside/secret").c_str(), c.plantAt.c_str())) << c.what;
        CFileInfo info = Record("/race/big.bin", {piece}, {false});
        ASSERT_TRUE(cache_.MakeFile(&info)) << c.what;
        EXPECT_TRUE(Read("/race/big.bin") == piece) << c.what;
        EXPECT_TRUE(t_.ReadFile("outside/secret") == "secret") << c.what;  // no binary dump
        platform::RemoveFile(Abs("/race/big.bin"));
        platform::RemoveFile(c.plantAt);
    }

    // The folder is real when the download is judged and becomes a link just as the part opens.
    const std::string outside = t_.Sub("outside");
    platform::OnCall(
        platform::Op::Open,
        [this, outside](const std::string&) {
            ::rename(Abs("/race").c_str(), Abs("/race.moved").c_str());
            ::symlink(outside.c_str(), Abs("/race").c_str());
        },
        ".big.bin.kestrine-part");
    CFileInfo info = Record("/race/big.bin", {piece}, {true});
    EXPECT_FALSE(cache_.MakeFile(&info));
    platform::ClearFaults();
    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::ListDir(outside, &entries));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("secret", entries[0].name);
    EXPECT_EQ("secret", t_.ReadFile("outside/secret"));
}
