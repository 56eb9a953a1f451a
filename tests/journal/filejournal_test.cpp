// The file journal: table and settings, the life of a record, prefix operations with pattern
// characters in paths, damaged rows, share maps and path conversions, durability across a killed
// process, and the configuration store on the same file.
#include "journal/filejournal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "core/config.h"
#include "platform/codepage.h"
#include "support/logcapture.h"
#include "support/sqlquery.h"
#include "support/tempdir.h"

namespace {

const std::string kK1(32, 'a');
const std::string kK2(32, 'b');

CFileInfo Info(const std::string& path, int32_t dir, int64_t size, int64_t mtime,
               const std::string& chunks = "") {
    CFileInfo f(path, dir, size);
    f.modifyTime = mtime;
    f.chunkListText = chunks;
    return f;
}

using testsupport::Query;

class FileJournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        db_ = dir_.Sub("client.db");
        ASSERT_EQ(j_.Init(db_), 1);
        ASSERT_EQ(j_.OpenDB(), 1);
    }

    // The row of a key in table order after the key, or "" when there is none.
    std::string Row(const std::string& key) {
        char* sql = sqlite3_mprintf(
            "SELECT active_server_path, active_chunklist, actvie_mtime, active_size, active_dir, "
            "updated_server_path, updated_chunklist, updated_mtime, updated_size, updated_dir, on_disk "
            "FROM file_journal_table WHERE server_path='%q'",
            key.c_str());
        std::string r = Query(db_, sql);
        sqlite3_free(sql);
        return r;
    }
    std::string Keys() {
        return Query(db_, "SELECT server_path FROM file_journal_table ORDER BY server_path");
    }

    testsupport::TempDir dir_;
    testsupport::LogCapture log_;
    std::string db_;
    CFileJournal j_;
};

TEST(FileJournalInit, TableSettingsAndRefusals) {
    testsupport::TempDir dir;
    testsupport::LogCapture log;
    const std::string db = dir.Sub("client.db");
    CFileJournal j;
    EXPECT_EQ(j.Init(""), 0);
    EXPECT_EQ(log.LastError(), "Need set config DB file!");
    EXPECT_EQ(j.OpenDB(), 0);
    EXPECT_EQ(log.LastError(), "DB file undefined!");
    ASSERT_EQ(j.Init(db), 1);
    EXPECT_EQ(j.Init(db), 0);
    EXPECT_EQ(log.LastError(), "DB file exist!");

    EXPECT_EQ(Query(db, "SELECT sql FROM sqlite_master WHERE name='file_journal_table'"),
              "CREATE TABLE file_journal_table (id INTEGER primary key, server_path TEXT not null unique,"
              "                    active_server_path TEXT, active_chunklist TEXT, actvie_mtime INTEGER, "
              "active_size INTEGER, active_dir INTEGER,                    updated_server_path TEXT, "
              "updated_chunklist TEXT, updated_mtime INTEGER, updated_size INTEGER, updated_dir INTEGER, "
              "on_disk INTEGER)");
    EXPECT_EQ(Query(db, "PRAGMA journal_mode"), "wal");

    // A second start finds the table: an info line, and success.
    CFileJournal again;
    EXPECT_EQ(again.Init(db), 1);
    EXPECT_TRUE(
        log.Contains("<info >[CFileJournal::Init]: SQL info: table file_journal_table already exists"));

    // Every database operation needs OpenDB.
    EXPECT_EQ(j.LoadMap(), 0);
    EXPECT_EQ(log.LastError(), "DB is not open!");
    EXPECT_EQ(j.AddActive(Info("u1/a", 0, 1, 5)), 0);
    EXPECT_EQ(log.LastError(), "DB is not open!");
    EXPECT_EQ(j.Remove("u1/a"), 0);
    EXPECT_EQ(log.LastError(), "{CFileJournal::GetValuebyKey} DB is not open!");
    EXPECT_EQ(j.RemoveAll("u1/a"), 0);  // a delete that did not run is no success
    EXPECT_FALSE(log.Contains("Remove all item like key"));
    ASSERT_EQ(j.OpenDB(), 1);
    EXPECT_EQ(j.OpenDB(), 0);
    EXPECT_EQ(log.LastError(), "DB file opened before!");
    j.CloseDB();
    j.CloseDB();  // harmless when closed
}

