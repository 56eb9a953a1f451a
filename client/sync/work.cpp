// CWork: construction, CWork::Init, teardown and the accessors.
#include "sync/work.h"

#include <new>

#include "core/config.h"
#include "core/locations.h"
#include "core/log.h"
#include "core/logger.h"
#include "journal/chunkjournal.h"
#include "journal/filejournal.h"
#include "platform/filemode.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "service/auth.h"
#include "service/back.h"
#include "service/heartbeat.h"
#include "service/transmitter.h"
#include "store/filecache.h"
#include "sync/transferlanes.h"
#include "util/util.h"

namespace {

constexpr const char* kCaption = "Kestrine";

void FillDefault(CConfig* config, CConfig::Key key, const std::string& value) {
    if (config->Get(key).empty())
        config->Set(key, value);
}

}  // namespace

CWork::CWork() = default;

CWork::~CWork() {
    // Pass loops and pauses watch the stop flag, so the join ends once the current step ends.
    Stop(-1);
    ready_.store(0);
}

int CWork::Init() {
    skipped_.SetDelays(CHeartBeat::ConfiguredCycleMs(), 60LL * CHeartBeat::ConfiguredCycleMs());
    // 1. The worker thread.
    if (!StartThread()) {
        Log(kLogError, "CWork::Init", "Fail to create thread worker");
        return 0;
    }

    // 2. Install and root folders, the database folder and the database path.
    installPath_ = locations::InstallFolder();
    rootPath_ = locations::RootFolder();
    if (int loose = locations::TightenDataRoot(rootPath_))
        Log(kLogWarn, "CWork::Init", "%d of the data folder's entries could not be made private", loose);
    locations::PrepareDatabaseFolder(rootPath_);  // a missing folder shows as a failed open below
    dbPath_ = locations::DatabasePath(rootPath_);
    // SQLite gives its side files the database's mode, so they follow this one.
    if (platform::IsDirectory(locations::DatabaseFolder(rootPath_)) && !platform::MakeFilePrivate(dbPath_))
        Log(kLogWarn, "CWork::Init", "Fail to make \"%s\" private", dbPath_.c_str());
    std::string dbPathUtf8 = dbPath_;
    CUtil::AnsiToUtf8(dbPathUtf8);

    // 3. The configuration.
    config_ = std::make_unique<CConfig>();
    if (!config_->Init(dbPathUtf8)) {
        Log(kLogError, "CWork::Init", "DB file could not be opened!");
        return 0;
    }
    if (!config_->Load()) {
        Log(kLogError, "CWork::Init", "Fail to open DB \"%s\"", dbPath_.c_str());
        platform::ShowMessageBox("Fail to open DB \"" + dbPath_ + "\"", kCaption,
                                 platform::MB_OK | platform::MB_ICONERROR);
        return 0;
    }

    // 4. The folders in use.
    config_->Set(CConfig::kInstallPath, installPath_);
    config_->Set(CConfig::kRootPath, rootPath_);

    // 5. Defaults for empty values.
    const std::string host = CConfig::ServiceHost();
    FillDefault(config_.get(), CConfig::kSchemaVersion, "1001");
    FillDefault(config_.get(), CConfig::kLogLevel, "4");
    FillDefault(config_.get(), CConfig::kBackServer, "http://" + host + "/axis2/services/mirn_service_bs");
    FillDefault(config_.get(), CConfig::kTransmiterServer,
                "http://" + host + "/axis2/services/mirn_service_trs");
    FillDefault(config_.get(), CConfig::kHeartbeatServer,
                "http://" + host + "/axis2/services/mirn_service_hb");
    if (config_->Get(CConfig::kAuthServer).empty()) {
        config_->Set(CConfig::kAuthServer, "http://" + host);
        config_->Set(CConfig::kDomain, CConfig::ServiceDomain());
    }

    // 6. Persist them.
    if (!config_->Store()) {
        Log(kLogError, "CWork::Init", "Fail to open \"%s\"", dbPath_.c_str());
        platform::ShowMessageBox("Fail to open \"" + dbPath_ + "\"", kCaption,
                                 platform::MB_OK | platform::MB_ICONERROR);
        return 0;
    }

    // 7. The configured log level.
    if (CLogger* logger = AppLogger())
        logger->SetLevel(config_->Get(CConfig::kLogLevel));

    // 8. The back client, then the transmitter (set up at each sign-in).
    back_.reset(new (std::nothrow) CBack());
    if (!back_) {
        Log(kLogError, "CWork::Init", "Fail to create backer!");
        return 0;
    }
    transmitter_.reset(new (std::nothrow) CTransmitter());
    if (!transmitter_) {
        Log(kLogError, "CWork::Init", "Fail to create transmitter!");
        return 0;
    }

    // 9. The file journal and the chunk journal, in the same database file.
    fileJournal_ = std::make_unique<CFileJournal>();
    chunkJournal_ = std::make_unique<CChunkJournal>();
    if (!fileJournal_->Init(dbPathUtf8) || !chunkJournal_->Init(dbPathUtf8)) {
        Log(kLogError, "CWork::Init", "DB file could not be opened!");
        return 0;
    }

    // 10. The file cache on the root folder.
    fileCache_ = std::make_unique<CFileCache>();
    if (!fileCache_->Init(rootPath_)) {
        Log(kLogError, "CWork::Init", "Fail to scan directory \"%s\"", rootPath_.c_str());
        return 0;
    }

    // 11. The auth client with the account in use (the configuration holds the password decoded).
    // Without it the sign-in cannot authenticate, but the client still starts.
    auth_.reset(new (std::nothrow) CAuth());
    SetUser(config_->Get(CConfig::kLoginUser));
    SetPassword(config_->Get(CConfig::kLoginPasswd));
    if (!auth_ || !auth_->Init(config_->Get(CConfig::kAuthServer), GetUser(), GetPassword()))
        Log(kLogError, "CWork::Init", "Fail to get a auth!");
    return 1;
}

