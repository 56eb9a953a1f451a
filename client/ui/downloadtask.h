// The installer download behind the download dialog, free of Qt: CDownloadTask runs the transfer
// on its own thread (libcurl into a file it creates, never over an existing one) and reports to
// an IDownloadView; CDownloadMeter turns the transfer's progress into the dialog's bar position
// and texts. A failed or cancelled transfer deletes its partial file. The thread keeps the task
// alive until it ends, so a dialog may close (and detach its view) while it still runs.
// The file is what the user is asked to run, so it is bounded (kMaxInstallerBytes) and checked
// against the SHA-256 the service publishes at the installer's URL + ".sha256": a file that
// passes the bound or differs from the published digest is deleted, never offered.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/thread.h"
#include "platform/translate.h"

// What the transfer shows. Called on the download thread, under the task's lock: an
// implementation only hands the update over to its own thread.
class IDownloadView {
  public:
    virtual ~IDownloadView() = default;
    virtual void ShowFileName(const std::string& name) = 0;
    virtual void SetBar(int position) = 0;                      // 1..100
    virtual void SetTotalText(const std::string& text) = 0;     // "%1 M 中的 "
    virtual void SetProgressText(const std::string& text) = 0;  // " %2.2f M,..."
    virtual void SetTimeLabel(const std::string& text) = 0;     // "剩余时间:" / "总共时间:"
    virtual void SetTimeText(const std::string& text) = 0;      // " %1 秒" ...
    // Whether the complete file matched a published digest, with its SHA-256.
    virtual void SetCheckText(const std::string& text) = 0;
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
    // " %1 秒" up to 59 s, "%1 小时 %2 分钟 " above 3599 s, else "%1 分钟 %2 秒 ".
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
    static constexpr const char* kTargetExists =
        KESTRINE_TR_NOOP("CDownloadTask", "目标文件已存在，请手动删除");
    static constexpr const char* kTooLarge =
        KESTRINE_TR_NOOP("CDownloadTask", "安装程序超过大小上限，已停止下载并删除文件");
    static constexpr const char* kDigestMismatch =
        KESTRINE_TR_NOOP("CDownloadTask", "安装程序与服务公布的 SHA-256 校验值不符，已删除下载的文件");
    static constexpr const char* kDigestUnavailable =
        KESTRINE_TR_NOOP("CDownloadTask", "暂时无法获取安装程序的校验值，请稍后再试");
    static constexpr const char* kVerifiedText = KESTRINE_TR_NOOP("CDownloadTask", "SHA-256 校验通过: ");
    static constexpr const char* kUnverifiedText =
        KESTRINE_TR_NOOP("CDownloadTask", "服务未公布校验值，无法校验此安装程序。SHA-256: ");
    static constexpr const char* kDigestSuffix = ".sha256";
    static constexpr long kConnectTimeoutSeconds = 10;
    // No installer is this large: more is a broken or hostile answer.
    static constexpr int64_t kMaxInstallerBytes = int64_t(512) << 20;
    // The digest text is one short line; its fetch must not hold the dialog.
    static constexpr size_t kMaxDigestText = 4096;
    static constexpr long kDigestTimeoutMs = 30000;

    // How the complete file was checked.
    enum class Check { None, Verified, Unverified };

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
    // Lowers the size bound (tests); before Start.
    void SetMaxBytes(int64_t bytes) { maxBytes_ = bytes; }
    // Once Done(): the check of a complete file and its SHA-256 (lower-case hex).
    Check Verification() const { return check_; }
    const std::string& Sha256() const { return sha256_; }

  private:
    friend struct DownloadCallbacks;
    enum class Digest { Published, Absent, Malformed, Failed };
    struct Sink;  // the transfer's state as libcurl's callbacks see it

    template <typename F>
    void Report(F&& f);
    bool Transfer();
    // The published digest of url_, lower case, into *hex.
    Digest FetchDigest(std::string* hex);
    // The installer into `file`, hashed on the way; the libcurl result and the HTTP status.
    int Receive(Sink* sink, long* status);
    // Deletes the target and reports the failure; `message` (when not empty) is for the user.
    bool Fail(const std::string& message);

    std::string url_, fileName_, target_;
    int64_t speedLimit_ = 0;
    int64_t maxBytes_ = kMaxInstallerBytes;
    Check check_ = Check::None;
    std::string sha256_;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> done_{false};
    std::atomic<bool> succeeded_{false};
    std::mutex viewMu_;
    IDownloadView* view_ = nullptr;
    std::mutex doneMu_;
    std::condition_variable doneCv_;
    platform::Thread thread_;
};
