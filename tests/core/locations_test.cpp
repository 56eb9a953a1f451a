#include "core/locations.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "support/env.h"

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
    EXPECT_TRUE(locations::PrepareDatabaseFolder(root));  // existing: fine
}
