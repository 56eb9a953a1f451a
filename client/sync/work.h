// CWork: the sync engine. It owns the configuration (and, as they are built, the journals, the
// file cache and the service clients) and one worker thread that runs every long operation
// (sign-in, sign-out, sync passes, renames) in the order the requests arrive. Other threads only
// post requests (Request) and read the flags; the worker reports to the main window with window
// messages. The flags are atomics because the GUI, watcher and heartbeat threads read or set them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/thread.h"
#include "platform/translate.h"
#include "store/fileinfo.h"
#include "sync/decide.h"
#include "sync/filesystemwatcher.h"
#include "sync/recentnames.h"
#include "sync/skippeditems.h"
#include "sync/syncstatus.h"

class CAuth;
class CBack;
class CChunkJournal;
class CTransferLanes;
class CConfig;
class CFileCache;
class CFileJournal;
class CHeartBeat;
class CTransmitter;
struct CJournalItem;

class CWork {
  public:
    CWork();
    // Stops and joins the worker thread, then deletes what it owns. A derived class must call
    // Stop() in its own destructor, since the thread calls its virtual functions.
    virtual ~CWork();
    CWork(const CWork&) = delete;
    CWork& operator=(const CWork&) = delete;

    int Init();  // 1 on success; on the GUI thread, once
    // Posts `code` (wParam `value`, `text` for a rename) to the worker; 1 when posted.
    int Request(uint32_t code, uintptr_t value = 0, const std::string& text = std::string());
    static int WorkThreadProc(CWork* work);
    // Starts the worker thread alone (Init does it first); false when it cannot start.
    bool StartThread();
    // Asks the worker loop to end (long loops see it through CheckLogOut) and waits at most
    // `timeoutMs` for it; true when the thread has ended and was joined.
    bool Stop(int timeoutMs);

    void CheckSync();   // the pass driver: runs passes while more are wanted
    int CheckLogOut();  // 1 (and the pass marked failed) when a sign-out or stop is pending
    // The home folder as the passes need it: missing, on another file system than when it was
    // last seen, or empty while the journal remembers files, it pauses sync.
    enum class HomeState { kReady, kMissing, kOtherFileSystem, kEmptied };
    HomeState CheckHome();
    // True when a pass may run; otherwise tells the user (once per pause) and asks whether to
    // start over. Worker thread.
    bool HomeReady();
    // The next pass merges: the journal is emptied and the whole tree fetched, nothing removed.
    void StartOver();
    // An empty home folder while the journal remembers files: the user says whether the service
    // loses them too; otherwise (the default) they come down again. True: the pass may run.
    bool AskAboutEmptiedHome(const std::string& home);
    int SeverAuth();  // the authentication step of Login
    int Login();
    int Sync();

