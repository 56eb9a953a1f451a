#include "ui/downloadtask.h"

#include <curl/curl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"

namespace {

constexpr const char* kUserAgent = "Kestrine client";
// The thread lets the dialog appear before it starts reporting.
constexpr int kStartDelayMs = 10;

int64_t NowSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

std::string Printf(const char* format, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

struct CurlCloser {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

// The file being written and the task, as the transfer callbacks see them.
struct Sink {
    CDownloadTask* task;
    platform::File* file;
    CDownloadMeter* meter;
    bool writeFailed = false;
};

}  // namespace

// ---- CDownloadMeter

double CDownloadMeter::Megabytes(int64_t bytes) {
    if (bytes < 0)
        bytes = 0;
    return static_cast<double>(bytes / 131072) / 8.0;  // whole eighths of 1048576 bytes
}

std::string CDownloadMeter::FormatDuration(int64_t seconds) {
    if (seconds < 0)
        seconds = 0;
    char buf[96];
    if (seconds <= 59)
        std::snprintf(buf, sizeof buf, " %d 秒", static_cast<int>(seconds));
    else if (seconds > 3599)
        std::snprintf(buf, sizeof buf, "%d 小时 %d 分钟 ", static_cast<int>(seconds / 3600),
                      static_cast<int>(seconds % 3600 / 60));
    else
        std::snprintf(buf, sizeof buf, "%d 分钟 %d 秒 ", static_cast<int>(seconds / 60),
                      static_cast<int>(seconds % 60));
    return buf;
}

void CDownloadMeter::Update(int64_t total, int64_t done, int64_t now, IDownloadView* view) {
    if (total <= 0 || done < 0 || completed_)
        return;
    if (done > total)
        done = total;
    const int p = static_cast<int>(done * 100 / total);
    const bool complete = done == total;
    if (!started_) {
        // The first report starts the clock; a fast transfer may be past 1% by then already.
        started_ = true;
        startSeconds_ = lastSeconds_ = now;
        lastBytes_ = done;
        view->SetTotalText(Printf("%2.2f M 中的 ", Megabytes(total)));
        view->SetProgressText(Printf(" %2.2f M", Megabytes(done)));
        if (p == 0) {
            bar_ = 2;
            view->SetBar(bar_);
        }
    }
    if (p == 0)
        return;
    if ((p != bar_ && p % 2 == 0) || complete) {
        bar_ = p;
        view->SetBar(bar_);
    }
    if (now - lastSeconds_ <= 1 && !complete)
        return;
    if (complete) {
        completed_ = true;
        view->SetProgressText(Printf(" %2.2f M,下载完成", Megabytes(done)));
        view->SetTimeLabel("总共时间:");
        view->SetTimeText(FormatDuration(now - startSeconds_));
        return;
    }
    const int64_t seconds = now - lastSeconds_;
    const int64_t bytes = done - lastBytes_;
    const double perSecond = static_cast<double>(bytes) / static_cast<double>(seconds);
    char text[96];
    std::snprintf(text, sizeof text, " %2.2f M,%2.2f KB/s", Megabytes(done), perSecond / 1024.0);
    view->SetProgressText(text);
    // Nothing arrived since the last text: the remaining time is unknown, the old one stays.
    if (bytes > 0)
        view->SetTimeText(
            FormatDuration(static_cast<int64_t>(static_cast<double>(total - done) / perSecond)));
    lastSeconds_ = now;
    lastBytes_ = done;
}

template <typename F>
void CDownloadTask::Report(F&& f) {
    std::lock_guard<std::mutex> lock(viewMu_);
    if (view_)
        f(view_);
}

// libcurl's callbacks, with the task's private side.
struct DownloadCallbacks {
    static size_t OnData(char* data, size_t size, size_t count, void* param) {
        auto* sink = static_cast<Sink*>(param);
        const size_t n = size * count;
        if (sink->task->Cancelled())
            return 0;
        if (!sink->file->WriteAll(data, n)) {
            sink->writeFailed = true;
            return 0;  // the transfer fails; its partial file goes
        }
        return n;
    }

    static int OnProgress(void* param, curl_off_t total, curl_off_t done, curl_off_t, curl_off_t) {
        auto* sink = static_cast<Sink*>(param);
        // Also before the size is known: a cancel must not wait for a slow answer to begin.
        if (sink->task->Cancelled())
            return 1;  // aborts the transfer
        if (total == 0)
            return 0;
        CDownloadMeter* meter = sink->meter;
        const int64_t now = NowSeconds();
        sink->task->Report([&](IDownloadView* v) { meter->Update(total, done, now, v); });
        return 0;
    }
};

// ---- CDownloadTask

CDownloadTask::CDownloadTask(std::string url, std::string fileName, std::string targetPath)
    : url_(std::move(url)), fileName_(std::move(fileName)), target_(std::move(targetPath)) {}

CDownloadTask::~CDownloadTask() = default;

bool CDownloadTask::Start(IDownloadView* view) {
    {
        std::lock_guard<std::mutex> lock(viewMu_);
        view_ = view;
    }
    std::shared_ptr<CDownloadTask> self = shared_from_this();
    // The thread holds the task: should the dialog go first, the task ends with the thread.
    if (!thread_.Start([self] { self->Run(nullptr); })) {
        Log(kLogError, "CDownloadTask::Start", "Fail to start the download thread");
        return false;
    }
    return true;
}

void CDownloadTask::DetachView() {
    std::lock_guard<std::mutex> lock(viewMu_);
    view_ = nullptr;
}

bool CDownloadTask::WaitDone(int ms) {
    std::unique_lock<std::mutex> lock(doneMu_);
    return doneCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_.load(); });
}

