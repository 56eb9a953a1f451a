// CWork::Init creates the file journal, the chunk journal (same database file) and the file
// cache on the root folder; either failure stops the start-up. Sign-out empties the status area.
#include <gtest/gtest.h>
#include <algorithm>
#include <string>

#include "journal/chunkjournal.h"
#include "journal/filejournal.h"
#include "platform/fault.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "store/filecache.h"
#include "support/env.h"
#include "support/logcapture.h"
#include "support/sqlquery.h"
#include "sync/work.h"

namespace {

class WorkStoresTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetMainWindow(&front_); }
    void TearDown() override { platform::SetMainWindow(nullptr); }
    std::string Root() const { return home_.Home() + "/Kestrine"; }
    std::string DbFile() const { return Root() + "/.db/client.db"; }
    // The tables of the database, each name followed by a space: the schema, which no store reads.
    std::string Tables() {
        std::string names =
            testsupport::Query(DbFile(), "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name");
        std::replace(names.begin(), names.end(), '\n', ' ');
        return names.empty() ? names : names + " ";
    }

    testsupport::FakeHome home_;
    testsupport::LogCapture log_;
    platform::RecordingFrontEnd front_;
};

TEST_F(WorkStoresTest, InitCreatesJournalsAndFileCache) {
    CWork w;
    ASSERT_EQ(w.Init(), 1);
    EXPECT_EQ(Tables(), "chunk_journal_table config_table file_journal_table ");
    ASSERT_NE(w.GetFileCache(), nullptr);
    EXPECT_EQ(w.GetFileCache()->GetRoot(), Root());
    ASSERT_NE(w.GetFileJournal(), nullptr);
    ASSERT_NE(w.GetChunkJournal(), nullptr);
    // The journals work on the database the configuration uses.
    ASSERT_EQ(w.GetFileJournal()->OpenDB(), 1);
    CFileInfo f("u1/a", 0, 1);
    f.modifyTime = 1;
    EXPECT_EQ(w.GetFileJournal()->AddActive(f), 1);
    w.GetFileJournal()->CloseDB();
    CChunkInfo c(std::string(32, 'a'), 1, "1,", "AB,", 1);
    EXPECT_TRUE(w.GetChunkJournal()->Insert(c));

    // Sign-out empties the shared status area through the file cache.
    ASSERT_TRUE(w.GetFileCache()->SharedStatus().SetStatus("/a", 2, 0, 0));
    ASSERT_EQ(w.GetFileCache()->SharedStatus().Count(), 1);
    w.Logout();
    EXPECT_EQ(w.GetFileCache()->SharedStatus().Count(), 0);
}

TEST_F(WorkStoresTest, JournalThatCannotBeCreatedStopsStartUp) {
    {
        CWork first;
        ASSERT_EQ(first.Init(), 1);
    }
    // A view in the journal's place that cannot be read: the journal is not usable.
    ASSERT_EQ(testsupport::Query(DbFile(),
                                 "DROP TABLE chunk_journal_table;"
                                 "CREATE VIEW chunk_journal_table AS SELECT * FROM nowhere;"),
              "");
    CWork w;
    EXPECT_EQ(w.Init(), 0);
    EXPECT_TRUE(log_.Contains("<error>[CChunkJournal::Init]: SQL error: no such table: main.nowhere"));
    EXPECT_TRUE(log_.Contains("<error>[CWork::Init]: DB file could not be opened!"));
}

TEST_F(WorkStoresTest, FileCacheThatCannotStartStopsStartUp) {
    platform::FaultScope faults;
    platform::FailCall(platform::Op::Map);  // the shared status area cannot be mapped
    CWork w;
    EXPECT_EQ(w.Init(), 0);
    EXPECT_TRUE(log_.Contains("<error>[CWork::Init]: Fail to scan directory \"" + Root() + "\""));
}

}  // namespace
