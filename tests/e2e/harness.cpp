#include "e2e/harness.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/logcapture.h"
#include "support/wait.h"
#include "util/md5.h"

namespace e2e {

namespace fs = std::filesystem;

namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

int ConvergeMs() {
    return 120000;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    // A slower build (ThreadSanitizer) stretches every wait by $KESTRINE_TEST_SLOWDOWN.
    static const int slowdown = [] {
        const char* v = std::getenv("KESTRINE_TEST_SLOWDOWN");
        const int n = v ? std::atoi(v) : 1;
        return n >= 1 && n <= 20 ? n : 1;
    }();
    return testsupport::WaitUntil(done, timeoutMs * slowdown);
}

std::string FileSig(const std::string& content) {
    uint8_t digest[CMd5::kDigestSize];
    CMd5::Digest(content.data(), content.size(), digest);
    std::string out = std::to_string(content.size()) + ":";
    char hex[3];
    for (uint8_t b : digest) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        out += hex;
    }
    return out;
}

Tree ReadTree(const std::string& folder) {
    Tree tree;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        const std::string name = p.filename().string();
        if (name == "desktop.ini" || name == ".peltashare")
            continue;
        // The hidden-name list the client keeps beside a decoration is each computer's own.
        std::error_code look;
        if (name == ".hidden" && fs::exists(p.parent_path() / "desktop.ini", look))
            continue;
        const std::string rel = fs::relative(p, folder, ec).generic_string();
        std::error_code kind;
        if (it->is_symlink(kind))
            continue;
        if (it->is_directory(kind))
            tree[rel] = "dir";
        else if (it->is_regular_file(kind))
            tree[rel] = FileSig(ReadWhole(p.string()));
    }
    return tree;
}

std::string Describe(const Tree& tree) {
    std::string out;
    for (const auto& [rel, sig] : tree)
        out += "  " + rel + "  " + sig + "\n";
    return out.empty() ? "  (empty)\n" : out;
}

std::string Tail(const std::string& text, size_t size) {
    return text.size() > size ? text.substr(text.size() - size) : text;
}

std::vector<std::string> ConflictCopies(const Tree& tree, const std::string& rel) {
    static const std::regex suffix(R"(\.conflict\(\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d-\d{3}\))");
    std::vector<std::string> out;
    for (const auto& [path, sig] : tree) {
        if (path.size() > rel.size() && path.compare(0, rel.size(), rel) == 0 &&
            std::regex_match(path.substr(rel.size()), suffix))
            out.push_back(path);
    }
    return out;
}

Tree WithoutConflictTimes(const Tree& tree) {
    static const std::regex suffix(R"(\.conflict\(\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d-\d{3}\))");
    Tree out;
    for (const auto& [path, sig] : tree) {
        std::string key = std::regex_replace(path, suffix, ".conflict(*)");
        for (int n = 2; out.count(key); ++n)
            key = std::regex_replace(path, suffix, ".conflict(*)") + "#" + std::to_string(n);
        out[key] = sig;
    }
    return out;
}

std::string RandomBytes(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        for (size_t k = 0; k < 8 && i + k < size; ++k)
            out[i + k] = static_cast<char>(x >> (8 * k));
    }
    return out;
}

Computer::Computer(testsupport::TestServer& server, const std::string& name, const std::string& user,
                   const std::string& password)
    : server_(server), name_(name), user_(user), password_(password) {
    dir_.MakeDirs("home");
    dir_.MakeDirs("run");
    fs::permissions(dir_.Sub("run"), fs::perms::owner_all, fs::perm_options::replace);
}

Computer::~Computer() {
    if (proc_)
        proc_->Kill();
}

