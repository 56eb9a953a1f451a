// Secrets at rest and in the log, with the real client program: two computers of one account at
// the highest log level sign in, sync a file (the receiving one through its chunk cache) and sign
// in again with the remembered password. No log file then holds the password, its wrapped or
// URL-encoded form, its digest or the passport; the data root's folders are 0700 and the client's
// files 0600, on a fresh install and on one that older clients left 0755/0644, while the synced
// files keep the user's default modes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "e2e/harness.h"
#include "service/auth.h"
#include "service/soapchannel.h"
#include "service/urlencode.h"
#include "support/sqlquery.h"
#include "support/testserver.h"
#include "util/util.h"

namespace {

namespace fs = std::filesystem;
using e2e::Computer;
using testsupport::TestServer;

unsigned ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 01'0000;
}

// The configuration table as the client makes it, with the highest log level already chosen.
void SeedDatabase(const std::string& db) {
    ASSERT_EQ(testsupport::Query(
                  db,
                  "create table config_table(id int primary key, key text not null unique, value text);"
                  "insert into config_table(key, value) values('log_level', '6');"),
              "");
}

class SecretsE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        oldMask_ = ::umask(022);  // the clients inherit it: a desktop session's usual one
        ASSERT_TRUE(server_.Start()) << server_.Error();
        laptop_ = std::make_unique<Computer>(server_, "laptop");
        desktop_ = std::make_unique<Computer>(server_, "desktop");
    }
    void TearDown() override {
        for (Computer* c : {laptop_.get(), desktop_.get()})
            if (c && c->Running())
                c->Stop();
        ::umask(oldMask_);
    }
    // An install that older clients left: every folder 0755, every file 0644, the log level 6.
    void MakeOldInstall(const Computer& c) {
        const std::string root = c.Root();
        for (const char* d : {"", "/.db", "/.log", "/.cache", "/.trash", "/home"}) {
            fs::create_directories(root + d);
            ASSERT_EQ(::chmod((root + d).c_str(), 0755), 0);
        }
        SeedDatabase(root + "/.db/client.db");
        std::FILE* f = std::fopen((root + "/.log/2012-06-01-09-05-03.log").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("an older run\r\n", f);
        std::fclose(f);
        for (const char* file : {"/.db/client.db", "/.log/2012-06-01-09-05-03.log"})
            ASSERT_EQ(::chmod((root + file).c_str(), 0644), 0);
    }
    void MakeFreshInstallAtLevel6(const Computer& c) {
        fs::create_directories(c.Root() + "/.db");
        SeedDatabase(c.Root() + "/.db/client.db");
        // Only the log level is seeded; the folder and file get the modes a first start gives.
        ASSERT_EQ(::chmod((c.Root() + "/.db").c_str(), 0755), 0);
        ASSERT_EQ(::chmod((c.Root() + "/.db/client.db").c_str(), 0644), 0);
    }
    ::testing::AssertionResult StartAndSignIn(Computer& c) {
        std::string error;
        if (!c.Start(&error))
            return ::testing::AssertionFailure() << error;
        if (!c.WaitSignedIn())
            return ::testing::AssertionFailure() << c.Name() << ":\n" << c.Console() << e2e::Tail(c.Log());
        return ::testing::AssertionSuccess();
    }
    // Every mode the data root must have; `cacheFiles` counts the chunk cache's files seen.
    void ExpectPrivate(const Computer& c, int* cacheFiles) {
        SCOPED_TRACE(c.Name());
        const std::string root = c.Root();
        for (const char* d : {"/.db", "/.log", "/.cache", "/.trash", "/home"})
            EXPECT_EQ(ModeOf(root + d), 0700u) << d;
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            const std::string file = root + "/.db/client.db" + suffix;
            if (fs::exists(file)) {
                EXPECT_EQ(ModeOf(file), 0600u) << file;
            }
        }
        EXPECT_TRUE(fs::exists(root + "/.db/client.db"));
        int logs = 0;
        for (const auto& e : fs::directory_iterator(root + "/.log")) {
            EXPECT_EQ(ModeOf(e.path().string()), 0600u) << e.path();
            ++logs;
        }
        EXPECT_GE(logs, 1);
        for (const auto& e : fs::directory_iterator(root + "/.cache")) {
            EXPECT_EQ(ModeOf(e.path().string()), 0600u) << e.path();
            ++*cacheFiles;
        }
    }
    // Every form of a secret that must never be in a log, for this computer's run.
    std::vector<std::string> Secrets(const Computer& c, const std::string& log) {
        const std::string password = TestServer::kPassword;
        std::vector<std::string> out = {password, CURLEncode().URLEncode(password)};
        std::string base64;
        CUtil::Base64Encode(password, &base64);
        out.push_back(base64);
        std::string digest = soapchannel::PasswordDigest(password);
        out.push_back(digest);
        for (char& ch : digest)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        out.push_back(digest);
        const std::string passport = testsupport::StoredConfig(c.Root() + "/.db/client.db", "passport");
        EXPECT_GE(passport.size(), 8u) << c.Name() << " has no passport stored";
        out.push_back(passport);
        // The wrapped password of every sign-in, from the time stamp its URL carried.
        const std::regex stamp(R"(time_stamp=(-?\d+))");
        std::set<std::string> stamps;
        for (std::sregex_iterator it(log.begin(), log.end(), stamp), end; it != end; ++it)
            stamps.insert((*it)[1].str());
        EXPECT_GE(stamps.size(), 1u) << c.Name() << ": no sign-in URL in the log";
        for (const std::string& s : stamps) {
            std::string wrapped;
            EXPECT_TRUE(CAuth::EncryptPassword(password, s, &wrapped));
            out.push_back(wrapped);
            out.push_back(CURLEncode().URLEncode(wrapped));
        }
        return out;
    }
    void ExpectNoSecrets(const Computer& c) {
        SCOPED_TRACE(c.Name());
        const std::string log = c.Log();
        ASSERT_FALSE(log.empty());
        // The level reached the log: debug lines and the SOAP requests are there, masked.
        EXPECT_NE(log.find("<debug>"), std::string::npos);
        EXPECT_NE(log.find("password=***"), std::string::npos);
        EXPECT_NE(log.find("request:<operation"), std::string::npos);
        EXPECT_NE(log.find("password=\"***\""), std::string::npos);
        for (const std::string& secret : Secrets(c, log)) {
            const size_t at = log.find(secret);
            EXPECT_EQ(at, std::string::npos)
                << "\"" << secret << "\" in the log: ..."
                << log.substr(at == std::string::npos ? 0 : at - std::min<size_t>(at, 200), 400);
        }
        // Any item named a secret carries the mask, whatever its value.
        const std::regex unmasked(R"((password|passwd|passport)(=|="|":")(?!\*\*\*)[^&"; \r\n]+)",
                                  std::regex::icase);
        std::smatch m;
        EXPECT_FALSE(std::regex_search(log, m, unmasked)) << m.str();
    }

    TestServer server_;
    std::unique_ptr<Computer> laptop_, desktop_;
    mode_t oldMask_ = 022;
};

