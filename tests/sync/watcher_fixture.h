// A worker for the watcher tests: what the watcher asks of it is recorded (and, when a test says
// so, handed on to the real worker queue, whose passes are counted), its home is a temporary
// folder, and the process log is captured.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "sync/work.h"

namespace watchtest {

constexpr int kBoundMs = 20000;  // bound for the watcher thread; never reached when it works

struct Posted {
    uint32_t code;
    std::string text;
    bool operator==(const Posted&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Posted& p) {
    return os << (p.code == platform::WM_WORK_RENAME ? "RENAME "
                  : p.code == platform::WM_WORK_SYNC ? "SYNC "
                                                     : "?")
              << p.text;
}

inline const Posted kSync{platform::WM_WORK_SYNC, ""};
inline Posted RenameOf(const std::string& from, const std::string& to) {
    return {platform::WM_WORK_RENAME, CWork::MakeRenameText(from, to)};
}

class WatchWork : public CWork {
  public:
    ~WatchWork() override {
        StopFileMonitor();  // its thread calls PostFromWatcher
        Stop(-1);
    }

    bool forward = false;  // hand the requests to the worker's queue as well

    std::vector<Posted> Posts() {
        std::lock_guard<std::mutex> lock(mu);
        return posts;
    }
    void ClearPosts() {
        std::lock_guard<std::mutex> lock(mu);
        posts.clear();
    }
    bool WaitForPosts(size_t n) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, std::chrono::milliseconds(kBoundMs), [&] { return posts.size() >= n; });
    }
    int Passes() {
        std::lock_guard<std::mutex> lock(mu);
        return passes;
    }
    bool WaitForPasses(int n) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, std::chrono::milliseconds(kBoundMs), [&] { return passes >= n; });
    }
    // CheckFiles keeps the watched folder from the last start: started and stopped at once, the
    // worker is ready for records fed by hand.
    void Aim(const std::string& root) {
        StartFileMonitor(root);
        StopFileMonitor();
    }

  protected:
    int PostFromWatcher(uint32_t code, const std::string& text) override {
        {
            std::lock_guard<std::mutex> lock(mu);
            posts.push_back({code, text});
        }
        cv.notify_all();
        return forward ? CWork::PostFromWatcher(code, text) : 1;
    }
    int RunPass() override {
        {
            std::lock_guard<std::mutex> lock(mu);
            ++passes;
        }
        cv.notify_all();
        return 1;
    }
    std::string LastReason() override { return std::string(); }
    void ClearReason() override {}
    void ResetChannels() override {}
    void ReportPassResult(int) override {}
    bool CleanChunkCache() override { return true; }
    void Pause(int) override {}

  private:
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Posted> posts;
    int passes = 0;
};

class WatcherTest : public ::testing::Test {
  public:
    void SetUp() override {
        platform::SetMainWindow(&front_);
        tmp_.MakeDirs("home");
        tmp_.MakeDirs("outside");
    }
    void TearDown() override {
        if (HasFailure())
            std::fprintf(stderr, "log:\n%s", log_.Text().c_str());  // what the watcher saw
        platform::SetMainWindow(nullptr);
    }

    std::string Home(const std::string& rel = "") const {
        return tmp_.Sub(rel.empty() ? "home" : "home/" + rel);
    }
    std::string Outside(const std::string& rel) const { return tmp_.Sub("outside/" + rel); }
    void Write(const std::string& rel, const std::string& data = "x") const {
        tmp_.WriteFile("home/" + rel, data);
    }
    // A hidden file as an office program makes it: hidden from its first appearance in the home.
    void WriteHidden(const std::string& rel, const std::string& data = "x") const {
        tmp_.WriteFile("outside/hidden", data);
        ASSERT_TRUE(platform::SetFileAttributes(Outside("hidden"), platform::kAttrHidden));
        ASSERT_TRUE(platform::MoveFile(Outside("hidden"), Home(rel)));
    }
    // False (and the test skipped) where the file system keeps no hidden attribute.
    bool HiddenKept() {
        tmp_.WriteFile("outside/probe", "");
        const bool kept = platform::SetFileAttributes(Outside("probe"), platform::kAttrHidden) &&
                          (platform::GetFileAttributes(Outside("probe")) & platform::kAttrHidden);
        platform::RemoveFile(Outside("probe"));
        return kept;
    }

    testsupport::TempDir tmp_;
    testsupport::LogCapture log_;
    platform::RecordingFrontEnd front_;
};

}  // namespace watchtest