testsupport::LaunchPlan Computer::HowToRun() const {
    testsupport::LaunchPlan how;
    how.program = testsupport::BuildProgram("kestrine");
    how.env["HOME"] = dir_.Sub("home");
    how.env["XDG_RUNTIME_DIR"] = dir_.Sub("run");
    how.env["XDG_CONFIG_HOME"] = dir_.Sub("home/.config");
    how.env["KESTRINE_SERVICE_HOST"] = "127.0.0.1:" + std::to_string(server_.Port());
    how.env["KESTRINE_OPEN_LOG"] = dir_.Sub("opened.txt");
    // Another computer's changes reach this one at its next heartbeat: once a second here.
    how.env["KESTRINE_HEARTBEAT_MS"] = "1000";
    how.env["LC_ALL"] = "C.UTF-8";
    // The texts as written (Chinese), which the test reads: Qt takes the language from LANGUAGE,
    // while LC_ALL keeps a UTF-8 locale that every machine has.
    how.env["LANGUAGE"] = "zh_CN";
    how.env["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;  // the user's keyring is not the test's
    how.env["http_proxy"] = std::nullopt;
    how.env["HTTP_PROXY"] = std::nullopt;
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
        how.env[name] = std::nullopt;
    // The console front end, whatever display the tests run under.
    how.env["DISPLAY"] = std::nullopt;
    how.env["WAYLAND_DISPLAY"] = std::nullopt;
    how.env["QT_QPA_PLATFORM"] = std::nullopt;
    // A computer's stdin answers the console login once; remembered accounts need no answer.
    how.stdinText = user_ + "\n" + password_ + "\n" + name_ + "\ny\n";
    for (const auto& [name, value] : env_)
        how.env[name] = value;
    return how;
}

int Computer::Command(const std::vector<std::string>& args, std::string* out, std::string* err) const {
    testsupport::LaunchPlan how = HowToRun();
    how.args = args;
    how.stdinText.clear();
    testsupport::ChildProcess command;
    int status = -1;
    if (!command.Start(how) || !command.Wait(30000, &status)) {
        command.Kill();
        status = -1;
    }
    *out = command.Stdout();
    if (err)
        *err = command.Stderr();
    return status;
}

bool Computer::Start(std::string* error) {
    if (proc_ && proc_->Running()) {
        if (error)
            *error = name_ + " is running already";
        return false;
    }
    proc_ = std::make_unique<testsupport::ChildProcess>();
    ++starts_;
    return proc_->Start(HowToRun(), error);
}

bool Computer::WaitSignedIn(int timeoutMs) {
    return WaitUntil(
               [&] {
                   const std::string out = Console();
                   return (out.find("[tray] signed in") != std::string::npos && PassesEnded() >= 1) ||
                          !Running();
               },
               timeoutMs) &&
           Running();
}

bool Computer::Stop() {
    if (!proc_ || !proc_->Running())
        return true;
    proc_->Signal(SIGTERM);
    proc_->Signal(SIGCONT);  // a frozen client acts on the SIGTERM only once it runs again
    int status = -1;
    if (!proc_->Wait(60000, &status)) {
        proc_->Kill();
        return false;
    }
    return status == 0;
}

void Computer::Kill() {
    if (proc_)
        proc_->Kill();
}

bool Computer::Freeze() {
    // The stop reaches each thread on its way back to user space: wait until all have it, so
    // nothing the test does next can race a request the client is still making.
    return proc_ && proc_->Signal(SIGSTOP) && WaitUntil([&] { return Frozen(); }, 10000);
}

bool Computer::Frozen() const {
    if (!proc_)
        return false;
    std::error_code ec;
    int tasks = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(proc_->Pid()) + "/task", ec), end;
         !ec && it != end; it.increment(ec)) {
        std::ifstream in(it->path() / "stat");
        std::string line;
        std::getline(in, line);
        // The state follows the command's closing parenthesis: "pid (comm) S ...".
        const size_t paren = line.rfind(')');
        if (paren == std::string::npos || paren + 2 >= line.size())
            continue;  // the thread ended meanwhile
        const char state = line[paren + 2];
        if (state != 'T' && state != 't')
            return false;
        ++tasks;
    }
    return !ec && tasks > 0;
}

bool Computer::Thaw() {
    return proc_ && proc_->Signal(SIGCONT);
}

bool Computer::Signal(int sig) {
    return proc_ && proc_->Signal(sig);
}

std::string Computer::Console() {
    return proc_ ? proc_->Stdout() : std::string();
}

std::string Computer::Log() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(Root() + "/.log", ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".log")
            files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());
    std::string out;
    for (const std::string& f : files)
        out += ReadWhole(f);
    return out;
}

size_t Computer::CountInLog(const std::string& needle) const {
    return testsupport::CountOf(Log(), needle);
}

bool Computer::WaitQuiet(int quietMs) {
    std::string seen = Console();
    auto since = std::chrono::steady_clock::now();
    return WaitUntil(
        [&] {
            std::string now = Console();
            if (now != seen) {
                seen = std::move(now);
                since = std::chrono::steady_clock::now();
                return false;
            }
            const size_t tray = seen.rfind("[tray] ");
            const bool busy = tray != std::string::npos && seen.compare(tray, 11, "[tray] busy") == 0;
            return !busy && std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(quietMs);
        },
        ConvergeMs());
}

int Computer::PassesEnded() {
    const std::string out = Console();
    // A pass that fails without a reason from the service ends on the local text.
    return static_cast<int>(testsupport::CountOf(out, "[status] Sync finished") +
                            testsupport::CountOf(out, "[status] Sync unfinished") +
                            testsupport::CountOf(out, "[status] 同步未完成"));
}

void Computer::Write(const std::string& rel, const std::string& data) const {
    const fs::path p = Path(rel);
    fs::create_directories(p.parent_path());
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(p, ec))) {
        // An edit is saved in place, as most editors do. A rename onto the file would do for
        // the user, but the kernel folds a rename onto a name into the client's own rename onto
        // the same name when both are still queued, and the edit then waits for a later pass.
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        ASSERT_TRUE(out.good()) << p;
        return;
    }
    // A new file is written outside the home folder and moved in, so the client never sees half
    // of it.
    const fs::path tmp = dir_.Sub("staging");
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        ASSERT_TRUE(out.good()) << tmp;
    }
    fs::rename(tmp, p);
}

