// The chunk journal: table, storing a file's chunks once and replacing incomplete rows, reading
// them back for a delta, storage keys from the service (quotes included), damaged rows and
// nested use.
#include "journal/chunkjournal.h"

#include <gtest/gtest.h>

#include <string>

#include "support/logcapture.h"
#include "support/sqlquery.h"
#include "support/tempdir.h"

namespace {

const std::string kK1(32, '1');
const std::string kK2(32, '2');
const std::string kK3(32, '3');

using testsupport::Query;

// A file of two chunks with signatures; the second chunk is the file's short last one.
CFileInfo TwoChunkFile() {
    CFileInfo f("u1/f.bin", 0, 4194304 + 5000);
    f.AddChunk(kK1, 4194304, "1,2,", "AA,BB,", 1024);
    f.AddChunk(kK2, 5000, "3,4,", "CC,DD,", 2);
    f.chunkListText = kK1 + "," + kK2;
    return f;
}

class ChunkJournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        db_ = dir_.Sub("client.db");
        ASSERT_TRUE(j_.Init(db_));
    }
    std::string Rows() {
        return Query(
            db_, "SELECT key, size, storage_id, block_sum, block_hash FROM chunk_journal_table ORDER BY key");
    }

    testsupport::TempDir dir_;
    testsupport::LogCapture log_;
    std::string db_;
    CChunkJournal j_;
};

TEST_F(ChunkJournalTest, InitTableAndRefusals) {
    EXPECT_EQ(
        Query(db_, "SELECT sql FROM sqlite_master WHERE name='chunk_journal_table'"),
        "CREATE TABLE chunk_journal_table (id INTEGER primary key, key TEXT not null unique,"
        "                   size INTEGER, storage_id TEXT,                   block_sum TEXT, block_hash "
        "TEXT,                   needed_by TEXT, deleted INTEGER)");
    EXPECT_EQ(Query(db_, "PRAGMA journal_mode"), "wal");
    EXPECT_FALSE(j_.Init(db_));
    EXPECT_EQ(log_.LastError(), "DB file exist!");
    CChunkJournal again;
    EXPECT_FALSE(again.Init(""));
    EXPECT_EQ(log_.LastError(), "Need set config DB file!");
    EXPECT_TRUE(again.Init(db_));
    EXPECT_TRUE(
        log_.Contains("<info >[CChunkJournal::Init]: SQL info: table chunk_journal_table already exists"));

    CChunkJournal unset;
    EXPECT_FALSE(unset.OpenDB());
    EXPECT_EQ(log_.LastError(), "DB file undefined!");
    CChunkJournal unreachable;
    EXPECT_FALSE(unreachable.Init(dir_.Sub("missing/client.db")));
    EXPECT_EQ(log_.LastError(), "Fail to open DB!");
    EXPECT_FALSE(unreachable.AddFileChunk(TwoChunkFile()));
    EXPECT_EQ(log_.LastError(), "Fail to open DB!");
    EXPECT_FALSE(unreachable.CleanDB());
    EXPECT_EQ(log_.LastError(), "DB is not open!");

    // An operation opens the connection and leaves it open for the next (the owner closes it at
    // the end of a pass): opening it again on top is refused; after CloseDB it opens anew.
    CChunkInfo c;
    EXPECT_FALSE(j_.Find(kK1, &c));
    EXPECT_EQ(log_.LastError(), "Fail to find a chunk info to DB");
    EXPECT_FALSE(j_.OpenDB());
    EXPECT_EQ(log_.LastError(), "DB file opened before!");
    j_.CloseDB();
    EXPECT_TRUE(j_.OpenDB());
    j_.CloseDB();
}