    // --- The pass's first two phases, on the worker thread; 1 on success, 0 on failure.
    // The server snapshot: the listing (lower-cased server path -> record) against the journal.
    using ServerListing = std::map<std::string, CFileInfo>;
    int GetAll();
    int GetServerList();
    void GetServerAdd(const ServerListing& listing);
    // Fetches on the lanes the descriptions of the next new small files of the listing from
    // `from` on, for GetFile to take; returns where the look-ahead ended.
    ServerListing::const_iterator PrefetchDescriptions(const ServerListing& listing,
                                                       ServerListing::const_iterator from);
    void GetServerDelete(const ServerListing& listing);
    int GetFile(const CFileInfo& entry);
    // The download phase: pending server versions to disk, then server deletions. The paths of
    // A (active half), U (updated half) and T (tombstone) are server paths; rel is root-relative.
    int Download();
    int CheckDownload();
    int CheckDelete();
    int CheckNew(CFileInfo U);
    int CheckUpdated(const CFileInfo& A, CFileInfo U);
    // *kept (when given) says that a folder stayed because it holds local changes.
    int ServerDeleteFile(const std::string& rel, const CFileInfo& T, bool* kept = nullptr);
    int GetbyLocal(CFileInfo* U);
    int DownloadNewFile(CFileInfo* U);
    // A new shared folder at `abs`: the share's folder found elsewhere on the disk moves there.
    int PlaceShareFolder(const CFileInfo& U, const std::string& abs, const char* tag);
    // `local` is the file on disk at A's path, chunked already; its chunks are reused. `judged`
    // is what the disk held when `local` was judged: only that version is replaced.
    int DownloadUpdatedFile(const CFileInfo& A, CFileInfo* U, CFileInfo* local,
                            const platform::FileStat* judged = nullptr);
    // DownloadUpdatedFile's steps: the folder at A's path emptied of what the journal knows
    // unchanged, and (when anything stays) moved aside; a file's content replaced by U's.
    bool ClearFolderForFile(const std::string& relA, const std::string& absA, const char* tag);
    int ReplaceLocalFile(const CFileInfo& A, CFileInfo* U, CFileInfo* local,
                         const platform::FileStat* judged);
    // Gives `take` each chunk of U in order, each key once: a key listed again takes the block
    // signatures of its first listing. False when a stop came first (logged under `tag`) or
    // `take` answered false.
    bool ForEachFirstChunk(CFileInfo* U, const char* tag, const std::function<bool(CChunkInfo&)>& take);
    // Marks the local folder `abs` as the share `dirFlag`, with its owner's icon.
    void MarkShareFolder(const std::string& abs, int dirFlag);
    // A changed server version of a path deleted here: it comes down under its conflict name.
    int FetchAsConflict(const CFileInfo& A, CFileInfo U, const std::string& relU);
    // A folder the service deleted: what the journal knows unchanged goes, the rest stays.
    int ClearDeletedFolder(const CFileInfo& L, const CFileInfo& T, bool* kept);
    // Loads the journal's path and share maps; false (logged under `tag` with the caller's
    // texts) when either cannot be read.
    bool LoadJournalMaps(const char* tag, const char* mapFailure, const char* shareFailure);
    // Scans the home folder with the shared folders the journal has on the disk (their ids come
    // from the journal, never from a marker alone); false when the scan failed.
    bool ScanLocal();
    // Records a fetched version as on disk (its adjusted time first); 0 logged under `tag`.
    int RecordOnDisk(const CFileInfo& U, const char* tag);
    // A chunk's bytes: fetched ahead, from the chunk cache, or from the transmitter (then cached).
    int GetChunkBuffer(const CChunkInfo& chunk, CChunkBuffer* buffer);
    // Fetches the chunks of the coming new small files on the lanes (those not cached yet), for
    // GetChunkBuffer to take; what was fetched ahead before and not taken is dropped.
    void PrefetchChunks(std::vector<CFileInfo>* upcoming);
    // A journal record on disk with U's size and chunk list (the index is built at the first
    // call of a phase); sameContent_.end() when there is none.
    std::map<std::string, std::string>::const_iterator SameContentOnDisk(const CFileInfo& U);
    // The upload phase: the local scan against the journal. F (a scan record) has a root-relative
    // path on entry; P is the journal's current half of the same path (server path), or null for
    // a new file. UploadFile answers 1 whenever the exchange was opened: failures inside it only
    // clear the pass-succeeded flag.
    int Upload();
    // `rescan` false: the scan made just before is still current.
    void CheckLocalAdd(bool rescan = true);
    void CheckLocalDelete();
    // Removal on the service of a path deleted here, after a fresh look at the service's entry:
    // done (removed, or gone already), left (the service holds what this computer did not see;
    // the journal forgets it so the next pass brings it down), or failed (the row stays).
    enum class Removed { kFailed, kLeft, kDone };
    Removed RemoveSeen(const CJournalItem& item);
    Removed RemoveFileSeen(const CJournalItem& item);
    Removed RemoveFolderSeen(const CJournalItem& item);
    decide::Fresh LookAtFile(const std::string& path, CFileInfo* fresh);
    decide::Fresh LookAtFolder(const std::string& path, std::map<std::string, CFileInfo>* listing);
    void ForgetFolderRows(const CJournalItem& item);
    // Renames `path` on the service to a hidden, unique name beside it, so that no other computer
    // changes it between the look and the removal. True with *aside the name it has now: the new
    // one, or `path` itself when the service refused the move (it is then looked at in place).
    // *gone: the service no longer has it. False (not gone) when the request failed: retry later.
    bool StepAside(const std::string& path, std::string* aside, bool* gone);
    // Puts an entry set aside back at `path` (beside it, under its conflict name, when the name
    // was taken meanwhile).
    void PutBack(const std::string& aside, const std::string& path);
    // The individual removals and forgotten rows of a folder that is not removed whole.
    Removed RemovePlanned(const decide::FolderRemoval& plan, const std::string& where,
                          const std::string& folder);
    // The status of the folder a walk left: it and its parents are in step, up to the common
    // ancestor with the next path (root-relative paths).
    void LeaveFolder(std::string* current, const std::string& next);
    // A pass about to remove most of the tree on the service asks first; false keeps the files.
    bool ConfirmMassRemoval(size_t count);
    // The local-change test: sets F->changeKind (1 new, 3 changed) and answers whether F must go up.
    bool IsLocalChanged(CFileInfo* F);
    int UploadFile(CFileInfo* F, CFileInfo* P);
    // One entry of the upload walk (the current folder's status follows it); 0 when it failed.
    int UploadEntry(CFileInfo* entry, std::string* currentFolder);
    // New small files go up in batches on the upload lanes; the journal records each one the
    // service confirmed, in walk order, and the others take the one-by-one path. False: the walk
    // ends (a stop, or the session is lost).
    bool LaneMayTake(const CFileInfo& entry) const;
    // The service refused the session, not the item: every later request would be refused alike.
    static bool SessionRefused(const std::string& reason);
    bool FlushNewFiles(std::vector<CFileInfo>* pending, std::string* currentFolder);
    int RecordSentFile(CFileInfo* sent, const std::string& rel, std::string* currentFolder);
    CTransferLanes* Lanes();  // opened at the first batch of a pass; null when they cannot be
    int UploadFolder(const CFileInfo& D);
    int UploadShareFolder(const CFileInfo& S);
    // The bytes of chunk c of F: from F's memory below 20 MiB, else from the chunk cache. 1 with
    // *buffer null when neither holds the chunk; 0 when the cache could not be read.
    int GetFileChunk(CFileInfo& F, std::unique_ptr<CChunkBuffer>* buffer, const CChunkInfo& c);
    // A local rename reported by the watcher (root-relative paths), passed to the service at once;
    // a pass follows.
    int Rename(const std::string& oldName, const std::string& newName);
    // The same without the pass; the journal must be closed. 1 when the service and the journal
    // took it.
    int RenameOnService(const std::string& oldName, const std::string& newName);
    // Carries out the renames the watcher has queued, before a pass could read an old name as a
    // deletion. Worker thread, journal closed.
    void DrainRenames();
    // Renames the fresh scan shows (an old path gone, a new one of the same identity there), sent
    // as renames before the upload walk; the number carried out. Journal open, maps loaded.
    int DetectRenames();
    // Notes the device and inode of every scanned path, for DetectRenames of the next pass.
    void RememberScanIds();
    void Logout();
    int StartHeartBeat();
    void StopHeartBeat();
    void StartFileMonitor(const std::string& root);
    void StopFileMonitor();
    // The watcher's callback, on the watcher thread (`context` is the CWork): filters one change
    // record and asks for a pass or a rename. It reaches the worker only through the ready and
    // sync-pending flags, Request and the filtered-paths list.
    static void CheckFiles(int action, const char* name, void* context);
    // The watcher's rest between two batches (1 s); tests shorten it before the sign-in.
    void SetWatchPauseMs(int ms) { watchPauseMs_ = ms; }
    CFileSystemWatcher* GetWatcher() const { return watcher_.get(); }  // null before the first sign-in