std::string Computer::Read(const std::string& rel) const {
    return ReadWhole(Path(rel));
}

bool Computer::Exists(const std::string& rel) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(Path(rel), ec));
}

void Computer::MakeDir(const std::string& rel) const {
    fs::create_directories(Path(rel));
}

void Computer::Remove(const std::string& rel) const {
    std::error_code ec;
    fs::remove_all(Path(rel), ec);
    ASSERT_FALSE(ec) << rel << ": " << ec.message();
}

void Computer::Rename(const std::string& from, const std::string& to) const {
    std::error_code ec;
    fs::rename(Path(from), Path(to), ec);
    ASSERT_FALSE(ec) << from << " -> " << to << ": " << ec.message();
}

void Computer::SetHidden(const std::string& rel) const {
    const char value[] = "hidden";
    ASSERT_EQ(setxattr(Path(rel).c_str(), "user.kestrine.attributes", value, sizeof value - 1, 0), 0) << rel;
}

void Computer::WriteHidden(const std::string& rel, const std::string& data) const {
    const fs::path p = Path(rel);
    fs::create_directories(p.parent_path());
    const std::string tmp = dir_.Sub("staging");
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        ASSERT_TRUE(out.good()) << tmp;
    }
    const char value[] = "hidden";
    ASSERT_EQ(setxattr(tmp.c_str(), "user.kestrine.attributes", value, sizeof value - 1, 0), 0) << rel;
    fs::rename(tmp, p);
}

long long Computer::Mtime(const std::string& rel) const {
    struct stat st;
    if (stat(Path(rel).c_str(), &st) != 0)
        return -1;
    return static_cast<long long>(st.st_mtim.tv_sec);
}

void Computer::SetMtime(const std::string& rel, long long seconds) const {
    struct timeval times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimes(Path(rel).c_str(), times), 0) << rel;
}

void TwoComputerTest::SetUp() {
    ASSERT_TRUE(server_.Start()) << server_.Error();
    laptop_ = std::make_unique<Computer>(server_, "laptop");
    desktop_ = std::make_unique<Computer>(server_, "desktop");
    for (Computer* c : {laptop_.get(), desktop_.get()})
        ASSERT_TRUE(StartAndSignIn(*c));
}

void TwoComputerTest::TearDown() {
    server_.ResetFaults();
    for (Computer* c : {laptop_.get(), desktop_.get()}) {
        if (c) {
            c->Thaw();
            EXPECT_TRUE(c->Stop()) << c->Name() << " did not end cleanly:\n" << c->Console();
        }
    }
}

::testing::AssertionResult TwoComputerTest::StartAndSignIn(Computer& c) {
    std::string error;
    if (!c.Start(&error))
        return ::testing::AssertionFailure() << error;
    if (!c.WaitSignedIn())
        return ::testing::AssertionFailure() << c.Name() << ":\n" << c.Console() << Tail(c.Log());
    return ::testing::AssertionSuccess();
}

std::string TwoComputerTest::Logs() {
    return "laptop console:\n" + laptop_->Console() + "desktop console:\n" + desktop_->Console() +
           "laptop log (end):\n" + Tail(laptop_->Log()) + "desktop log (end):\n" + Tail(desktop_->Log());
}

::testing::AssertionResult TwoComputerTest::BothHold(const Tree& want) {
    if (WaitUntil([&] { return laptop_->Files() == want && desktop_->Files() == want; }, ConvergeMs()))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "want:\n"
                                         << Describe(want) << "laptop:\n"
                                         << Describe(laptop_->Files()) << "desktop:\n"
                                         << Describe(desktop_->Files()) << Logs();
}

bool TwoComputerTest::PutOnService(const std::string& rel, const std::string& content) {
    scratch_.WriteFile("put", content);
    return server_.Put(testsupport::TestServer::kUser, scratch_.Sub("put"), rel);
}

std::optional<std::string> TwoComputerTest::OnService(const std::string& rel) {
    const std::string local = scratch_.Sub("fetched");
    std::remove(local.c_str());
    if (!server_.Get(testsupport::TestServer::kUser, rel, local))
        return std::nullopt;
    return scratch_.ReadFile("fetched");
}

bool TwoComputerTest::HoldAfter(const std::string& op, int passing) {
    return (passing == 0 || server_.Fault(op, "stall", passing, -1, 1000)) &&
           server_.Fault(op, "stall", 1, -1, 120000);
}

::testing::AssertionResult TwoComputerTest::Held(const std::string& op) {
    if (WaitUntil([&] { return server_.Faults().find(op) == std::string::npos; }, ConvergeMs()))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the " << op << " requests did not come:\n"
                                         << server_.Faults() << Logs();
}

}  // namespace e2e
