// Set-up, path conversions and the scan of the sync root: filters, records, share ids, depth,
// links, letter case and failures.
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "filecache_fixture.h"
#include "platform/file.h"
#include "support/env.h"

namespace {

using fctest::FileCacheFixture;

class ScanTest : public FileCacheFixture {
  protected:
    void Hide(const std::string& rel) {
        ASSERT_TRUE(platform::SetFileAttributes(Abs(rel), platform::kAttrHidden)) << rel;
    }
    // The relative paths of the last scan, as found (in key order).
    std::vector<std::string> Listed() {
        std::vector<std::string> out;
        CFileInfo info;
        for (bool ok = cache_.GetFirst(&info); ok; ok = cache_.GetNext(&info))
            out.push_back(info.path);
        return out;
    }
    bool Listed(const std::string& rel) { return cache_.Find(rel, nullptr); }
};

TEST_F(ScanTest, SetUpPaths) {
    EXPECT_FALSE(cache_.SetRoot(""));
    EXPECT_EQ(log_.LastError(), "Fail to creat a path NULL");
    EXPECT_FALSE(cache_.SetCache(""));
    EXPECT_TRUE(log_.Contains("[CFileCache::SetCache]"));

    // Separators are turned and trailing ones dropped; missing parents are created and the new
    // folder is hidden, an existing one is left as it is.
    ASSERT_TRUE(cache_.SetRoot(t_.Sub("a\\b/root2//")));
    EXPECT_EQ(cache_.GetRoot(), t_.Sub("a/b/root2"));
    EXPECT_TRUE(platform::GetFileAttributes(t_.Sub("a/b/root2")) & platform::kAttrHidden);
    t_.MakeDirs("plain");
    ASSERT_TRUE(cache_.SetFolder(t_.Sub("plain")));
    EXPECT_FALSE(platform::GetFileAttributes(t_.Sub("plain")) & platform::kAttrHidden);

    platform::FailCall(platform::Op::MakeDir, 1, 13 /* EACCES */);
    EXPECT_FALSE(cache_.SetFolder(t_.Sub("denied")));
    EXPECT_EQ(log_.LastError(), "Fail to creat directory \"" + t_.Sub("denied") + "\"");
    t_.WriteFile("afile", "x");
    EXPECT_FALSE(cache_.SetFolder(t_.Sub("afile")));
}

TEST_F(ScanTest, PathConversions) {
    const std::string root = Root();
    std::string upper = root;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string in;
        bool prefixed;
        std::string out;
    };
    const Case toAbs[] = {
        {"/docs/plan.doc", true, root + "/docs/plan.doc"},
        {"docs/plan.doc", true, root + "/docs/plan.doc"},
        {"\\docs\\plan.doc", true, root + "/docs/plan.doc"},
        {root + "/x", false, root + "/x"},
        {upper + "/x", false, root + "/x"},  // the root gets its own spelling back
        {root, false, root},
        // A name that merely begins like the root is not inside it.
        {root + "2/x", true, root + root + "2/x"},
    };
    for (const Case& c : toAbs) {
        std::string p = c.in;
        EXPECT_EQ(cache_.ToAbsolutePath(&p), c.prefixed) << c.in;
        EXPECT_EQ(p, c.out) << c.in;
    }
    const Case toRel[] = {
        {root + "/docs/plan.doc", true, "/docs/plan.doc"},
        {upper + "/Docs/Plan.doc", true, "/Docs/Plan.doc"},
        {root, true, ""},
        {root + "2/x", false, root + "2/x"},
        {"/elsewhere/x", false, "/elsewhere/x"},
    };
    for (const Case& c : toRel) {
        std::string p = c.in;
        EXPECT_EQ(cache_.ToRelativePath(&p), c.prefixed) << c.in;
        EXPECT_EQ(p, c.out) << c.in;
    }
}

