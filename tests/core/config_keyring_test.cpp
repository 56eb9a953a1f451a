// The remembered password and the desktop keyring. Without a keyring that answers (none on the
// bus, a failing one, one that does not answer in time) the password stays in the client
// database as before, and the client does not wait long for it. With a real keyring (the
// KeyringSession tests, run by ctest inside a private D-Bus session with gnome-keyring; skipped
// elsewhere) the password goes there, the database keeps no copy, and a copy an older client left
// in the database moves there at the next start.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "core/config.h"
#include "platform/fault.h"
#include "platform/keyring.h"
#include "support/env.h"
#include "support/sqlquery.h"
#include "support/tempdir.h"
#include "util/util.h"

namespace {

constexpr const char* kUser = "keyring-test-alice";
constexpr const char* kPassword = "pw-keyring-7f3a";

std::string StoredPassword(const std::string& db) {
    return testsupport::StoredConfig(db, "login_passwd");
}

std::string Base64(const std::string& text) {
    std::string out;
    CUtil::Base64Encode(text, &out);
    return out;
}

class KeyringFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::ResetKeyringState();
        platform::SetKeyringTimeoutMs(2000);
    }
    void TearDown() override {
        platform::ClearFaults();
        platform::ResetKeyringState();
        platform::SetKeyringTimeoutMs(2000);
    }
    std::string DbPath() const { return dir_.Sub("client.db"); }
    // Signs in with "remember" ticked: the account and its password stored.
    void Remember(const std::string& password = kPassword) {
        CConfig c;
        ASSERT_EQ(c.Init(DbPath()), 1);
        ASSERT_EQ(c.Load(), 1);
        c.Set(CConfig::kLoginUser, kUser);
        c.Set(CConfig::kLoginPasswd, password);
        ASSERT_EQ(c.Store(), 1);
    }
    // What the next start reads.
    std::string LoadedPassword() {
        CConfig c;
        EXPECT_EQ(c.Init(DbPath()), 1);
        EXPECT_EQ(c.Load(), 1);
        return c.Get(CConfig::kLoginPasswd);
    }
    // The database file and its side files as bytes, as anyone who reads the disk sees them.
    std::string RawDatabase() const {
        std::string all;
        for (const char* suffix : {"", "-wal", "-journal"})
            all += dir_.ReadFile(std::string("client.db") + suffix);
        return all;
    }
    testsupport::TempDir dir_;
    testsupport::ScopedEnv env_;
};

// ---- Without a keyring that answers: the database keeps the password, as before. ----