TEST(FileJournalInit, FileThatIsNoDatabaseOrUnreachable) {
    testsupport::TempDir dir;
    testsupport::LogCapture log;
    dir.WriteFile("junk.db", std::string(4096, 'x'));
    CFileJournal junk;
    EXPECT_EQ(junk.Init(dir.Sub("junk.db")), 0);
    EXPECT_EQ(dir.ReadFile("junk.db"), std::string(4096, 'x'));  // left as it was

    CFileJournal missing;
    EXPECT_EQ(missing.Init(dir.Sub("no/such/folder/client.db")), 0);
    EXPECT_TRUE(log.Contains("Could not open database: "));
}

TEST_F(FileJournalTest, LifeOfARecord) {
    // New on the server: only the updated half, on_disk 0.
    ASSERT_EQ(j_.AddUpdated(Info("u1/Docs/A.txt", 0, 10, 1000, kK1)), 1);
    EXPECT_EQ(Row("u1/docs/a.txt"), "NULL|NULL|NULL|NULL|NULL|u1/Docs/A.txt|" + kK1 + "|1000|10|0|0");
    // Written to disk: active = former updated; a second OnDisk is refused.
    ASSERT_EQ(j_.OnDisk("U1/DOCS/A.TXT"), 1);
    EXPECT_EQ(Row("u1/docs/a.txt"), "u1/Docs/A.txt|" + kK1 + "|1000|10|0|||0|0|0|1");
    EXPECT_TRUE(log_.Contains("Ondisk a file: u1/docs/a.txt(0, 10, 1000 -> 0, 0, 0)"));
    EXPECT_EQ(j_.OnDisk("u1/docs/a.txt"), 0);
    EXPECT_EQ(log_.LastError(), "Error item (key:u1/docs/a.txt)");

    // A newer server version keeps the active half.
    ASSERT_EQ(j_.AddUpdated(Info("u1/Docs/A.txt", 0, 20, 2000, kK2)), 1);
    EXPECT_TRUE(log_.Contains("Duplicated adding (u1/docs/a.txt)"));
    EXPECT_EQ(Row("u1/docs/a.txt"),
              "u1/Docs/A.txt|" + kK1 + "|1000|10|0|u1/Docs/A.txt|" + kK2 + "|2000|20|0|0");
    // Modify sets the half that on_disk selects.
    ASSERT_EQ(j_.Modify(Info("u1/Docs/A.txt", 0, 20, 2002, kK2)), 1);
    EXPECT_EQ(Row("u1/docs/a.txt"),
              "u1/Docs/A.txt|" + kK1 + "|1000|10|0|u1/Docs/A.txt|" + kK2 + "|2002|20|0|0");
    // A conflict copy set aside: active emptied.
    ASSERT_EQ(j_.RemoveActive("u1/docs/a.txt"), 1);
    EXPECT_EQ(Row("u1/docs/a.txt"), "||0|0|0|u1/Docs/A.txt|" + kK2 + "|2002|20|0|0");
    ASSERT_EQ(j_.OnDisk("u1/docs/a.txt"), 1);
    ASSERT_EQ(j_.RemoveActive("u1/docs/a.txt"), 0);
    EXPECT_EQ(log_.LastError(), "Fail to remov (u1/docs/a.txt) for NO updated");

    // Confirmed local version: the updated half becomes empty, the row is overwritten.
    ASSERT_EQ(j_.AddUpdated(Info("u1/Docs/A.txt", 0, 30, 3000, kK1)), 1);
    ASSERT_EQ(j_.AddActive(Info("u1/Docs/A.txt", 0, 40, 4000, kK2)), 1);
    EXPECT_EQ(Row("u1/docs/a.txt"), "u1/Docs/A.txt|" + kK2 + "|4000|40|0|||0|0|0|1");
    ASSERT_EQ(j_.Modify(Info("u1/docs/a.txt", 0, 40, 4002, kK2)), 1);
    EXPECT_EQ(Row("u1/docs/a.txt"), "u1/docs/a.txt|" + kK2 + "|4002|40|0|||0|0|0|1");

    ASSERT_EQ(j_.Remove("U1/Docs/A.txt"), 1);
    EXPECT_EQ(Row("u1/docs/a.txt"), "");
}