    // A watch that ended by itself is restarted by its thread; until then the tray's tooltip
    // carries this note, and the heartbeat's passes pick up local changes.
    // The service's reason `code` as the tray shows it: "服务器信息: " and the reason's text (CUtil's
    // table, which the log and the wire keep as it is), in the user's language and code page.
    static std::string ServerMessage(int code);

    static constexpr const char* kWatchDownNote = KESTRINE_TR_NOOP("Work", "\n本地文件监视中断，正在重试");
    bool IsWatcherDown() const { return watcherFailed_.load(); }

    // The rename request's text: old and new name joined by "|" (by a NUL when a name contains
    // "|", which Linux names may).
    static std::string MakeRenameText(const std::string& oldName, const std::string& newName);
    static bool SplitRenameText(const std::string& text, std::string* oldName, std::string* newName);

    // Accessors, callable from any thread.
    CConfig* GetConfig() const { return config_.get(); }
    CFileJournal* GetFileJournal() const { return fileJournal_.get(); }
    CChunkJournal* GetChunkJournal() const { return chunkJournal_.get(); }
    CFileCache* GetFileCache() const { return fileCache_.get(); }
    CBack* GetBack() const { return back_.get(); }
    CTransmitter* GetTransmitter() const { return transmitter_.get(); }
    CAuth* GetAuth() const { return auth_.get(); }
    CHeartBeat* GetHeartBeat() const { return heartBeat_.get(); }  // worker thread; null when none
    std::string GetUser() const;
    void SetUser(const std::string& user);
    std::string GetPassword() const;
    void SetPassword(const std::string& password);
    int IsReady() const { return ready_.load(); }
    void SetReady(int on) { ready_.store(on ? 1 : 0); }
    int IsSignedIn() const { return signedIn_.load(); }
    void SetSignedIn(int on) { signedIn_.store(on ? 1 : 0); }
    int IsSyncPending() const { return syncPending_.load(); }
    // Asks the running pass loop for one more pass (the watcher, the download and upload paths).
    void SetSyncPending(int on) { syncPending_.store(on ? 1 : 0); }
    int IsLogoutRequested() const { return logoutRequested_.load(); }
    void SetLoginCancel(int on);  // also wakes a sign-in waiting to try again
    int IsLoginCancel() const { return loginCancel_.load(); }
    // The account's server root as the last sign-in knew it, and whether the next pass must start
    // over with a full download (the account changed). Worker thread.
    const std::string& GetServerRoot() const { return serverRoot_; }
    void SetServerRoot(const std::string& root) { serverRoot_ = root; }
    int IsResetUserData() const { return resetUserData_.load(); }
    void SetResetUserData(int on) { resetUserData_.store(on ? 1 : 0); }
    // The wait between sign-in attempts (10 s); tests shorten it.
    void SetLoginRetryMs(int ms) { loginRetryMs_ = ms; }