TEST_F(KeyringFixture, WithoutAKeyringThePasswordStaysInTheDatabase) {
    struct Case {
        const char* what;
        int err;          // the keyring calls fail with it
        const char* bus;  // DBUS_SESSION_BUS_ADDRESS, nullptr: unset
    };
    const Case cases[] = {
        {"no session bus", 0, nullptr},
        {"a bus nobody listens on", 0, "unix:path=/nonexistent/kestrine-test-bus"},
        {"the Secret Service does not answer", ENOTCONN, nullptr},
        {"the keyring refuses", EIO, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir dir;
        testsupport::ScopedEnv env;
        if (c.bus)
            env.Set("DBUS_SESSION_BUS_ADDRESS", c.bus);
        else
            env.Unset("DBUS_SESSION_BUS_ADDRESS");
        platform::FaultScope faults;
        if (c.err)
            platform::FailCall(platform::Op::Keyring, 100, c.err);
        const std::string db = dir.Sub("client.db");
        {
            CConfig config;
            ASSERT_EQ(config.Init(db), 1);
            ASSERT_EQ(config.Load(), 1);
            config.Set(CConfig::kLoginUser, kUser);
            config.Set(CConfig::kLoginPasswd, kPassword);
            ASSERT_EQ(config.Store(), 1);
        }
        EXPECT_EQ(StoredPassword(db), Base64(kPassword));
        CConfig again;
        ASSERT_EQ(again.Init(db), 1);
        ASSERT_EQ(again.Load(), 1);
        EXPECT_EQ(again.Get(CConfig::kLoginPasswd), kPassword);
        std::string read;
        EXPECT_EQ(again.ReadStoredValue("login_passwd", &read), 1);
        EXPECT_EQ(read, kPassword);
    }
}

// A keyring that shows a prompt or hangs must not hold up the start: the call gives up after the
// time-out, and later calls do not wait again.
TEST_F(KeyringFixture, AKeyringThatDoesNotAnswerIsGivenUpOnInTime) {
    env_.Set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kestrine-test-bus");
    platform::SetKeyringTimeoutMs(200);
    platform::FaultScope faults;
    auto woke = std::make_shared<std::atomic<bool>>(false);
    platform::OnCall(
        platform::Op::Keyring,
        [woke](const std::string&) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            woke->store(true);
        },
        "ask:");
    const auto start = std::chrono::steady_clock::now();
    Remember();
    EXPECT_EQ(LoadedPassword(), kPassword);
    EXPECT_EQ(LoadedPassword(), kPassword);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_LT(ms, 1500) << "the keyring was waited for more than once";
    EXPECT_EQ(StoredPassword(DbPath()), Base64(kPassword));
    std::string secret;
    EXPECT_EQ(platform::KeyringLookup(kUser, &secret), platform::KeyringResult::Unavailable);
    // The abandoned call ends by itself; the process does not exit under it.
    for (int i = 0; i < 100 && !woke->load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

TEST_F(KeyringFixture, TheKeyringCanBeTurnedOff) {
    env_.Set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kestrine-test-bus");
    env_.Set("KESTRINE_KEYRING", "off");
    platform::FaultScope faults;
    bool asked = false;
    platform::OnCall(
        platform::Op::Keyring, [&](const std::string&) { asked = true; }, "ask:");
    std::string secret;
    EXPECT_EQ(platform::KeyringStore(kUser, kPassword), platform::KeyringResult::Unavailable);
    EXPECT_FALSE(asked);
}

// ---- With a real keyring (ctest's KeyringSession run). ----

class KeyringSession : public KeyringFixture {
  protected:
    void SetUp() override {
        KeyringFixture::SetUp();
        const char* on = std::getenv("KESTRINE_KEYRING_TEST");
        if (!on || std::string(on) != "1")
            GTEST_SKIP() << "needs a private D-Bus session with gnome-keyring (ctest runs KeyringSession)";
        platform::SetKeyringTimeoutMs(10000);  // the daemon's first answer can be slow on a busy machine
        ASSERT_EQ(platform::KeyringRemove(kUser), platform::KeyringResult::Ok);
    }
    void TearDown() override {
        platform::KeyringRemove(kUser);
        KeyringFixture::TearDown();
    }
};

TEST_F(KeyringSession, StoreReadBackAndRemove) {
    std::string secret = "unchanged";
    EXPECT_EQ(platform::KeyringLookup(kUser, &secret), platform::KeyringResult::NotFound);
    EXPECT_EQ(secret, "unchanged");
    ASSERT_EQ(platform::KeyringStore(kUser, kPassword), platform::KeyringResult::Ok);
    ASSERT_EQ(platform::KeyringLookup(kUser, &secret), platform::KeyringResult::Ok);
    EXPECT_EQ(secret, kPassword);
    ASSERT_EQ(platform::KeyringStore(kUser, "second"), platform::KeyringResult::Ok);  // replaces
    ASSERT_EQ(platform::KeyringLookup(kUser, &secret), platform::KeyringResult::Ok);
    EXPECT_EQ(secret, "second");
    EXPECT_EQ(platform::KeyringLookup("someone-else", &secret), platform::KeyringResult::NotFound);
    EXPECT_EQ(platform::KeyringRemove(kUser), platform::KeyringResult::Ok);
    EXPECT_EQ(platform::KeyringLookup(kUser, &secret), platform::KeyringResult::NotFound);
}

TEST_F(KeyringSession, TheRememberedPasswordLivesInTheKeyringOnly) {
    Remember();
    EXPECT_EQ(StoredPassword(DbPath()), "");
    const std::string raw = RawDatabase();
    EXPECT_EQ(raw.find(kPassword), std::string::npos);
    EXPECT_EQ(raw.find(Base64(kPassword)), std::string::npos);
    std::string secret;
    ASSERT_EQ(platform::KeyringLookup(kUser, &secret), platform::KeyringResult::Ok);
    EXPECT_EQ(secret, kPassword);
    // The next start, and the login dialogs that read the stored value, find it there.
    EXPECT_EQ(LoadedPassword(), kPassword);
    CConfig c;
    ASSERT_EQ(c.Init(DbPath()), 1);
    std::string read;
    ASSERT_EQ(c.ReadStoredValue("login_passwd", &read), 1);
    EXPECT_EQ(read, kPassword);
}

TEST_F(KeyringSession, AnOldStoredPasswordMovesToTheKeyringAtTheNextStart) {
    {
        // What an older client, or a start without a keyring, left in the table.
        testsupport::ScopedEnv env;
        env.Set("KESTRINE_KEYRING", "off");
        Remember();
    }
    ASSERT_EQ(StoredPassword(DbPath()), Base64(kPassword));
    std::string secret;
    ASSERT_EQ(platform::KeyringLookup(kUser, &secret), platform::KeyringResult::NotFound);

    EXPECT_EQ(LoadedPassword(), kPassword);
    EXPECT_EQ(StoredPassword(DbPath()), "");
    const std::string raw = RawDatabase();
    EXPECT_EQ(raw.find(Base64(kPassword)), std::string::npos) << "the old value is still in the file";
    ASSERT_EQ(platform::KeyringLookup(kUser, &secret), platform::KeyringResult::Ok);
    EXPECT_EQ(secret, kPassword);
    EXPECT_EQ(LoadedPassword(), kPassword);
}

TEST_F(KeyringSession, APasswordNoLongerRememberedLeavesTheKeyring) {
    Remember();
    Remember("");
    std::string secret;
    EXPECT_EQ(platform::KeyringLookup(kUser, &secret), platform::KeyringResult::NotFound);
    EXPECT_EQ(StoredPassword(DbPath()), "");
    EXPECT_EQ(LoadedPassword(), "");
}

// The keyring is there but fails: the table keeps the password rather than losing it.
TEST_F(KeyringSession, AFailingKeyringLeavesThePasswordInTheDatabase) {
    {
        platform::FaultScope faults;
        platform::FailCall(platform::Op::Keyring, 1, EIO, "store:");
        Remember();
    }
    EXPECT_EQ(StoredPassword(DbPath()), Base64(kPassword));
    // Once the keyring works again, the next start moves it.
    EXPECT_EQ(LoadedPassword(), kPassword);
    EXPECT_EQ(StoredPassword(DbPath()), "");
}

// A keyring that cannot be asked at the start must not make the next store forget the password.
TEST_F(KeyringSession, AnUnansweredLookupDoesNotForgetThePassword) {
    Remember();
    {
        platform::FaultScope faults;
        platform::FailCall(platform::Op::Keyring, 100, ENOTCONN);
        CConfig c;
        ASSERT_EQ(c.Init(DbPath()), 1);
        ASSERT_EQ(c.Load(), 1);
        EXPECT_EQ(c.Get(CConfig::kLoginPasswd), "");
        platform::ClearFaults();
        ASSERT_EQ(c.Store(), 1);
    }
    EXPECT_EQ(LoadedPassword(), kPassword);
}

}  // namespace
