// The engine against a reference service, for the upload tests: the download tests' signed-in
// worker, with a hook that runs between the download and the upload phase of a pass (another
// computer changing the service at that moment), and the service's copy of a path read back
// through its command line.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <functional>
#include <mutex>
#include <string>

#include "download_fixture.h"
#include "sync/work.h"

namespace uptest {

using dltest::Bytes;
using dltest::kMiB;

class UploadWork : public dltest::EngineWork {
  public:
    // The worker is stopped while this class's RunPass is still the one it calls.
    ~UploadWork() override { Stop(-1); }
    // Runs once, in the next pass, after its download phase.
    void BeforeUpload(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(mu_);
        hook_ = std::move(hook);
    }
    int Succeeded() const { return PassSucceeded(); }
    void BeginPass() { SetPassSucceeded(1); }

  protected:
    int RunPass() override {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(mu_);
            hook.swap(hook_);
        }
        if (!hook)
            return Sync();
        if (!GetServerList() || !Download())
            return 0;
        hook();
        return Upload();
    }

  private:
    std::mutex mu_;
    std::function<void()> hook_;
};

class UploadTest : public dltest::DownloadTest {
  public:
    // A worker signed in as alice, after its first pass.
    void StartUploadEngine() {
        auto w = std::make_unique<UploadWork>();
        engine_ = w.get();
        work_ = std::move(w);
        ASSERT_EQ(work_->Init(), 1);
        // A skipped item is tried again at the next pass, as these tests ask for it.
        work_->SetRetryDelays(0, 0);
        SetAccount(testsupport::TestServer::kUser, testsupport::TestServer::kPassword);
        ASSERT_EQ(SignIn(), 1);
        ASSERT_TRUE(WaitForPassEnd(0)) << "the sign-in queues the first pass";
    }

    // The bytes the service holds at `serverPath` (relative to the account's root), or "<missing>".
    std::string ServerBytes(const std::string& serverPath,
                            const std::string& user = testsupport::TestServer::kUser) {
        const std::string out = staging_.Sub("get-" + std::to_string(++staged_));
        if (!server_.Get(user, serverPath, out))
            return "<missing>";
        return ReadPath(out);
    }
    bool OnServer(const std::string& serverPath) { return !ServerLine(serverPath).empty(); }

    // Sets a local file's modification time to the nanosecond.
    void SetTimeNs(const std::string& rel, int64_t unixSeconds, long nanoseconds) {
        struct timespec times[2] = {{static_cast<time_t>(unixSeconds), nanoseconds},
                                    {static_cast<time_t>(unixSeconds), nanoseconds}};
        ASSERT_EQ(utimensat(AT_FDCWD, Local(rel).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << rel;
    }
    // How many times the client's log holds `needle`.
    int LogCount(const std::string& needle) const { return static_cast<int>(log_.Count(needle)); }

    UploadWork* engine_ = nullptr;
};

}  // namespace uptest