TEST_F(ScanTest, RecordsOfFilesAndFolders) {
    Write("/Docs/Plan.doc", "12345");
    MakeDirs("/Docs/Empty");
    ASSERT_TRUE(cache_.ScanRoot());
    EXPECT_EQ(Listed(), (std::vector<std::string>{"/Docs", "/Docs/Empty", "/Docs/Plan.doc"}));

    CFileInfo f;
    ASSERT_TRUE(cache_.Find("/docs/PLAN.DOC", &f));  // keys ignore letter case
    platform::FileStat st;
    ASSERT_TRUE(platform::Stat(Abs("/Docs/Plan.doc"), &st));
    EXPECT_EQ(f.path, "/Docs/Plan.doc");
    EXPECT_EQ(f.dirFlag, 0);
    EXPECT_EQ(f.size, 5);
    EXPECT_EQ(f.modifyTime, st.writeTime);
    EXPECT_EQ(f.writeTime, st.writeTime);
    EXPECT_EQ(f.accessTime, st.accessTime);
    EXPECT_EQ(f.creationTime, st.creationTime);

    CFileInfo d;
    ASSERT_TRUE(cache_.Find("/docs", &d));
    EXPECT_EQ(d.dirFlag, 1);
    EXPECT_EQ(d.size, 0);
    EXPECT_EQ(d.modifyTime, 1);

    // The reference form points into the map.
    CFileInfo* ref = nullptr;
    ASSERT_TRUE(cache_.GetFirstRef(&ref));
    ref->syncState = 7;
    ASSERT_TRUE(cache_.Find("/docs", &d));
    EXPECT_EQ(d.syncState, 7);
    int n = 1;
    while (cache_.GetNextRef(&ref))
        ++n;
    EXPECT_EQ(n, 3);
}

TEST_F(ScanTest, EmptyMissingAndUnusableRoot) {
    ASSERT_TRUE(cache_.ScanRoot());
    EXPECT_EQ(cache_.Count(), 0u);
    CFileInfo info;
    EXPECT_FALSE(cache_.GetFirst(&info));

    // A root that vanished is not made again: read as empty it would turn every file the journal
    // remembers into a deletion.
    ASSERT_TRUE(testsupport::RemoveTree(Root()));
    EXPECT_FALSE(cache_.ScanRoot());
    EXPECT_FALSE(platform::Exists(Root()));
    EXPECT_EQ(cache_.Count(), 0u);

    ASSERT_TRUE(testsupport::RemoveTree(Root()));
    t_.WriteFile("root", "a file where the root should be");
    EXPECT_FALSE(cache_.ScanRoot());
    EXPECT_EQ(log_.LastError(), "Fail to open root path \"" + Root() + "\"");
}

TEST_F(ScanTest, HiddenFileFilters) {
    struct Case {
        const char* name;
        bool hidden;
        bool listed;
    };
    const Case cases[] = {
        {"~$plan.docx", true, false},
        {"~$plan.docx", false, true},  // never filtered without the attribute
        {"~tmp1.doc", true, false},    // "doc" occurs inside "docx"
        {"~data.DOCX", true, true},    // the search is case-sensitive
        {"~vsd", true, false},         // no dot: the whole name is looked up
        {"~zz", true, true},
        {"~x.", true, false},  // an empty extension occurs in any text
        {"Thumbs.db", true, false},
        {"Thumbs.db", false, true},
        {".~lock.tmp", true, true},  // hidden by its dot, but it does not begin with "~"
        {".profile", true, true},
        {"desktop.ini", false, false},
        {"desktop.ini", true, false},
        {".peltashare", false, false},
        {".report.pdf.kestrine-part", true, false},      // a file being built
        {".report.pdf.old.kestrine-part", true, false},  // an old version stepping aside
        {"report.pdf.kestrine-part", false, true},       // only the client's hidden form is skipped
    };
    int i = 0;
    for (const Case& c : cases) {
        const std::string rel = "/f" + std::to_string(i++) + "/" + c.name;
        Write(rel, "x");
        if (c.hidden && c.name[0] != '.')
            Hide(rel);
    }
    ASSERT_TRUE(cache_.ScanRoot());
    i = 0;
    for (const Case& c : cases) {
        const std::string rel = "/f" + std::to_string(i++) + "/" + c.name;
        EXPECT_EQ(Listed(rel), c.listed) << rel << (c.hidden ? " hidden" : "");
    }
    EXPECT_TRUE(log_.Contains("File filter: ~$plan.docx " + Abs("/f0/~$plan.docx")));
    EXPECT_FALSE(log_.Contains("File filter: ~$plan.docx " + Abs("/f1/~$plan.docx")));
}