TEST_F(SecretsE2E, NoSecretInAnyLogAndPrivateModesOnFreshAndOldInstalls) {
    MakeOldInstall(*laptop_);
    MakeFreshInstallAtLevel6(*desktop_);
    ASSERT_TRUE(StartAndSignIn(*laptop_));
    ASSERT_TRUE(StartAndSignIn(*desktop_));

    // A file made on the laptop comes down to the desktop through its chunk cache.
    const std::string content = e2e::RandomBytes(300 * 1024, 7);
    laptop_->Write("report.bin", content);
    ASSERT_TRUE(e2e::WaitUntil(
        [&] { return desktop_->Exists("report.bin") && desktop_->Read("report.bin") == content; },
        e2e::ConvergeMs()))
        << desktop_->Console() << e2e::Tail(desktop_->Log());
    ASSERT_TRUE(desktop_->WaitQuiet());
    ASSERT_TRUE(laptop_->Stop());
    ASSERT_TRUE(desktop_->Stop());
    // The second start signs in with the remembered password.
    ASSERT_TRUE(StartAndSignIn(*laptop_));
    ASSERT_TRUE(laptop_->Stop());

    int cacheFiles = 0;
    ExpectPrivate(*laptop_, &cacheFiles);
    ExpectPrivate(*desktop_, &cacheFiles);
    // The pass empties the chunk cache once the file is assembled, so usually none is left to look
    // at here; ChunkTest.CachedChunksArePrivate covers the files a download writes there.
    (void)cacheFiles;
    // Synced files keep the user's default modes: the umask was not changed.
    EXPECT_EQ(ModeOf(desktop_->Path("report.bin")), 0644u);
    EXPECT_EQ(ModeOf(laptop_->Path("report.bin")), 0644u);
    EXPECT_EQ(laptop_->Read("../.log/2012-06-01-09-05-03.log").substr(0, 12), "an older run");

    ExpectNoSecrets(*laptop_);
    ExpectNoSecrets(*desktop_);
}

}  // namespace