TEST_F(FileJournalTest, MarkRemoveByState) {
    ASSERT_EQ(j_.AddActive(Info("u1/on", 0, 5, 1000)), 1);
    ASSERT_EQ(j_.AddActive(Info("u1/zero", 1, 0, 0)), 1);
    ASSERT_EQ(j_.AddUpdated(Info("u1/pending", 0, 5, 1000)), 1);

    ASSERT_EQ(j_.MarkRemove("u1/on"), 1);
    EXPECT_EQ(Row("u1/on"), "u1/on||1000|5|0|u1/on||-1000|5|0|0");
    ASSERT_EQ(j_.MarkRemove("u1/on"), 1);  // a tombstone stays
    EXPECT_EQ(Row("u1/on"), "u1/on||1000|5|0|u1/on||-1000|5|0|0");
    ASSERT_EQ(j_.MarkRemove("u1/zero"), 1);  // a time of 0 changes nothing
    EXPECT_EQ(Row("u1/zero"), "u1/zero||0|0|1|NULL|NULL|NULL|NULL|NULL|1");
    ASSERT_EQ(j_.MarkRemove("u1/pending"), 1);  // never reached the disk: deleted
    EXPECT_EQ(Row("u1/pending"), "");

    // Missing keys are failures of every single-row operation.
    const std::vector<std::pair<const char*, std::function<int()>>> missing = {
        {"Fail to get item(key:u1/none)", [&] { return j_.MarkRemove("u1/none"); }},
        {"Fail to get item(key:u1/none)", [&] { return j_.OnDisk("u1/none"); }},
        {"Fail to get item(key:u1/none)", [&] { return j_.Remove("u1/none"); }},
        {"Fail to get item(key:u1/none)", [&] { return j_.Rename("u1/none", "u1/x"); }},
        {"Fail to get item(u1/none)", [&] { return j_.RemoveActive("u1/none"); }},
        {"Fail to get item(u1/none)", [&] { return j_.Modify(Info("u1/None", 0, 1, 1)); }},
    };
    for (const auto& [message, op] : missing) {
        EXPECT_EQ(op(), 0) << message;
        EXPECT_EQ(log_.LastError(), message);
    }
    EXPECT_EQ(j_.AddActive(CFileInfo()), 0);
    EXPECT_EQ(log_.LastError(), "Fail to add item(key:)");
}

TEST_F(FileJournalTest, RenameKeepsBothHalvesAndRefusesATakenKey) {
    ASSERT_EQ(j_.AddActive(Info("u1/Old.txt", 0, 5, 1000, kK1)), 1);
    ASSERT_EQ(j_.AddUpdated(Info("u1/Old.txt", 0, 6, 2000, kK2)), 1);
    ASSERT_EQ(j_.Rename("U1/OLD.TXT", "u1/New.txt"), 1);  // on_disk 0: the updated path changes
    EXPECT_EQ(Row("u1/old.txt"), "");
    EXPECT_EQ(Row("u1/new.txt"), "u1/Old.txt|" + kK1 + "|1000|5|0|u1/New.txt|" + kK2 + "|2000|6|0|0");

    ASSERT_EQ(j_.AddActive(Info("u1/Other", 0, 1, 1)), 1);
    EXPECT_EQ(j_.Rename("u1/new.txt", "u1/other"), 0);
    EXPECT_EQ(log_.LastError(), "Fail to set item(key:u1/other)");
    // The delete was undone with the failed insert.
    EXPECT_EQ(Row("u1/new.txt"), "u1/Old.txt|" + kK1 + "|1000|5|0|u1/New.txt|" + kK2 + "|2000|6|0|0");
    EXPECT_EQ(Row("u1/other"), "u1/Other||1|1|0|NULL|NULL|NULL|NULL|NULL|1");
}