    // ---- Sign-in retries after a silent service, and their interruption.
    // The wait after failed attempt `attempt` (0 for the first): `baseMs` doubled per attempt, at
    // most 60 times `baseMs` (5 s up to 5 min by default).
    static int SignInRetryDelayMs(int attempt, int baseMs);
    static constexpr int kSignInRetryBaseMs = 5000;
    // The first such wait; tests shorten it (KESTRINE_SIGNIN_RETRY_MS does for the program).
    void SetSignInRetryBaseMs(int ms) { signInRetryBaseMs_ = ms; }
    // The sign-in must end now: its dialog was cancelled, or a sign-out or stop is pending. Any
    // thread; the portal and back clients ask it while a sign-in's request waits.
    bool SignInInterrupted() const;

    // Items the passes could not carry out, with their reasons; any thread may read them.
    const CSkippedItems& GetSkipped() const { return skipped_; }
    // What the worker is doing, for the status command; any thread may read it.
    const CSyncStatus& GetStatus() const { return status_; }
    // The first wait before a skipped item is tried again (the heartbeat's cycle), and its cap
    // (60 cycles); tests shorten or zero them before the sign-in.
    void SetRetryDelays(int64_t baseMs, int64_t capMs) { skipped_.SetDelays(baseMs, capMs); }
    // The names added since the sign-in (their count only grows, so a pass can tell what it
    // added); only the last recent::kKept are kept, an older index reads as empty.
    size_t GetRecentCount() const;
    std::string GetRecentItem(size_t index) const;  // oldest first; empty when out of range or dropped
    void AddRecentName(const std::string& entry);
    void AddFilteredPath(const std::string& path);
    std::vector<std::string> GetFilteredPaths() const;
    platform::ThreadId GetThreadId() const { return thread_.Id(); }
    const std::string& GetRootPath() const { return rootPath_; }
    const std::string& GetInstallPath() const { return installPath_; }
    const std::string& GetDatabasePath() const { return dbPath_; }