// Editors', the desktop's and browsers' temporary names stay local whether hidden or not; names
// that only look alike are the user's. Folders are never filtered by name.
TEST_F(ScanTest, EditorAndBrowserTemporaries) {
    struct Case {
        const char* name;
        bool listed;
    };
    const Case cases[] = {
        {".~lock.report.odt#", false},  // LibreOffice
        {".~lock.#", true},             // nothing between head and tail
        {".~lock.report.odt", true},    // no closing "#"
        {"~lock.report.odt#", true},    // no leading dot
        {".report.txt.swp", false},     // vim
        {".report.txt.swx", false},
        {".swp", true},  // the dot is the head: nothing is left for a name
        {"report.swp", true},
        {".report.txt.SWP", true},  // names keep their case
        {".report.txt.swo", true},
        {"notes.txt~", false},  // backup copies
        {"~", true},
        {"~notes", true},
        {".#report.txt", false},  // Emacs lock
        {".#", true},
        {"#report.txt#", true},  // Emacs auto-save: the user's, as it holds unsaved work
        {".goutputstream-X1Y2Z3", false},
        {".goutputstream-", true},
        {"goutputstream-X1Y2Z3", true},
        {"movie.mkv.crdownload", false},
        {".crdownload", true},
        {"movie.mkv.part", false},
        {"report.part.txt", true},
        {".part", true},
        {"part", true},
        {"movie.mkv.Part", true},
    };
    int i = 0;
    for (const Case& c : cases) {
        Write("/t" + std::to_string(i) + "/" + c.name, "x");
        t_.MakeDirs("root/d" + std::to_string(i++) + "/" + c.name);
    }
    ASSERT_TRUE(cache_.ScanRoot());
    i = 0;
    for (const Case& c : cases) {
        const std::string n = std::to_string(i++) + "/" + c.name;
        EXPECT_EQ(Listed("/t" + n), c.listed) << c.name;
        EXPECT_TRUE(Listed("/d" + n)) << "a folder named " << c.name;
    }
}

// A marker follows a share the journal knows that moved; its text must be a valid id.
TEST_F(ScanTest, ShareMarkers) {
    struct Case {
        const char* marker;
        int32_t dirFlag;
    };
    const Case cases[] = {
        {"10234", 10234}, {" 77\n", 77}, {"abc", 1},
        {"", 1},          {"0", 1},      {"1", 1},
        {"12x", 1},       {"-5", 1},     {"99999999999999999999", 1},
    };
    int i = 0;
    for (const Case& c : cases)
        t_.WriteFile("root/s" + std::to_string(i++) + "/.peltashare", c.marker);
    t_.WriteFile("root/big/.peltashare", std::string(10240, '7'));
    cache_.SetKnownShares({{"10234", "/old0"}, {"77", "/old1"}});
    ASSERT_TRUE(cache_.ScanRoot());
    i = 0;
    for (const Case& c : cases) {
        CFileInfo d;
        ASSERT_TRUE(cache_.Find("/s" + std::to_string(i++), &d));
        EXPECT_EQ(d.dirFlag, c.dirFlag) << "marker \"" << c.marker << "\"";
    }
    CFileInfo big;
    ASSERT_TRUE(cache_.Find("/big", &big));
    EXPECT_EQ(big.dirFlag, 1);  // 128 digits read, far too large for an id
    std::string folder;
    ASSERT_TRUE(cache_.FindShareFolder("10234", &folder));
    EXPECT_EQ(folder, Abs("/s0"));
    ASSERT_TRUE(cache_.FindShareFolder("77", &folder));
    EXPECT_FALSE(cache_.FindShareFolder("abc", &folder));
    // Invalid markers are left alone.
    EXPECT_EQ(t_.ReadFile("root/s2/.peltashare"), "abc");
}

