#include "core/locations.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "support/env.h"
#include "support/tempdir.h"

namespace {

void SetRegistry(const std::string& name, const std::string& value) {
    ASSERT_TRUE(platform::RegistrySetString(platform::kClientKey, name, value));
}

}  // namespace

TEST(Locations, InstallFolderNeedsAnExistingFolderThatFits) {
    testsupport::FakeHome home;
    const std::string dflt = locations::DefaultInstallFolder();
    ASSERT_FALSE(dflt.empty());
    EXPECT_EQ(locations::InstallFolder(), dflt);  // no value at all

    home.Dir().MakeDirs("inst");
    const std::string inst = home.Dir().Sub("inst");
    home.Dir().MakeDirs("i");
    const std::string deep = home.Dir().Sub("i/" + std::string(80, 'd'));
    const struct {
        std::string value, expected;
    } cases[] = {
        {inst, inst},
        {inst + "/", inst},
        {home.Dir().Sub("missing"), dflt},
        {home.Dir().Sub("inst-file"), dflt},  // a file, not a folder
        {deep, dflt},                         // longer than the 80-byte buffer: unreadable
    };
    home.Dir().WriteFile("inst-file", "x");
    home.Dir().MakeDirs("i/" + std::string(80, 'd'));
    for (const auto& c : cases) {
        SetRegistry("install_path", c.value);
        EXPECT_EQ(locations::InstallFolder(), c.expected) << c.value;
    }
}

TEST(Locations, RootFolderIsUsedWhenItExistsOrCanBeCreatedOneLevel) {
    testsupport::FakeHome home;
    const std::string dflt = home.Home() + "/Kestrine";
    EXPECT_EQ(locations::DefaultRootFolder(), dflt);
    home.Dir().MakeDirs("data");
    const std::string longRoot = "/" + std::string(160, 'r');
    const struct {
        std::string value, expected;
    } cases[] = {
        {home.Dir().Sub("data"), home.Dir().Sub("data")},
        {home.Dir().Sub("data/new"), home.Dir().Sub("data/new")},  // created, one level
        {home.Dir().Sub("no/parent"), dflt},                       // two levels: refused
        {"relative/root", dflt},
        {"/", dflt},
        {"", dflt},
        {longRoot, dflt},  // does not fit the 160-byte buffer
    };
    for (const auto& c : cases) {
        SetRegistry("root_path", c.value);
        EXPECT_EQ(locations::RootFolder(), c.expected) << c.value;
        EXPECT_TRUE(platform::IsDirectory(c.expected));
    }
    EXPECT_FALSE(platform::Exists(home.Dir().Sub("no")));
}

TEST(Locations, LogFolderFallsBackUnderTheInstallDefault) {
    testsupport::FakeHome home;
    const std::string installLog = locations::DefaultInstallFolder() + "/.log";
    EXPECT_EQ(locations::LogFolder(), installLog);  // no root_path value
    SetRegistry("root_path", home.Dir().Sub("r"));
    EXPECT_EQ(locations::LogFolder(), home.Dir().Sub("r") + "/.log");
    SetRegistry("root_path", home.Dir().Sub("x/y"));
    EXPECT_EQ(locations::LogFolder(), installLog);
}

TEST(Locations, DerivedPathsAndLogFileName) {
    EXPECT_EQ(locations::DatabaseFolder("/r"), "/r/.db");
    EXPECT_EQ(locations::DatabasePath("/r"), "/r/.db/client.db");
    EXPECT_EQ(locations::HomeFolder("/r/"), "/r/home");
    EXPECT_EQ(locations::CacheFolder("/r"), "/r/.cache");
    platform::LocalTime t{2012, 6, 1, 9, 5, 3, 42};
    EXPECT_EQ(locations::LogFileName("/r/.log", t), "/r/.log/2012-06-01-09-05-03.log");
    platform::LocalTime early{987, 1, 2, 3, 4, 5, 0};
    EXPECT_EQ(locations::LogFileName("/l", early), "/l/ 987-01-02-03-04-05.log");
}

