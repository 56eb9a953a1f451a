#include "platform/registry.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/system.h"
#include "support/env.h"

using namespace platform;

namespace {

class RegistryTest : public ::testing::Test {
  protected:
    testsupport::FakeHome home;
    std::string Get(const std::string& name, size_t buffer = 4096) {
        std::string v = "<unset>";
        RegistryGetString(kClientKey, name, &v, buffer);
        return v;
    }
};

}  // namespace

TEST_F(RegistryTest, LivesUnderTheConfigFolder) {
    EXPECT_EQ(home.Home() + "/.config/kestrine/registry.ini", RegistryFilePath());
    home.Env().Set("XDG_CONFIG_HOME", home.Dir().Sub("xdg"));
    EXPECT_EQ(home.Dir().Sub("xdg") + "/kestrine/registry.ini", RegistryFilePath());
    ASSERT_TRUE(RegistrySetString(kClientKey, "root_path", "/r"));
    EXPECT_TRUE(home.Dir().Exists("xdg/kestrine/registry.ini")) << "missing folders are created";
}

TEST_F(RegistryTest, RoundTripsAwkwardValues) {
    const std::vector<std::string> values = {
        "",
        "plain",
        "with \"quotes\" and 'single'",
        "line one\nline two\r\nthree",
        "back\\slash\\n not a newline",
        "=starts with equals=",
        "[looks like a section]",
        "  spaces kept  ",
        "中文路径/Kestrine",
        "; comment-like",
    };
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_TRUE(RegistrySetString(kClientKey, "v" + std::to_string(i), values[i])) << i;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(values[i], Get("v" + std::to_string(i))) << i;
    }
    // Overwrite keeps one value per name.
    ASSERT_TRUE(RegistrySetString(kClientKey, "v1", "again"));
    EXPECT_EQ("again", Get("v1"));
    std::string text;
    ASSERT_TRUE(ReadFileToString(RegistryFilePath(), &text));
    EXPECT_EQ(std::string::npos, text.find("plain"));
    EXPECT_NE(std::string::npos, text.find("[Software\\Velmora\\Kestrine\\]\n"));
}

TEST_F(RegistryTest, RefusesWhatTheFileCannotHold) {
    EXPECT_FALSE(RegistrySetString(kClientKey, "nul", std::string("a\0b", 3)));
    EXPECT_EQ(EINVAL, LastError());
    EXPECT_FALSE(RegistrySetString(kClientKey, "a=b", "x"));
    EXPECT_FALSE(RegistrySetString(kClientKey, "", "x"));
    EXPECT_FALSE(RegistrySetString("Key\nInjected", "n", "x"));
    EXPECT_FALSE(Exists(RegistryFilePath()));
}

TEST_F(RegistryTest, BufferSizeLimitsTheRead) {
    ASSERT_TRUE(RegistrySetString(kClientKey, "install_path", std::string(79, 'a')));
    ASSERT_TRUE(RegistrySetString(kClientKey, "root_path", std::string(80, 'b')));
    std::string v = "before";
    EXPECT_TRUE(RegistryGetString(kClientKey, "install_path", &v, 80));
    EXPECT_EQ(std::string(79, 'a'), v);
    v = "before";
    EXPECT_FALSE(RegistryGetString(kClientKey, "root_path", &v, 80)) << "80 characters and the NUL need 81";
    EXPECT_EQ("before", v);
    EXPECT_TRUE(RegistryGetString(kClientKey, "root_path", &v, 81));
    EXPECT_FALSE(RegistryGetString(kClientKey, "missing", &v, 80));
    EXPECT_EQ(ENOENT, LastError());
}

TEST_F(RegistryTest, KeysAndNamesIgnoreCaseAndTrailingBackslash) {
    ASSERT_TRUE(RegistrySetString(kClientKey, "Root_Path", "/x"));
    std::string v;
    EXPECT_TRUE(RegistryGetString("software\\velmora\\kestrine", "root_path", &v, 160));
    EXPECT_EQ("/x", v);
    ASSERT_TRUE(RegistrySetString("Other\\Key", "root_path", "/other"));
    EXPECT_EQ("/x", Get("root_path"));
    ASSERT_TRUE(RegistryDeleteValue(kClientKey, "ROOT_PATH"));
    EXPECT_EQ("<unset>", Get("root_path"));
    EXPECT_FALSE(RegistryDeleteValue(kClientKey, "root_path"));
    EXPECT_EQ(ENOENT, LastError());
    ASSERT_TRUE(RegistryGetString("Other\\Key", "root_path", &v, 160));
    EXPECT_EQ("/other", v);
}

