#include "support/loginwork.h"

#include <cctype>
#include <chrono>
#include <string>

#include "core/config.h"
#include "platform/messages.h"
#include "platform/registry.h"
#include "support/sqlquery.h"
#include "util/util.h"

namespace testsupport {

namespace {

// Waits for one message posted to a reply window.
class ReplyWindow {
  public:
    ReplyWindow() {
        handle_ = platform::RegisterWindow([this](const platform::WindowMessage& m) {
            std::lock_guard<std::mutex> lock(mu_);
            got_.push_back(m);
            cv_.notify_all();
        });
    }
    ~ReplyWindow() { platform::UnregisterWindow(handle_); }
    platform::WindowHandle Handle() const { return handle_; }
    bool Wait(int timeoutMs, platform::WindowMessage* out) {
        std::unique_lock<std::mutex> lock(mu_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !got_.empty(); }))
            return false;
        *out = got_.front();
        return true;
    }

  private:
    platform::WindowHandle handle_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<platform::WindowMessage> got_;
};

}  // namespace

std::vector<int> LoginWork::Pauses() {
    std::lock_guard<std::mutex> lock(mu_);
    return pauses_;
}

int LoginWork::Passes() {
    std::lock_guard<std::mutex> lock(mu_);
    return passes_;
}

bool LoginWork::WaitForPasses(int n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return passes_ >= n; });
}

int LoginWork::SignIn(int timeoutMs) {
    ReplyWindow reply;
    if (Request(platform::WM_WORK_LOGIN, reply.Handle()) != 1)
        return -1;
    platform::WindowMessage m;
    if (!reply.Wait(timeoutMs, &m))
        return -1;
    return static_cast<int>(m.wParam);
}

bool LoginWork::SignOut(int timeoutMs) {
    ReplyWindow reply;
    if (Request(platform::WM_WORK_LOGOUT, reply.Handle()) != 1)
        return false;
    platform::WindowMessage m;
    return reply.Wait(timeoutMs, &m);
}

void LoginWork::Pause(int ms) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        pauses_.push_back(ms);
    }
    if (onPause)
        onPause(*this, ms);
    if (realPause.load())
        CWork::Pause(ms);
}

int LoginWork::RunPass() {
    int index;
    {
        std::lock_guard<std::mutex> lock(mu_);
        index = started_++;
    }
    int result = 1;
    if (pass) {
        result = pass(*this, index);
    } else if (IsResetUserData()) {
        // As a pass ends its full download: the account's server root is stored.
        GetConfig()->Set(CConfig::kServerRoot, GetServerRoot());
        GetConfig()->Store();
        SetResetUserData(0);
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++passes_;
    }
    cv_.notify_all();
    return result;
}

void LoginFixture::SetUp() {
    platform::SetMainWindow(&front_);
    platform::SeedRegistryDefaults();
    ASSERT_TRUE(server_.Start()) << server_.Error();
    env_.Set("KESTRINE_SERVICE_HOST", "127.0.0.1:" + std::to_string(server_.Port()));
}

void LoginFixture::TearDown() {
    platform::SetMainWindow(nullptr);
    CUtil::SetDigestUpperCase(false);
}

std::unique_ptr<LoginWork> LoginFixture::NewWork(const std::string& user, const std::string& password,
                                                 const std::string& hostName) {
    auto w = std::make_unique<LoginWork>();
    EXPECT_EQ(w->Init(), 1);
    w->SetUser(user);
    w->SetPassword(password);
    if (w->GetConfig()) {
        w->GetConfig()->Set(CConfig::kLoginUser, user);
        w->GetConfig()->Set(CConfig::kLoginPasswd, password);
        if (w->GetConfig()->Get(CConfig::kHostName).empty())
            w->GetConfig()->Set(CConfig::kHostName, hostName);
    }
    return w;
}

std::string LoginFixture::Stored(const std::string& key) const {
    return StoredConfig(DbFile(), key);
}

int LoginFixture::Rows(const std::string& table) const {
    // Counted in the table itself: the chunk journal has no reading of all its rows.
    const std::string count = Query(DbFile(), "SELECT count(*) FROM \"" + table + "\"");
    return !count.empty() && std::isdigit(static_cast<unsigned char>(count[0])) ? std::stoi(count) : -1;
}

int LoginFixture::Requests(const std::string& op) {
    // The service logs each request as one line "... METHOD PATH STATUS OPERATION user=...".
    const bool portal = op.rfind("portal:", 0) == 0;
    const std::string needle = portal ? op.substr(7) : " " + op + " user=";
    const std::string where = portal ? "/mirnportal/" : "/axis2/services/";
    const std::string out = server_.Output();
    int n = 0;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(start, end - start);
        if (line.find(where) != std::string::npos && line.find(needle) != std::string::npos)
            ++n;
        start = end + 1;
    }
    return n;
}

bool LoginFixture::HasText(uint32_t code, const std::string& text) {
    for (const std::string& t : front_.Texts(code)) {
        if (t == text)
            return true;
    }
    return false;
}

}  // namespace testsupport
