// CWork: sign-in (authentication, registration, back-server sign-in, local folders), sign-out,
// the heartbeat's start and stop, and the pass driver's hooks into the service clients.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/locations.h"
#include "core/log.h"
#include "journal/chunkjournal.h"
#include "journal/filejournal.h"
#include "platform/file.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "platform/system.h"
#include "service/auth.h"
#include "service/back.h"
#include "service/heartbeat.h"
#include "service/transmitter.h"
#include "store/filecache.h"
#include "sync/serverpath.h"
#include "sync/work.h"
#include "util/util.h"

namespace {

constexpr const char* kSignedOutTip = KESTRINE_TR_NOOP("Work", "Kestrine云存储服务");
constexpr const char* kCaption = "Kestrine";
constexpr const char* kDelay = "delay";
constexpr int kReasonHostNotExist = 2;
constexpr int kReasonHostIdMismatch = 28;

int ReasonCode(const std::string& reason) {
    return static_cast<int>(std::strtol(reason.c_str(), nullptr, 10));
}

bool IsEmptyFolder(const std::string& folder) {
    std::vector<platform::DirEntry> entries;
    return platform::ListDir(folder, &entries) && entries.empty();
}

// End-to-end tests shorten the first wait between sign-in attempts with KESTRINE_SIGNIN_RETRY_MS;
// a value that is not a whole number from 10 to 300000 keeps `fallback`.
int RetryBaseFromEnvironment(int fallback) {
    const std::string text = platform::GetEnv("KESTRINE_SIGNIN_RETRY_MS");
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return fallback;
    const int ms = std::stoi(text);
    return ms >= 10 && ms <= 300000 ? ms : fallback;
}

// Folders of an earlier layout, named after the account's telephone number or e-mail address.
std::vector<std::string> EarlierHomeFolders(const CAuth* auth, const std::string& root) {
    std::vector<std::string> earlier;
    for (const std::string& name :
         {auth ? auth->GetTelephone() : std::string(), auth ? auth->GetEmail() : std::string()}) {
        if (name.empty())
            continue;
        // Only one plain, visible name: anything else could name a folder outside the data root,
        // or one of the client's own beside the home folder (".db", ".cache", ...).
        if (serverpath::IsPlainFolderName(name)) {
            earlier.push_back(locations::Join(root, name));
            continue;
        }
        std::string shown = name;  // no line breaks or other control bytes into the log
        for (char& c : shown)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                c = '?';
        Log(kLogWarn, "CWork::Login", "Ignore the earlier folder name \"%s\"", shown.c_str());
    }
    return earlier;
}

// The first earlier folder that exists becomes the home folder, when there is none yet.
void AdoptEarlierFolder(const std::string& home, const std::vector<std::string>& earlier) {
    const char* tag = "CWork::Login";
    if (CUtil::IsDirectory(home))
        return;
    for (const std::string& old : earlier) {
        if (!CUtil::IsDirectory(old))
            continue;
        if (CUtil::ShellRename(old, home))
            Log(kLogInfo, tag, "Rename %s to %s", old.c_str(), home.c_str());
        else
            Log(kLogError, tag, "Fail to rename %s to %s", old.c_str(), home.c_str());
        break;
    }
}

}  // namespace

int CWork::SignInRetryDelayMs(int attempt, int baseMs) {
    const int64_t cap = 60LL * baseMs;
    int64_t delay = baseMs;
    for (int i = 0; i < attempt && delay < cap; ++i)
        delay *= 2;
    return static_cast<int>(std::min(delay, cap));
}

bool CWork::SignInInterrupted() const {
    return loginCancel_.load() || logoutRequested_.load() || stopping_.load();
}

void CWork::SetLoginCancel(int on) {
    loginCancel_.store(on ? 1 : 0);
    if (on)
        WakeSignInWait();
}

void CWork::WakeSignInWait() {
    {
        // Taken so the flag cannot change between a wait's check and its sleep.
        std::lock_guard<std::mutex> lock(stopMu_);
    }
    stopCv_.notify_all();
}

bool CWork::SignInGoesOn(const char* tag) {
    if (loginCancel_.exchange(0)) {
        Log(kLogInfo, tag, "login cancel");
        ShowTip(CUtil::TrShown("Work", "退出登录 "));
        return false;
    }
    if (stopping_.load() || logoutRequested_.load()) {
        Log(kLogInfo, tag, "User request logout");
        return false;
    }
    return true;
}