// Quotes, pattern characters, non-ASCII and 255-byte names through every statement.
TEST_F(FileJournalTest, AwkwardNamesThroughEveryStatement) {
    const std::vector<std::string> names = {
        "it's",
        "100%_done",
        "a_b",
        "x'); DROP TABLE file_journal_table; --",
        "\xE4\xB8\xAD\xE6\x96\x87 \xC3\x89t\xC3\xA9.txt",  // 中文 Été.txt
        std::string(255, 'N'),
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = "u1/D'ir%/" + name;
        const std::string key = CFileJournal::MakeKey(path);
        ASSERT_EQ(j_.AddUpdated(Info(path, 0, 7, 70, kK1)), 1);
        ASSERT_EQ(j_.OnDisk(key), 1);
        ASSERT_EQ(j_.Modify(Info(path, 0, 8, 80, kK1)), 1);
        ASSERT_EQ(j_.LoadMap(), 1);
        CJournalItem item;
        ASSERT_EQ(j_.Lookup(path, &item), 1);
        EXPECT_EQ(item.key, key);
        EXPECT_EQ(item.active.path, path);
        EXPECT_EQ(item.active.size, 8);
        ASSERT_EQ(j_.MarkRemove(key), 1);
        ASSERT_EQ(j_.Rename(key, path + "'2"), 1);
        ASSERT_EQ(j_.RenameFolder("u1/D'ir%", "u1/E'%_"), 1);
        const std::string moved = "u1/E'%_/" + name + "'2";
        ASSERT_EQ(j_.LoadMap(), 1);
        ASSERT_EQ(j_.Lookup(moved, &item), 1);
        EXPECT_EQ(item.active.path, "u1/E'%_/" + name);
        EXPECT_EQ(item.updated.path, path + "'2");  // a folder rename leaves the updated half
        EXPECT_EQ(item.updated.modifyTime, -80);
        ASSERT_EQ(j_.Remove(moved), 1);
        ASSERT_EQ(j_.AddActive(Info(moved, 0, 1, 1)), 1);
        ASSERT_EQ(j_.RemoveAll("u1/E'%_"), 1);
        EXPECT_EQ(Keys(), "");
    }
    EXPECT_EQ(Query(db_, "SELECT count(*) FROM sqlite_master WHERE name='file_journal_table'"), "1");
}

TEST_F(FileJournalTest, PrefixOperationsMatchTheLiteralFolderOnly) {
    for (const char* p : {"u1/a", "u1/a/b", "u1/a/b/c", "u1/ab", "u1/a-b", "u1/a_b", "u1/a_b/f", "u1/axb/f",
                          "u1/a%/g", "u1/aa/h"})
        ASSERT_EQ(j_.AddActive(Info(p, 0, 1, 1)), 1);

    ASSERT_EQ(j_.RemoveAll("U1/A"), 1);
    EXPECT_TRUE(log_.Contains("Remove all item like key: u1/a from DB"));
    EXPECT_EQ(Keys(), "u1/a%/g\nu1/a-b\nu1/a_b\nu1/a_b/f\nu1/aa/h\nu1/ab\nu1/axb/f");
    ASSERT_EQ(j_.RemoveAll("u1/a%"), 1);
    ASSERT_EQ(j_.RemoveAll("u1/a_"), 1);  // no such folder: nothing goes
    EXPECT_EQ(Keys(), "u1/a-b\nu1/a_b\nu1/a_b/f\nu1/aa/h\nu1/ab\nu1/axb/f");
    EXPECT_EQ(j_.RemoveAll(""), 0);

    ASSERT_EQ(j_.RenameFolder("u1/a_b", "u1/C"), 1);
    EXPECT_EQ(Keys(), "u1/a-b\nu1/aa/h\nu1/ab\nu1/axb/f\nu1/c\nu1/c/f");
    EXPECT_EQ(Row("u1/c/f"), "u1/C/f||1|1|0|NULL|NULL|NULL|NULL|NULL|1");
    EXPECT_EQ(Row("u1/c"), "u1/C||1|1|0|NULL|NULL|NULL|NULL|NULL|1");
    EXPECT_EQ(Row("u1/axb/f"), "u1/axb/f||1|1|0|NULL|NULL|NULL|NULL|NULL|1");
}

