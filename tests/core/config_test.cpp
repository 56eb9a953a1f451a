#include "core/config.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "support/env.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "util/util.h"

namespace {

// Direct access to the database file, as another program would see it.
class Db {
  public:
    explicit Db(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
    ~Db() { sqlite3_close(db_); }
    bool Exec(const std::string& sql) {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    // The first column of the first row, or "<none>".
    std::string Value(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        std::string out = "<none>";
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW) {
            const unsigned char* t = sqlite3_column_text(st, 0);
            out = t ? reinterpret_cast<const char*>(t) : "<null>";
        }
        sqlite3_finalize(st);
        return out;
    }
    std::string Stored(const std::string& key) {
        return Value("SELECT value FROM config_table WHERE key='" + key + "'");
    }

  private:
    sqlite3* db_ = nullptr;
};

class ConfigTest : public ::testing::Test {
  protected:
    std::string DbPath() const { return dir_.Sub("client.db"); }
    // A configuration with the path set and the table created.
    std::unique_ptr<CConfig> Loaded() {
        auto c = std::make_unique<CConfig>();
        EXPECT_EQ(c->Init(DbPath()), 1);
        EXPECT_EQ(c->Load(), 1);
        return c;
    }
    // Counts every insert and update of config_table from now on.
    void CountWrites() {
        Db db(DbPath());
        ASSERT_TRUE(db.Exec(
            "CREATE TABLE writes(n int);"
            "CREATE TRIGGER wi AFTER INSERT ON config_table BEGIN INSERT INTO writes VALUES(1); END;"
            "CREATE TRIGGER wu AFTER UPDATE ON config_table BEGIN INSERT INTO writes VALUES(1); END;"));
    }
    int Writes() { return std::stoi(Db(DbPath()).Value("SELECT count(*) FROM writes")); }

