// build/kestrine on an X display (Xvfb) with the Qt front end, against the two ways a Linux
// desktop hosts tray icons: an XEmbed tray (trayer) and a StatusNotifierWatcher on the session
// bus (tests/support/snwatcher). With either the icon reaches the host and the window stays
// hidden; with neither the window shows, and a tray host that starts later gets the icon.
#include <gtest/gtest.h>
#include <signal.h>
#include <algorithm>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "support/clientlaunch.h"
#include "support/env.h"
#include "support/process.h"
#include "support/traydesk.h"
#include "support/wait.h"

namespace {

using testsupport::TrayDesk;
using testsupport::WaitUntil;

constexpr int kWaitMs = 30000;  // bound for the client's reactions; never reached when it works

// The watcher stand-in is built with the Qt front end, outside the sanitized builds. The desktop's
// programs are in the Makefile's packages: a missing one fails the test, it is not skipped.
bool HasWatcher() {
    return platform::Exists(std::string(KESTRINE_BUILD_DIR) + "/tests/sn-watcher");
}

// build/kestrine with the Qt front end on the desk's display and bus, signed out, in its own
// home; Qt picks the platform and the tray as it would on a user's desktop.
class Client {
  public:
    bool Start(TrayDesk& desk, std::string* error) {
        testsupport::LaunchPlan how = testsupport::ClientInHome(home_, std::nullopt);
        how.env.insert({{"DISPLAY", desk.Display()},
                        {"DBUS_SESSION_BUS_ADDRESS", desk.BusAddress()},
                        {"WAYLAND_DISPLAY", std::nullopt},
                        {"QT_QPA_PLATFORM", std::nullopt},
                        {"QT_QPA_PLATFORMTHEME", std::nullopt},
                        {"XDG_CURRENT_DESKTOP", std::nullopt}});
        return process_.Start(how, error);
    }

    // The client's log says it runs: its frame, and so its tray decision, exists.
    bool WaitRunning() {
        const std::string logDir = home_.Home() + "/Kestrine/.log";
        return WaitUntil(
            [&] {
                std::vector<platform::DirEntry> entries;
                platform::ListDir(logDir, &entries);
                for (const auto& e : entries) {
                    std::string log;
                    if (platform::ReadFileToString(logDir + "/" + e.name, &log) &&
                        log.find("running...") != std::string::npos)
                        return true;
                }
                return false;
            },
            kWaitMs);
    }

    // Ends the client as the session would; it must leave cleanly.
    void Stop() {
        ASSERT_TRUE(process_.Signal(SIGTERM));
        int status = -1;
        ASSERT_TRUE(process_.Wait(kWaitMs, &status));
        EXPECT_EQ(status, 0) << process_.Stderr();
    }

    pid_t Pid() const { return process_.Pid(); }
    std::string Output() { return process_.Stdout() + process_.Stderr(); }

  private:
    testsupport::FakeHome home_;
    testsupport::ChildProcess process_;
};

// The value part of `dbus-send --print-reply` for one property of the item.
std::string ItemProperty(TrayDesk& desk, const std::string& service, const std::string& path,
                         const std::string& name) {
    return desk
        .Tool("dbus-send",
              {"--session", "--print-reply", "--dest=" + service, path, "org.freedesktop.DBus.Properties.Get",
               "string:org.kde.StatusNotifierItem", "string:" + name})
        .value_or("");
}

struct Desktop {
    const char* name;
    std::function<bool(TrayDesk&, std::string*)> startHost;
    std::function<void(TrayDesk&)> stopHost;
    // Holds once the host no longer shows the client's icon.
    std::function<bool(TrayDesk&, Client&)> iconGone;
    // Waits until the host shows the client's icon; checks what the host can see of it.
    std::function<void(TrayDesk&, Client&)> expectIcon;
};

void ExpectEmbedded(TrayDesk& desk, Client& client) {
    EXPECT_TRUE(WaitUntil([&] { return !desk.EmbeddedIn(client.Pid()).empty(); }, kWaitMs))
        << "no window of the client in the tray's panel\n"
        << desk.Tool("xwininfo", {"-root", "-tree"}).value_or("") << client.Output();
}

// The watcher's first "item <service> <path>" line, once it is whole.
bool FirstItem(TrayDesk& desk, std::string* service, std::string* path) {
    const std::string out = desk.Watcher().Stdout();
    const size_t at = out.find("item ");
    const size_t end = at == std::string::npos ? at : out.find('\n', at);
    if (end == std::string::npos)
        return false;
    const std::string line = out.substr(at + 5, end - at - 5);
    *service = line.substr(0, line.find(' '));
    *path = line.substr(line.find(' ') + 1);
    return true;
}

void ExpectRegistered(TrayDesk& desk, Client& client) {
    std::string service, path;
    ASSERT_TRUE(WaitUntil([&] { return FirstItem(desk, &service, &path); }, kWaitMs))
        << "no item registered\n"
        << desk.Watcher().Stdout() << client.Output();
    // The item is the client's and answers on the bus.
    EXPECT_EQ(desk.BusNameOwnerPid(service), client.Pid()) << service;

    EXPECT_NE(ItemProperty(desk, service, path, "Status").find("\"Active\""), std::string::npos);
    // A host draws the pixmaps it is given; with none (and no icon name) it shows an empty slot.
    EXPECT_NE(ItemProperty(desk, service, path, "IconPixmap").find("struct {"), std::string::npos);
    // The tooltip names the product; the menu is the tray's, reachable through its menu path.
    EXPECT_NE(ItemProperty(desk, service, path, "ToolTip").find("Kestrine"), std::string::npos)
        << ItemProperty(desk, service, path, "ToolTip");
    const std::string menuReply = ItemProperty(desk, service, path, "Menu");
    const size_t m = menuReply.find("object path \"");
    ASSERT_NE(m, std::string::npos) << menuReply;
    const std::string menuPath = menuReply.substr(m + 13, menuReply.find('"', m + 13) - m - 13);
    const std::string layout =
        desk.Tool("dbus-send", {"--session", "--print-reply", "--dest=" + service, menuPath,
                                "com.canonical.dbusmenu.GetLayout", "int32:0", "int32:-1", "array:string:"})
            .value_or("");
    // The client runs in C.UTF-8, so the menu is in English: no CJK character (UTF-8 lead bytes
    // 0xE4..0xE9 cover U+4E00..U+9FFF), and the labels read as words once the mnemonic marks go.
    EXPECT_EQ(std::count_if(layout.begin(), layout.end(),
                            [](char c) {
                                return static_cast<unsigned char>(c) >= 0xE4 &&
                                       static_cast<unsigned char>(c) <= 0xE9;
                            }),
              0)
        << layout;
    std::string plain = layout;
    std::erase_if(plain, [](char c) { return c == '_' || c == '&'; });
    for (const char* label : {"Sync", "Sign In", "Exit"})
        EXPECT_NE(plain.find(label), std::string::npos) << label << "\n" << layout;
}

}  // namespace