  protected:
    // Seams of the pass driver. They reach the back client, the transmitter, the heartbeat and
    // the file cache as those are built; tests override them to drive each outcome.
    virtual int RunPass();                         // Sync()
    virtual int RunLogin();                        // Login()
    virtual std::string LastReason();              // the back client's last reason code, as text
    virtual void ClearReason();                    // empties the back client's reason text
    virtual void ResetChannels();                  // back client and transmitter Reset
    virtual void ReportPassResult(int succeeded);  // to the heartbeat client
    virtual bool CleanChunkCache();                // the file cache's CleanCache
    virtual void Pause(int ms);                    // returns early when the worker is stopping
    virtual void ScheduleRetry(int64_t steadyMs);  // the heartbeat asks for a pass then (0: never)
    // The watcher's way to the worker (Request, from the watcher thread); tests record it. A
    // derived class that overrides it stops the file monitor in its destructor.
    virtual int PostFromWatcher(uint32_t code, const std::string& text);

    // --- One item of a walk (work_skip.cpp). Runs `item`; a failure inside it (0 returned, or the
    // pass-succeeded flag cleared) skips `path` with the reason the item set (SetItemReason) or
    // `reason`, and the walk goes on. False when the walk must end: a sign-out, or the service no
    // longer takes this session (the pass fails and the driver signs in again).
    // `settles` false: success is only a first step (the service's description read), so a listed
    // item stays listed until the step that carries it out succeeds.
    bool RunItem(const std::string& path, const char* reason, const std::function<int()>& item,
                 bool settles = true);
    // The path an item of the service's path is listed under: root-relative where it can be.
    std::string ItemPathOf(const std::string& serverPath);
    // True when `path` may be tried in this pass (it is not waiting after a failure).
    bool MayTryItem(const std::string& path);
    // Lists `path` as not synced; `scheduled` false for a condition the next pass looks at again
    // (a name this computer cannot hold) rather than a failure to retry after a wait.
    void SkipItem(const std::string& path, const std::string& reason, bool scheduled = true);
    // The reason of the item that is failing now, more precise than RunItem's.
    void SetItemReason(const std::string& reason, bool scheduled = true) {
        itemReason_ = reason;
        itemScheduled_ = scheduled;
    }

    // A sign-out or stop is pending: the pass's walks end at the next item.
    bool StopRequested() const { return logoutRequested_.load() || stopping_.load(); }
    void SetPassNote(const std::string& note) { passNote_ = note; }
    void SetPassSucceeded(int on) { passSucceeded_.store(on ? 1 : 0); }
    int PassSucceeded() const { return passSucceeded_.load(); }

    // Reports to the main window (blocking sends).
    void ShowStatus(const std::string& text);
    void ShowTip(const std::string& text);
    void ShowTrayState(int state, const std::string& tip);
    // A pass ended short of up to date (kSyncError, kSyncPaused), for the main window.
    void ShowHalted(int why, const std::string& text);
    void ShowBalloon(const std::string& text, const std::string& title);
    void ShowTrayIcon(bool signedIn);

