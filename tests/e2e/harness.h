// The end-to-end harness: computers running the real client program (build/kestrine) against one
// reference service. Each Computer has its own HOME, runtime and settings folders and signs in
// through standard input as a user would from a script; its home folder, its log and its console
// lines are read from outside. The tree helpers compare home folders, and every wait is bounded.
// A Computer owns its process and folders; the service (TestServer) is the test's.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/tempdir.h"
#include "support/testserver.h"

namespace e2e {

// How long a test waits for the clients to agree; never reached when they work.
int ConvergeMs();

// Polls `done` every 50 ms until it is true or `timeoutMs` (stretched by a slower build's
// $KESTRINE_TEST_SLOWDOWN) passes.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

// A folder tree as the user sees it: root-relative path ("docs/a.txt") -> "dir" for a folder, or
// "<size>:<md5>" for a file. The client's own decoration and marker files are left out.
using Tree = std::map<std::string, std::string>;
Tree ReadTree(const std::string& folder);
std::string Describe(const Tree& tree);
std::string Tail(const std::string& text, size_t size = 6000);  // the end of a long log
std::string FileSig(const std::string& content);                // "<size>:<md5>" of a content
// The conflict copies of `rel` in a tree ("rel.conflict(YYYY-MM-DD-hh-mm-ss-mmm)").
std::vector<std::string> ConflictCopies(const Tree& tree, const std::string& rel);
// The tree with every conflict suffix replaced by ".conflict(*)", so that a test can name the copies
// it expects; a second copy of the same name gets "#2", so an extra copy still shows.
Tree WithoutConflictTimes(const Tree& tree);
// Reproducible bytes that do not compress or repeat within a chunk.
std::string RandomBytes(size_t size, uint32_t seed);

class Computer {
  public:
    Computer(testsupport::TestServer& server, const std::string& name,
             const std::string& user = testsupport::TestServer::kUser,
             const std::string& password = testsupport::TestServer::kPassword);
    ~Computer();
    Computer(const Computer&) = delete;
    Computer& operator=(const Computer&) = delete;

    // Starts the client. The first start answers the console login (account, password, this
    // computer's name, remember); later ones sign in with the remembered account.
    bool Start(std::string* error = nullptr);
    // Waits until the sign-in of this start and its first pass have ended.
    bool WaitSignedIn(int timeoutMs = 60000);
    // SIGTERM and a bounded wait; false when it did not end cleanly.
    bool Stop();
    void Kill();  // SIGKILL
    // SIGSTOP and SIGCONT: a frozen client does nothing at all while the test changes its folder
    // and the service; the kernel queues its file events, which it reads once thawed.
    bool Freeze();  // true once every thread has stopped
    bool Frozen() const;
    bool Thaw();
    bool Signal(int sig);  // to the client's process (SIGUSR1 asks for the items not synced)
    bool Running() { return proc_ && proc_->Running(); }
    // A variable of the client's environment from its next start on (nullopt: unset).
    void SetEnv(const std::string& name, const std::optional<std::string>& value) { env_[name] = value; }

    // The console lines of this start (tray states, tips, status lines, balloons).
    std::string Console();
    // Every log file of this computer, oldest first, joined.
    std::string Log() const;
    size_t CountInLog(const std::string& needle) const;
    // Ended passes of this start (the status lines a pass ends on, finished or not).
    int PassesEnded();
    // Waits until no pass runs and the console has said nothing for `quietMs`.
    bool WaitQuiet(int quietMs = 1500);
    // Runs `kestrine <args>` as this computer's user would (its environment); the exit code, or
    // -1 when it could not be run or did not end. *out and *err get its output.
    int Command(const std::vector<std::string>& args, std::string* out, std::string* err = nullptr) const;

    const std::string& Name() const { return name_; }
    std::string Root() const { return dir_.Sub("home/Kestrine"); }
    std::string HomeFolder() const { return Root() + "/home"; }
    std::string Path(const std::string& rel) const { return HomeFolder() + "/" + rel; }
    Tree Files() const { return ReadTree(HomeFolder()); }

    // File operations in the home folder, as the user makes them (parents created).
    void Write(const std::string& rel, const std::string& data) const;
    std::string Read(const std::string& rel) const;
    bool Exists(const std::string& rel) const;
    void MakeDir(const std::string& rel) const;
    void Remove(const std::string& rel) const;  // a file or a whole folder
    void Rename(const std::string& from, const std::string& to) const;
    void SetHidden(const std::string& rel) const;  // the hidden attribute, as a file manager sets it
    // Writes a file that has the hidden attribute from its first moment, as an office program
    // creates its lock file.
    void WriteHidden(const std::string& rel, const std::string& data) const;
    // Last-write time in seconds since the epoch (-1 when missing), and setting it.
    long long Mtime(const std::string& rel) const;
    void SetMtime(const std::string& rel, long long seconds) const;

  private:
    testsupport::LaunchPlan HowToRun() const;

    testsupport::TestServer& server_;
    std::string name_, user_, password_;
    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::ChildProcess> proc_;
    int starts_ = 0;
    std::map<std::string, std::optional<std::string>> env_;
};

// Two computers of one account, "laptop" and "desktop", signed in against a fresh service; the
// test owns all three. TearDown disarms the service's faults, thaws and stops both clients.
class TwoComputerTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    ::testing::AssertionResult StartAndSignIn(Computer& c);
    // Waits until both home folders hold exactly `want`.
    ::testing::AssertionResult BothHold(const Tree& want);
    // Both consoles and the ends of both logs, for a failure's reader.
    std::string Logs();
    // The service's copy of `rel`, or nullopt when it has none.
    std::optional<std::string> OnService(const std::string& rel);
    // Puts `content` at `rel` on the service, as another computer of the account would.
    bool PutOnService(const std::string& rel, const std::string& content);
    // Lets the next `passing` requests of `op` through (each a second late, so the client is seen
    // at work) and holds the one after them.
    bool HoldAfter(const std::string& op, int passing);
    // Waits until a request of `op` has run into the hold armed for it.
    ::testing::AssertionResult Held(const std::string& op);

    testsupport::TestServer server_;
    testsupport::TempDir scratch_;
    std::unique_ptr<Computer> laptop_, desktop_;
};

}  // namespace e2e
