// A small desktop for the tray tests: an Xvfb display, an XEmbed tray host (trayer) on it, a
// private session bus with nothing activatable on it, and the StatusNotifierWatcher stand-in
// (build/tests/sn-watcher), each started on request. The object owns every program it starts
// and ends them (in reverse order) when it goes; queries run the X and D-Bus command-line tools
// against them. One test thread uses it.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/tempdir.h"

namespace testsupport {

// The full path of `name` found on PATH; empty when it is not installed.
std::string FindOnPath(const std::string& name);

class TrayDesk {
  public:
    TrayDesk();
    ~TrayDesk();
    TrayDesk(const TrayDesk&) = delete;
    TrayDesk& operator=(const TrayDesk&) = delete;

    // Each false with `error` set when the program is missing or does not come up in time.
    bool StartDisplay(std::string* error);     // Xvfb on a free display number
    bool StartXEmbedHost(std::string* error);  // trayer on the display
    bool StartSessionBus(std::string* error);  // dbus-daemon on a socket in the temporary folder
    bool StartWatcher(std::string* error);     // sn-watcher on the bus; waits for its "ready"
    // End a host as a crashing or restarting panel would; Start* brings up a fresh one.
    void StopXEmbedHost();
    void StopWatcher();

    const std::string& Display() const { return display_; }
    const std::string& BusAddress() const { return busAddress_; }
    // The watcher's output: "item <service> <path>" lines for the items registered.
    ChildProcess& Watcher() { return *watcher_; }

    // Runs a command-line tool with DISPLAY and the bus set; its stdout, or nullopt when it
    // cannot be run, fails or takes longer than 10 s.
    std::optional<std::string> Tool(const std::string& name, const std::vector<std::string>& args);

    // Top-level normal windows (not dialogs) of process `pid` that are mapped and viewable: a
    // shown main window.
    std::vector<std::string> ShownWindows(pid_t pid);
    // Windows of process `pid` inside the tray host's panel (an embedded tray icon).
    std::vector<std::string> EmbeddedIn(pid_t pid);

    // The unique bus name's process, asked of the bus; -1 when unknown.
    pid_t BusNameOwnerPid(const std::string& busName);

  private:
    bool Start(std::unique_ptr<ChildProcess>* child, const std::string& tool,
               const std::vector<std::string>& args, std::string* error);
    std::optional<pid_t> WindowPid(const std::string& id);

    TempDir dir_;
    std::string display_;
    std::string busAddress_;
    std::unique_ptr<ChildProcess> xserver_, host_, bus_, watcher_;
};

}  // namespace testsupport