  private:
    void Dispatch(const platform::ThreadMessage& msg);
    void ClearRecentNames();
    void ClearFilteredPaths();
    void KeepFilteredPath(const std::string& path);  // once, however often it is seen
    bool TakeFilteredPath(const std::string& path);  // true when it was in the list
    // Asks for what a record calls for: a rename (with its text), a pass, or, while a pass runs,
    // one more pass. Watcher thread.
    void RequestFromWatcher(int action, const std::string& renameText);
    // CheckFiles' steps, on the watcher thread. A record as CheckFiles sees it: the action, the
    // root-relative and absolute path, the name, and the record before it.
    struct WatchRecord {
        int action = 0;
        std::string rel, full, base;
        int prevKind = 0;
        std::string prevName;
        bool isDir = false;  // what the disk holds at the path is a folder (DropWatchRecord looks)
    };
    // The watch restarted, failed or overflowed: the whole tree needs a pass. True when it was such.
    bool WatchInterrupted(int action, const std::string& rel);
    // True when the record asks for nothing: the client's own files and writes, temporary files.
    bool DropWatchRecord(WatchRecord* record);
    void ForwardWatchRecord(const WatchRecord& record);  // a pass or a rename, as the record calls for
    // The tray tip, with kWatchDownNote while the watch is down.
    std::string WithWatchNote(const std::string& tip) const;
    bool ClearUserData(const std::string& home);  // the sign-in after an account change
    // Sign-in retries: false (logged) when the sign-in must end; the second also shows
    // "connecting" with `tip` and waits for the next attempt.
    bool SignInGoesOn(const char* tag);
    int SignInSteps();  // Login's steps, inside its interruption scope
    // How a step of the sign-in ended: done, to be tried again (after its wait), or failed.
    enum class SignInStep { kDone, kAgain, kFailed };
    bool InitServiceClients(const std::string& user);  // the back client and the transmitter
    std::string PrepareLocalFolders();                 // the cache and trash; the home folder's path
    SignInStep RegisterHost(const std::string& home);  // a new host id (and a cleared account)
    SignInStep BackSignIn(bool registeredNow);
    // A failed request that may be tried again (a busy or a silent service), or none.
    std::optional<SignInStep> RetryAfterSignInFailure(const char* tag, const std::string& ack);
    int FinishSignIn(const std::string& home,
                     const std::string& user);  // signed in: the pass, watch, heartbeat
    bool RetrySignInLater(const char* tag, const std::string& tip);
    void WakeSignInWait();  // after the cancel or sign-out flag was set; any thread
    int64_t OnDiskRows();   // the journal's rows on the disk; -1 when it cannot be read
    // True when `home` is missing while the journal remembers files in it (or cannot tell).
    bool HomeVanished(const std::string& home);
    std::string StoredHomeFileSystem();
    void StoreHomeFileSystem(const std::string& id);
    // The upload of an entry whose kind changed here (a folder became a file or the other way):
    // the service's entry and its journal rows go first, as far as this computer saw them.
    Removed ReplaceKind(const CJournalItem& known);
    // The steps of UploadFile's exchange with the back server, one per instruction it names (the
    // exchange's ack); true when the exchange goes on.
    struct UploadExchange;
    bool TakeUploadStep(UploadExchange& x);
    void RecordUploadedFile(const UploadExchange& x);  // the service holds every chunk
    bool SendNamedChunk(UploadExchange& x);
    // The chunk to the transmitter: as a delta when that is smaller, else (or when that failed) whole.
    bool SendChunkBytes(const UploadExchange& x, const CChunkInfo& chunk, const CChunkBuffer& bytes);
    bool RemoveNamedChunk(UploadExchange& x);
    // The service holds a newer version: the local file goes aside under its conflict name.
    void KeepLocalAsConflict(const UploadExchange& x, bool moved);
    bool UploadFailed(const char* message);  // logged, the pass not finished; false