std::string CWork::GetUser() const {
    std::lock_guard<std::mutex> lock(mu_);
    return user_;
}

void CWork::SetUser(const std::string& user) {
    std::lock_guard<std::mutex> lock(mu_);
    user_ = user;
}

std::string CWork::GetPassword() const {
    std::lock_guard<std::mutex> lock(mu_);
    return password_;
}

void CWork::SetPassword(const std::string& password) {
    std::lock_guard<std::mutex> lock(mu_);
    password_ = password;
}

size_t CWork::GetRecentCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return recentDropped_ + recentNames_.size();
}

std::string CWork::GetRecentItem(size_t index) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (index < recentDropped_ || index - recentDropped_ >= recentNames_.size())
        return std::string();
    return recentNames_[index - recentDropped_];
}

void CWork::AddRecentName(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mu_);
    recentNames_.push_back(entry);
    // Only the menu reads older names, and it shows the last kKept.
    if (recentNames_.size() > static_cast<size_t>(recent::kKept)) {
        recentNames_.erase(recentNames_.begin());
        ++recentDropped_;
    }
}

void CWork::ClearRecentNames() {
    std::lock_guard<std::mutex> lock(mu_);
    recentNames_.clear();
    recentDropped_ = 0;
}

void CWork::AddFilteredPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    filteredPaths_.push_back(path);
}

std::vector<std::string> CWork::GetFilteredPaths() const {
    std::lock_guard<std::mutex> lock(mu_);
    return filteredPaths_;
}

void CWork::ClearFilteredPaths() {
    std::lock_guard<std::mutex> lock(mu_);
    filteredPaths_.clear();
}

void CWork::ShowStatus(const std::string& text) {
    platform::SendToMain(platform::WM_SETMESSAGESTRING, 0, text);
}

void CWork::ShowTip(const std::string& text) {
    platform::SendToMain(platform::WM_TRAY_TIP, 0, text);
}

void CWork::ShowHalted(int why, const std::string& text) {
    platform::SendToMain(platform::WM_SYNC_HALTED, why, text);
}

void CWork::ShowTrayState(int state, const std::string& tip) {
    status_.SetTrayState(state);
    platform::SendToMain(platform::WM_TRAY_STATE, state, WithWatchNote(tip));
}

void CWork::ShowBalloon(const std::string& text, const std::string& title) {
    platform::SendToMain(platform::WM_TRAY_BALLOON, 0, text, title);
}

void CWork::ShowTrayIcon(bool signedIn) {
    if (signedIn && config_)
        platform::SendToMain(platform::WM_HOST_NAME, 0, config_->Get(CConfig::kHostName));
    platform::SendToMain(platform::WM_TRAY_ICON, signedIn ? 1 : 0, signedIn ? GetUser() : std::string());
}
