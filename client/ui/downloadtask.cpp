#include "ui/downloadtask.h"

#include <curl/curl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "core/log.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/translate.h"
#include "util/sha256.h"
#include "util/util.h"

namespace {

constexpr const char* kUserAgent = "Kestrine client";
// The thread lets the dialog appear before it starts reporting.
constexpr int kStartDelayMs = 10;

int64_t NowSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

// One of CDownloadTask's texts in the user's language and code page; an empty one stays empty.
std::string Shown(const std::string& text) {
    return text.empty() ? text : CUtil::TrShown("CDownloadTask", text.c_str());
}

std::string Printf(const char* format, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

struct CurlCloser {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

// The digest text being received.
struct DigestBody {
    const CDownloadTask* task = nullptr;
    std::string text;
    bool tooLong = false;
};

size_t OnDigestData(char* data, size_t size, size_t count, void* param) {
    auto* body = static_cast<DigestBody*>(param);
    const size_t n = size * count;
    if (body->task->Cancelled())
        return 0;
    if (body->text.size() + n > CDownloadTask::kMaxDigestText) {
        body->tooLong = true;
        return 0;
    }
    body->text.append(data, n);
    return n;
}

int OnDigestProgress(void* param, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<DigestBody*>(param)->task->Cancelled() ? 1 : 0;
}

// The options both transfers share: straight to the service, no redirects.
void CommonOptions(CURL* c, const std::string& url) {
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, CDownloadTask::kConnectTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
}

}  // namespace

// The file being written and the task, as the transfer callbacks see them.
struct CDownloadTask::Sink {
    CDownloadTask* task = nullptr;
    platform::File* file = nullptr;
    CDownloadMeter* meter = nullptr;
    CSha256 hash;
    int64_t received = 0;
    bool writeFailed = false;
    bool tooLarge = false;
};

// ---- CDownloadMeter

double CDownloadMeter::Megabytes(int64_t bytes) {
    if (bytes < 0)
        bytes = 0;
    // Whole eighths of 1048576 bytes: the division drops the rest on purpose.
    return static_cast<double>(bytes / 131072) / 8.0;  // NOLINT(bugprone-integer-division)
}

std::string CDownloadMeter::FormatDuration(int64_t seconds) {
    if (seconds < 0)
        seconds = 0;
    using platform::WithArg;
    if (seconds <= 59)
        return WithArg(CUtil::TrShown("CDownloadTask", " %1 秒"), std::to_string(seconds));
    if (seconds > 3599)
        return WithArg(
            WithArg(CUtil::TrShown("CDownloadTask", "%1 小时 %2 分钟 "), std::to_string(seconds / 3600)),
            std::to_string(seconds % 3600 / 60));
    return WithArg(WithArg(CUtil::TrShown("CDownloadTask", "%1 分钟 %2 秒 "), std::to_string(seconds / 60)),
                   std::to_string(seconds % 60));
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
        view->SetTotalText(platform::WithArg(CUtil::TrShown("CDownloadTask", "%1 M 中的 "),
                                             Printf("%2.2f", Megabytes(total))));
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
        view->SetProgressText(platform::WithArg(CUtil::TrShown("CDownloadTask", " %1 M,下载完成"),
                                                Printf("%2.2f", Megabytes(done))));
        view->SetTimeLabel(CUtil::TrShown("CDownloadTask", "总共时间:"));
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
        auto* sink = static_cast<CDownloadTask::Sink*>(param);
        const size_t n = size * count;
        if (sink->task->Cancelled())
            return 0;
        // An answer without a length (or a false one) is stopped as soon as it passes the bound.
        if (n > static_cast<uint64_t>(sink->task->maxBytes_ - sink->received)) {
            sink->tooLarge = true;
            return 0;
        }
        if (!sink->file->WriteAll(data, n)) {
            sink->writeFailed = true;
            return 0;  // the transfer fails; its partial file goes
        }
        sink->hash.Update(data, n);
        sink->received += static_cast<int64_t>(n);
        return n;
    }

    static int OnProgress(void* param, curl_off_t total, curl_off_t done, curl_off_t, curl_off_t) {
        auto* sink = static_cast<CDownloadTask::Sink*>(param);
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

CDownloadTask::Digest CDownloadTask::FetchDigest(std::string* hex) {
    const std::string url = url_ + kDigestSuffix;
    std::unique_ptr<CURL, CurlCloser> curl(curl_easy_init());
    if (!curl)
        return Digest::Failed;
    DigestBody body;
    body.task = this;
    CURL* c = curl.get();
    CommonOptions(c, url);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, kDigestTimeoutMs);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnDigestData);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &OnDigestProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &body);
    const CURLcode rc = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    // Only "not there" means unpublished; any other failure could hide a published digest.
    if (rc == CURLE_OK && status == 404)
        return Digest::Absent;
    if (body.tooLong && status == 200) {
        Log(kLogError, "CDownloadTask::Run", "Refuse the digest of \"%s\": longer than %zu bytes",
            url_.c_str(), kMaxDigestText);
        return Digest::Malformed;
    }
    if (rc != CURLE_OK || status != 200) {
        if (!Cancelled())
            Log(kLogError, "CDownloadTask::Run", "Fail to get \"%s\": %s (HTTP %ld)", url.c_str(),
                curl_easy_strerror(rc), status);
        return Digest::Failed;
    }
    if (!CSha256::ParseSumText(body.text, hex)) {
        Log(kLogError, "CDownloadTask::Run", "Refuse the digest of \"%s\": not a SHA-256 line", url_.c_str());
        return Digest::Malformed;
    }
    return Digest::Published;
}

