// The decisions of a pass by tables: one row per combination of what the disk, the journal and
// the service hold, and the answer that keeps every content somebody still wants.
#include "sync/decide.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "journal/filejournal.h"

namespace {

using decide::Local;

std::string Key(char c) {
    return std::string(32, c);
}

CFileInfo File(const std::string& path, int64_t size, int64_t time, char key = 'a') {
    CFileInfo f(path, 0, size);
    f.modifyTime = time;
    f.chunkListText = size > 0 ? Key(key) : std::string();
    return f;
}

CFileInfo Folder(const std::string& path, int32_t flag = 1) {
    CFileInfo f(path, flag, 0);
    f.modifyTime = 1;
    return f;
}

CJournalItem OnDisk(const CFileInfo& active) {
    CJournalItem item;
    item.key = CFileJournal::MakeKey(active.path);
    item.active = active;
    item.onDisk = 1;
    return item;
}

TEST(DecideTest, SameContentIgnoresKeyCaseButNotSizeOrKind) {
    EXPECT_TRUE(decide::SameContent(File("a", 5, 1, 'a'), File("a", 5, 9, 'A')));
    EXPECT_FALSE(decide::SameContent(File("a", 5, 1, 'a'), File("a", 6, 1, 'a')));
    EXPECT_FALSE(decide::SameContent(File("a", 5, 1, 'a'), File("a", 5, 1, 'b')));
    EXPECT_TRUE(decide::SameContent(File("a", 0, 1), File("a", 0, 2)));
    EXPECT_FALSE(decide::SameContent(File("a", 0, 1), Folder("a")));
    EXPECT_TRUE(decide::SameContent(Folder("a"), Folder("a")));
    EXPECT_FALSE(decide::SameContent(Folder("a"), Folder("a", 17))) << "a folder that became shared";
}

TEST(DecideTest, NewPathOnTheService) {
    struct Case {
        Local local;
        CFileInfo U;
        bool same;
        decide::NewPath want;
    };
    const Case cases[] = {
        {Local::kNone, File("u/a", 5, 1), false, decide::NewPath::kFetch},
        {Local::kNone, Folder("u/a"), false, decide::NewPath::kFetch},
        {Local::kFolder, Folder("u/a"), false, decide::NewPath::kKeep},
        {Local::kFolder, Folder("u/a", 17), false, decide::NewPath::kMarkShare},
        {Local::kFolder, File("u/a", 5, 1), false, decide::NewPath::kAsideThenFetch},
        {Local::kFile, Folder("u/a"), false, decide::NewPath::kAsideThenFetch},
        {Local::kFile, File("u/a", 5, 1), true, decide::NewPath::kSetTime},
        {Local::kFile, File("u/a", 5, 1), false, decide::NewPath::kAsideThenFetch},
        {Local::kOther, File("u/a", 5, 1), true, decide::NewPath::kAsideThenFetch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.local) << " " << c.U.dirFlag << " " << c.same);
        EXPECT_EQ(decide::OnNewPath(c.local, c.U, c.same), c.want);
    }
    EXPECT_TRUE(decide::NewPathNeedsContent(Local::kFile, File("u/a", 5, 1)));
    EXPECT_FALSE(decide::NewPathNeedsContent(Local::kFile, Folder("u/a")));
    EXPECT_FALSE(decide::NewPathNeedsContent(Local::kNone, File("u/a", 5, 1)));
}

TEST(DecideTest, ChangedVersionOnTheService) {
    struct Case {
        Local local;
        bool unchanged, same;
        decide::Changed want;
    };
    const Case cases[] = {
        {Local::kNone, false, false, decide::Changed::kFetchAsConflict},
        {Local::kNone, true, true, decide::Changed::kFetchAsConflict},
        {Local::kFile, true, true, decide::Changed::kSetTime},
        {Local::kFile, false, true, decide::Changed::kSetTime},
        {Local::kFile, true, false, decide::Changed::kReplace},
        {Local::kFile, false, false, decide::Changed::kAsideThenFetch},
        {Local::kOther, false, false, decide::Changed::kAsideThenFetch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.local) << " " << c.unchanged << " " << c.same);
        EXPECT_EQ(decide::OnChangedVersion(c.local, c.unchanged, c.same), c.want);
    }
}