    testsupport::TempDir dir_;
    testsupport::LogCapture log_;
};

}  // namespace

TEST_F(ConfigTest, FirstLoadCreatesTheTableLaterLoadsReportIt) {
    Loaded();
    EXPECT_EQ(Db(DbPath()).Value("SELECT sql FROM sqlite_master WHERE name='config_table'"),
              "CREATE TABLE config_table(id int primary key, key text not null unique, value text)");
    EXPECT_FALSE(log_.Contains("SQL info"));
    Loaded();
    EXPECT_TRUE(
        log_.Contains("<info >[CConfig::Load]: {CConfig::Load} SQL info: table config_table already exists"));
}

TEST_F(ConfigTest, ValuesRoundTripUnchanged) {
    const std::vector<std::string> values = {
        "it's",          "''",      "a'b'c'",     "'; DROP TABLE config_table; --",
        "中文路径/文件", "100%s%n", "two\nlines", ""};
    for (const std::string& v : values) {
        {
            auto c = Loaded();
            c->Set(CConfig::kHostName, v);
            c->Set(CConfig::kLoginPasswd, v);
            c->Set(CConfig::kServerRoot, v);
            ASSERT_EQ(c->Store(), 1) << v;
        }
        auto again = Loaded();
        EXPECT_EQ(again->Get(CConfig::kHostName), v);
        EXPECT_EQ(again->Get(CConfig::kLoginPasswd), v);
        EXPECT_EQ(again->Get(CConfig::kServerRoot), v);
        std::string base64;
        CUtil::Base64Encode(v, &base64);
        EXPECT_EQ(Db(DbPath()).Stored("login_passwd"), base64) << v;
        EXPECT_EQ(Db(DbPath()).Stored("host_name"), v);
    }
    EXPECT_EQ(Db(DbPath()).Value("SELECT count(*) FROM config_table WHERE key='host_name'"), "1");
}

TEST_F(ConfigTest, StoringUnchangedValuesWritesNothing) {
    auto c = Loaded();
    c->Set(CConfig::kLoginUser, "alice");
    c->Set(CConfig::kLoginPasswd, "s3cret");
    ASSERT_EQ(c->Store(), 1);
    CountWrites();
    ASSERT_EQ(c->Store(), 1);
    EXPECT_EQ(Writes(), 0);
    c->Set(CConfig::kLoginPasswd, "other");
    ASSERT_EQ(c->Store(), 1);
    EXPECT_EQ(Writes(), 1);

    ASSERT_EQ(c->OpenDB(), 1);
    EXPECT_EQ(c->SetValueByKey("login_user", "alice"), 1);
    std::string value;
    EXPECT_EQ(c->GetValueByKey("login_passwd", &value), 1);
    EXPECT_EQ(value, "other");
    EXPECT_EQ(c->GetValueByKey("no_such_key", &value), 0);
    c->CloseDB();
    EXPECT_EQ(Writes(), 1);
}

TEST_F(ConfigTest, RowsAreReadByTheirColumnsAndUnknownKeysStay) {
    Loaded();
    {
        Db db(DbPath());
        ASSERT_TRUE(
            db.Exec("INSERT INTO config_table(key, value) VALUES('balloon_flag', '0');"
                    "INSERT INTO config_table(key, value) VALUES('login_user', NULL);"
                    "INSERT INTO config_table(key, value) VALUES('host_id', 'H-42');"));
    }
    auto c = Loaded();
    EXPECT_EQ(c->Get(CConfig::kHostId), "H-42");
    EXPECT_EQ(c->Get(CConfig::kLoginUser), "");
    ASSERT_EQ(c->Store(), 1);
    EXPECT_EQ(Db(DbPath()).Stored("balloon_flag"), "0");
}

TEST_F(ConfigTest, ProxyFlagIsOnOnlyForExactlyOne) {
    const std::pair<std::string, int> cases[] = {{"1", 1}, {"true", 0}, {"01", 0},
                                                 {"0", 0}, {" 1", 0},   {"", 0}};
    for (const auto& [text, flag] : cases) {
        {
            auto c = Loaded();
            c->Set(CConfig::kProxyType, "HTTP");
            c->Set(CConfig::kProxyAddr, "proxy:3128");
            ASSERT_EQ(c->StoreProxy(), 1);
            Db(DbPath()).Exec("UPDATE config_table SET value='" + text + "' WHERE key='proxy_flag'");
        }
        auto c = Loaded();
        EXPECT_EQ(c->GetProxyFlag(), flag) << "\"" << text << "\"";
        CConfig::Proxy p = c->GetProxy();
        EXPECT_EQ(p.type, flag ? "HTTP" : "");
        EXPECT_EQ(p.addr, flag ? "proxy:3128" : "");
    }
    auto c = Loaded();
    c->SetProxyFlag("1");
    ASSERT_EQ(c->StoreProxy(), 1);
    EXPECT_EQ(Db(DbPath()).Stored("proxy_flag"), "1");
    c->SetProxyFlag("yes");
    ASSERT_EQ(c->StoreProxy(), 1);
    EXPECT_EQ(Db(DbPath()).Stored("proxy_flag"), "0");
}

TEST_F(ConfigTest, MisuseIsRefusedWithItsMessage) {
    CConfig c;
    EXPECT_EQ(c.OpenDB(), 0);
    EXPECT_TRUE(log_.Contains("{CConfig::OpenDB} DB file undefined!"));
    EXPECT_EQ(c.Store(), 0);
    EXPECT_TRUE(log_.Contains("[CConfig::Store]: {CConfig::Store} DB file undefined!"));
    EXPECT_EQ(c.StoreProxy(), 0);
    EXPECT_TRUE(log_.Contains("[CConfig::StoreProxy]: {CConfig::Store} DB file undefined!"));
    EXPECT_EQ(c.Init(""), 0);
    EXPECT_TRUE(log_.Contains("{CConfig::Init} Need set config DB file!"));
    EXPECT_EQ(c.Init(DbPath()), 1);
    EXPECT_EQ(c.Init(dir_.Sub("other.db")), 0);
    EXPECT_TRUE(log_.Contains("{CConfig::Init} DB file exist!"));
    EXPECT_EQ(c.Path(), DbPath());

    std::string v = "untouched";
    EXPECT_EQ(c.GetValueByKey("login_user", &v), 0);
    EXPECT_TRUE(log_.Contains("[CConfig::GetValueByKey]: {CConfig::GetValuebyKey} DB is not open!"));
    EXPECT_EQ(c.SetValueByKey("login_user", "x"), 0);
    EXPECT_TRUE(log_.Contains("[CConfig::SetValueByKey]: {CConfig::SetValuebyKey} DB is not open!"));
    EXPECT_EQ(v, "untouched");

    ASSERT_EQ(c.OpenDB(), 1);
    EXPECT_EQ(c.OpenDB(), 0);
    EXPECT_TRUE(log_.Contains("{CConfig::OpenDB} DB file opened before!"));
    c.CloseDB();
    EXPECT_EQ(log_.LastError(), "{CConfig::OpenDB} DB file opened before!");

    CConfig nowhere;
    ASSERT_EQ(nowhere.Init(dir_.Sub("missing/folder/client.db")), 1);
    EXPECT_EQ(nowhere.Load(), 0);
    EXPECT_TRUE(log_.Contains("{CConfig::OpenDB} Could not open database: "));
}

TEST_F(ConfigTest, FailedLoadLeavesTheDatabaseClosed) {
    dir_.WriteFile("client.db", std::string(4096, 'x'));  // not a database
    CConfig c;
    ASSERT_EQ(c.Init(DbPath()), 1);
    EXPECT_EQ(c.Load(), 0);
    EXPECT_TRUE(log_.Contains("{CConfig::Load} SQL error: file is not a database"));
    // Every later operation must still be able to open the file.
    EXPECT_EQ(c.OpenDB(), 1);
    c.CloseDB();
    EXPECT_FALSE(log_.Contains("opened before"));
}

TEST_F(ConfigTest, StoreReportsWritesThatFail) {
    auto c = Loaded();
    ASSERT_TRUE(
        Db(DbPath()).Exec("CREATE TRIGGER ro BEFORE INSERT ON config_table BEGIN SELECT RAISE(ABORT, "
                          "'read-only store'); END;"));
    c->Set(CConfig::kLoginUser, "bob");
    EXPECT_EQ(c->Store(), 0);
    EXPECT_TRUE(
        log_.Contains("[CConfig::SetValueByKey]: {CConfig::SetValueByKey} SQL error: read-only store"));
    EXPECT_EQ(c->StoreProxy(), 0);
    EXPECT_EQ(Db(DbPath()).Stored("login_user"), "<none>");
    // The database was closed again: a read through the bracket works.
    std::string value;
    EXPECT_EQ(c->ReadStoredValue("login_user", &value), 0);
    EXPECT_FALSE(log_.Contains("opened before"));
}

TEST_F(ConfigTest, ReadStoredValueSeesOtherWriters) {
    auto c = Loaded();
    c->Set(CConfig::kServerRoot, "in memory");
    ASSERT_TRUE(Db(DbPath()).Exec("INSERT INTO config_table(key, value) VALUES('server_root', 'on disk')"));
    std::string value;
    EXPECT_EQ(c->ReadStoredValue("server_root", &value), 1);
    EXPECT_EQ(value, "on disk");
    EXPECT_EQ(c->Get(CConfig::kServerRoot), "in memory");
}

TEST_F(ConfigTest, NotificationsStartOn) {
    CConfig c;
    EXPECT_EQ(c.GetNotify(), 1);
    c.SetNotify(0);
    EXPECT_EQ(c.GetNotify(), 0);
    c.SetNotify(1);
    EXPECT_EQ(c.GetNotify(), 1);
}

TEST(ConfigService, HostAndCookieDomain) {
    struct Case {
        const char* env;  // null: unset
        std::string host, domain;
    };
    const Case cases[] = {{nullptr, "127.0.0.1:8089", ".127.0.0.1"},
                          {"", "127.0.0.1:8089", ".127.0.0.1"},
                          {"sync.example.com:8443", "sync.example.com:8443", ".sync.example.com"},
                          {"files.example.org", "files.example.org", ".files.example.org"},
                          {"[::1]:9000", "[::1]:9000", ".[::1]"}};
    for (const Case& c : cases) {
        testsupport::ScopedEnv env;
        if (c.env)
            env.Set("KESTRINE_SERVICE_HOST", c.env);
        else
            env.Unset("KESTRINE_SERVICE_HOST");
        EXPECT_EQ(CConfig::ServiceHost(), c.host);
        EXPECT_EQ(CConfig::ServiceDomain(), c.domain);
    }
    EXPECT_STREQ(CConfig::KeyName(CConfig::kTransmiterServer), "transmiter_server");
    EXPECT_STREQ(CConfig::KeyName(CConfig::kKeyCount), "");
}

TEST_F(ConfigTest, AnImageOfTheFileLoadsAsTheFileDoes) {
    {
        auto c = Loaded();
        c->Set(CConfig::kLoginUser, "alice");
        c->Set(CConfig::kLoginPasswd, "s3cret");
        c->Set(CConfig::kBackServer, "http://h/back");
        c->SetProxyFlag("1");
        ASSERT_EQ(c->Store(), 1);
        ASSERT_EQ(c->StoreProxy(), 1);
    }
    std::string bytes;
    ASSERT_TRUE(platform::ReadFileToString(DbPath(), &bytes));
    CConfig image;
    ASSERT_EQ(image.LoadImage(bytes), 1);
    auto file = Loaded();
    for (int k = 0; k < CConfig::kKeyCount; ++k)
        EXPECT_EQ(image.Get(CConfig::Key(k)), file->Get(CConfig::Key(k)))
            << CConfig::KeyName(CConfig::Key(k));
    EXPECT_EQ(image.Get(CConfig::kLoginPasswd), "s3cret");
    EXPECT_EQ(image.GetProxyFlag(), 1);

    // No bytes, no database, only the database's header: nothing loads.
    const std::string broken[] = {"", "not a database", bytes.substr(0, 100)};
    for (const std::string& b : broken) {
        CConfig c;
        EXPECT_EQ(c.LoadImage(b), 0) << b.size() << " bytes";
        EXPECT_EQ(c.Get(CConfig::kLoginUser), "");
    }
}