TEST_F(FileJournalTest, RenameFolderKeepsEmptyHalvesAndIsAllOrNothing) {
    ASSERT_EQ(j_.AddActive(Info("u1/F", 1, 0, 1)), 1);
    ASSERT_EQ(j_.AddUpdated(Info("u1/F/new.txt", 0, 3, 30)), 1);  // never on disk: no active half
    ASSERT_EQ(j_.AddActive(Info("u1/F/Sub/x", 0, 2, 20)), 1);
    ASSERT_EQ(j_.RenameFolder("u1/F", "u1/G"), 1);
    EXPECT_EQ(Keys(), "u1/g\nu1/g/new.txt\nu1/g/sub/x");
    EXPECT_EQ(Row("u1/g/new.txt"), "NULL|NULL|NULL|NULL|NULL|u1/F/new.txt||30|3|0|0");
    EXPECT_EQ(Row("u1/g/sub/x"), "u1/G/Sub/x||20|2|0|NULL|NULL|NULL|NULL|NULL|1");

    // A clash inside the folder leaves every row where it was.
    ASSERT_EQ(j_.AddActive(Info("u1/H/sub/x", 0, 9, 9)), 1);
    EXPECT_EQ(j_.RenameFolder("u1/G", "u1/H"), 0);
    EXPECT_EQ(Keys(), "u1/g\nu1/g/new.txt\nu1/g/sub/x\nu1/h/sub/x");
}

TEST_F(FileJournalTest, DamagedRowsLoadWithoutCrashing) {
    Query(db_,
          "INSERT INTO file_journal_table (server_path, active_server_path, active_chunklist, actvie_mtime, "
          "active_size, active_dir, on_disk) VALUES ('u1/nulls', 'u1/Nulls', NULL, NULL, NULL, NULL, NULL);"
          "INSERT INTO file_journal_table (server_path, active_server_path, actvie_mtime, active_size, "
          "active_dir, updated_server_path, updated_mtime, on_disk) "
          "VALUES ('u1/text', 'u1/text', 'soon', 'big', 'x', NULL, 'y', 'one');"
          "INSERT INTO file_journal_table (server_path, on_disk) VALUES ('', 1);"
          "INSERT INTO file_journal_table (server_path) VALUES ('u1/bare');");
    ASSERT_EQ(j_.LoadMap(), 1);
    EXPECT_EQ(j_.MapSize(), 3u);  // the row without a key is skipped
    EXPECT_TRUE(log_.Contains("Skip a row without a key"));
    CJournalItem item;
    ASSERT_EQ(j_.Lookup("u1/nulls", &item), 1);
    EXPECT_EQ(item.active.path, "u1/Nulls");
    EXPECT_EQ(item.active.chunkListText, "");
    EXPECT_EQ(item.active.size, 0);
    EXPECT_EQ(item.onDisk, 0);
    ASSERT_EQ(j_.Lookup("u1/text", &item), 1);
    EXPECT_EQ(item.active.modifyTime, 0);
    EXPECT_EQ(item.active.size, 0);
    EXPECT_TRUE(item.updated.path.empty());
    ASSERT_EQ(j_.Lookup("u1/bare", &item), 1);
    EXPECT_TRUE(item.active.path.empty());
    EXPECT_TRUE(item.updated.path.empty());
    // The row operations read such rows the same way.
    EXPECT_EQ(j_.OnDisk("u1/bare"), 0);
    EXPECT_EQ(j_.MarkRemove("u1/bare"), 1);  // neither on disk nor a tombstone: deleted
    EXPECT_EQ(Row("u1/bare"), "");

    Query(db_, "DELETE FROM file_journal_table");
    ASSERT_EQ(j_.LoadMap(), 1);
    EXPECT_EQ(j_.MapSize(), 0u);
    EXPECT_EQ(j_.GetFirst(&item), 0);
}

