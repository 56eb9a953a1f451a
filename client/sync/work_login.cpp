// CWork: sign-in, sign-out, and the start and stop of what a sign-in runs (heartbeat, watcher).
#include "core/log.h"
#include "platform/messages.h"
#include "store/filecache.h"
#include "sync/work.h"

namespace {

constexpr const char* kSignedOutTip = "Kestrine云存储服务";

}  // namespace

int CWork::Login() {
    if (!AppLogger())
        RunInitLogHook();
    // The sign-in sequence (authentication, registration, back-server sign-in) is not built yet:
    // say so rather than pretend a success.
    Log(kLogWarn, "CWork::Login", "Sign-in is not available in this build yet");
    return 0;
}

void CWork::Rename(const std::string& oldName, const std::string& newName) {
    Log(kLogInfo, "CWork::Rename", "Rename \"%s\" to \"%s\" is not handled in this build yet",
        oldName.c_str(), newName.c_str());
}

void CWork::StopHeartBeat() {
    // No heartbeat client exists until the heartbeat is built; nothing to stop.
}

void CWork::StopFileMonitor() {
    // The watcher joins later; what it filtered is forgotten with it.
    ClearFilteredPaths();
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
    logoutRequested_.store(0);

    ShowTrayState(platform::kTrayIdle, kSignedOutTip);
    ShowTip(kSignedOutTip);
    ShowTrayIcon(false);
}
