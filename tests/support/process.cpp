#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace testsupport {

namespace {

// A writer to a child that already exited must see EPIPE, not die of SIGPIPE.
void IgnoreSigpipeOnce() {
    static std::once_flag once;
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

void CloseFd(int* fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

std::vector<std::string> BuildEnvironment(const LaunchPlan& how) {
    std::map<std::string, std::string> vars;
    if (how.inheritEnv) {
        for (char** e = environ; e && *e; ++e) {
            const char* eq = std::strchr(*e, '=');
            if (eq)
                vars[std::string(*e, eq - *e)] = eq + 1;
        }
    }
    for (const auto& [name, value] : how.env) {
        if (value)
            vars[name] = *value;
        else
            vars.erase(name);
    }
    std::vector<std::string> out;
    out.reserve(vars.size());
    for (const auto& [name, value] : vars)
        out.push_back(name + "=" + value);
    return out;
}

}  // namespace

std::string BuildProgram(const std::string& name) {
    return std::string(KESTRINE_BUILD_DIR) + "/" + name;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_)
        Kill();
    CloseFd(&stdinFd_);
    if (reader_.joinable())
        reader_.join();
}

bool ChildProcess::Start(const LaunchPlan& how, std::string* error) {
    IgnoreSigpipeOnce();
    auto fail = [&](const std::string& what, int err) {
        if (error)
            *error = what + ": " + std::strerror(err);
        return false;
    };
    if (pid_ > 0)
        return fail("already started", EBUSY);

    int in[2], out[2], errp[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return fail("pipe", errno);
    if (pipe2(out, O_CLOEXEC) != 0) {
        int e = errno;
        close(in[0]), close(in[1]);
        return fail("pipe", e);
    }
    if (pipe2(errp, O_CLOEXEC) != 0) {
        int e = errno;
        close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        return fail("pipe", e);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errp[1], 2);
    if (!how.workDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, how.workDir.c_str());

    // Own process group (so Kill reaches helpers it starts), no blocked signals and default
    // dispositions: the test process may have blocked SIGTERM for a handler thread.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argStore;
    argStore.push_back(how.program);
    argStore.insert(argStore.end(), how.args.begin(), how.args.end());
    std::vector<char*> argv;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = BuildEnvironment(how);
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, how.program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(in[0]);
    close(out[1]);
    close(errp[1]);
    if (rc != 0) {
        close(in[1]), close(out[0]), close(errp[0]);
        return fail("spawn " + how.program, rc);
    }
    pid_ = pid;
    reaped_ = false;
    stdinFd_ = in[1];
    {
        std::lock_guard<std::mutex> lock(mu_);
        out_.clear();
        err_.clear();
        outputEnded_ = false;
    }
    reader_ = std::thread(&ChildProcess::ReadLoop, this, out[0], errp[0]);
    if (!how.stdinText.empty())
        WriteStdin(how.stdinText);
    if (!how.keepStdinOpen)
        CloseStdin();
    return true;
}

void ChildProcess::ReadLoop(int outFd, int errFd) {
    int fds[2] = {outFd, errFd};
    char buf[4096];
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd p[2];
        int n = 0;
        int which[2];
        for (int i = 0; i < 2; ++i) {
            if (fds[i] >= 0) {
                p[n] = {fds[i], POLLIN, 0};
                which[n++] = i;
            }
        }
        // A bounded poll lets the loop notice a reaped child whose grandchildren keep the pipes.
        int r = poll(p, n, 100);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0) {
            std::lock_guard<std::mutex> lock(mu_);
            if (reaped_ && r == 0)
                break;
            continue;
        }
        for (int k = 0; k < n; ++k) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            int i = which[k];
            ssize_t got = read(fds[i], buf, sizeof buf);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                CloseFd(&fds[i]);
                continue;
            }
            std::lock_guard<std::mutex> lock(mu_);
            (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(got));
            cv_.notify_all();
        }
    }
    CloseFd(&fds[0]);
    CloseFd(&fds[1]);
    std::lock_guard<std::mutex> lock(mu_);
    outputEnded_ = true;
    cv_.notify_all();
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || reaped_)
        return false;
    return !Wait(0);
}

bool ChildProcess::WriteStdin(const std::string& text) {
    size_t done = 0;
    while (stdinFd_ >= 0 && done < text.size()) {
        ssize_t w = write(stdinFd_, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        done += static_cast<size_t>(w);
    }
    return stdinFd_ >= 0;
}

void ChildProcess::CloseStdin() {
    CloseFd(&stdinFd_);
}

std::string ChildProcess::Stdout() {
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
}

std::string ChildProcess::Stderr() {
    std::lock_guard<std::mutex> lock(mu_);
    return err_;
}

bool ChildProcess::WaitForOutput(const std::string& needle, int timeoutMs, bool inStderr) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        const std::string& s = inStderr ? err_ : out_;
        return s.find(needle) != std::string::npos || outputEnded_;
    }) && (inStderr ? err_ : out_).find(needle) != std::string::npos;
}

bool ChildProcess::Wait(int timeoutMs, int* exitStatus) {
    if (pid_ <= 0)
        return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reaped_) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            std::lock_guard<std::mutex> lock(mu_);
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (r < 0 && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        usleep(5000);
    }
    {
        // The child has ended, but its last lines may still sit in the pipes: let the reader
        // collect them (bounded, since a grandchild may keep the pipes open).
        std::unique_lock<std::mutex> lock(mu_);
        auto until = std::max(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(1));
        cv_.wait_until(lock, until, [&] { return outputEnded_; });
    }
    if (exitStatus)
        *exitStatus = status_;
    return true;
}

bool ChildProcess::Signal(int sig) {
    if (pid_ <= 0 || reaped_)
        return false;
    return kill(pid_, sig) == 0;
}

void ChildProcess::Kill() {
    if (pid_ <= 0 || reaped_)
        return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    Wait(10000);
}

}  // namespace testsupport