TEST(DecideTest, DeletionOnTheService) {
    const CFileInfo T = File("u/a", 5, 100);
    struct Case {
        const char* what;
        Local local;
        CFileInfo L;
        bool same;
        decide::ServerDeleted want;
    };
    const Case cases[] = {
        {"nothing here", Local::kNone, CFileInfo(), false, decide::ServerDeleted::kNothing},
        {"a link", Local::kOther, CFileInfo(), false, decide::ServerDeleted::kNothing},
        {"the version deleted", Local::kFile, File("/a", 5, 100), false, decide::ServerDeleted::kRemove},
        {"only the time moved", Local::kFile, File("/a", 5, 200), true, decide::ServerDeleted::kRemove},
        {"edited since", Local::kFile, File("/a", 5, 200, 'b'), false,
         decide::ServerDeleted::kKeepAsConflict},
        {"a folder now", Local::kFolder, Folder("/a"), false, decide::ServerDeleted::kKeepAsConflict},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decide::OnServerDeletion(c.local, c.L, T, c.same), c.want);
    }
    EXPECT_EQ(decide::OnServerDeletion(Local::kFolder, Folder("/d"), Folder("u/d"), false),
              decide::ServerDeleted::kClearFolder);
    EXPECT_FALSE(decide::ServerDeletedNeedsContent(Local::kFile, File("/a", 5, 100), T));
    EXPECT_TRUE(decide::ServerDeletedNeedsContent(Local::kFile, File("/a", 5, 101), T));
}

TEST(DecideTest, LocalEntryAgainstTheJournal) {
    const CFileInfo scanned = File("/a", 5, 100);
    CJournalItem same = OnDisk(File("u/a", 5, 100));
    CJournalItem older = OnDisk(File("u/a", 4, 90));
    CJournalItem folder = OnDisk(Folder("u/a"));
    CJournalItem pending = OnDisk(File("u/a", 5, 100));
    pending.onDisk = 0;
    pending.updated = File("u/a", 9, 300, 'c');
    CJournalItem tombstone = pending;
    tombstone.updated = File("u/a", 5, -100);
    CJournalItem neverOnDisk;
    neverOnDisk.key = "u/a";
    neverOnDisk.updated = File("u/a", 9, 300, 'c');

    struct Case {
        const char* what;
        const CJournalItem* record;
        decide::LocalEntry want;
    };
    const Case cases[] = {
        {"unknown", nullptr, decide::LocalEntry::kNew},
        {"in step", &same, decide::LocalEntry::kInStep},
        {"edited", &older, decide::LocalEntry::kModified},
        {"was a folder", &folder, decide::LocalEntry::kReplaceKind},
        // The disk holds the version before the service's newer one: sending it would overwrite it.
        {"newer server version pending", &pending, decide::LocalEntry::kWaitForService},
        {"server deletion pending", &tombstone, decide::LocalEntry::kWaitForService},
        {"server version never downloaded", &neverOnDisk, decide::LocalEntry::kWaitForService},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decide::OnLocalEntry(c.record, scanned), c.want);
    }
}

TEST(DecideTest, RemovalTakesOnlyTheVersionSeen) {
    const CFileInfo seen = File("u/a", 5, 100);
    struct Case {
        const char* what;
        decide::Fresh look;
        CFileInfo fresh;
        decide::Removal want;
    };
    const Case cases[] = {
        {"as seen", decide::Fresh::kEntry, File("u/a", 5, 100), decide::Removal::kRemove},
        {"touched only", decide::Fresh::kEntry, File("u/a", 5, 300), decide::Removal::kRemove},
        {"edited elsewhere", decide::Fresh::kEntry, File("u/a", 5, 300, 'b'), decide::Removal::kLeave},
        {"grown elsewhere", decide::Fresh::kEntry, File("u/a", 6, 100), decide::Removal::kLeave},
        {"a folder now", decide::Fresh::kOtherKind, CFileInfo(), decide::Removal::kLeave},
        {"gone already", decide::Fresh::kMissing, CFileInfo(), decide::Removal::kGone},
        {"look failed", decide::Fresh::kFailed, CFileInfo(), decide::Removal::kRetry},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decide::OnLocalDeletion(seen, c.look, c.fresh), c.want);
    }
}

// The journal of the folder tests: every key listed here was on the disk in the version given.
struct Journal {
    std::map<std::string, CJournalItem> rows;
    void Add(const CFileInfo& active) { rows[CFileJournal::MakeKey(active.path)] = OnDisk(active); }
    decide::JournalLookup Lookup() const {
        return [this](const std::string& key) -> const CJournalItem* {
            auto it = rows.find(key);
            return it == rows.end() ? nullptr : &it->second;
        };
    }
};

