// kestrine-tool journal DBFILE: one line per file-journal row, escaped so that a line is a row,
// NULL kept apart from the empty text; clear failures that leave the file as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "journal/filejournal.h"
#include "support/sqlquery.h"
#include "support/tempdir.h"
#include "tools/toolrun.h"

namespace {

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
    // A damaged row (a text where the time belongs), which the journal itself never writes.
    ASSERT_EQ(
        testsupport::Query(db,
                           "INSERT INTO file_journal_table (server_path, active_server_path, actvie_mtime) "
                           "VALUES ('u1/z', '', 'soon')"),
        "");

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
    ASSERT_EQ(testsupport::Query(t.Sub("config-only.db"), "CREATE TABLE config_table(id int)"), "");

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