// The journal names the shared folders: a folder at a share's path is that share, marker or not;
// a marker elsewhere (copied, or put there by someone else) claims nothing and the share stays.
TEST_F(ScanTest, ShareIdsComeFromTheJournal) {
    struct Case {
        std::string folder, marker;  // marker "": none
        int32_t dirFlag;
        bool markerKept;
    };
    const Case cases[] = {
        {"/Mine", "40", 40, true},     {"/Plain", "", 1, true},
        {"/NoMarker", "", 41, true},    // the journal's share, its marker lost
        {"/q3/sub", "40", 1, false},    // names a share that is still in its place
        {"/copy", "41", 1, false},      // the same for a share without a marker
        {"/stray", "99", 1, false},     // unknown to the journal: an ordinary folder
        {"/moved-to", "42", 42, true},  // the share's folder is gone from its place: moved here
    };
    for (const Case& c : cases) {
        t_.WriteFile("root" + c.folder + "/doc.txt", "d");
        t_.WriteFile("root" + c.folder + "/.hidden", "doc.txt\n");
        if (!c.marker.empty())
            t_.WriteFile("root" + c.folder + "/.peltashare", c.marker);
    }
    t_.WriteFile("root/.hidden", "desktop.ini\n");
    t_.WriteFile("root/.Hidden", "the service would take it for the list");
    t_.WriteFile("root/stray/desktop.ini", "[.ShellClassInfo]");
    // Letter case as the journal spells it need not match the disk's.
    cache_.SetKnownShares({{"40", "/mine"}, {"41", "/NoMarker"}, {"42", "/moved-from"}});
    ASSERT_TRUE(cache_.ScanRoot());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        CFileInfo d;
        ASSERT_TRUE(cache_.Find(c.folder, &d));
        EXPECT_EQ(d.dirFlag, c.dirFlag);
        if (!c.marker.empty()) {
            EXPECT_EQ(Exists(c.folder + "/.peltashare"), c.markerKept);
        }
        EXPECT_TRUE(Exists(c.folder + "/doc.txt"));
        // The hidden-name list beside a share's decoration stays on this computer.
        EXPECT_EQ(Listed(c.folder + "/.hidden"), c.dirFlag == 1);
    }
    EXPECT_FALSE(Listed("/.hidden")) << "the home folder's";
    EXPECT_FALSE(Listed("/.Hidden"));
    std::string folder;
    ASSERT_TRUE(cache_.FindShareFolder("40", &folder));
    EXPECT_EQ(folder, Abs("/Mine"));
    EXPECT_FALSE(cache_.FindShareFolder("99", &folder));
    EXPECT_EQ(cache_.KnownShareAt("/MINE"), 40);
    EXPECT_EQ(cache_.KnownShareAt("/q3/sub"), 1);

    EXPECT_FALSE(Exists("/stray/desktop.ini")) << "nor does it look shared";

    // Without the journal's word no marker names a share.
    cache_.SetKnownShares({});
    ASSERT_TRUE(cache_.ScanRoot());
    CFileInfo mine;
    ASSERT_TRUE(cache_.Find("/Mine", &mine));
    EXPECT_EQ(mine.dirFlag, 1);
    EXPECT_FALSE(cache_.FindShareFolder("40", &folder));
}