int CDownloadTask::Receive(Sink* sink, long* status) {
    std::unique_ptr<CURL, CurlCloser> curl(curl_easy_init());
    if (!curl)
        return CURLE_FAILED_INIT;
    CURL* c = curl.get();
    CommonOptions(c, url_);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    // An announced length above the bound ends the transfer before its first byte.
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes_));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &DownloadCallbacks::OnData);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, sink);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &DownloadCallbacks::OnProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, sink);
    if (speedLimit_ > 0)
        curl_easy_setopt(c, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(speedLimit_));
    const CURLcode rc = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, status);
    if (rc == CURLE_FILESIZE_EXCEEDED)
        sink->tooLarge = true;
    return rc;
}

bool CDownloadTask::Fail(const std::string& message) {
    if (!platform::RemoveFile(target_))
        Log(kLogWarn, "CDownloadTask::Run", "Fail to delete the partial file \"%s\"", target_.c_str());
    const bool cancelled = Cancelled();
    if (cancelled)
        Log(kLogInfo, "CDownloadTask::Run", "Download of \"%s\" cancelled", url_.c_str());
    Report([&](IDownloadView* v) {
        if (!cancelled)
            v->SetProgressText(CUtil::TrShown("CDownloadTask", " 下载失败"));
        v->Finished(false, cancelled ? std::string() : Shown(message));
    });
    return false;
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
        Report([&](IDownloadView* v) { v->Finished(false, Shown(kTargetExists)); });
        return false;
    }

    // The digest first: a bad one spares the user the whole transfer.
    std::string expected;
    const Digest digest = FetchDigest(&expected);
    if (digest == Digest::Failed || digest == Digest::Malformed) {
        file.Close();
        return Fail(digest == Digest::Failed ? kDigestUnavailable : kDigestMismatch);
    }

    CDownloadMeter meter;
    Sink sink;
    sink.task = this;
    sink.file = &file;
    sink.meter = &meter;
    long status = 0;
    const int rc = Receive(&sink, &status);
    // Only a whole 200 answer is the installer: an error page must not pass for it.
    bool ok = rc == CURLE_OK && status == 200 && !sink.writeFailed && !sink.tooLarge && !Cancelled();
    if (ok && !file.Sync())
        ok = false;
    file.Close();
    if (!ok) {
        if (sink.tooLarge)
            Log(kLogError, "CDownloadTask::Run", "Stop the download of \"%s\": more than %lld bytes",
                url_.c_str(), static_cast<long long>(maxBytes_));
        else if (!Cancelled())
            Log(kLogError, "CDownloadTask::Run", "Fail to download \"%s\": %s (HTTP %ld)", url_.c_str(),
                curl_easy_strerror(static_cast<CURLcode>(rc)), status);
        return Fail(sink.tooLarge ? kTooLarge : "");
    }
    sha256_ = sink.hash.FinalHex();
    if (digest == Digest::Published && sha256_ != expected) {
        Log(kLogError, "CDownloadTask::Run", "Refuse \"%s\": SHA-256 %s, published %s", target_.c_str(),
            sha256_.c_str(), expected.c_str());
        return Fail(kDigestMismatch);
    }
    check_ = digest == Digest::Published ? Check::Verified : Check::Unverified;
    Log(kLogInfo, "CDownloadTask::Run", "Downloaded \"%s\", SHA-256 %s (%s)", target_.c_str(),
        sha256_.c_str(), check_ == Check::Verified ? "verified" : "no digest published");
    const std::string text = Shown(check_ == Check::Verified ? kVerifiedText : kUnverifiedText) + sha256_;
    Report([&](IDownloadView* v) {
        v->SetCheckText(text);
        v->SetBar(100);
        v->Finished(true, "");
    });
    return true;
}
