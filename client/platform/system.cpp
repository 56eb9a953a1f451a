#include "platform/system.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/internal.h"
#include "platform/plog.h"

extern char** environ;

namespace platform {

using internal::FailErrno;
using internal::Faulted;

namespace {

bool IsDir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Absolute, with symbolic links, "." and ".." resolved; the input when it cannot be resolved.
std::string Normalise(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf)) {
        return buf;
    }
    return path;
}

LocalTime FromTm(const struct tm& tm, long nanoseconds) {
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.millisecond = static_cast<int>(nanoseconds / 1000000);
    return t;
}

std::mutex gOpenerMu;
Opener gOpener;

bool AppendLine(const std::string& file, const std::string& line) {
    internal::FdGuard fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (fd.Get() < 0) {
        return FailErrno();
    }
    std::string text = line + "\n";
    // One write with O_APPEND keeps lines from several processes whole.
    ssize_t n = ::write(fd.Get(), text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size())) {
        return n < 0 ? FailErrno() : (SetLastError(EIO), false);
    }
    return true;
}

bool SpawnDetached(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The child must not inherit the blocked termination signals, nor our terminal's Ctrl-C.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    short flags = POSIX_SPAWN_SETSIGMASK;
#ifdef POSIX_SPAWN_SETSID
    flags |= POSIX_SPAWN_SETSID;
#endif
    posix_spawnattr_setflags(&attr, flags);
    pid_t pid = 0;
    int rc = ::posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        SetLastError(rc);
        return false;
    }
    // Reap the child whenever it ends, so it never lingers as a zombie.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

std::string AutostartPath() {
    return ConfigDir() + "/autostart/Kestrine.desktop";
}

// Desktop-entry quoting of the program path: quoted when it holds reserved characters, then the
// string-level escaping of backslashes, and "%" doubled (field codes).
std::string DesktopExec(const std::string& exe) {
    static const char* kReserved = " \t\"'\\><~|&;$*?#()`";
    bool quote = exe.find_first_of(kReserved) != std::string::npos;
    std::string arg;
    if (quote) {
        arg.push_back('"');
        for (char c : exe) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                arg.push_back('\\');
            }
            arg.push_back(c);
        }
        arg.push_back('"');
    } else {
        arg = exe;
    }
    std::string out;
    for (char c : arg) {
        if (c == '\\') {
            out.append("\\\\");
        } else if (c == '%') {
            out.append("%%");
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string PercentEncodePath(const std::string& path) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

std::mutex gSignalMu;
std::function<void(int)> gSignalHandler;
bool gSignalThreadStarted = false;

}  // namespace

std::string GetEnv(const std::string& name) {
    const char* v = ::getenv(name.c_str());
    return v ? std::string(v) : std::string();
}

std::string HomeDir() {
    std::string home = GetEnv("HOME");
    if (!home.empty()) {
        return home;
    }
    struct passwd pw;
    struct passwd* result = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir) {
        return result->pw_dir;
    }
    return "/";
}

std::string ConfigDir() {
    std::string dir = GetEnv("XDG_CONFIG_HOME");
    // Relative values are invalid for the XDG variables and are ignored.
    if (!dir.empty() && dir[0] == '/') {
        return dir;
    }
    return HomeDir() + "/.config";
}

std::string RuntimeDir() {
    std::string dir = GetEnv("XDG_RUNTIME_DIR");
    if (!dir.empty() && dir[0] == '/') {
        return dir;
    }
    return "";
}

std::string ExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        FailErrno();
        return "";
    }
    return std::string(buf, static_cast<size_t>(n));
}

std::string InstallResourceDir() {
    std::string exe = ExecutablePath();
    if (exe.empty()) {
        return "";
    }
    std::string dir = Normalise(internal::DirName(exe));
    if (IsDir(dir + "/../share/kestrine")) {
        return Normalise(dir + "/../share/kestrine");
    }
    if (IsDir(dir + "/share/kestrine")) {
        return Normalise(dir + "/share/kestrine");
    }
    return dir;
}

std::string ComputerName() {
    char buf[HOST_NAME_MAX + 1] = {0};
    if (::gethostname(buf, sizeof buf - 1) != 0) {
        FailErrno();
        return "";
    }
    std::string name(buf);
    if (name.size() > 15) {
        name.resize(15);
    }
    return name;
}

