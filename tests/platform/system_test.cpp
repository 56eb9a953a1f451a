#include "platform/system.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "support/env.h"

using namespace platform;

TEST(SystemDirs, EnvironmentAndFallbacks) {
    testsupport::FakeHome home;
    EXPECT_EQ(home.Home(), HomeDir());
    EXPECT_EQ(home.Home() + "/.config", ConfigDir());
    EXPECT_EQ(home.Runtime(), RuntimeDir());
    home.Env().Set("XDG_CONFIG_HOME", "/elsewhere/cfg");
    EXPECT_EQ("/elsewhere/cfg", ConfigDir());
    home.Env().Set("XDG_CONFIG_HOME", "relative/cfg");
    EXPECT_EQ(home.Home() + "/.config", ConfigDir()) << "relative XDG values are ignored";
    home.Env().Set("XDG_RUNTIME_DIR", "relative");
    EXPECT_EQ("", RuntimeDir());
    home.Env().Unset("XDG_RUNTIME_DIR");
    EXPECT_EQ("", RuntimeDir());
    home.Env().Unset("HOME");
    EXPECT_FALSE(HomeDir().empty()) << "the password database answers without HOME";
    EXPECT_EQ("", GetEnv("KESTRINE_SURELY_UNSET_VARIABLE"));
}

TEST(SystemDirs, InstallResourceDirOfTheBuildTree) {
    std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ('/', exe[0]);
    // Test programs live in <build>/tests; the build tree's copy is <build>/share/kestrine.
    char real[4096];
    ASSERT_TRUE(::realpath(KESTRINE_BUILD_DIR "/share/kestrine", real));
    EXPECT_EQ(std::string(real), InstallResourceDir());
}

TEST(SystemFacts, ComputerNameTickCountProcess) {
    std::string name = ComputerName();
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    EXPECT_EQ(static_cast<int>(::getpid()), ProcessId());
    int32_t a = TickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int32_t b = TickCount();
    // Wrapping arithmetic, as callers use it.
    EXPECT_GE(static_cast<int32_t>(static_cast<uint32_t>(b) - static_cast<uint32_t>(a)), 20);
}

TEST(SystemTime, LocalTimeAndFileTimes) {
    testsupport::ScopedEnv env;
    env.Set("TZ", "Asia/Shanghai");
    ::tzset();
    // 2024-02-29 16:30:05.123 UTC is 2024-03-01 00:30:05.123 in Shanghai (UTC+8).
    int64_t ft = UnixToFileTime(1709224205, 123000000);
    LocalTime t = FileTimeToLocal(ft);
    EXPECT_EQ(2024, t.year);
    EXPECT_EQ(3, t.month);
    EXPECT_EQ(1, t.day);
    EXPECT_EQ(0, t.hour);
    EXPECT_EQ(30, t.minute);
    EXPECT_EQ(5, t.second);
    EXPECT_EQ(123, t.millisecond);
    // The local calendar as if it were UTC: 8 hours ahead of the real FILETIME here.
    time_t now = ::time(nullptr);
    int64_t local = LocalTimeAsFileTime();
    int64_t utc = UnixToFileTime(now, 0);
    EXPECT_NEAR(8.0 * 3600, static_cast<double>(local - utc) / 1e7, 5.0);
    LocalTime n = GetLocalTime();
    struct tm tm;
    ::localtime_r(&now, &tm);
    EXPECT_EQ(tm.tm_year + 1900, n.year);
    EXPECT_GE(n.millisecond, 0);
    EXPECT_LT(n.millisecond, 1000);
    env.Unset("TZ");
    ::tzset();
}