TEST_F(ChunkJournalTest, AddFileChunkStoresEachOnceAndReplacesIncompleteRows) {
    CFileInfo f = TwoChunkFile();
    ASSERT_TRUE(j_.AddFileChunk(f));
    EXPECT_EQ(Rows(), kK1 + "|4194304||1,2,|AA,BB,\n" + kK2 + "|5000||3,4,|CC,DD,");
    ASSERT_TRUE(j_.UpdateStorageKey(kK1, "s1"));
    ASSERT_TRUE(j_.UpdateStorageKey(kK2, "s2"));

    // Complete rows stay, whatever the record brings now.
    f.chunks[0].storageKey = "other";
    f.chunks[0].blockSums = "9,";
    ASSERT_TRUE(j_.AddFileChunk(f));
    EXPECT_EQ(Rows(), kK1 + "|4194304|s1|1,2,|AA,BB,\n" + kK2 + "|5000|s2|3,4,|CC,DD,");

    // A row that lost its storage key (or has a wrong size) is replaced by the new record.
    Query(db_, "UPDATE chunk_journal_table SET storage_id='' WHERE key='" + kK2 + "'");
    Query(db_, "UPDATE chunk_journal_table SET size=12 WHERE key='" + kK1 + "'");
    ASSERT_TRUE(j_.AddFileChunk(f));
    EXPECT_EQ(Rows(), kK1 + "|4194304|other|9,|AA,BB,\n" + kK2 + "|5000||3,4,|CC,DD,");
    EXPECT_EQ(Query(db_, "SELECT count(*) FROM chunk_journal_table"), "2");

    // Keys that no chunk list can hold are refused one by one; the others are stored.
    CFileInfo odd("u1/odd", 0, 3);
    odd.chunks = {CChunkInfo(""), CChunkInfo("abc"), CChunkInfo("x'" + std::string(30, 'z')),
                  CChunkInfo(kK3, 3, "5,", "EE,", 1)};
    ASSERT_TRUE(j_.AddFileChunk(odd));
    EXPECT_TRUE(log_.Contains("Bad chunk key {abc} of file {u1/odd}"));
    EXPECT_EQ(Query(db_, "SELECT key FROM chunk_journal_table ORDER BY key"), kK1 + "\n" + kK2 + "\n" + kK3);

    // Nothing to store is no failure.
    CFileInfo folder("u1/d", 1, 0);
    EXPECT_TRUE(j_.AddFileChunk(folder));
    EXPECT_TRUE(log_.Contains("Can't get chunk from u1/d"));
    CFileInfo empty("u1/e", 0, 0);
    EXPECT_TRUE(j_.AddFileChunk(empty));
    EXPECT_TRUE(log_.Contains("Can't get any chunk from u1/e (0)"));
}