TEST_F(FileJournalTest, WalksAndContentSearch) {
    for (const char* p : {"u1/b", "u1/a/z", "u1/a", "u1/c"})
        ASSERT_EQ(j_.AddActive(Info(p, 0, 5, 1, kK1)), 1);
    ASSERT_EQ(j_.AddUpdated(Info("u1/0", 0, 5, 1, kK1)), 1);  // not on disk
    ASSERT_EQ(j_.LoadMap(), 1);
    std::vector<std::string> forward, backward;
    CJournalItem item;
    for (int ok = j_.GetFirst(&item); ok; ok = j_.GetNext(&item))
        forward.push_back(item.key);
    for (int ok = j_.GetLast(&item); ok; ok = j_.GetPrev(&item))
        backward.push_back(item.key);
    EXPECT_EQ(forward, (std::vector<std::string>{"u1/0", "u1/a", "u1/a/z", "u1/b", "u1/c"}));
    EXPECT_EQ(backward, (std::vector<std::string>{"u1/c", "u1/b", "u1/a/z", "u1/a", "u1/0"}));

    // A reload ends a walk instead of leaving it on freed entries.
    ASSERT_EQ(j_.GetFirst(&item), 1);
    ASSERT_EQ(j_.GetLast(&item), 1);
    ASSERT_EQ(j_.LoadMap(), 1);
    EXPECT_EQ(j_.GetNext(&item), 0);
    EXPECT_EQ(j_.GetPrev(&item), 0);

    ASSERT_EQ(j_.FindSameContent(Info("/x", 0, 5, 9, kK1), &item), 1);
    EXPECT_EQ(item.key, "u1/a");  // the first on-disk file in key order
    EXPECT_EQ(j_.FindSameContent(Info("/x", 0, 5, 9, kK2), &item), 0);
    EXPECT_EQ(j_.FindSameContent(Info("/x", 0, 6, 9, kK1), &item), 0);

    ASSERT_EQ(j_.CleanDB(), 0);  // refused while a phase holds the database
    j_.CloseDB();
    ASSERT_EQ(j_.CleanDB(), 1);
    EXPECT_EQ(j_.MapSize(), 0u);
    EXPECT_EQ(Keys(), "");
}