bool CWork::RetrySignInLater(const char* tag, const std::string& tip) {
    if (!SignInGoesOn(tag))
        return false;
    const int ms = SignInRetryDelayMs(signInAttempt_++, RetryBaseFromEnvironment(signInRetryBaseMs_));
    Log(kLogInfo, tag, "Next attempt in %d ms", ms);
    ShowTrayState(platform::kTrayConnecting, tip);
    showsConnecting_ = true;
    Pause(ms);
    return SignInGoesOn(tag);
}

int CWork::SeverAuth() {
    const char* tag = "CWork::SeverAuth";
    Log(kLogInfo, tag, "%s", std::string(80, '+').c_str());
    ShowStatus("Connecting Auth...");
    ShowTip(CUtil::TrShown("Work", "连接认证服务器..."));

    // Without a portal address the configured endpoints and passport are used as they are.
    if (config_->Get(CConfig::kAuthServer).find("http://") == std::string::npos) {
        CUtil::SetDigestUpperCase(true);
        // The passes list the account's root by this name; no portal answer replaces it here.
        serverRoot_ = config_->Get(CConfig::kServerRoot);
        return 1;
    }
    CUtil::SetDigestUpperCase(false);
    if (!auth_) {
        Log(kLogError, tag, "Fail to get a auth!");
        ShowTip(CUtil::TrShown("Work", " 认证失败 "));
        return 0;
    }
    auth_->SetDomain(config_->Get(CConfig::kDomain));
    const CConfig::Proxy proxy = config_->GetProxy();
    auth_->SetProxy(proxy.type, proxy.addr, proxy.user, proxy.passwd);

    // The account whose data the home folder holds. A table that cannot be read must not pass
    // for "no earlier account": that would clear the home folder without asking.
    if (!config_->OpenDB()) {
        Log(kLogError, tag, "Fail to read server_root from \"%s\"", config_->Path().c_str());
        ShowTip(CUtil::TrShown("Work", " 认证失败 "));
        return 0;
    }
    std::string storedRoot;
    config_->GetValueByKey(CConfig::KeyName(CConfig::kServerRoot), &storedRoot);
    config_->CloseDB();
    serverRoot_ = storedRoot;

    std::string passport;
    for (;;) {
        const std::string user = GetUser();
        const std::string password = GetPassword();
        if (user.empty() || password.empty()) {
            // Nothing to send: retrying would wait for an answer that never comes.
            Log(kLogError, tag, "%s Auth failed: no account or password", user.c_str());
            ShowTip(CUtil::TrShown("Work", " 认证失败 "));
            return 0;
        }
        if (auth_->Request(&passport, user, password))
            break;
        const int status = auth_->GetResponseCode();
        if (status != 0) {
            Log(kLogError, tag, "%s Auth failed:%d", user.c_str(), status);
            ShowTip(CUtil::TrShown("Work", " 认证失败 "));
            ShowBalloon(CUtil::TrShown("Work", " 认证失败 "), user);
            return 0;
        }
        Log(kLogError, tag, "No response from Auth server, reconnecting...");
        ShowTip(CUtil::TrShown("Work", "认证服务器没有响应,重新连接..."));
        if (!RetrySignInLater(tag, CUtil::TrShown("Work", "认证服务器没有响应,重新连接...")))
            return 0;
        ShowTip(CUtil::TrShown("Work", "连接认证服务器..."));
    }

    // Account change: another account's data is in the home folder.
    const std::string authRoot = auth_->GetRootFolder();
    if (authRoot != serverRoot_) {
        if (!serverRoot_.empty()) {
            int answer = platform::ShowMessageBox(
                CUtil::TrShown("Work", "更换用户？ 原用户数据将被移除，请做好备份..."), kCaption,
                platform::MB_OKCANCEL | platform::MB_ICONQUESTION);
            if (answer != platform::IDOK) {
                Log(kLogInfo, tag, "Account change to \"%s\" declined", authRoot.c_str());
                return 0;
            }
        }
        resetUserData_.store(1);
        previousRoot_ = serverRoot_;
        serverRoot_ = authRoot;
    }

    config_->Set(CConfig::kPassport, passport);
    config_->Set(CConfig::kDomain, auth_->GetDomain());
    config_->Set(CConfig::kBackServer, auth_->GetBackServer());
    config_->Set(CConfig::kTransmiterServer, auth_->GetTransmitterServer());
    config_->Set(CConfig::kHeartbeatServer, auth_->GetHeartBeatServer());
    Log(kLogInfo, tag, "Auth OK: %s", GetUser().c_str());
    return 1;
}

