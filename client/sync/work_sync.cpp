// CWork: the pass driver (CheckSync) with its seams, and the pass itself (Sync) with its phases.
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "core/log.h"
#include "journal/chunkjournal.h"
#include "journal/filejournal.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "service/heartbeat.h"
#include "store/filecache.h"
#include "sync/transferlanes.h"
#include "sync/work.h"
#include "util/util.h"

namespace {

constexpr int kPassRestMs = 1000;        // after every pass
constexpr int kChunkRetryRestMs = 5000;  // more after a pass that could not read a local chunk
constexpr const char* kFailLoadChunk = "fail load chunk";
constexpr int kReasonHostIdMismatch = 28;
constexpr int kReasonPassportInvalid = 29;

// The back client's reason is a decimal code; an empty or non-numeric text reads as 0.
int ReasonCode(const std::string& reason) {
    return static_cast<int>(std::strtol(reason.c_str(), nullptr, 10));
}

// The reason texts of CUtil::GetErrorMessage for the translation tools; the table itself is
// also what the log and the service read, so it is translated only where it is shown.
[[maybe_unused]] constexpr const char* kShownReasons[] = {
    KESTRINE_TR_NOOP("Reason", "重复用户"),
    KESTRINE_TR_NOOP("Reason", "主机名不存在"),
    KESTRINE_TR_NOOP("Reason", "旧文件不存在"),
    KESTRINE_TR_NOOP("Reason", "旧文件被删除"),
    KESTRINE_TR_NOOP("Reason", "目录"),
    KESTRINE_TR_NOOP("Reason", "密码不正确"),
    KESTRINE_TR_NOOP("Reason", "文件不存在"),
    KESTRINE_TR_NOOP("Reason", "服务器数据库错误"),
    KESTRINE_TR_NOOP("Reason", "请求数据流错误"),
    KESTRINE_TR_NOOP("Reason", "操作对象不是目录"),
    KESTRINE_TR_NOOP("Reason", "文件未删除"),
    KESTRINE_TR_NOOP("Reason", "目录没有版本信息"),
    KESTRINE_TR_NOOP("Reason", "服务器系统内存不足"),
    KESTRINE_TR_NOOP("Reason", "目录已经被共享"),
    KESTRINE_TR_NOOP("Reason", "目录不是共享目录"),
    KESTRINE_TR_NOOP("Reason", "文件格式错误"),
    KESTRINE_TR_NOOP("Reason", "目录拥有者不能离开共享"),
    KESTRINE_TR_NOOP("Reason", "您不是目录拥有者"),
    KESTRINE_TR_NOOP("Reason", "文件不属于你"),
    KESTRINE_TR_NOOP("Reason", "父目录不存在"),
    KESTRINE_TR_NOOP("Reason", "关键字不存在"),
    KESTRINE_TR_NOOP("Reason", "用户状态错误"),
    KESTRINE_TR_NOOP("Reason", "用户不存在"),
    KESTRINE_TR_NOOP("Reason", "服务器流错误"),
    KESTRINE_TR_NOOP("Reason", "文件总容量超出最大限额"),
    KESTRINE_TR_NOOP("Reason", "修改文件名：新文件"),
    KESTRINE_TR_NOOP("Reason", "存储相同的版本"),
    KESTRINE_TR_NOOP("Reason", "主机名不匹配"),
    KESTRINE_TR_NOOP("Reason", "验证码失效"),
};

std::string NotSyncedText(size_t count) {
    return std::to_string(count) + (count == 1 ? " item not synced" : " items not synced");
}

int64_t NowMs() {
    return CHeartBeat::SteadyNowMs();
}

}  // namespace

std::string CWork::ServerMessage(int code) {
    const std::string reason = CUtil::GetErrorMessage(code);
    return CUtil::TrShown("Work", "服务器信息: ") + CUtil::TrShown("Reason", reason.c_str());
}

int CWork::RunPass() {
    return Sync();
}
int CWork::RunLogin() {
    return Login();
}
bool CWork::CleanChunkCache() {
    return fileCache_ ? fileCache_->CleanCache() : true;
}
void CWork::ScheduleRetry(int64_t steadyMs) {
    if (heartBeat_)
        heartBeat_->SetRetryAt(steadyMs);
}

bool CWork::MayTryItem(const std::string& path) {
    if (skipped_.MayTry(path, NowMs()))
        return true;
    Log(kLogDebug, "CWork::MayTryItem", "Wait before %s is tried again", path.c_str());
    return false;
}

