#include "ui/updatecheck.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <ostream>

#include "core/log.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "ui/commands.h"
#include "ui/downloadtask.h"
#include "ui/folderbrowser.h"
#include "util/ascii.h"
#include "util/util.h"

namespace {

constexpr const char* kUserAgent = "Kestrine client";
constexpr const char* kInstallerPrefix = "kestrinesetup";
constexpr size_t kMaxNameLength = 255;

struct CurlCloser {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

struct Body {
    std::string text;
    bool tooLong = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* param) {
    auto* body = static_cast<Body*>(param);
    const size_t n = size * count;
    if (body->text.size() + n > CUpdateCheck::kMaxAnswer) {
        body->tooLong = true;
        return 0;  // not an installer name: the answer fails
    }
    body->text.append(data, n);
    return n;
}

// The console's view of a download: one line per change worth reading.
class ConsoleDownloadView : public IDownloadView {
  public:
    explicit ConsoleDownloadView(std::ostream& out) : out_(out) {}
    void ShowFileName(const std::string& name) override {
        out_ << CUtil::TrShown("CUpdateCheck", "下载客户端: ") << name << std::endl;
    }
    void SetBar(int) override {}
    void SetTotalText(const std::string& text) override { total_ = text; }
    void SetProgressText(const std::string& text) override { progress_ = text; }
    void SetTimeLabel(const std::string& text) override { label_ = text; }
    void SetTimeText(const std::string& text) override {
        out_ << total_ << progress_ << "  " << label_ << text << std::endl;
    }
    void SetCheckText(const std::string& text) override { out_ << text << std::endl; }
    void Finished(bool ok, const std::string& message) override {
        if (!message.empty())
            out_ << message << std::endl;
        else if (!ok)
            out_ << progress_ << std::endl;
    }

  private:
    std::ostream& out_;
    std::string total_, progress_, label_ = CUtil::TrShown("CUpdateCheck", "剩余时间:");
};

}  // namespace

int IUpdatePrompt::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    return platform::ShowMessageBox(text, caption, flags);
}

CUpdateCheck::CUpdateCheck(std::string baseUrl, bool silent, IUpdatePrompt* prompt)
    : baseUrl_(std::move(baseUrl)), silent_(silent), prompt_(prompt) {}

bool CUpdateCheck::IsLatestNewer(const std::string& latest) {
    const std::string name = ascii::Lowered(latest);
    const std::string own = std::string(kInstallerPrefix) + ui::kClientBuild + ".exe";
    return name != "none" && name.find(kInstallerPrefix) != std::string::npos && name > own;
}

bool CUpdateCheck::IsUpdateRequired(const std::string& oldest) {
    const std::string name = ascii::Lowered(oldest);
    // Without ".exe": an oldest-allowed name equal to this client's own installer already counts.
    const std::string own = std::string(kInstallerPrefix) + ui::kClientBuild;
    return name != "none" && name.find(kInstallerPrefix) != std::string::npos && name >= own;
}

bool CUpdateCheck::IsPlainName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..")
        return false;
    return std::none_of(name.begin(), name.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c < 0x20 || c == 0x7F || c == '/' || c == '\\';
    });
}

std::string CUpdateCheck::TargetPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

bool CUpdateCheck::Query(const std::string& url, std::string* answer, long timeoutMs) {
    std::unique_ptr<CURL, CurlCloser> curl(curl_easy_init());
    if (!curl) {
        Log(kLogError, "CUpdateCheck::Query", "Fail to create a transfer for \"%s\"", url.c_str());
        return false;
    }
    Body body;
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(c, CURLOPT_PROXY, "");  // no proxy, not even the environment's
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    const CURLcode rc = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK || status != 200) {
        Log(kLogWarn, "CUpdateCheck::Query", "Fail to get \"%s\": %s (HTTP %ld)%s", url.c_str(),
            curl_easy_strerror(rc), status, body.tooLong ? ", answer too long" : "");
        return false;
    }
    std::string text = std::move(body.text);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    *answer = std::move(text);
    return true;
}

