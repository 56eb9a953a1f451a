// Process and desktop facts: user folders, computer name, uptime, local time, opening documents with
// xdg-open, the autostart entry and the file-manager bookmark.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

std::string GetEnv(const std::string& name);  // empty when unset
std::string HomeDir();                        // $HOME, else the password database
std::string ConfigDir();                      // $XDG_CONFIG_HOME, else ~/.config
std::string RuntimeDir();                     // $XDG_RUNTIME_DIR, else empty
std::string ExecutablePath();                 // /proc/self/exe
// The install folder: the folder holding the running executable's resources:
// <prefix>/share/kestrine next to <prefix>/bin, else the build tree's share/kestrine.
std::string InstallResourceDir();

std::string ComputerName();  // gethostname, cut to 15 characters
int32_t TickCount();         // milliseconds of CLOCK_BOOTTIME, wrapping as a signed 32-bit value
int ProcessId();

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};
LocalTime GetLocalTime();
int64_t UnixTimeNow();  // seconds since 1970-01-01 UTC
// The local calendar time taken as if it were UTC, as a FILETIME (no time-zone conversion).
int64_t LocalTimeAsFileTime();
// A FILETIME (UTC) shown in local time.
LocalTime FileTimeToLocal(int64_t fileTime);

// Opens a folder, page or file with xdg-open, started detached. Tests replace the opener.
bool OpenWithDefault(const std::string& target);
using Opener = std::function<bool(const std::string&)>;
void SetOpener(Opener opener);  // null restores xdg-open

// XDG autostart entry ~/.config/autostart/Kestrine.desktop, written or removed. The entry is the
// installed template `templatePath` when one is readable, with its Exec line naming `executable`
// and the entry enabled; otherwise a minimal entry of our own.
bool SetAutostart(bool enabled, const std::string& executable, const std::string& templatePath = "");
// The installed template: InstallResourceDir() + "/autostart.desktop".
std::string AutostartTemplate();
bool IsAutostartEnabled();

// A GTK bookmark for the home folder in ~/.config/gtk-3.0/bookmarks, labelled "Kestrine":
// added, or updated in place, never duplicated.
bool SetBookmark(const std::string& folder);

// SIGINT and SIGTERM, and SIGUSR1 (a report asked for, see IsReportSignal): blocked in every
// thread from now on and delivered to `handler` on a thread of their own. Call before starting
// other threads.
void InstallTerminationHandler(std::function<void(int signal)> handler);
// True for the signal that asks a running client to print what it has not synced
// (`kill -USR1 <pid>`), rather than to end.
bool IsReportSignal(int signal);

// Terminates the process at once with `code`, without running destructors.
[[noreturn]] void ExitProcessNow(int code);

}  // namespace platform