void CWork::SkipItem(const std::string& path, const std::string& reason, bool scheduled) {
    const bool added = scheduled ? skipped_.Fail(path, reason, NowMs()) : skipped_.Note(path, reason);
    if (!added)
        return;
    LogText(kLogWarn, "CWork::SkipItem", "Not synced: " + path + ": " + reason);
    platform::SendToMain(platform::WM_ITEM_NOT_SYNCED, 0, path, reason);
}

bool CWork::SessionRefused(const std::string& reason) {
    const int code = ReasonCode(reason);
    return code == kReasonPassportInvalid || code == kReasonHostIdMismatch;
}

bool CWork::RunItem(const std::string& path, const char* reason, const std::function<int()>& item,
                    bool settles) {
    itemReason_.clear();
    itemScheduled_ = true;
    ClearReason();
    // Posted: the window's progress must not hold the pass up.
    platform::PostToMain(platform::WM_SYNC_PROGRESS, passItems_, path);
    const int before = passSucceeded_.exchange(1);
    const bool failed = item() != 1 || passSucceeded_.load() == 0;
    passSucceeded_.store(before);
    if (StopRequested()) {
        passSucceeded_.store(0);
        return false;
    }
    if (!failed) {
        ++passItems_;
        if (settles)
            skipped_.Succeed(path);
        return true;
    }
    if (SessionRefused(LastReason())) {
        // Not the item's fault: every later request would be refused alike.
        passSucceeded_.store(0);
        sessionLost_ = true;
        return false;
    }
    SkipItem(path, itemReason_.empty() ? std::string(reason) : itemReason_, itemScheduled_);
    return true;
}

bool CWork::LoadJournalMaps(const char* tag, const char* mapFailure, const char* shareFailure) {
    if (!fileJournal_->LoadMap()) {
        Log(kLogError, tag, "%s", mapFailure);
        return false;
    }
    if (!fileJournal_->LoadDBShareMap()) {
        Log(kLogError, tag, "%s", shareFailure);
        return false;
    }
    return true;
}

bool CWork::ScanLocal() {
    std::map<std::string, std::string> known;
    for (const auto& [id, path] : fileJournal_->OnDiskShares()) {
        std::string rel = path;
        if (fileJournal_->TrimDBServerPah(rel))
            known[id] = rel;
    }
    fileCache_->SetKnownShares(std::move(known));
    return fileCache_->ScanRoot();
}

int CWork::Sync() {
    const char* tag = "CWork::Sync";
    if (!fileJournal_ || !chunkJournal_ || !fileCache_ || !back_ || !transmitter_) {
        Log(kLogError, tag, "The worker is not initialised");
        return 0;
    }
    Log(kLogInfo, tag, "----------------------- sync start---------------------------");
    // The chunk journal's connection and the upload lanes last one pass; none is held while idle.
    struct PassEnd {
        CWork* work;
        ~PassEnd() {
            work->chunkJournal_->CloseDB();
            work->lanes_.reset();
            work->lanesFailed_ = false;
        }
    } passEnd{this};
    sessionLost_ = false;
    passItems_ = 0;
    skipped_.BeginPass();

    // 1. What the service holds, as pending versions and tombstones in the journal.
    if (resetUserData_.load() || startOver_) {
        Log(kLogInfo, tag, "---- download all ----");
        // Nothing of another account, or of a half-finished full download, may be trusted.
        if (!fileJournal_->CleanDB())
            return 0;
        if (!GetAll() || sessionLost_)
            return 0;
        resetUserData_.store(0);
        startOver_ = false;
    } else {
        Log(kLogInfo, tag, "---- get job ----");
        if (!GetServerList() || sessionLost_)
            return 0;
    }

    // 2. Server changes down. Items that fail are skipped; the uploads still go.
    Log(kLogInfo, tag, "---- downloading  ----");
    if (!Download() || sessionLost_)
        return 0;

    // 3. Local changes up.
    Log(kLogInfo, tag, "---- upload ----");
    if (!Upload() || sessionLost_)
        return 0;
    // Every phase ran: what no phase met again (removed meanwhile) is no longer listed.
    if (!StopRequested())
        skipped_.EndPass();

    Log(kLogInfo, tag, "------------------------ sync end ---------------------------");
    CUtil::RefreshExplorer();
    return 1;
}

int CWork::CheckLogOut() {
    if (!logoutRequested_.load() && !stopping_.load())
        return 0;
    Log(kLogInfo, "CWork::CheckLogOut", "User request logout");
    passSucceeded_.store(0);
    return 1;
}