TEST_F(ChunkJournalTest, GetFileChunkCompletesRecordsAndFlagsMissingSignatures) {
    ASSERT_TRUE(j_.AddFileChunk(TwoChunkFile()));
    ASSERT_TRUE(j_.UpdateStorageKey(kK1, "s1"));

    CFileInfo p("u1/f.bin", 0, 4194304 + 5000);
    p.chunkListText = kK1 + "," + kK2;
    ASSERT_TRUE(j_.GetFileChunk(&p));
    ASSERT_EQ(p.chunks.size(), 2u);
    EXPECT_EQ(p.chunks[0].storageKey, "s1");
    EXPECT_EQ(p.chunks[0].size, 4194304);
    EXPECT_EQ(p.chunks[0].blockSums, "1,2,");
    EXPECT_EQ(p.chunks[1].blockHashes, "CC,DD,");
    EXPECT_TRUE(p.signaturesComplete);

    // A chunk the journal lacks keeps only its key; an empty hash text or a damaged size
    // means no delta against this version.
    struct Case {
        const char* name;
        std::string list;
        std::string damage;
    };
    const Case cases[] = {
        {"missing chunk", kK1 + "," + kK3, ""},
        {"empty block_hash", kK1 + "," + kK2,
         "UPDATE chunk_journal_table SET block_hash='' WHERE key='" + kK2 + "'"},
        {"NULL block_sum", kK1 + "," + kK2,
         "UPDATE chunk_journal_table SET block_sum=NULL WHERE key='" + kK2 + "'"},
        {"size not a number", kK1 + "," + kK2,
         "UPDATE chunk_journal_table SET size='big' WHERE key='" + kK2 + "'"},
        {"size too large", kK1 + "," + kK2,
         "UPDATE chunk_journal_table SET size=99999999 WHERE key='" + kK2 + "'"},
        {"list with a short key", kK1 + ",abc", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(j_.AddFileChunk(TwoChunkFile()));  // repairs what the last case damaged
        if (!c.damage.empty())
            Query(db_, c.damage);
        CFileInfo q("u1/f.bin", 0, 1);
        q.chunkListText = c.list;
        EXPECT_TRUE(j_.GetFileChunk(&q));
        EXPECT_FALSE(q.signaturesComplete);
    }
    EXPECT_TRUE(log_.Contains("Can't find chunk {" + kK3 + "} from DB"));

    CFileInfo folder("u1/d", 1, 0);
    EXPECT_TRUE(j_.GetFileChunk(&folder));
    EXPECT_TRUE(folder.signaturesComplete);
}

// Storage keys come from the service: quotes and SQL in them are stored as text.
TEST_F(ChunkJournalTest, HostileStorageKeysAndKeysAreData) {
    ASSERT_TRUE(j_.AddFileChunk(TwoChunkFile()));
    const std::string hostile = "x'); DROP TABLE chunk_journal_table; --";
    ASSERT_TRUE(j_.UpdateStorageKey(kK1, hostile));
    CChunkInfo c;
    ASSERT_TRUE(j_.Find(kK1, &c));
    EXPECT_EQ(c.storageKey, hostile);
    EXPECT_EQ(c.size, 4194304);

    EXPECT_FALSE(j_.UpdateStorageKey("' OR '1'='1", "s"));
    EXPECT_EQ(log_.LastError(), "Fail to find chunk {' OR '1'='1} from DB");
    EXPECT_EQ(Query(db_, "SELECT count(*) FROM chunk_journal_table WHERE storage_id='s'"), "0");
    EXPECT_TRUE(j_.Delete("x' OR 1=1 --"));  // no such key: nothing deleted
    EXPECT_EQ(Query(db_, "SELECT count(*) FROM chunk_journal_table"), "2");

    CChunkInfo odd("k'ey", 10, "1,", "AB,", 1);
    odd.storageKey = "st'or";
    ASSERT_TRUE(j_.Insert(odd));
    EXPECT_FALSE(j_.Insert(odd));  // the key is unique
    EXPECT_EQ(log_.LastError(), "Fail to add a chunk info to DB");
    ASSERT_TRUE(j_.Find("k'ey", &c));
    EXPECT_EQ(c.storageKey, "st'or");
    ASSERT_TRUE(j_.Delete("k'ey"));
    EXPECT_FALSE(j_.Find("k'ey", &c));
    EXPECT_EQ(log_.LastError(), "Fail to find a chunk info to DB");

    // A row of NULLs reads as empty texts and size 0.
    Query(db_, "INSERT INTO chunk_journal_table (key) VALUES ('" + kK3 + "')");
    ASSERT_TRUE(j_.Find(kK3, &c));
    EXPECT_EQ(c.key, kK3);
    EXPECT_EQ(c.size, 0);
    EXPECT_EQ(c.storageKey, "");
    EXPECT_EQ(c.blockSums, "");

    ASSERT_TRUE(j_.CleanDB());
    EXPECT_EQ(Rows(), "");
}

// Each row statement is logged at debug level as it runs, its values filled in as SQL literals.
TEST_F(ChunkJournalTest, RowStatementsAreLoggedWithTheirValues) {
    CChunkInfo odd("k'ey", 10, "1,", "AB,", 1);
    odd.storageKey = "st'or";
    ASSERT_TRUE(j_.Insert(odd));
    ASSERT_TRUE(j_.UpdateStorageKey("k'ey", "x'y"));
    ASSERT_TRUE(j_.Delete("k'ey"));
    const std::string lines[] = {
        "<debug>[CChunkJournal::_Insert]: INSERT INTO chunk_journal_table (key, size, storage_id, block_sum, "
        "block_hash) VALUES('k''ey', 10, 'st''or', '1,', 'AB,')\r\n",
        "<debug>[CChunkJournal::_Find]: SELECT * FROM chunk_journal_table WHERE key='k''ey';\r\n",
        "<debug>[CChunkJournal::_UpdateStorageKey]: UPDATE chunk_journal_table SET storage_id = 'x''y' WHERE "
        "key = 'k''ey'\r\n",
        "<debug>[CChunkJournal::_Delete]: DELETE FROM chunk_journal_table WHERE key='k''ey';\r\n",
    };
    for (const std::string& line : lines)
        EXPECT_EQ(log_.Count(line), 1u) << line << "\n" << log_.Text();
}

}  // namespace