// Two folders claiming one moved share: the first met keeps it, the other loses marker and
// decoration.
TEST_F(ScanTest, CopyOfSharedFolderLosesItsMarker) {
    for (const char* f : {"/one", "/two"}) {
        t_.WriteFile(std::string("root") + f + "/.peltashare", "555");
        t_.WriteFile(std::string("root") + f + "/desktop.ini", "[.ShellClassInfo]");
        t_.WriteFile(std::string("root") + f + "/doc.txt", "d");
    }
    cache_.SetKnownShares({{"555", "/before"}});
    ASSERT_TRUE(cache_.ScanRoot());
    CFileInfo one, two;
    ASSERT_TRUE(cache_.Find("/one", &one));
    ASSERT_TRUE(cache_.Find("/two", &two));
    EXPECT_EQ(std::set<int32_t>({one.dirFlag, two.dirFlag}), std::set<int32_t>({1, 555}));
    const std::string loser = one.dirFlag == 1 ? "/one" : "/two";
    const std::string keeper = one.dirFlag == 1 ? "/two" : "/one";
    EXPECT_FALSE(Exists(loser + "/.peltashare"));
    EXPECT_FALSE(Exists(loser + "/desktop.ini"));
    EXPECT_TRUE(Exists(loser + "/doc.txt"));
    EXPECT_TRUE(Exists(keeper + "/.peltashare"));
    std::string folder;
    ASSERT_TRUE(cache_.FindShareFolder("555", &folder));
    EXPECT_EQ(folder, Abs(keeper));

    // A later scan sees one share only, and a scan starts with an empty share map.
    ASSERT_TRUE(cache_.ScanRoot());
    ASSERT_TRUE(cache_.Find(loser, &one));
    EXPECT_EQ(one.dirFlag, 1);
    ASSERT_TRUE(testsupport::RemoveTree(Abs(keeper)));
    ASSERT_TRUE(cache_.ScanRoot());
    EXPECT_FALSE(cache_.FindShareFolder("555", &folder));
}

// The root is scanned at depth 1: a folder 32 levels down is listed, its content is not.
TEST_F(ScanTest, DepthLimit) {
    std::string rel;
    for (int level = 1; level <= 33; ++level) {
        rel += "/d" + std::to_string(level);
        Write(rel + "/f.txt", "x");
    }
    Write("/beside.txt", "y");
    ASSERT_TRUE(cache_.ScanRoot());
    std::string path;
    for (int level = 1; level <= 33; ++level) {
        path += "/d" + std::to_string(level);
        EXPECT_EQ(Listed(path), level <= 32) << level;
        EXPECT_EQ(Listed(path + "/f.txt"), level <= 31) << level;
    }
    EXPECT_TRUE(Listed("/beside.txt"));
    EXPECT_EQ(log_.LastError(), "Deepth fo dirctory is too large");
    EXPECT_FALSE(cache_.ScanPath(Abs(path), CFileCache::kMaxScanDepth));
}

TEST_F(ScanTest, LinksAndSpecialFilesAreSkipped) {
    t_.WriteFile("outside/secret.txt", "s");
    Write("/real.txt", "r");
    ASSERT_EQ(::symlink(t_.Sub("outside").c_str(), Abs("/dirlink").c_str()), 0);
    ASSERT_EQ(::symlink(Abs("/real.txt").c_str(), Abs("/filelink").c_str()), 0);
    ASSERT_EQ(::symlink(Root().c_str(), Abs("/loop").c_str()), 0);
    ASSERT_EQ(::mkfifo(Abs("/fifo").c_str(), 0600), 0);
    ASSERT_TRUE(cache_.ScanRoot());
    EXPECT_EQ(Listed(), std::vector<std::string>{"/real.txt"});
    EXPECT_TRUE(log_.Contains("Skip a link or special file: " + Abs("/dirlink")));
    EXPECT_TRUE(log_.Contains("Skip a link or special file: " + Abs("/fifo")));
}

TEST_F(ScanTest, NamesDifferingOnlyInCase) {
    Write("/a/Doc.txt", "1");
    Write("/a/doc.txt", "22");
    Write("/B/x.txt", "x");
    Write("/b/y.txt", "y");
    ASSERT_TRUE(cache_.ScanRoot());
    CFileInfo doc, b;
    ASSERT_TRUE(cache_.Find("/a/doc.txt", &doc));
    ASSERT_TRUE(cache_.Find("/b", &b));
    // Whichever was listed first stays; the other folder's content is not mixed in.
    const std::string child = b.path + (b.path == "/B" ? "/x.txt" : "/y.txt");
    EXPECT_EQ(Listed(), (std::vector<std::string>{"/a", doc.path, b.path, child}));
    EXPECT_TRUE(log_.Contains("only in letter case and is not synced"));
}

