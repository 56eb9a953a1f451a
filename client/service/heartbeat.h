// CHeartBeat: keeps a signed-in client in touch with the heartbeat server ("mirn_service_hb") and
// tells the worker when a pass is wanted. It owns a thread that sends one heartbeat per cycle
// (10 s) with a blocking call and posts WM_WORK_SYNC_WANTED to the worker when the service reports
// new events, when the last pass failed, or when items a pass skipped are due to be tried again.
// It never runs a pass itself.
//
// Ownership: the creator owns the object until Stop. Stop hands it to the thread, which finishes
// its cycle and destroys the object; the creator forgets its pointer (StopAndRelease does both).
// A heartbeat whose thread never started stays the creator's. Destroying a running heartbeat
// without Stop (process teardown) ends its thread promptly and waits for it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <pugixml.hpp>

#include "platform/thread.h"
#include "service/soapchannel.h"

class CHeartBeat {
  public:
    static constexpr int kCycleMs = 10000;
    // The first heartbeat leaves this soon after the start (or a cycle, if shorter); after news
    // the next one waits kAfterEventMs; the service is asked to hold none longer than kMaxHoldMs.
    static constexpr int kFirstBeatMs = 1000;
    static constexpr int kAfterEventMs = 500;
    static constexpr int kMaxHoldMs = 20000;
    // Thread states.
    static constexpr int kStopRequested = 0;  // also before the thread starts
    static constexpr int kStopped = 1;
    static constexpr int kRunning = 2;

    // What outlives the object: the state, the flags the worker sets, the end of the thread.
    struct Shared;

    CHeartBeat();
    ~CHeartBeat();
    CHeartBeat(const CHeartBeat&) = delete;
    CHeartBeat& operator=(const CHeartBeat&) = delete;

    void SetProxy(const std::string& kind, const std::string& address, const std::string& user,
                  const std::string& password);
    // Endpoint, user, password and host id must be non-empty. Starts the thread on success.
    bool Init(platform::ThreadId workerThread, const std::string& endpoint, const std::string& user,
              const std::string& password, const std::string& hostId, const std::string& installFolder);
    bool InitAxis2c();
    // The worker's last pass: 1 succeeded, 0 failed. Until the first report a pass counts as
    // succeeded, so a fresh sign-in (which queues its own pass) asks for nothing extra.
    void SetLastPassResult(int succeeded);
    // Items the last pass skipped may be tried again from this time (milliseconds of the steady
    // clock; 0: none): the first cycle at or after it asks for a pass, once.
    void SetRetryAt(int64_t steadyMs);
    static int64_t SteadyNowMs();
    // The cycle: 10 s, or KESTRINE_HEARTBEAT_MS (end-to-end tests and the demo shorten it).
    static int ConfiguredCycleMs();
    // The sleep before the next heartbeat, given whether this one was answered, whether it
    // brought news and how long it took (a held answer takes up to a cycle).
    static int NextSleepMs(int cycleMs, bool answered, bool newEvent, int64_t tookMs);

    // Asks a running thread to end: its pending call is cancelled; a cycle still in its sleep
    // sends one last heartbeat. True when a thread was running: it now owns the object and the
    // caller must not touch it again. False when no thread runs: the caller still owns it.
    bool Stop();
    // Stop, then either hand the object to its thread or destroy it here.
    static void StopAndRelease(std::unique_ptr<CHeartBeat> heartbeat);

    // Watches the thread's end from outside (tests, teardown); valid after the object is gone.
    class EndWatch {
      public:
        explicit EndWatch(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
        // True once the thread has ended and destroyed the object (or never started).
        bool Wait(int timeoutMs) const;
        int State() const;

      private:
        std::shared_ptr<Shared> shared_;
    };
    EndWatch Watch() const { return EndWatch(shared_); }

    // The cycle length; tests shorten it. Set before Init.
    void SetCycleMs(int ms) { cycleMs_ = ms; }
    int CycleMs() const { return cycleMs_; }
    int State() const;

    // One heartbeat: build, send with the blocking call, check the reply. *newEvent is "yes" when
    // the service holds new events, "delay" when no reply came.
    bool SendHeartBeat(std::string* newEvent);
    // The reply check. `node` is the reply's first body element, or empty when none came back.
    bool ParseOmResponse(const pugi::xml_node& node, std::string* newEvent);

    // The thread body: cycles until stopped, then destroys `param`. -1 for a null parameter.
    static int HeartThreadProc(CHeartBeat* param);

    CSoapChannel& Channel() { return channel_; }

  private:
    // One cycle's decision: whether the worker is asked for a pass.
    void _Decide(bool beatOk, const std::string& newEvent);

    CSoapChannel channel_;
    std::shared_ptr<Shared> shared_;
    platform::ThreadId worker_ = 0;
    int cycleMs_ = kCycleMs;
    int errorCode_ = 0;  // why the last call brought no reply
    std::string errorMessage_;
    platform::Thread thread_;
};