TEST(SystemOpen, OpenerLogAndSpawn) {
    testsupport::FakeHome home;
    std::string seen;
    SetOpener([&seen](const std::string& t) {
        seen = t;
        return true;
    });
    EXPECT_TRUE(OpenWithDefault("/some/folder"));
    EXPECT_EQ("/some/folder", seen);
    SetOpener(nullptr);

    std::string log = home.Dir().Sub("opened.log");
    home.Env().Set("KESTRINE_OPEN_LOG", log);
    EXPECT_TRUE(OpenWithDefault("/a b/home"));
    EXPECT_TRUE(OpenWithDefault("http://host/page?x=1"));
    EXPECT_EQ("/a b/home\nhttp://host/page?x=1\n", home.Dir().ReadFile("opened.log"));
    home.Env().Unset("KESTRINE_OPEN_LOG");

    {
        FaultScope faults;
        FailCall(Op::Spawn, 1, EAGAIN);
        EXPECT_FALSE(OpenWithDefault("/x"));
        EXPECT_EQ(EAGAIN, LastError());
    }
    // Without xdg-open on the PATH the spawn fails cleanly.
    home.Env().Set("PATH", home.Dir().Sub("empty-bin"));
    EXPECT_FALSE(OpenWithDefault("/x"));
    EXPECT_EQ(ENOENT, LastError());
    // A stand-in xdg-open proves the target reaches the program as one argument.
    home.Dir().WriteFile("bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$#:$1\" > \"$0.out\"\n");
    ::chmod(home.Dir().Sub("bin/xdg-open").c_str(), 0755);
    home.Env().Set("PATH", home.Dir().Sub("bin") + ":/usr/bin:/bin");
    ASSERT_TRUE(OpenWithDefault("/with space/and'quote"));
    std::string out;
    for (int i = 0; i < 500 && (out = home.Dir().ReadFile("bin/xdg-open.out")).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ("1:/with space/and'quote\n", out);
}

// The installed template is the entry, with the running program in Exec and the entry enabled
// whatever the template said; without a usable template the built-in entry is written.
TEST(SystemDesktop, AutostartFromTheInstalledTemplate) {
    const std::string builtIn =
        "[Desktop Entry]\nType=Application\nName=Kestrine\nExec=/usr/bin/kestrine\n"
        "X-GNOME-Autostart-enabled=true\n";
    const struct {
        const char* name;
        const char* model;  // nullptr: no template file
        std::string want;
    } cases[] = {
        {"installed",
         "[Desktop Entry]\nName=Kestrine\nExec=kestrine\nIcon=kestrine\nX-GNOME-Autostart-enabled=true\n",
         "[Desktop "
         "Entry]\nName=Kestrine\nExec=/usr/bin/kestrine\nIcon=kestrine\nX-GNOME-Autostart-enabled=true\n"},
        {"no Exec, CRLF", "[Desktop Entry]\r\nName=K\r\n",
         "[Desktop Entry]\nName=K\nExec=/usr/bin/kestrine\nX-GNOME-Autostart-enabled=true\n"},
        {"disabled, two Execs",
         "[Desktop Entry]\nExec=a\nHidden=true\nExec=b\nX-GNOME-Autostart-enabled=false\nName=K",
         "[Desktop Entry]\nExec=/usr/bin/kestrine\nName=K\nX-GNOME-Autostart-enabled=true\n"},
        {"not a desktop entry", "garbage\nExec=/bin/evil\n", builtIn},
        {"missing", nullptr, builtIn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::FakeHome home;
        const std::string model = home.Dir().Sub("autostart.desktop");
        if (c.model)
            home.Dir().WriteFile("autostart.desktop", c.model);
        ASSERT_TRUE(SetAutostart(true, "/usr/bin/kestrine", model));
        EXPECT_EQ(home.Dir().ReadFile("home/.config/autostart/Kestrine.desktop"), c.want);
        EXPECT_TRUE(IsAutostartEnabled());
    }
}

TEST(SystemDesktop, AutostartWriteAndRemove) {
    testsupport::FakeHome home;
    std::string path = home.Config() + "/autostart/Kestrine.desktop";
    EXPECT_FALSE(IsAutostartEnabled());
    ASSERT_TRUE(SetAutostart(true, "/opt/kestrine/bin/kestrine"));
    EXPECT_TRUE(IsAutostartEnabled());
    EXPECT_EQ(
        "[Desktop Entry]\nType=Application\nName=Kestrine\nExec=/opt/kestrine/bin/kestrine\n"
        "X-GNOME-Autostart-enabled=true\n",
        home.Dir().ReadFile("home/.config/autostart/Kestrine.desktop"));
    ASSERT_TRUE(SetAutostart(true, "/opt/My Apps/kes$trine"));
    std::string text = home.Dir().ReadFile("home/.config/autostart/Kestrine.desktop");
    EXPECT_NE(std::string::npos, text.find("Exec=\"/opt/My Apps/kes\\\\$trine\"\n")) << text;
    EXPECT_FALSE(SetAutostart(true, "/bad\nExec=/bin/evil"));
    ASSERT_TRUE(SetAutostart(false, ""));
    EXPECT_FALSE(IsAutostartEnabled());
    EXPECT_FALSE(Exists(path));
    EXPECT_TRUE(SetAutostart(false, "")) << "removing what is not there is fine";
}

TEST(SystemDesktop, BookmarkAddedUpdatedNeverDuplicated) {
    testsupport::FakeHome home;
    const std::string rel = "home/.config/gtk-3.0/bookmarks";
    ASSERT_TRUE(SetBookmark("/home/u/Kestrine/home"));
    EXPECT_EQ("file:///home/u/Kestrine/home Kestrine\n", home.Dir().ReadFile(rel));
    home.Dir().WriteFile(rel,
                         "file:///tmp Temp\nfile:///old/place Kestrine\nfile:///music\nfile:///dup Kestrine");
    ASSERT_TRUE(SetBookmark("/new place/中"));
    EXPECT_EQ("file:///tmp Temp\nfile:///new%20place/%E4%B8%AD Kestrine\nfile:///music\n",
              home.Dir().ReadFile(rel));
    ASSERT_TRUE(SetBookmark("/new place/中"));
    EXPECT_EQ("file:///tmp Temp\nfile:///new%20place/%E4%B8%AD Kestrine\nfile:///music\n",
              home.Dir().ReadFile(rel));
    EXPECT_FALSE(SetBookmark("relative/path"));
}

TEST(SystemSignals, TerminationHandlerReceivesSigterm) {
    // In a child, since the handler blocks the signals for the rest of the process.
    EXPECT_EXIT(
        {
            std::atomic<int> got{0};
            InstallTerminationHandler([&got](int sig) { got = sig; });
            ::kill(::getpid(), SIGTERM);
            for (int i = 0; i < 500 && got == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            ::_exit(got == SIGTERM ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "");
}

TEST(SystemSignals, ExitProcessNowSkipsDestructors) {
    struct Noisy {
        ~Noisy() { ::_exit(99); }
    };
    EXPECT_EXIT(
        {
            Noisy n;
            ExitProcessNow(3);
        },
        ::testing::ExitedWithCode(3), "");
}