// Clears what a sign-in with another account must not inherit: the home folder, the journals and
// the chunk cache. False when the home folder stays in the way.
bool CWork::ClearUserData(const std::string& home) {
    const char* tag = "CWork::Login";
    if (CUtil::IsDirectory(home)) {
        if (previousRoot_.empty() && !IsEmptyFolder(home)) {
            // No account is known to own these files (a first sign-in, or a lost database), and
            // nobody agreed to their removal: keep them beside the new home folder.
            const std::string kept = CUtil::GetConflictName(home);
            if (!CUtil::ShellRename(home, kept)) {
                Log(kLogError, tag, "Fail to move the earlier home folder %s to %s", home.c_str(),
                    kept.c_str());
                platform::ShowMessageBox(CUtil::TrShown("Work", "旧目录数据正在被其他程序使用\n请手动删除."),
                                         kCaption, platform::MB_OKCANCEL | platform::MB_ICONQUESTION);
                return false;
            }
            Log(kLogWarn, tag, "Earlier home folder kept as %s", kept.c_str());
            ShowBalloon(CUtil::TrShown("Work", "本地原有数据已移至: ") + kept, GetUser());
        } else if (!CUtil::DeleteFolder(home)) {
            Log(kLogError, tag, "Fail to delete the earlier home folder %s", home.c_str());
            platform::ShowMessageBox(CUtil::TrShown("Work", "旧目录数据正在被其他程序使用\n请手动删除."),
                                     kCaption, platform::MB_OKCANCEL | platform::MB_ICONQUESTION);
            return false;
        }
    }
    fileJournal_->CleanDB();
    chunkJournal_->CleanDB();
    // The earlier account's data is gone. Another clearing for the same change (a sign-in again
    // before the full download ended) finds only what was saved since, which nobody agreed to lose.
    previousRoot_.clear();
    return true;
}

int CWork::Login() {
    const char* tag = "CWork::Login";
    if (!AppLogger())
        RunInitLogHook();
    if (!config_ || !back_ || !transmitter_ || !fileJournal_ || !chunkJournal_ || !fileCache_) {
        Log(kLogError, tag, "The worker is not initialised");
        return 0;
    }

    // While the sign-in runs, the dialog's Cancel and a sign-out end its request in flight and
    // its waits; afterwards the clients' calls run unasked again.
    struct SignInScope {
        CWork* work;
        int result = 0;
        explicit SignInScope(CWork* w) : work(w) {
            work->signingIn_ = true;
            work->signInAttempt_ = 0;
            work->showsConnecting_ = false;
            auto interrupted = [w] { return w->SignInInterrupted(); };
            if (work->auth_)
                work->auth_->SetAbort(interrupted);
            work->back_->Channel().SetAbort(interrupted);
        }
        ~SignInScope() {
            work->signingIn_ = false;
            if (work->auth_)
                work->auth_->SetAbort(nullptr);
            work->back_->Channel().SetAbort(nullptr);
            if (result != 1 && work->showsConnecting_)
                work->ShowTrayIcon(false);  // no longer connecting: signed out
            if (result == 1)
                work->loginCancel_.store(0);  // a Cancel that came too late has nothing to end
        }
    } scope(this);
    scope.result = SignInSteps();
    return scope.result;
}

int CWork::SignInSteps() {
    const char* tag = "CWork::Login";
    if (!SeverAuth())
        return 0;
    const std::string user = GetUser();
    if (!InitServiceClients(user))
        return 0;
    const std::string home = PrepareLocalFolders();
    const std::vector<std::string> earlier = EarlierHomeFolders(auth_.get(), rootPath_);

    bool registeredNow = false;
    for (;;) {
        if (stopping_.load() || logoutRequested_.load()) {
            Log(kLogInfo, tag, "User request logout");
            return 0;
        }
        // 1. Registration of this computer.
        if (resetUserData_.load() || config_->Get(CConfig::kHostId).empty()) {
            const SignInStep registered = RegisterHost(home);
            if (registered == SignInStep::kAgain)
                continue;
            if (registered == SignInStep::kFailed)
                return 0;
            registeredNow = true;
        }
        // 2. An earlier layout's account folder becomes the home folder.
        AdoptEarlierFolder(home, earlier);
        // 3. The back-server sign-in.
        const SignInStep signedIn = BackSignIn(registeredNow);
        if (signedIn == SignInStep::kDone)
            break;
        if (signedIn == SignInStep::kFailed)
            return 0;
    }
    return FinishSignIn(home, user);
}