std::map<std::string, CFileInfo> Listing(const std::vector<CFileInfo>& entries) {
    std::map<std::string, CFileInfo> out;
    for (const CFileInfo& e : entries)
        out[CFileJournal::MakeKey(e.path)] = e;
    return out;
}

TEST(DecideTest, FolderRemovalAsAWholeOnlyWhenEverythingWasSeen) {
    Journal j;
    j.Add(Folder("u/Music/live"));
    j.Add(File("u/Music/live/a.mp3", 5, 1));
    j.Add(Folder("u/Music/live/cd1"));
    j.Add(File("u/Music/live/cd1/b.mp3", 6, 1, 'b'));
    const std::vector<CFileInfo> seen = {File("u/Music/live/a.mp3", 5, 1), Folder("u/Music/live/cd1"),
                                         File("u/Music/live/cd1/b.mp3", 6, 1, 'b')};

    decide::FolderRemoval plan =
        decide::PlanFolderRemoval("u/music/live", "u/music/live", Listing(seen), j.Lookup());
    EXPECT_TRUE(plan.whole);
    EXPECT_TRUE(decide::PlanFolderRemoval("u/music/live", "u/music/live", {}, j.Lookup()).whole)
        << "emptied on the service already";

    // Another computer moved a file in and edited another: those stay with the folders holding
    // them; the subtree seen whole still goes in one removal.
    std::vector<CFileInfo> raced = seen;
    raced.push_back(File("u/Music/live/cd1/new.mp3", 7, 2, 'c'));
    raced.push_back(Folder("u/Music/live/cd2"));
    raced.push_back(File("u/Music/live/cd2/c.mp3", 8, 1, 'd'));
    j.Add(Folder("u/Music/live/cd2"));
    j.Add(File("u/Music/live/cd2/c.mp3", 8, 1, 'd'));
    plan = decide::PlanFolderRemoval("u/music/live", "u/music/live", Listing(raced), j.Lookup());
    EXPECT_FALSE(plan.whole);
    EXPECT_EQ(plan.remove,
              (std::vector<std::string>{"u/Music/live/a.mp3", "u/Music/live/cd1/b.mp3", "u/Music/live/cd2"}));
    std::vector<std::string> forget = plan.forget;
    std::sort(forget.begin(), forget.end());
    EXPECT_EQ(forget,
              (std::vector<std::string>{"u/music/live", "u/music/live/cd1", "u/music/live/cd1/new.mp3"}));

    // An edit of a known file counts as unseen as well.
    std::vector<CFileInfo> edited = seen;
    edited[2] = File("u/Music/live/cd1/b.mp3", 6, 9, 'e');
    plan = decide::PlanFolderRemoval("u/music/live", "u/music/live", Listing(edited), j.Lookup());
    EXPECT_EQ(plan.remove, (std::vector<std::string>{"u/Music/live/a.mp3"}));
}

TEST(DecideTest, SharedFolderContentsAreKeyedByTheFolderId) {
    Journal j;
    j.Add(Folder("u/Team", 17));
    j.Add(File("17/plan.doc", 5, 1));
    std::map<std::string, CFileInfo> listing = Listing({File("17/plan.doc", 5, 1)});
    EXPECT_TRUE(decide::PlanFolderRemoval("u/team", "17", listing, j.Lookup()).whole);
    listing = Listing({File("17/plan.doc", 5, 1), File("17/added.doc", 3, 1, 'b')});
    const decide::FolderRemoval plan = decide::PlanFolderRemoval("u/team", "17", listing, j.Lookup());
    EXPECT_FALSE(plan.whole);
    EXPECT_EQ(plan.remove, (std::vector<std::string>{"17/plan.doc"}));

    // A shared folder inside a plain one: its contents hang below its mount.
    j.Add(Folder("u/docs"));
    j.Add(Folder("u/docs/team", 18));
    j.Add(File("18/x.txt", 5, 1));
    listing = Listing({Folder("u/docs/team", 18), File("18/x.txt", 5, 1), File("18/y.txt", 4, 1, 'c')});
    const decide::FolderRemoval nested = decide::PlanFolderRemoval("u/docs", "u/docs", listing, j.Lookup());
    EXPECT_FALSE(nested.whole);
    EXPECT_EQ(nested.remove, (std::vector<std::string>{"18/x.txt"}));
}