int32_t TickCount() {
    struct timespec ts;
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

int ProcessId() {
    return static_cast<int>(::getpid());
}

int64_t UnixTimeNow() {
    return static_cast<int64_t>(::time(nullptr));
}

LocalTime GetLocalTime() {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    ::localtime_r(&ts.tv_sec, &tm);
    return FromTm(tm, ts.tv_nsec);
}

int64_t LocalTimeAsFileTime() {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    ::localtime_r(&ts.tv_sec, &tm);
    return UnixToFileTime(static_cast<int64_t>(ts.tv_sec) + tm.tm_gmtoff, ts.tv_nsec);
}

LocalTime FileTimeToLocal(int64_t fileTime) {
    int64_t sec = 0, nsec = 0;
    FileTimeToUnix(fileTime, &sec, &nsec);
    time_t t = static_cast<time_t>(sec);
    struct tm tm;
    if (!::localtime_r(&t, &tm)) {
        return LocalTime{1601, 1, 1, 0, 0, 0, 0};
    }
    return FromTm(tm, static_cast<long>(nsec));
}

bool OpenWithDefault(const std::string& target) {
    Opener opener;
    {
        std::lock_guard<std::mutex> lock(gOpenerMu);
        opener = gOpener;
    }
    if (opener) {
        return opener(target);
    }
    std::string log = GetEnv("KESTRINE_OPEN_LOG");
    if (!log.empty()) {
        return AppendLine(log, target);
    }
    if (Faulted(Op::Spawn, target)) {
        return false;
    }
    if (!SpawnDetached("xdg-open", {target})) {
        Log(2, "platform::OpenWithDefault",
            "Fail to start xdg-open for \"" + target + "\": " + ErrorText(LastError()));
        return false;
    }
    return true;
}

void SetOpener(Opener opener) {
    std::lock_guard<std::mutex> lock(gOpenerMu);
    gOpener = std::move(opener);
}

std::string AutostartTemplate() {
    return InstallResourceDir() + "/autostart.desktop";
}

// The template's lines, with Exec naming the program and the entry enabled (a template's
// Hidden or disabled line would make the entry the user asked for a dead one).
std::string EntryFromTemplate(const std::string& text, const std::string& exec) {
    std::string out;
    bool execDone = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("Exec=", 0) == 0) {
            if (execDone) {
                continue;
            }
            line = "Exec=" + exec;
            execDone = true;
        } else if (line.rfind("Hidden=", 0) == 0 || line.rfind("X-GNOME-Autostart-enabled=", 0) == 0) {
            continue;
        }
        out += line + "\n";
    }
    if (!execDone) {
        out += "Exec=" + exec + "\n";
    }
    return out + "X-GNOME-Autostart-enabled=true\n";
}

bool SetAutostart(bool enabled, const std::string& executable, const std::string& templatePath) {
    std::string path = AutostartPath();
    if (!enabled) {
        if (RemoveFile(path) || LastError() == ENOENT) {
            return true;
        }
        return false;
    }
    if (executable.empty() || executable.find_first_of("\n\r") != std::string::npos) {
        SetLastError(EINVAL);
        return false;
    }
    if (!internal::MakeDirs(internal::DirName(path), 0700)) {
        return false;
    }
    std::string model;
    if (!templatePath.empty() && ReadFileToString(templatePath, &model, 65536) &&
        model.rfind("[Desktop Entry]", 0) == 0) {
        return WriteFileAtomic(path, EntryFromTemplate(model, DesktopExec(executable)));
    }
    std::string text =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Kestrine\n"
        "Exec=" +
        DesktopExec(executable) +
        "\n"
        "X-GNOME-Autostart-enabled=true\n";
    return WriteFileAtomic(path, text);
}

bool IsAutostartEnabled() {
    std::string text;
    if (!ReadFileToString(AutostartPath(), &text, 65536)) {
        return false;
    }
    return text.find("Hidden=true") == std::string::npos &&
           text.find("X-GNOME-Autostart-enabled=false") == std::string::npos;
}

bool SetBookmark(const std::string& folder) {
    if (folder.empty() || folder[0] != '/') {
        SetLastError(EINVAL);
        return false;
    }
    std::string path = ConfigDir() + "/gtk-3.0/bookmarks";
    std::string old;
    if (!ReadFileToString(path, &old, 4 << 20) && LastError() != ENOENT) {
        return false;
    }
    const std::string line = "file://" + PercentEncodePath(folder) + " Kestrine";
    std::string text;
    bool placed = false;
    size_t pos = 0;
    while (pos < old.size()) {
        size_t nl = old.find('\n', pos);
        std::string cur = old.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? old.size() : nl + 1;
        size_t space = cur.find(' ');
        bool ours = space != std::string::npos && cur.substr(space + 1) == "Kestrine";
        if (ours) {
            if (placed) {
                continue;  // an older duplicate of our line
            }
            cur = line;
            placed = true;
        }
        text.append(cur).push_back('\n');
    }
    if (!placed) {
        text.append(line).push_back('\n');
    }
    if (text == old) {
        return true;
    }
    if (!internal::MakeDirs(internal::DirName(path), 0700)) {
        return false;
    }
    return WriteFileAtomic(path, text);
}

bool IsReportSignal(int signal) {
    return signal == SIGUSR1;
}

void InstallTerminationHandler(std::function<void(int signal)> handler) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::lock_guard<std::mutex> lock(gSignalMu);
    gSignalHandler = std::move(handler);
    if (gSignalThreadStarted) {
        return;
    }
    gSignalThreadStarted = true;
    std::thread([set] {
        for (;;) {
            int sig = 0;
            if (::sigwait(&set, &sig) != 0) {
                continue;
            }
            std::function<void(int)> h;
            {
                std::lock_guard<std::mutex> handlerLock(gSignalMu);
                h = gSignalHandler;
            }
            if (h) {
                h(sig);
            }
        }
    }).detach();
}

void ExitProcessNow(int code) {
    std::fflush(nullptr);
    ::_exit(code);
}

}  // namespace platform