TEST(TrayDesktop, TheIconGoesToTheTrayAndTheWindowStaysHidden) {
    if (!HasWatcher())
        GTEST_SKIP() << "built without the Qt front end, or sanitized";
    const Desktop desktops[] = {
        {"XEmbed tray", [](TrayDesk& d, std::string* e) { return d.StartXEmbedHost(e); },
         [](TrayDesk& d) { d.StopXEmbedHost(); },
         [](TrayDesk& d, Client& c) { return d.EmbeddedIn(c.Pid()).empty(); }, ExpectEmbedded},
        {"StatusNotifierWatcher", [](TrayDesk& d, std::string* e) { return d.StartWatcher(e); },
         [](TrayDesk& d) { d.StopWatcher(); }, [](TrayDesk&, Client&) { return true; }, ExpectRegistered},
    };
    for (const Desktop& desktop : desktops) {
        SCOPED_TRACE(desktop.name);
        TrayDesk desk;
        std::string error;
        ASSERT_TRUE(desk.StartDisplay(&error)) << error;
        ASSERT_TRUE(desk.StartSessionBus(&error)) << error;
        ASSERT_TRUE(desktop.startHost(desk, &error)) << error;
        Client client;
        ASSERT_TRUE(client.Start(desk, &error)) << error;
        ASSERT_TRUE(client.WaitRunning()) << client.Output();

        desktop.expectIcon(desk, client);
        EXPECT_TRUE(desk.ShownWindows(client.Pid()).empty()) << "the window shows beside the tray icon";

        // The desktop's panel restarts: the icon goes back to the new host, the window stays hidden.
        desktop.stopHost(desk);
        ASSERT_TRUE(WaitUntil([&] { return desktop.iconGone(desk, client); }, kWaitMs));
        ASSERT_TRUE(desktop.startHost(desk, &error)) << error;
        desktop.expectIcon(desk, client);
        EXPECT_TRUE(desk.ShownWindows(client.Pid()).empty());
        client.Stop();
    }
}

TEST(TrayDesktop, WithoutATrayTheWindowShowsUntilATrayHostStarts) {
    if (!HasWatcher())
        GTEST_SKIP() << "built without the Qt front end, or sanitized";
    TrayDesk desk;
    std::string error;
    ASSERT_TRUE(desk.StartDisplay(&error)) << error;
    ASSERT_TRUE(desk.StartSessionBus(&error)) << error;
    Client client;
    ASSERT_TRUE(client.Start(desk, &error)) << error;
    ASSERT_TRUE(client.WaitRunning()) << client.Output();
    EXPECT_TRUE(WaitUntil([&] { return !desk.ShownWindows(client.Pid()).empty(); }, kWaitMs))
        << "no tray, and no window either";

    // The client looks for a tray every few seconds; the icon moves there, the window stays up.
    ASSERT_TRUE(desk.StartXEmbedHost(&error)) << error;
    ExpectEmbedded(desk, client);
    EXPECT_FALSE(desk.ShownWindows(client.Pid()).empty());
    client.Stop();
}