TEST_F(FileJournalTest, ShareMapsAndPathConversions) {
    ASSERT_EQ(j_.SetRoot(""), 0);
    ASSERT_EQ(j_.SetRoot("u1"), 1);
    ASSERT_EQ(j_.AddActive(Info("u1/Team", 17, 0, 1)), 1);
    ASSERT_EQ(j_.AddActive(Info("u1/Gone", 23, 0, 1)), 1);
    ASSERT_EQ(j_.AddUpdated(Info("u1/Gone", 1, 0, 1)), 1);  // no longer shared: on_disk 0 picks 1
    ASSERT_EQ(j_.AddUpdated(Info("u1/Moved", 31, 0, 1)), 1);
    ASSERT_EQ(j_.LoadDBShareMap(), 1);
    std::string path;
    ASSERT_EQ(j_.GetDBShare("17", &path), 1);
    EXPECT_EQ(path, "u1/Team");
    ASSERT_EQ(j_.GetDBShare("31", &path), 1);
    EXPECT_EQ(path, "u1/Moved");
    EXPECT_EQ(j_.GetDBShare("23", &path), 0);
    EXPECT_EQ(j_.GetDBShare("1", &path), 0);

    struct Case {
        const char* in;
        int ok;
        const char* out;
    };
    const Case trims[] = {
        {"u1/docs/a.txt", 1, "/docs/a.txt"},
        {"17/plan.doc", 1, "/Team/plan.doc"},
        {"u1/Team", 1, "/Team"},
        {"U1/docs", 1, "/docs"},  // a key's root in lower case
        {"u1\\win\\x", 1, "/win/x"},
        {"u1", 0, "u1"},
        {"99/x", 0, "99/x"},
        {"/abs", 0, "/abs"},
    };
    for (const Case& c : trims) {
        std::string p = c.in;
        EXPECT_EQ(j_.TrimDBServerPah(p), c.ok) << c.in;
        EXPECT_EQ(p, c.out) << c.in;
    }

    const Case toServer[] = {
        {"/Team/plan.doc", 1, "17/plan.doc"}, {"/Team", 1, "u1/Team"},    {"/Teams/x", 1, "u1/Teams/x"},
        {"/team/x", 1, "u1/team/x"},          {"docs/a", 1, "u1/docs/a"},
    };
    for (const Case& c : toServer) {
        std::string p = c.in;
        EXPECT_EQ(j_.ToDBSharePath(p), 1);
        EXPECT_EQ(p, c.out) << c.in;
    }
    // The server share map is separate: until the listing names 17 the path keeps the root form.
    path = "/Team/plan.doc";
    j_.ToServerSharePath(path);
    EXPECT_EQ(path, "u1/Team/plan.doc");
    EXPECT_EQ(j_.AddServerShare("17", ""), 0);
    ASSERT_EQ(j_.AddServerShare("17", "u1/Team"), 1);
    path = "/Team/plan.doc";
    j_.ToServerSharePath(path);
    EXPECT_EQ(path, "17/plan.doc");

    ASSERT_EQ(j_.SetDBShare("17", "u1/Renamed"), 1);
    path = "17/x";
    ASSERT_EQ(j_.TrimDBServerPah(path), 1);
    EXPECT_EQ(path, "/Renamed/x");
    ASSERT_EQ(j_.RemoveDBShare("17"), 1);
    EXPECT_EQ(j_.RemoveDBShare("17"), 0);
    // A share inside a share resolves through both; a loop in the map ends as a failure.
    ASSERT_EQ(j_.SetDBShare("40", "31/Inner"), 1);
    path = "40/f";
    ASSERT_EQ(j_.TrimDBServerPah(path), 1);
    EXPECT_EQ(path, "/Moved/Inner/f");
    ASSERT_EQ(j_.SetDBShare("50", "51/a"), 1);
    ASSERT_EQ(j_.SetDBShare("51", "50/b"), 1);
    path = "50/f";
    EXPECT_EQ(j_.TrimDBServerPah(path), 0);
    EXPECT_EQ(path, "50/f");

    std::string first, rest;
    ASSERT_EQ(CFileJournal::ParseServerPath("17/a/b", &first, &rest), 1);
    EXPECT_EQ(first, "17");
    EXPECT_EQ(rest, "/a/b");
    EXPECT_EQ(CFileJournal::ParseServerPath("/a", &first, &rest), 0);
    EXPECT_EQ(log_.LastError(), "Fail to parse server file: /a");

    EXPECT_EQ(j_.AddListedShare(1), 0);
    ASSERT_EQ(j_.AddListedShare(17), 1);
    EXPECT_EQ(j_.IsListedShare("17/plan.doc"), 1);
    EXPECT_EQ(j_.IsListedShare("u1/plan.doc"), 0);
    j_.ClearListedShares();
    EXPECT_EQ(j_.IsListedShare("17/plan.doc"), 0);

    std::string owner;
    EXPECT_EQ(j_.AddShareOwner("17", ""), 0);
    ASSERT_EQ(j_.AddShareOwner("17", "bob"), 1);
    ASSERT_EQ(j_.GetShareOwner("17", &owner), 1);
    EXPECT_EQ(owner, "bob");
    EXPECT_EQ(j_.GetShareOwner("18", &owner), 0);
}

// Each row statement is logged at debug level as it runs, its values filled in as SQL literals.
TEST_F(FileJournalTest, RowStatementsAreLoggedWithTheirValues) {
    ASSERT_EQ(j_.AddActive(Info("u1/O'Brien", 0, 7, 70, "c1")), 1);
    ASSERT_EQ(j_.AddUpdated(Info("u1/O'Brien", 17, 8, -80)), 1);
    ASSERT_EQ(j_.Remove("u1/O'Brien"), 1);
    const std::string lines[] = {
        "<debug>[CFileJournal::AddActive]: SELECT * FROM file_journal_table WHERE "
        "server_path='u1/o''brien';\r\n",
        "<debug>[CFileJournal::AddActive]: INSERT INTO file_journal_table (server_path, active_server_path, "
        "active_chunklist, actvie_mtime, active_size, active_dir, on_disk) VALUES('u1/o''brien', "
        "'u1/O''Brien', "
        "'c1', 70, 7, 0, 1)\r\n",
        "<debug>[CFileJournal::AddUpdated]: UPDATE file_journal_table SET active_server_path='u1/O''Brien', "
        "active_chunklist='c1', actvie_mtime=70, active_size=7, active_dir=0, "
        "updated_server_path='u1/O''Brien', "
        "updated_chunklist='', updated_mtime=-80, updated_size=8, updated_dir=17, on_disk=0 WHERE "
        "server_path='u1/o''brien';\r\n",
        "<debug>[CFileJournal::Remove]: DELETE FROM file_journal_table WHERE server_path='u1/o''brien';\r\n",
    };
    for (const std::string& line : lines)
        EXPECT_EQ(log_.Count(line), 1u) << line << "\n" << log_.Text();
}