    platform::Thread thread_;
    std::unique_ptr<CConfig> config_;
    std::unique_ptr<CFileJournal> fileJournal_;
    std::unique_ptr<CChunkJournal> chunkJournal_;
    std::unique_ptr<CTransferLanes> lanes_;  // for one pass
    bool lanesFailed_ = false;               // this pass's lanes could not be opened
    std::unique_ptr<CFileCache> fileCache_;
    std::unique_ptr<CBack> back_;
    std::unique_ptr<CTransmitter> transmitter_;
    std::unique_ptr<CAuth> auth_;
    std::unique_ptr<CHeartBeat> heartBeat_;  // from the first sign-in; its thread owns it after Stop

    std::atomic<int> ready_{0};
    std::atomic<int> passSucceeded_{0};
    std::atomic<int> syncPending_{0};
    std::atomic<int> signedIn_{0};
    std::atomic<int> logoutRequested_{0};
    std::atomic<int> loginCancel_{0};
    std::atomic<int> resetUserData_{0};
    std::atomic<bool> stopping_{false};

    mutable std::mutex mu_;  // user, password, recent names, filtered paths
    std::string user_, password_;
    std::vector<std::string> recentNames_;
    std::vector<std::string> filteredPaths_;
    // The recent names dropped from the front of recentNames_ (which holds recent::kKept at most).
    size_t recentDropped_ = 0;
    std::string passNote_;    // worker thread only
    std::string serverRoot_;  // worker thread only
    // The download phase's index of the files on disk: size and chunk list -> journal key, built
    // at the first GetbyLocal of a phase. Worker thread only.
    std::map<std::string, std::string> sameContent_;
    bool sameContentBuilt_ = false;
    // Server path -> a file's description the lanes fetched ahead of the listing's walk.
    std::map<std::string, CFileInfo> descriptions_;
    // Chunk key -> bytes the lanes fetched ahead of the download walk (digests checked).
    std::map<std::string, std::unique_ptr<CChunkBuffer>> prefetched_;
    // Lower-cased root-relative path -> device and inode, as the last upload phase scanned them.
    std::map<std::string, std::pair<uint64_t, uint64_t>> seenIds_;
    std::string previousRoot_;    // the account whose data an account change clears
    bool homePaused_ = false;     // worker thread only
    int64_t passItems_ = 0;       // items the running pass finished; worker thread only
    bool startOver_ = false;      // worker thread only: the next pass is a full download
    bool removalAgreed_ = false;  // worker thread only: the user agreed to this pass's removals
    CSkippedItems skipped_;
    CSyncStatus status_;
    std::string itemReason_;     // worker thread only: set by a failing item
    bool itemScheduled_ = true;  // worker thread only
    bool sessionLost_ = false;   // worker thread only: an item was refused for the session
    int loginRetryMs_ = 10000;
    // Sign-in retries (worker thread only): the first wait, the failed attempts of the running
    // sign-in, whether one runs (its waits then end early when interrupted) and whether it shows
    // "connecting" (a failure then puts the signed-out icon back).
    int signInRetryBaseMs_ = kSignInRetryBaseMs;
    int signInAttempt_ = 0;
    bool signingIn_ = false;
    bool showsConnecting_ = false;

    std::string installPath_, rootPath_, dbPath_;

    // CheckFiles' state between records; watcher thread only (set while the watcher is stopped).
    std::string watchRoot_;
    std::string watchPrevName_;               // the name of the previous record
    int watchPrevKind_ = 0;                   // what the previous record was, for a rename's second half
    std::string watchLastFiltered_;           // the last temporary file dropped
    bool watchSyncPosted_ = false;            // a pass was asked for in the current batch
    std::atomic<bool> watcherFailed_{false};  // the watch ended by itself (its folder went)
    int watchPauseMs_ = 1000;

    std::mutex stopMu_;
    std::condition_variable stopCv_;
    bool threadEnded_ = false;

    // Last, so it is destroyed (its thread stopped) before anything its callback touches.
    std::unique_ptr<CFileSystemWatcher> watcher_;
};