TEST(Locations, DatabaseFolderIsCreatedHidden) {
    testsupport::FakeHome home;
    const std::string root = home.Dir().Sub("root");
    home.Dir().MakeDirs("root");
    {
        platform::FaultScope faults;
        platform::FailCall(platform::Op::MakeDir, 1, 13, "/.db");
        EXPECT_FALSE(locations::PrepareDatabaseFolder(root));
    }
    ASSERT_TRUE(locations::PrepareDatabaseFolder(root));
    EXPECT_TRUE(platform::GetFileAttributes(root + "/.db") & platform::kAttrHidden);
    struct stat st;
    ASSERT_EQ(::stat((root + "/.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);                 // it holds the passport and may hold the password
    EXPECT_TRUE(locations::PrepareDatabaseFolder(root));  // existing: fine
}

// An install from before the data folders were private: everything 0755/0644. A start tightens
// the client's own folders and files, and leaves what is inside the home folder as it was.
TEST(Locations, AnOldInstallIsTightenedButTheSyncedTreeIsNot) {
    const mode_t oldMask = ::umask(022);
    testsupport::TempDir dir;
    const std::string root = dir.Sub("Kestrine");
    for (const char* d : {"Kestrine", "Kestrine/.db", "Kestrine/.log", "Kestrine/.cache", "Kestrine/.trash",
                          "Kestrine/home", "Kestrine/home/docs", "Kestrine/.trash/2012-06-01"})
        ASSERT_EQ(::mkdir(dir.Sub(d).c_str(), 0755), 0) << d;
    const char* const files[] = {".db/client.db",
                                 ".db/client.db-wal",
                                 ".db/client.db-shm",
                                 ".db/client.db-journal",
                                 ".log/2012-06-01-09-05-03.log",
                                 ".cache/0123456789abcdef0123456789abcdef",
                                 "home/a.txt",
                                 "home/docs/b.txt",
                                 ".trash/2012-06-01/c.txt"};
    for (const char* f : files) {
        dir.WriteFile(std::string("Kestrine/") + f, "x");
        ASSERT_EQ(::chmod(dir.Sub(std::string("Kestrine/") + f).c_str(), 0644), 0) << f;
    }
    EXPECT_EQ(locations::TightenDataRoot(root), 0);

    auto mode = [&](const std::string& rel) {
        struct stat st;
        return ::lstat(locations::Join(root, rel).c_str(), &st) == 0 ? st.st_mode & 07777 : 01'0000u;
    };
    struct Want {
        const char* rel;
        unsigned mode;
    };
    const Want wants[] = {
        {".db", 0700},
        {".log", 0700},
        {".cache", 0700},
        {".trash", 0700},
        {"home", 0700},
        {".db/client.db", 0600},
        {".db/client.db-wal", 0600},
        {".db/client.db-shm", 0600},
        {".db/client.db-journal", 0600},
        {".log/2012-06-01-09-05-03.log", 0600},
        {".cache/0123456789abcdef0123456789abcdef", 0600},
        // The user's tree keeps its modes; so does the root itself.
        {"home/a.txt", 0644},
        {"home/docs", 0755},
        {"home/docs/b.txt", 0644},
        {".", 0755},
        {".trash/2012-06-01", 0755},
        {".trash/2012-06-01/c.txt", 0644},
    };
    for (const Want& w : wants)
        EXPECT_EQ(mode(w.rel), w.mode) << w.rel;

    // A fresh root has nothing to tighten and gets nothing created.
    EXPECT_EQ(locations::TightenDataRoot(dir.Sub("empty")), 0);
    EXPECT_FALSE(platform::Exists(dir.Sub("empty")));
    ::umask(oldMask);
}

TEST(Locations, TighteningFailuresAreCounted) {
    testsupport::TempDir dir;
    const std::string root = dir.Sub("r");
    dir.MakeDirs("r/.db");
    dir.MakeDirs("r/home");
    dir.WriteFile("r/.db/client.db", "x");
    ASSERT_EQ(::chmod(dir.Sub("r/.db/client.db").c_str(), 0644), 0);
    platform::FaultScope faults;
    platform::FailCall(platform::Op::SetMode, 2, EPERM);
    EXPECT_EQ(locations::TightenDataRoot(root), 2);
}