// The service splits names at "\": such a local name cannot be stored as it is.
TEST_F(ScanTest, NamesWithABackslashAreNotSynced) {
    Write("/a\\b.txt", "1");
    Write("/dir\\x/inner.txt", "2");
    Write("/plain.txt", "3");
    ASSERT_TRUE(cache_.ScanRoot());
    EXPECT_EQ(Listed(), std::vector<std::string>{"/plain.txt"});
    EXPECT_TRUE(log_.Contains("\"" + Abs("/a\\b.txt") + "\" holds a \"\\\" and is not synced"));
}

TEST_F(ScanTest, StatesFollowPathsAcrossScans) {
    Write("/Dir/File.txt", "f");
    cache_.SetState("/dir/file.TXT", 1);
    EXPECT_EQ(cache_.GetState("/DIR/FILE.txt"), 1);
    EXPECT_EQ(cache_.GetState("/other"), 0);
    for (int scan = 0; scan < 2; ++scan) {
        ASSERT_TRUE(cache_.ScanRoot());
        CFileInfo f, d;
        ASSERT_TRUE(cache_.Find("/Dir/File.txt", &f));
        ASSERT_TRUE(cache_.Find("/Dir", &d));
        EXPECT_EQ(f.syncState, 1);
        EXPECT_EQ(d.syncState, 0);
    }
}

TEST_F(ScanTest, UnusualNames) {
    const std::string names[] = {
        "it's.txt", "100%.txt", "a_b.txt", "\xe6\x96\x87\xe4\xbb\xb6.txt", std::string(255, 'n'),
    };
    for (const std::string& n : names)
        Write("/d/" + n, n);
    ASSERT_TRUE(cache_.ScanRoot());
    for (const std::string& n : names) {
        CFileInfo f;
        ASSERT_TRUE(cache_.Find("/d/" + n, &f)) << n;
        EXPECT_EQ(f.path, "/d/" + n);
        EXPECT_EQ(f.size, static_cast<int64_t>(n.size()));
    }
}

// A folder that cannot be listed must not look like deleted files: the whole scan fails.
TEST_F(ScanTest, UnlistableFolderFailsTheScan) {
    Write("/ok/a.txt", "a");
    Write("/bad/b.txt", "b");
    ASSERT_TRUE(cache_.ScanRoot());
    EXPECT_EQ(cache_.Count(), 4u);
    platform::FailCall(platform::Op::ListDir, 1, 5 /* EIO */, "/bad");
    EXPECT_FALSE(cache_.ScanRoot());
    EXPECT_EQ(cache_.Count(), 0u);
    EXPECT_TRUE(log_.Contains("Fail to list folder \"" + Abs("/bad") + "\""));
    EXPECT_TRUE(cache_.ScanRoot());  // the next pass lists it again
    EXPECT_EQ(cache_.Count(), 4u);
}

TEST_F(ScanTest, InitResetsStatusAreaAndChecksRoot) {
    testsupport::FakeHome home;
    ASSERT_TRUE(cache_.Init(Root()));
    ASSERT_TRUE(cache_.SharedStatus().SetState(Abs("/x"), 2));
    Write("/f.txt", "f");
    ASSERT_TRUE(cache_.ScanRoot());
    ASSERT_TRUE(cache_.Init(Root()));
    EXPECT_EQ(cache_.SharedStatus().Count(), 0);
    EXPECT_EQ(cache_.Count(), 0u);

    CFileCache other;
    EXPECT_FALSE(other.Init(""));
    EXPECT_EQ(log_.LastError(), "Fail to creat a local direcotry");
    platform::FailCall(platform::Op::Map, 1);
    EXPECT_FALSE(other.Init(Root()));
    EXPECT_EQ(log_.LastError(), "Fail to creat a shared memory");
}

TEST_F(ScanTest, CleanCache) {
    t_.WriteFile("cache/0123456789abcdef0123456789abcdef", "chunk");
    ASSERT_TRUE(cache_.CleanCache());
    EXPECT_TRUE(platform::IsDirectory(t_.Sub("cache")));
    EXPECT_FALSE(t_.Exists("cache/0123456789abcdef0123456789abcdef"));
    CFileCache noCache;
    EXPECT_FALSE(noCache.CleanCache());
    EXPECT_EQ(log_.LastError(), "NULL cache folder");
}

}  // namespace
