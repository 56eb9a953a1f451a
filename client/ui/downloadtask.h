// The installer download behind the download dialog, free of Qt: CDownloadTask runs the transfer
// on its own thread (libcurl into a file it creates, never over an existing one) and reports to
// an IDownloadView; CDownloadMeter turns the transfer's progress into the dialog's bar position
// and texts. A failed or cancelled transfer deletes its partial file. The thread keeps the task
// alive until it ends, so a dialog may close (and detach its view) while it still runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/thread.h"

// What the transfer shows. Called on the download thread, under the task's lock: an
// implementation only hands the update over to its own thread.
class IDownloadView {
  public:
    virtual ~IDownloadView() = default;
    virtual void ShowFileName(const std::string& name) = 0;
    virtual void SetBar(int position) = 0;                      // 1..100
    virtual void SetTotalText(const std::string& text) = 0;     // "%2.2f M 中的 "
    virtual void SetProgressText(const std::string& text) = 0;  // " %2.2f M,..."
    virtual void SetTimeLabel(const std::string& text) = 0;     // "剩余时间:" / "总共时间:"
    virtual void SetTimeText(const std::string& text) = 0;      // " %d 秒" ...
    // The end: `ok` when the file is complete; otherwise `message`, when not empty, is for the user.
    virtual void Finished(bool ok, const std::string& message) = 0;
};

// The progress bookkeeping of one transfer; times in whole seconds.
class CDownloadMeter {
  public:
    void Update(int64_t total, int64_t done, int64_t nowSeconds, IDownloadView* view);
    int Bar() const { return bar_; }

    // Bytes as megabytes truncated to eighths: " %2.2f M" and friends.
    static double Megabytes(int64_t bytes);
    // " %d 秒" up to 59 s, "%d 小时 %d 分钟 " above 3599 s, else "%d 分钟 %d 秒 ".
    static std::string FormatDuration(int64_t seconds);

  private:
    int bar_ = 1;  // the bar's start
    bool started_ = false;
    bool completed_ = false;
    int64_t startSeconds_ = 0;
    int64_t lastSeconds_ = 0;
    int64_t lastBytes_ = 0;
};

class CDownloadTask : public std::enable_shared_from_this<CDownloadTask> {
  public:
    static constexpr const char* kTargetExists = "目标文件已存在，请手动删除";
    static constexpr long kConnectTimeoutSeconds = 10;

    CDownloadTask(std::string url, std::string fileName, std::string targetPath);
    ~CDownloadTask();

    // Starts the download thread reporting to `view`; false when the thread cannot start.
    bool Start(IDownloadView* view);
    // The transfer stops at its next progress report (at least once a second).
    void Cancel() { cancel_.store(true); }
    bool Cancelled() const { return cancel_.load(); }
    bool Done() const { return done_.load(); }
    bool Succeeded() const { return succeeded_.load(); }
    // From now on nothing reaches the view; the thread runs on by itself.
    void DetachView();
    // Waits at most `ms` for the thread to end; true when it has.
    bool WaitDone(int ms);

    const std::string& Url() const { return url_; }
    const std::string& TargetPath() const { return target_; }

    // The transfer itself on the calling thread, reporting to `view` (the console uses it
    // directly); true when the file is complete.
    bool Run(IDownloadView* view);
    // Caps the transfer at this many bytes per second (0: no cap); before Start. Lets a test
    // catch a transfer in the middle.
    void SetSpeedLimit(int64_t bytesPerSecond) { speedLimit_ = bytesPerSecond; }

  private:
    friend struct DownloadCallbacks;
    template <typename F>
    void Report(F&& f);
    bool Transfer();

    std::string url_, fileName_, target_;
    int64_t speedLimit_ = 0;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> done_{false};
    std::atomic<bool> succeeded_{false};
    std::mutex viewMu_;
    IDownloadView* view_ = nullptr;
    std::mutex doneMu_;
    std::condition_variable doneCv_;
    platform::Thread thread_;
};
