// kestrine-tool journal DBFILE: one line per file-journal row, escaped so that a line is a row,
// NULL kept apart from the empty text; clear failures that leave the file as it was.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "journal/filejournal.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

struct ToolRun {
    int status = -1;
    std::string out, err;
};

ToolRun RunTool(const std::vector<std::string>& args) {
    testsupport::ProcessSpec how;
    how.program = testsupport::BuildProgram("kestrine-tool");
    how.args = args;
    testsupport::ChildProcess child;
    ToolRun r;
    std::string error;
    EXPECT_TRUE(child.Start(how, &error)) << error;
    EXPECT_TRUE(child.Wait(60000, &r.status));
    // Waits for the end of the child's output (a text it never prints).
    child.WaitForOutput("\x01never\x01", 10000);
    child.WaitForOutput("\x01never\x01", 10000, true);
    r.out = child.Stdout();
    r.err = child.Stderr();
    return r;
}

CFileInfo Info(const std::string& path, int32_t dir, int64_t size, int64_t mtime, const std::string& chunks) {
    CFileInfo f(path, dir, size);
    f.modifyTime = mtime;
    f.chunkListText = chunks;
    return f;
}

TEST(ToolJournal, PrintsEveryRowOnItsOwnLine) {
    testsupport::TempDir t;
    const std::string db = t.Sub("client.db");
    const std::string k(32, 'c');
    {
        CFileJournal j;
        ASSERT_EQ(j.Init(db), 1);
        ASSERT_EQ(j.OpenDB(), 1);
        ASSERT_EQ(j.AddActive(Info("u1/Docs", 1, 0, 1, "")), 1);
        ASSERT_EQ(j.AddActive(Info("u1/Docs/a.txt", 0, 5, 1000, k)), 1);
        ASSERT_EQ(j.MarkRemove("u1/docs/a.txt"), 1);
        ASSERT_EQ(j.AddUpdated(Info("17/it's\tmy\nfile\\x", 0, 7, 70, k)), 1);
    }
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           "INSERT INTO file_journal_table (server_path, active_server_path, actvie_mtime) "
                           "VALUES ('u1/z', '', 'soon')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);

    ToolRun r = RunTool({"journal", db});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "17/it's\\tmy\\nfile\\\\x\t\\N\t\\N\t\\N\t\\N\t\\N\t17/it's\\tmy\\nfile\\\\x\t" + k +
                         "\t70\t7\t0\t0\n" + "u1/docs\tu1/Docs\t\t1\t0\t1\t\\N\t\\N\t\\N\t\\N\t\\N\t1\n" +
                         "u1/docs/a.txt\tu1/Docs/a.txt\t" + k + "\t1000\t5\t0\tu1/Docs/a.txt\t" + k +
                         "\t-1000\t5\t0\t0\n" +
                         "u1/z\t\t\\N\tsoon\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\t\\N\n");
    EXPECT_EQ(r.err, "");
}

TEST(ToolJournal, ClearFailuresAndNothingCreated) {
    testsupport::TempDir t;
    t.WriteFile("junk.db", std::string(2048, 'j'));
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(t.Sub("config-only.db").c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE config_table(id int)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{"journal"}, 2, "usage: kestrine-tool journal DBFILE\n"},
        {{"journal", t.Sub("missing.db")},
         1,
         "kestrine-tool journal: cannot open \"" + t.Sub("missing.db") + "\""},
        {{"journal", t.Sub("junk.db")},
         1,
         "kestrine-tool journal: no file journal in \"" + t.Sub("junk.db") + "\": file is not a database"},
        {{"journal", t.Sub("config-only.db")},
         1,
         "kestrine-tool journal: no file journal in \"" + t.Sub("config-only.db") +
             "\": no such table: file_journal_table"},
    };
    for (const Case& c : cases) {
        ToolRun r = RunTool(c.args);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.err.compare(0, c.err.size(), c.err), 0) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(t.Exists("missing.db"));
    EXPECT_EQ(t.ReadFile("junk.db"), std::string(2048, 'j'));
}

}  // namespace