bool CUpdateCheck::Ask(const char* path, std::string* answer) {
    if (!Query(baseUrl_ + path, answer, answerTimeoutMs_))
        return false;
    // The name becomes a file name in the user's folder: a path in its place is refused. An empty
    // answer names no installer: nothing newer.
    if (!answer->empty() && !IsPlainName(*answer)) {
        Log(kLogWarn, "CUpdateCheck::Check", "Refuse the answer \"%s\" of %s: not a file name",
            answer->c_str(), path);
        answer->clear();
        return false;
    }
    return true;
}

std::string CUpdateCheck::Caption() {
    return CUtil::TrShown("CUpdateCheck", kCaption);
}

int CUpdateCheck::Box(const std::string& text, unsigned flags) {
    return prompt_->MessageBox(text + "\n", Caption(), flags);
}

bool CUpdateCheck::Fetch(const std::string& name) {
    std::string folder;
    if (!prompt_->BrowseFolder(
            platform::WithArg(CUtil::TrShown("CUpdateCheck", "Kestrine新版本为:%1 请选择存放目录:"), name),
            &folder) ||
        folder.empty())
        return false;
    const std::string target = TargetPath(folder, name);
    Log(kLogInfo, "CUpdateCheck::Check", "Download \"%s\" to \"%s\"", name.c_str(), target.c_str());
    prompt_->Download(baseUrl_ + kDownloadPath, name, target);
    return true;
}

bool CUpdateCheck::Check() {
    if (!prompt_)
        return false;
    if (!Ask(kVersionPath, &latest_) || !Ask(kMinVersionPath, &oldest_)) {
        if (!silent_)
            Box(CUtil::TrShown("CUpdateCheck", "暂时无法连接服务器检查更新，请稍后再试！"),
                platform::MB_OK | platform::MB_ICONWARNING);
        return false;
    }
    Log(kLogInfo, "CUpdateCheck::Check", "Latest \"%s\", oldest allowed \"%s\"", latest_.c_str(),
        oldest_.c_str());
    if (IsUpdateRequired(oldest_)) {
        if (!IsLatestNewer(latest_))
            return false;
        // This client may no longer be used: declining ends it all the same.
        if (Box(CUtil::TrShown("CUpdateCheck", "Kestrine当前有新版本，选择“确定”将自动更新"),
                platform::MB_OKCANCEL | platform::MB_ICONQUESTION) != platform::IDOK)
            return true;
        Fetch(oldest_);
        return true;
    }
    if (!IsLatestNewer(latest_)) {
        if (!silent_)
            Box(CUtil::TrShown("CUpdateCheck", "当前已是最新版本！"),
                platform::MB_OK | platform::MB_ICONINFORMATION);
        return false;
    }
    if (Box(CUtil::TrShown("CUpdateCheck", "Kestrine当前有新版本，请问是否更新?"),
            platform::MB_OKCANCEL | platform::MB_ICONQUESTION) != platform::IDOK)
        return false;
    return Fetch(latest_);
}

// ---- CConsoleUpdatePrompt

CConsoleUpdatePrompt::CConsoleUpdatePrompt(std::istream& in, std::ostream& out)
    : out_(out), browser_(std::make_unique<CConsoleFolderBrowser>(in, out)) {}

CConsoleUpdatePrompt::~CConsoleUpdatePrompt() = default;

bool CConsoleUpdatePrompt::BrowseFolder(const std::string& title, std::string* folder) {
    return browser_->Browse(title, folder);
}

void CConsoleUpdatePrompt::Download(const std::string& url, const std::string& fileName,
                                    const std::string& targetPath) {
    ConsoleDownloadView view(out_);
    auto task = std::make_shared<CDownloadTask>(url, fileName, targetPath);
    if (task->Run(&view))
        out_ << CUtil::TrShown("CUpdateCheck", "下载完成: ") << targetPath << std::endl;
}