void CWork::CheckSync() {
    const size_t recentBefore = GetRecentCount();
    const std::string user = GetUser();
    ready_.store(0);
    // The watcher marks a change seen while the worker is busy and posts nothing; one marked
    // after the loop's last look, before the ready flag is back, would wait for the next change.
    struct QueueLateChange {
        CWork* work;
        ~QueueLateChange() {
            if (work->ready_.load() && work->syncPending_.exchange(0))
                work->Request(platform::WM_WORK_SYNC, 0);
        }
    } queueLateChange{this};

    if (!HomeReady()) {
        // Nothing may run: the heartbeat keeps asking while the last pass reads as failed, and
        // the pause ends at the first pass that finds the folder back.
        ReportPassResult(0);
        status_.PassEnded(CSyncStatus::PassResult::kFailed);
        ready_.store(1);
        ShowHalted(platform::kSyncPaused, "");
        ShowTrayState(platform::kTrayIdle, user);
        return;
    }

    for (;;) {
        syncPending_.store(0);
        // Renames the watcher saw go first: the pass must not read an old name as a deletion.
        DrainRenames();
        passSucceeded_.store(1);
        status_.PassStarted();
        ShowTrayState(platform::kTrayBusy, user);
        ShowStatus("Sync...");
        ShowTip(CUtil::TrShown("Work", "同步..."));

        const int passed = RunPass();
        removalAgreed_ = false;  // an answer holds for one pass
        if (passed != 1) {
            passSucceeded_.store(0);
            // No more passes follow here: a change seen meanwhile must not keep the flag set, or
            // every later trigger (the heartbeat's retry included) would be taken as queued.
            syncPending_.store(0);
            ReportPassResult(0);
            status_.PassEnded(CSyncStatus::PassResult::kFailed);
            const std::string reason = LastReason();
            ClearReason();
            if (reason.empty()) {
                ready_.store(1);
                ShowStatus(CUtil::TrShown("Work", "同步未完成"));
                ShowTip(CUtil::TrShown("Work", "同步未完成"));
                ShowHalted(platform::kSyncError, CUtil::TrShown("Work", "同步未完成"));
                ShowTrayState(platform::kTrayIdle, user);
                return;
            }
            const int code = ReasonCode(reason);
            if (code == kReasonPassportInvalid || code == kReasonHostIdMismatch) {
                ResetChannels();
                if (RunLogin() != 1) {
                    // The sign-in retries a silent service itself; refused, cancelled or signed
                    // out, the client is signed out and shows it, as after a sign-out.
                    Logout();
                    return;
                }
                // Signed in again: rest and decide as after a pass.
            } else {
                ready_.store(1);
                const std::string text = ServerMessage(code);
                ShowStatus(text);
                ShowTip(text);
                ShowHalted(platform::kSyncError, text);
                ShowTrayState(platform::kTrayIdle, user);
                return;
            }
        }

        Pause(kPassRestMs);
        if (passNote_ == kFailLoadChunk) {
            Pause(kChunkRetryRestMs);
            passNote_.clear();
        }
        if (!syncPending_.load() || stopping_.load())
            break;
    }

    const int succeeded = passSucceeded_.load();
    ReportPassResult(succeeded);
    status_.PassEnded(!succeeded             ? CSyncStatus::PassResult::kFailed
                      : skipped_.Count() > 0 ? CSyncStatus::PassResult::kUnfinished
                                             : CSyncStatus::PassResult::kSucceeded);
    ScheduleRetry(skipped_.NextRetryMs());
    if (succeeded && skipped_.Count() > 0) {
        // Finished but for the skipped items: the heartbeat asks again when they are due, not at
        // every cycle, and the user sees that something is missing.
        ready_.store(1);
        ShowTrayState(platform::kTrayIdle, user);
        ShowStatus("Sync unfinished");
        ShowTip(NotSyncedText(skipped_.Count()));
        ShowHalted(platform::kSyncError, NotSyncedText(skipped_.Count()));
    } else if (succeeded) {
        if (!CleanChunkCache())
            Log(kLogWarn, "CWork::CheckSync", "Fail to clean local cache");
        ready_.store(1);
        ShowStatus("Sync finished");
        ShowTip(CUtil::TrShown("Work", "同步完成"));
        ShowTrayState(platform::kTrayDone, user);
        const size_t recentNow = GetRecentCount();
        if (recentNow > recentBefore)
            ShowBalloon(CUtil::TrShown("Work", "同步完成: ") + GetRecentItem(recentNow - 1) + "...", user);
    } else {
        ready_.store(1);
        ShowTrayState(platform::kTrayIdle, user);
        ShowStatus("Sync unfinished");
        const std::string reason = LastReason();
        const std::string text =
            reason.empty() ? CUtil::TrShown("Work", "同步未完成") : ServerMessage(ReasonCode(reason));
        ShowTip(text);
        ShowHalted(platform::kSyncError, text);
    }
}