// Paths are held in the ANSI code page and stored as UTF-8; lowering a key never touches the
// bytes of a double-byte character, even one whose second byte is an ASCII capital.
TEST_F(FileJournalTest, AnsiCodePageOtherThanUtf8) {
    struct Codeset {
        Codeset() { platform::SetAnsiCodesetForTest("GBK"); }
        ~Codeset() { platform::SetAnsiCodesetForTest(""); }
    } gbk;
    std::string ansi;
    ASSERT_TRUE(platform::ConvertCodeset("UTF-8", "GBK",
                                         "u1/\xE4\xB8\x84"
                                         "A.txt",
                                         &ansi));           // 丄A.txt
    ASSERT_EQ(static_cast<unsigned char>(ansi[4]), 0x41u);  // the character's second byte is "A"
    const std::string key = CFileJournal::MakeKey(ansi);
    EXPECT_EQ(key.substr(0, 5), ansi.substr(0, 5));
    EXPECT_EQ(key.substr(5), "a.txt");

    ASSERT_EQ(j_.AddActive(Info(ansi, 0, 1, 1)), 1);
    EXPECT_EQ(Query(db_, "SELECT server_path, active_server_path FROM file_journal_table"),
              "u1/\xE4\xB8\x84"
              "a.txt|u1/\xE4\xB8\x84"
              "A.txt");
    ASSERT_EQ(j_.LoadMap(), 1);
    CJournalItem item;
    ASSERT_EQ(j_.Lookup(ansi, &item), 1);
    EXPECT_EQ(item.active.path, ansi);
}

// A row is durable when its statement returns: a process killed right after keeps it.
TEST(FileJournalDurability, RowSurvivesAKilledProcess) {
    testsupport::TempDir dir;
    const std::string db = dir.Sub("client.db");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CFileJournal j;
        if (j.Init(db) && j.OpenDB() && j.AddUpdated(Info("u1/kept", 0, 3, 30)) && j.OnDisk("u1/kept"))
            raise(SIGKILL);  // no close, no checkpoint
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    CFileJournal j;
    ASSERT_EQ(j.Init(db), 1);
    ASSERT_EQ(j.OpenDB(), 1);
    ASSERT_EQ(j.LoadMap(), 1);
    CJournalItem item;
    ASSERT_EQ(j.Lookup("u1/kept", &item), 1);
    EXPECT_EQ(item.onDisk, 1);
    EXPECT_EQ(item.active.size, 3);
}

// The configuration store opens the same file per operation; the log mode of the file does not
// change what it reads and writes, also while a journal phase holds the file open.
TEST(FileJournalDurability, ConfigurationStoreSharesTheFile) {
    testsupport::TempDir dir;
    const std::string db = dir.Sub("client.db");
    {
        CConfig config;
        ASSERT_EQ(config.Init(db), 1);
        ASSERT_EQ(config.Load(), 1);
        config.Set(CConfig::kLoginUser, "o'brien");
        ASSERT_EQ(config.Store(), 1);
    }
    CFileJournal j;
    ASSERT_EQ(j.Init(db), 1);
    ASSERT_EQ(j.OpenDB(), 1);
    ASSERT_EQ(j.AddActive(Info("u1/a", 0, 1, 1)), 1);
    {
        CConfig config;
        ASSERT_EQ(config.Init(db), 1);
        ASSERT_EQ(config.Load(), 1);
        EXPECT_EQ(config.Get(CConfig::kLoginUser), "o'brien");
        config.Set(CConfig::kLoginUser, "eve");
        ASSERT_EQ(config.Store(), 1);
    }
    ASSERT_EQ(j.AddActive(Info("u1/b", 0, 1, 1)), 1);
    j.CloseDB();
    CConfig config;
    ASSERT_EQ(config.Init(db), 1);
    ASSERT_EQ(config.Load(), 1);
    EXPECT_EQ(config.Get(CConfig::kLoginUser), "eve");
    EXPECT_EQ(Query(db, "SELECT count(*) FROM file_journal_table"), "2");
}

}  // namespace