bool CWork::InitServiceClients(const std::string& user) {
    const char* tag = "CWork::Login";
    const std::string password = GetPassword();
    const CConfig::Proxy proxy = config_->GetProxy();
    ShowTip(CUtil::TrShown("Work", "连接 back服务器..."));
    back_->SetProxy(proxy.type, proxy.addr, proxy.user, proxy.passwd);
    if (!back_->Init(config_->Get(CConfig::kBackServer), user, password, config_->Get(CConfig::kHostId),
                     config_->Get(CConfig::kInstallPath))) {
        Log(kLogError, tag, "Fail to Init Backer");
        ShowTip(CUtil::TrShown("Work", "初始化back服务器失败"));
        return false;
    }
    transmitter_->SetProxy(proxy.type, proxy.addr, proxy.user, proxy.passwd);
    if (!transmitter_->Init(config_->Get(CConfig::kTransmiterServer), user, password,
                            config_->Get(CConfig::kHostId), config_->Get(CConfig::kInstallPath))) {
        Log(kLogError, tag, "Fail to Init Transmitter");
        ShowTip(CUtil::TrShown("Work", "初始化Transmitter 失败"));
        return false;
    }
    back_->SetCredentials(user, password, config_->Get(CConfig::kPassport));
    return true;
}

std::string CWork::PrepareLocalFolders() {
    const char* tag = "CWork::Login";
    const std::string cache = locations::CacheFolder(rootPath_);
    if (!fileCache_->SetCache(cache))
        Log(kLogError, tag, "Fail to set the chunk cache folder %s", cache.c_str());
    const std::string trash = locations::TrashFolder(rootPath_);
    if (fileCache_->SetTrash(trash))
        fileCache_->PruneTrash(CFileCache::kTrashDays, platform::UnixTimeNow());
    else
        Log(kLogError, tag, "Fail to set the trash folder %s", trash.c_str());
    std::string home = locations::HomeFolder(rootPath_);
    Log(kLogInfo, tag, "Home folder: %s", home.c_str());
    CUtil::SetShellFolderTarget(home);
    return home;
}

std::optional<CWork::SignInStep> CWork::RetryAfterSignInFailure(const char* tag, const std::string& ack) {
    if (ack == kDelay) {
        ShowTip(CUtil::TrShown("Work", "与服务器连接中断..."));
        Pause(loginRetryMs_);
        return SignInStep::kAgain;
    }
    if (ack.empty() && (back_->Channel().LastCallUnanswered() || SignInInterrupted())) {
        ShowTip(CUtil::TrShown("Work", "与服务器连接中断..."));
        return RetrySignInLater(tag, CUtil::TrShown("Work", "与服务器连接中断...")) ? SignInStep::kAgain
                                                                                    : SignInStep::kFailed;
    }
    return std::nullopt;
}

CWork::SignInStep CWork::RegisterHost(const std::string& home) {
    const char* tag = "CWork::Login";
    std::string ack;
    if (!back_->GetHostID(config_->Get(CConfig::kHostName), &ack)) {
        LogText(kLogError, tag, "Login failed：ack " + ack + " error: " + back_->GetReason());
        ShowTip(CUtil::TrShown("Work", "登录失败"));
        return RetryAfterSignInFailure(tag, ack).value_or(SignInStep::kFailed);
    }
    config_->Set(CConfig::kHostId, ack);
    back_->SetHostID(ack);
    // The transmitter was set up with the id from before the registration.
    transmitter_->Channel().SetHostID(ack);
    if (resetUserData_.load() && !ClearUserData(home)) {
        config_->Store();
        return SignInStep::kFailed;
    }
    if (!fileCache_->CleanCache())
        Log(kLogWarn, tag, "Fail to clean local cache");
    return SignInStep::kDone;
}