decide::Vanished Gone(const CFileInfo& seen, const std::string& rel, uint64_t inode = 0) {
    decide::Vanished v{CFileJournal::MakeKey(seen.path), rel, seen, {}};
    v.seen.fileDevice = inode ? 1 : 0;
    v.seen.fileInode = inode;
    return v;
}

decide::Appeared Came(CFileInfo entry, uint64_t inode = 0) {
    entry.fileDevice = inode ? 1 : 0;
    entry.fileInode = inode;
    return decide::Appeared{entry.path, entry, {}};
}

TEST(DecideTest, RenamesByIdentityOrContent) {
    struct Case {
        const char* what;
        std::vector<decide::Vanished> vanished;
        std::vector<decide::Appeared> appeared;
        size_t pairs;
    };
    const CFileInfo a = File("u/a.txt", 5, 100);
    const Case cases[] = {
        {"same inode, size and time", {Gone(a, "/a.txt", 7)}, {Came(File("/b.txt", 5, 100), 7)}, 1},
        {"same inode, new content: reused", {Gone(a, "/a.txt", 7)}, {Came(File("/b.txt", 9, 100), 7)}, 0},
        {"other inode", {Gone(a, "/a.txt", 7)}, {Came(File("/b.txt", 5, 100), 8)}, 0},
        {"no inode known: same content", {Gone(a, "/a.txt")}, {Came(File("/b.txt", 5, 100))}, 1},
        {"no inode known: not read", {Gone(a, "/a.txt")}, {Came(CFileInfo("/b.txt", 0, 5))}, 0},
        {"no inode known: other time", {Gone(a, "/a.txt")}, {Came(File("/b.txt", 5, 101))}, 0},
        {"two copies: no proof which",
         {Gone(a, "/a.txt")},
         {Came(File("/b.txt", 5, 100)), Came(File("/c.txt", 5, 100))},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decide::MatchRenames(c.vanished, c.appeared).size(), c.pairs);
    }
}

TEST(DecideTest, AFolderRenameCarriesWhatItHolds) {
    decide::Vanished live = Gone(Folder("u/music/live"), "/music/live", 40);
    live.children["a.mp3"] = File("u/music/live/a.mp3", 5, 100);
    decide::Appeared renamed = Came(Folder("/music/r24-live"), 40);
    renamed.children["a.mp3"] = File("/music/r24-live/a.mp3", 5, 100);
    const std::vector<decide::Vanished> vanished = {
        live, Gone(File("u/music/live/a.mp3", 5, 100), "/music/live/a.mp3", 41)};
    const std::vector<decide::Appeared> appeared = {renamed, Came(File("/music/r24-live/a.mp3", 5, 100), 41)};
    const std::vector<decide::RenamePair> pairs = decide::MatchRenames(vanished, appeared);
    ASSERT_EQ(pairs.size(), 1u) << "the file moved with its folder";
    EXPECT_EQ(pairs[0].vanished, 0u);
    EXPECT_EQ(pairs[0].appeared, 0u);

    // Without identities the folder's contents decide; a new folder holding other things is new.
    decide::Vanished byContent = live;
    byContent.seen.fileInode = 0;
    decide::Appeared other = renamed;
    other.entry.fileInode = 0;
    EXPECT_EQ(decide::MatchRenames({byContent}, {other}).size(), 1u);
    other.children.clear();
    other.children["b.mp3"] = File("/music/r24-live/b.mp3", 5, 100);
    EXPECT_TRUE(decide::MatchRenames({byContent}, {other}).empty());
    // An inode used again by an unrelated new folder is not a rename.
    decide::Appeared reused = Came(Folder("/music/new"), 40);
    reused.children["z.mp3"] = File("/music/new/z.mp3", 3, 5);
    EXPECT_TRUE(decide::MatchRenames({live}, {reused}).empty());
}

TEST(DecideTest, MassRemovalNeedsBothShareAndCount) {
    EXPECT_FALSE(decide::IsMassRemoval(100, 150)) << "not more than 100";
    EXPECT_TRUE(decide::IsMassRemoval(101, 200));
    EXPECT_FALSE(decide::IsMassRemoval(101, 202)) << "not over half";
    EXPECT_FALSE(decide::IsMassRemoval(5, 6));
}

}  // namespace