bool CDownloadTask::Run(IDownloadView* view) {
    if (view) {
        std::lock_guard<std::mutex> lock(viewMu_);
        view_ = view;
    }
    const bool ok = Transfer();
    succeeded_.store(ok);
    {
        std::lock_guard<std::mutex> lock(doneMu_);
        done_.store(true);
    }
    doneCv_.notify_all();
    return ok;
}

bool CDownloadTask::Transfer() {
    platform::SleepMs(kStartDelayMs);
    Report([&](IDownloadView* v) {
        v->ShowFileName(fileName_);
        v->SetBar(1);
    });

    // Created exclusively: an existing file (an earlier download, anything else) is never
    // overwritten.
    platform::File file;
    if (!file.Open(target_, platform::File::Mode::CreateNew)) {
        const int err = platform::LastError();
        Log(kLogError, "CDownloadTask::Run", "Fail to create \"%s\" error code :%d", target_.c_str(), err);
        Report([&](IDownloadView* v) { v->Finished(false, kTargetExists); });
        return false;
    }

    CDownloadMeter meter;
    Sink sink{this, &file, &meter};
    std::unique_ptr<CURL, CurlCloser> curl(curl_easy_init());
    CURLcode rc = CURLE_FAILED_INIT;
    long status = 0;
    if (curl) {
        CURL* c = curl.get();
        curl_easy_setopt(c, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
        curl_easy_setopt(c, CURLOPT_PROXY, "");  // straight to the service
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &DownloadCallbacks::OnData);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &DownloadCallbacks::OnProgress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &sink);
        if (speedLimit_ > 0)
            curl_easy_setopt(c, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(speedLimit_));
        rc = curl_easy_perform(c);
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    }
    // Only a whole 200 answer is the installer: an error page must not pass for it.
    bool ok = rc == CURLE_OK && status == 200 && !sink.writeFailed && !Cancelled();
    if (ok && !file.Sync())
        ok = false;
    file.Close();
    if (!ok) {
        if (!platform::RemoveFile(target_))
            Log(kLogWarn, "CDownloadTask::Run", "Fail to delete the partial file \"%s\"", target_.c_str());
        if (Cancelled())
            Log(kLogInfo, "CDownloadTask::Run", "Download of \"%s\" cancelled", url_.c_str());
        else
            Log(kLogError, "CDownloadTask::Run", "Fail to download \"%s\": %s (HTTP %ld)", url_.c_str(),
                curl_easy_strerror(rc), status);
        const bool cancelled = Cancelled();
        Report([&](IDownloadView* v) {
            if (!cancelled)
                v->SetProgressText(" 下载失败");
            v->Finished(false, "");
        });
        return false;
    }
    Report([&](IDownloadView* v) {
        v->SetBar(100);
        v->Finished(true, "");
    });
    return true;
}