TEST_F(RegistryTest, CorruptStoresReadAsMissingValues) {
    static const char kBinary[] = "[Software\\Velmora\\Kestrine\\]\ninstall_path=/a\0\xff\xfe";
    const std::vector<std::string> stores = {
        std::string(kBinary, sizeof kBinary - 1),
        "install_path=/no/section\n",
        "[Software\\Velmora\\Kestrine\\\ninstall_path=/unclosed\n",
        "[Software\\Velmora\\Kestrine\\]\ninstall_path=/bad\\escape\\q\n",
        std::string(2 << 20, 'x'),  // larger than any store we write
    };
    home.Dir().MakeDirs("home/.config/kestrine");
    for (const std::string& content : stores) {
        ASSERT_TRUE(WriteFileAtomic(RegistryFilePath(), content));
        EXPECT_EQ("<unset>", Get("install_path")) << content.substr(0, 40);
    }
    // A good line survives beside a broken one, and a write repairs the file.
    ASSERT_TRUE(WriteFileAtomic(RegistryFilePath(),
                                "garbage line\n[Software\\Velmora\\Kestrine\\]\nroot_path=/ok\n"));
    EXPECT_EQ("/ok", Get("root_path"));
    ASSERT_TRUE(RegistrySetString(kClientKey, "install_path", "/i"));
    EXPECT_EQ("/i", Get("install_path"));
    EXPECT_EQ("/ok", Get("root_path"));
}

TEST_F(RegistryTest, UnreadableStoreReadsAsMissing) {
    ASSERT_TRUE(RegistrySetString(kClientKey, "root_path", "/r"));
    FaultScope faults;
    FailCall(Op::Open, 1, EACCES, "registry.ini");
    EXPECT_EQ("<unset>", Get("root_path"));
    EXPECT_EQ("/r", Get("root_path"));
}

TEST_F(RegistryTest, FailedWriteKeepsTheOldStore) {
    ASSERT_TRUE(RegistrySetString(kClientKey, "root_path", "/old"));
    FaultScope faults;
    FailCall(Op::Write, 1, ENOSPC, "registry.ini");
    EXPECT_FALSE(RegistrySetString(kClientKey, "root_path", "/new"));
    EXPECT_EQ(ENOSPC, LastError());
    EXPECT_EQ("/old", Get("root_path"));
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    constexpr int kPerThread = 40;
    auto writer = [](char tag) {
        for (int i = 0; i < kPerThread; ++i) {
            ASSERT_TRUE(
                RegistrySetString(kClientKey, std::string(1, tag) + std::to_string(i), std::to_string(i)));
        }
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    for (char tag : {'a', 'b'}) {
        for (int i = 0; i < kPerThread; ++i) {
            EXPECT_EQ(std::to_string(i), Get(std::string(1, tag) + std::to_string(i))) << tag << i;
        }
    }
}

TEST_F(RegistryTest, SeedWritesOnlyMissingDefaults) {
    SeedRegistryDefaults();
    EXPECT_EQ(InstallResourceDir(), Get("install_path"));
    EXPECT_EQ(home.Home() + "/Kestrine", Get("root_path"));
    ASSERT_TRUE(RegistrySetString(kClientKey, "root_path", "/chosen/by/user"));
    ASSERT_TRUE(RegistryDeleteValue(kClientKey, "install_path"));
    SeedRegistryDefaults();
    EXPECT_EQ("/chosen/by/user", Get("root_path"));
    EXPECT_EQ(InstallResourceDir(), Get("install_path"));
    struct stat st;
    ASSERT_EQ(0, ::stat((home.Config() + "/kestrine").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777) << "the settings folder is private";
}
