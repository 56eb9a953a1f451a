#include "support/traydesk.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "support/wait.h"

namespace testsupport {

namespace {

constexpr int kStartMs = 30000;  // a program's start on a loaded machine; never reached when it works
constexpr int kToolMs = 10000;

// A bus that only the test's programs use: nothing is started on demand (no keyring, no
// watcher of the real desktop), everyone may own any name.
constexpr const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=@SOCKET@</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

struct TreeLine {
    std::string id;
    size_t indent;
    std::string text;
};

// The windows of `xwininfo -root -tree`, each with its indentation (deeper is further down).
std::vector<TreeLine> ParseTree(const std::string& tree) {
    std::vector<TreeLine> lines;
    std::istringstream in(tree);
    std::string line;
    while (std::getline(in, line)) {
        const size_t at = line.find_first_not_of(' ');
        if (at == std::string::npos || line.compare(at, 2, "0x") != 0)
            continue;
        lines.push_back({line.substr(at, line.find(' ', at) - at), at, line});
    }
    return lines;
}

void Stop(std::unique_ptr<ChildProcess>* child) {
    if (!*child)
        return;
    // A gentle end first: an X server killed outright leaves its lock file and socket behind.
    if ((*child)->Signal(SIGTERM))
        (*child)->Wait(5000);
    child->reset();
}

}  // namespace

std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string full = (dir.empty() ? "." : dir) + "/" + name;
        if (access(full.c_str(), X_OK) == 0)
            return full;
    }
    return {};
}

TrayDesk::TrayDesk() = default;

TrayDesk::~TrayDesk() {
    Stop(&watcher_);
    Stop(&bus_);
    Stop(&host_);
    Stop(&xserver_);
}

bool TrayDesk::Start(std::unique_ptr<ChildProcess>* child, const std::string& tool,
                     const std::vector<std::string>& args, std::string* error) {
    LaunchPlan how;
    how.program = tool.find('/') == std::string::npos ? FindOnPath(tool) : tool;
    if (how.program.empty()) {
        *error = tool + " is not installed";
        return false;
    }
    how.args = args;
    how.env["DISPLAY"] = display_.empty() ? std::nullopt : std::optional<std::string>(display_);
    how.env["DBUS_SESSION_BUS_ADDRESS"] =
        busAddress_.empty() ? std::nullopt : std::optional<std::string>(busAddress_);
    how.env["HOME"] = dir_.Path();
    *child = std::make_unique<ChildProcess>();
    return (*child)->Start(how, error);
}

bool TrayDesk::StartDisplay(std::string* error) {
    // -displayfd: the server picks a free display and writes its number once it accepts clients.
    if (!Start(&xserver_, "Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
               error))
        return false;
    if (!xserver_->WaitForOutput("\n", kStartMs)) {
        *error = "Xvfb did not start: " + xserver_->Stderr();
        return false;
    }
    display_ = ":" + FirstLine(xserver_->Stdout());
    return true;
}

bool TrayDesk::StartXEmbedHost(std::string* error) {
    if (!Start(&host_, "trayer", {"--edge", "top", "--align", "right"}, error))
        return false;
    // The panel is mapped once trayer runs its loop, after it took the tray selection.
    const bool up = WaitUntil(
        [&] {
            const auto tree = Tool("xwininfo", {"-root", "-tree"});
            if (!tree)
                return false;
            for (const TreeLine& w : ParseTree(*tree)) {
                if (w.text.find("(\"panel\" \"trayer\")") != std::string::npos) {
                    const auto info = Tool("xwininfo", {"-id", w.id});
                    return info && info->find("IsViewable") != std::string::npos;
                }
            }
            return false;
        },
        kStartMs);
    if (!up)
        *error = "trayer did not show its panel: " + host_->Stderr();
    return up;
}

bool TrayDesk::StartSessionBus(std::string* error) {
    std::string config = kBusConfig;
    config.replace(config.find("@SOCKET@"), 8, dir_.Sub("bus"));
    dir_.WriteFile("bus.conf", config);
    if (!Start(&bus_, "dbus-daemon",
               {"--config-file=" + dir_.Sub("bus.conf"), "--nofork", "--print-address=1"}, error))
        return false;
    if (!bus_->WaitForOutput("\n", kStartMs)) {
        *error = "dbus-daemon did not start: " + bus_->Stderr();
        return false;
    }
    busAddress_ = FirstLine(bus_->Stdout());
    return true;
}

bool TrayDesk::StartWatcher(std::string* error) {
    if (!Start(&watcher_, std::string(KESTRINE_BUILD_DIR) + "/tests/sn-watcher", {}, error))
        return false;
    if (!watcher_->WaitForOutput("ready\n", kStartMs)) {
        *error = "sn-watcher did not start: " + watcher_->Stderr();
        return false;
    }
    return true;
}

void TrayDesk::StopXEmbedHost() {
    Stop(&host_);
}

void TrayDesk::StopWatcher() {
    Stop(&watcher_);
}

std::optional<std::string> TrayDesk::Tool(const std::string& name, const std::vector<std::string>& args) {
    std::unique_ptr<ChildProcess> tool;
    std::string error;
    if (!Start(&tool, name, args, &error))
        return std::nullopt;
    int status = -1;
    if (!tool->Wait(kToolMs, &status) || status != 0)
        return std::nullopt;
    return tool->Stdout();
}

std::optional<pid_t> TrayDesk::WindowPid(const std::string& id) {
    const auto prop = Tool("xprop", {"-id", id, "_NET_WM_PID"});
    const size_t eq = prop ? prop->find(" = ") : std::string::npos;
    if (eq == std::string::npos)
        return std::nullopt;
    return static_cast<pid_t>(std::atol(prop->c_str() + eq + 3));
}

std::vector<std::string> TrayDesk::ShownWindows(pid_t pid) {
    std::vector<std::string> shown;
    const auto tree = Tool("xwininfo", {"-root", "-tree"});
    if (!tree)
        return shown;
    const std::vector<TreeLine> lines = ParseTree(*tree);
    for (const TreeLine& w : lines) {
        if (w.indent != lines.front().indent || WindowPid(w.id) != pid)
            continue;
        // Dialogs (the sign-in one shows at start) name their type first, the window "normal".
        const auto type = Tool("xprop", {"-id", w.id, "_NET_WM_WINDOW_TYPE"});
        if (!type || type->find("= _NET_WM_WINDOW_TYPE_NORMAL") == std::string::npos)
            continue;
        const auto info = Tool("xwininfo", {"-id", w.id});
        if (info && info->find("Map State: IsViewable") != std::string::npos)
            shown.push_back(w.id);
    }
    return shown;
}

std::vector<std::string> TrayDesk::EmbeddedIn(pid_t pid) {
    std::vector<std::string> embedded;
    const auto tree = Tool("xwininfo", {"-root", "-tree"});
    if (!tree)
        return embedded;
    const std::vector<TreeLine> lines = ParseTree(*tree);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].text.find("(\"panel\" \"trayer\")") == std::string::npos)
            continue;
        for (size_t j = i + 1; j < lines.size() && lines[j].indent > lines[i].indent; ++j) {
            if (WindowPid(lines[j].id) == pid)
                embedded.push_back(lines[j].id);
        }
    }
    return embedded;
}

pid_t TrayDesk::BusNameOwnerPid(const std::string& busName) {
    const auto reply = Tool(
        "dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                      "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:" + busName});
    const size_t at = reply ? reply->find("uint32 ") : std::string::npos;
    return at == std::string::npos ? -1 : static_cast<pid_t>(std::atol(reply->c_str() + at + 7));
}

}  // namespace testsupport