CWork::SignInStep CWork::BackSignIn(bool registeredNow) {
    const char* tag = "CWork::Login";
    std::string ack;
    if (back_->Login(&ack))
        return SignInStep::kDone;
    const std::string failed = "Login failed：" + back_->GetReason();
    ShowStatus(failed);
    LogText(kLogError, tag, failed);
    ShowTip(CUtil::TrShown("Work", "登录失败"));
    if (const std::optional<SignInStep> retry = RetryAfterSignInFailure(tag, ack))
        return *retry;
    // Without a reply head the reason is the one of an earlier call.
    const int code = ack.empty() ? 0 : ReasonCode(back_->GetLastReason());
    if (code != kReasonHostNotExist && code != kReasonHostIdMismatch)
        return SignInStep::kFailed;
    if (registeredNow) {
        // Refused right after a registration: registering again would loop without end.
        Log(kLogError, tag, "The service refuses the host id it has just given");
        return SignInStep::kFailed;
    }
    config_->Set(CConfig::kHostId, "");
    ShowBalloon(CUtil::TrShown("Work", "本机与服务器的连接已被断开，将重新连接服务器获取新凭证..."),
                config_->Get(CConfig::kLoginUser));
    return SignInStep::kAgain;
}

int CWork::FinishSignIn(const std::string& home, const std::string& user) {
    const char* tag = "CWork::Login";
    config_->Store();
    // A home folder that vanished while the journal remembers files is not made again empty:
    // the first pass pauses instead (CheckHome).
    if (!fileCache_->SetRoot(home, resetUserData_.load() || !HomeVanished(home))) {
        Log(kLogError, tag, "Fail to create a local user folder： %s", home.c_str());
        ShowTip(CUtil::TrShown("Work", "创建用户本地根目录失败： ") + home);
        return 0;
    }
    fileCache_->SetHomeFolderIcon(home);

    ready_.store(1);
    signedIn_.store(1);
    ClearRecentNames();
    ClearFilteredPaths();
    Request(platform::WM_WORK_SYNC, 0);
    StartFileMonitor(home);
    // A heartbeat of an earlier host id or account would fail every cycle: it starts anew.
    if (heartBeat_ && (heartBeat_->Channel().HostID() != config_->Get(CConfig::kHostId) ||
                       heartBeat_->Channel().UserName() != user))
        StopHeartBeat();
    StartHeartBeat();

    ShowTip(user);
    ShowTrayIcon(true);
    return 1;
}

int CWork::StartHeartBeat() {
    if (heartBeat_)
        return 1;  // a re-sign-in keeps the running one
    heartBeat_ = std::make_unique<CHeartBeat>();
    const CConfig::Proxy proxy = config_->GetProxy();
    heartBeat_->SetProxy(proxy.type, proxy.addr, proxy.user, proxy.passwd);
    if (!heartBeat_->Init(thread_.Id(), config_->Get(CConfig::kHeartbeatServer), GetUser(), GetPassword(),
                          config_->Get(CConfig::kHostId), config_->Get(CConfig::kInstallPath))) {
        // The failed client stays until the sign-out drops it.
        Log(kLogFatal, "CWork::StartHeartBeat", "Fail to Init HeartBeater");
        return 0;
    }
    return 1;
}

void CWork::StopHeartBeat() {
    if (heartBeat_)
        CHeartBeat::StopAndRelease(std::move(heartBeat_));
}

void CWork::Logout() {
    StopHeartBeat();
    StopFileMonitor();
    if (fileCache_)
        fileCache_->SharedStatus().Reset();
    ResetChannels();

    signedIn_.store(0);
    ready_.store(0);
    ClearRecentNames();
    ClearFilteredPaths();
    skipped_.Clear();
    logoutRequested_.store(0);

    ShowTrayState(platform::kTrayIdle, kSignedOutTip);
    ShowTip(CUtil::TrShown("Work", kSignedOutTip));
    ShowTrayIcon(false);
}

// ---- The pass driver's hooks.

std::string CWork::LastReason() {
    return back_ ? back_->GetLastReason() : std::string();
}

void CWork::ClearReason() {
    if (back_)
        back_->ClearReason();
}

void CWork::ResetChannels() {
    if (back_)
        back_->Reset();
    if (transmitter_)
        transmitter_->Reset();
}

void CWork::ReportPassResult(int succeeded) {
    if (heartBeat_)
        heartBeat_->SetLastPassResult(succeeded);
}
