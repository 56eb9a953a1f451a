// A child program for end-to-end tests (build/kestrine, build/kestrine-server): started with its
// own environment, working folder and stdin, its stdout and stderr collected by a reader thread,
// waited for with a bound, signalled or killed. The object owns the child: the destructor kills
// what is still running (the child's whole process group) and reaps it.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// The path of a program built into the top of the build tree (e.g. "kestrine").
std::string BuildProgram(const std::string& name);

// How to start a child: the program, its arguments, environment, working folder and input.
struct LaunchPlan {
    std::string program;            // path of the executable
    std::vector<std::string> args;  // arguments after argv[0]
    bool inheritEnv = true;         // start from this process's environment
    // Changes to the environment: a value sets the variable, nullopt removes it.
    std::map<std::string, std::optional<std::string>> env;
    std::string workDir;         // empty: this process's working folder
    std::string stdinText;       // written to the child's stdin at start
    bool keepStdinOpen = false;  // false: stdin is closed after stdinText
};

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False (with `error` set) when the program cannot be started.
    bool Start(const LaunchPlan& how, std::string* error = nullptr);
    pid_t Pid() const { return pid_; }
    bool Running();

    bool WriteStdin(const std::string& text);
    void CloseStdin();

    std::string Stdout();
    std::string Stderr();
    // Blocks until `needle` appears in stdout (or stderr with `inStderr`), the child's output
    // ends, or `timeoutMs` passes.
    bool WaitForOutput(const std::string& needle, int timeoutMs, bool inStderr = false);

    // Waits at most `timeoutMs` for the child to end. The exit status is its exit code, or
    // 128 + signal number when a signal ended it. False on timeout (the child keeps running).
    bool Wait(int timeoutMs, int* exitStatus = nullptr);
    bool Signal(int sig);  // to the child only
    void Kill();           // SIGKILL to the child's process group, then reaps it

  private:
    void ReadLoop(int outFd, int errFd);

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_;
    bool outputEnded_ = false;
};

}  // namespace testsupport
