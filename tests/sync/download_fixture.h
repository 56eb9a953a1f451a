// The engine against a reference service, for the download tests: a worker signed in for real (its
// heartbeat stopped, so passes run only when a test asks), its home folder, its journal read
// straight from the database, and the service filled through its command line as another
// computer of the account would.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/config.h"
#include "journal/filejournal.h"
#include "platform/file.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "platform/registry.h"
#include "service/back.h"
#include "service/transmitter.h"
#include "support/env.h"
#include "support/logcapture.h"
#include "support/process.h"
#include "support/tempdir.h"
#include "support/testserver.h"
#include "support/wait.h"
#include "sync/work.h"
#include "util/util.h"

namespace dltest {

constexpr int kWaitMs = 120000;  // bound for the worker; never reached when it works
constexpr int64_t kMiB = 1024 * 1024;

// Bytes that differ from chunk to chunk and from seed to seed.
inline std::string Bytes(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// A worker whose sign-in leaves no heartbeat running and whose rests between passes are skipped.
class EngineWork : public CWork {
  public:
    ~EngineWork() override { Stop(-1); }
    void Pause(int) override {}
    int Logins() const { return logins_.load(); }
    // What the pass driver last told the heartbeat: the pass result, and when skipped items are
    // due (-1: never told).
    int Reported() const { return reported_.load(); }
    int64_t RetryAt() const { return retryAt_.load(); }

  protected:
    void ReportPassResult(int succeeded) override { reported_ = succeeded; }
    void ScheduleRetry(int64_t steadyMs) override { retryAt_ = steadyMs; }
    // Passes run only when a test asks: neither the heartbeat nor the watcher of local changes
    // starts one.
    int RunLogin() override {
        ++logins_;
        const int r = Login();
        StopHeartBeat();
        StopFileMonitor();
        return r;
    }

  private:
    std::atomic<int> logins_{0};
    std::atomic<int> reported_{-1};
    std::atomic<int64_t> retryAt_{-1};
};

// One journal row as the database holds it.
struct Row {
    bool exists = false;
    std::string activePath, updatedPath;
    int64_t activeTime = 0, updatedTime = 0, activeSize = 0;
    int activeDir = 0, onDisk = 0;
};

// Public helpers, so that tables of cases can call them from lambdas.
class DownloadTest : public ::testing::Test {
  public:
    void SetUp() override {
        platform::SetMainWindow(&front_);
        platform::SeedRegistryDefaults();
        ASSERT_TRUE(server_.Start()) << server_.Error();
        env_.Set("KESTRINE_SERVICE_HOST", "127.0.0.1:" + std::to_string(server_.Port()));
        ASSERT_TRUE(ResetFaults());
    }
    // Disarms the faults a test armed. Heartbeats stay refused: a stopped heartbeat still beats
    // once more, and a successful beat would ask for a pass that no test asked for.
    bool ResetFaults() { return server_.ResetFaults() && server_.Fault("heartbeat", "refuse", 1000000); }
    void TearDown() override {
        work_.reset();
        if (HasFailure()) {
            // What went wrong inside the engine, for the reader of the failure.
            const std::string text = log_.Text();
            for (size_t pos = 0, end; pos < text.size(); pos = end + 1) {
                end = text.find('\n', pos);
                if (end == std::string::npos)
                    end = text.size();
                const std::string line = text.substr(pos, end - pos);
                if (line.find("<error>") != std::string::npos || line.find("<fatal>") != std::string::npos)
                    std::fprintf(stderr, "log: %s\n", line.c_str());
            }
        }
        platform::SetMainWindow(nullptr);
    }

    std::string Root() const { return home_.Home() + "/Kestrine"; }
    std::string HomeFolder() const { return Root() + "/home"; }
    std::string Local(const std::string& rel) const { return HomeFolder() + "/" + rel; }
    std::string DbFile() const { return Root() + "/.db/client.db"; }

    // A worker signed in as `user`, after its first pass (a full download) has ended.
    void StartEngine(const std::string& user = testsupport::TestServer::kUser,
                     const std::string& password = testsupport::TestServer::kPassword) {
        work_ = std::make_unique<EngineWork>();
        ASSERT_EQ(work_->Init(), 1);
        // A skipped item is tried again at the next pass, as these tests ask for it.
        work_->SetRetryDelays(0, 0);
        SetAccount(user, password);
        ASSERT_EQ(SignIn(), 1);
        ASSERT_TRUE(WaitForPassEnd(0)) << "the sign-in queues the first pass";
    }
    void SetAccount(const std::string& user, const std::string& password) {
        work_->SetUser(user);
        work_->SetPassword(password);
        work_->GetConfig()->Set(CConfig::kLoginUser, user);
        work_->GetConfig()->Set(CConfig::kLoginPasswd, password);
        work_->GetConfig()->Set(CConfig::kHostName, "laptop");
    }
    // WM_WORK_LOGIN with a reply window; 1 or 0 as the worker answers, -1 without an answer.
    int SignIn() { return Ask(platform::WM_WORK_LOGIN, platform::WM_LOGIN_RESULT); }
    bool SignOut() { return Ask(platform::WM_WORK_LOGOUT, platform::WM_LOGOUT_DONE) >= 0; }

    // The pass loop's ends so far: each leaves the tray idle (0) or done (2) with the user's name
    // (a sign-out leaves it idle with the product's name).
    int PassEnds() {
        int n = 0;
        for (const auto& m : front_.MessagesWithCode(platform::WM_TRAY_STATE))
            n += m.wParam != platform::kTrayBusy && m.text != "Kestrine云存储服务";
        return n;
    }
    bool WaitForPassEnd(int endsBefore) {
        return WaitUntil([&] { return PassEnds() > endsBefore; });
    }
    // One run of the pass loop, as the tray's Sync command starts it.
    bool Sync() {
        const int before = PassEnds();
        if (work_->Request(platform::WM_WORK_SYNC, 0) != 1)
            return false;
        return WaitForPassEnd(before);
    }
    static bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kWaitMs) {
        return testsupport::WaitUntil(done, timeoutMs, 5);
    }
    // The last status text, after the pass loop's closing texts have arrived.
    // The reason the worker lists `rel` ("/a/b") as not synced with, or "" when it is not listed.
    std::string NotSynced(const std::string& rel) const {
        for (const CSkippedItems::Item& item : work_->GetSkipped().Items()) {
            if (item.path == rel)
                return item.reason;
        }
        return std::string();
    }
    std::string LastStatus() {
        std::vector<std::string> texts;
        WaitUntil(
            [&] {
                texts = front_.Texts(platform::WM_SETMESSAGESTRING);
                return !texts.empty() &&
                       (texts.back() == "Sync finished" || texts.back() == "Sync unfinished" ||
                        texts.back() == "同步未完成" || texts.back().rfind("服务器信息", 0) == 0);
            },
            5000);
        return texts.empty() ? std::string() : texts.back();
    }
    bool HasText(uint32_t code, const std::string& text) {
        for (const std::string& t : front_.Texts(code))
            if (t == text)
                return true;
        return false;
    }
    std::vector<std::string> Recent() {
        std::vector<std::string> out;
        for (size_t i = 0; i < work_->GetRecentCount(); ++i)
            out.push_back(work_->GetRecentItem(i));
        return out;
    }
    bool HasRecent(const std::string& entry) {
        for (const std::string& r : Recent())
            if (r == entry)
                return true;
        return false;
    }

    // --- The service, changed as another computer of the account would change it.
    // Puts `content` at `serverPath` (relative to the account root) with the modification time
    // `unixSeconds` (0: now).
    void Put(const std::string& serverPath, const std::string& content, int64_t unixSeconds = 0,
             const std::string& user = testsupport::TestServer::kUser) {
        const std::string src = staging_.Sub("put-" + std::to_string(++staged_));
        staging_.WriteFile("put-" + std::to_string(staged_), content);
        if (unixSeconds != 0)
            SetTime(src, unixSeconds);
        ASSERT_TRUE(server_.Put(user, src, serverPath)) << serverPath;
    }
    void PutFolder(const std::string& serverPath, const std::string& user = testsupport::TestServer::kUser) {
        const std::string name = "dir-" + std::to_string(++staged_);
        staging_.MakeDirs(name);
        ASSERT_TRUE(server_.Put(user, staging_.Sub(name), serverPath)) << serverPath;
    }
    void Rm(const std::string& serverPath) {
        ASSERT_TRUE(server_.Rm(testsupport::TestServer::kUser, serverPath));
    }
    // How many requests of a SOAP operation the service has logged so far.
    int Requests(const std::string& op) {
        return static_cast<int>(testsupport::CountOf(server_.Output(), " " + op + " user="));
    }

    // --- The home folder.
    static void SetTime(const std::string& path, int64_t unixSeconds) {
        struct timespec times[2] = {{static_cast<time_t>(unixSeconds), 0},
                                    {static_cast<time_t>(unixSeconds), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
    }
    void WriteLocal(const std::string& rel, const std::string& content, int64_t unixSeconds = 0) {
        const std::string path = Local(rel);
        const size_t slash = path.rfind('/');
        ASSERT_TRUE(CUtil::CreateFolder(path.substr(0, slash)) ||
                    platform::IsDirectory(path.substr(0, slash)));
        ASSERT_TRUE(platform::WriteFileAtomic(path, content)) << path;
        if (unixSeconds != 0)
            SetTime(path, unixSeconds);
    }
    std::string ReadLocal(const std::string& rel) const {
        std::string s;
        if (!platform::ReadFileToString(Local(rel), &s))
            return "<missing>";
        return s;
    }
    bool IsFile(const std::string& rel) const { return platform::IsRegularFile(Local(rel)); }
    bool IsDir(const std::string& rel) const { return platform::IsDirectory(Local(rel)); }
    bool Exists(const std::string& rel) const { return platform::Exists(Local(rel)); }
    int64_t LocalTime(const std::string& rel) const {
        int64_t t = 0;
        platform::GetFileWriteTime(Local(rel), &t);
        return t;
    }
    // Names in the folder of `rel` that are conflict copies of it.
    std::vector<std::string> Conflicts(const std::string& rel) const {
        const std::string path = Local(rel);
        const size_t slash = path.rfind('/');
        const std::string prefix = path.substr(slash + 1) + ".conflict(";
        std::vector<platform::DirEntry> entries;
        platform::ListDir(path.substr(0, slash), &entries);
        std::vector<std::string> out;
        for (const auto& e : entries)
            if (e.name.rfind(prefix, 0) == 0)
                out.push_back(path.substr(0, slash + 1) + e.name);
        return out;
    }
    static std::string ReadPath(const std::string& path) {
        std::string s;
        if (!platform::ReadFileToString(path, &s))
            return "<missing>";
        return s;
    }
    // The service's listing of alice's tree as its command line prints it.
    std::string ServerLs() { return server_.Ls(testsupport::TestServer::kUser); }
    // The server's "<path> <dir|file> <size> <modify_time>" line of a path, empty when absent.
    std::string ServerLine(const std::string& serverPath) {
        const auto item = server_.Listed(testsupport::TestServer::kUser, serverPath);
        return item ? item->line : std::string();
    }
    int64_t ServerTime(const std::string& serverPath) {
        const auto item = server_.Listed(testsupport::TestServer::kUser, serverPath);
        return item ? item->modifyTime : -1;
    }

    // --- The journal, read from the database through a journal of the test's own (the worker
    // may be writing; the connection waits for it).
    Row Journal(const std::string& key) const {
        Row row;
        CFileJournal journal;
        CJournalItem item;
        if (!ReadJournal(&journal) || !journal.Lookup(key, &item))
            return row;
        row.exists = true;
        row.activePath = item.active.path;
        row.activeTime = item.active.modifyTime;
        row.activeSize = item.active.size;
        row.activeDir = item.active.dirFlag;
        row.updatedPath = item.updated.path;
        row.updatedTime = item.updated.modifyTime;
        row.onDisk = item.onDisk;
        return row;
    }
    int JournalRows() const {
        CFileJournal journal;
        return ReadJournal(&journal) ? static_cast<int>(journal.MapSize()) : -1;
    }
    bool ReadJournal(CFileJournal* journal) const {
        return journal->Init(DbFile()) && journal->OpenDB() && journal->LoadMap();
    }
    // The journal key of a path below alice's root ("alice", as the service names it).
    static std::string Key(const std::string& rel) { return CFileJournal::MakeKey("alice/" + rel); }

    testsupport::FakeHome home_;
    testsupport::LogCapture log_;
    platform::RecordingFrontEnd front_;
    testsupport::TestServer server_;
    testsupport::ScopedEnv env_;
    testsupport::TempDir staging_;
    int staged_ = 0;
    std::unique_ptr<EngineWork> work_;

  private:
    int Ask(uint32_t request, uint32_t reply) {
        std::mutex mu;
        std::condition_variable cv;
        bool got = false;
        int64_t result = -1;
        const platform::WindowHandle handle = platform::RegisterWindow([&](const platform::WindowMessage& m) {
            std::lock_guard<std::mutex> lock(mu);
            if (m.code == reply) {
                got = true;
                result = m.wParam;
            }
            cv.notify_all();
        });
        int answer = -1;
        if (work_->Request(request, handle) == 1) {
            std::unique_lock<std::mutex> lock(mu);
            if (cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return got; }))
                answer = static_cast<int>(result);
        }
        platform::UnregisterWindow(handle);
        return answer;
    }
};

}  // namespace dltest
