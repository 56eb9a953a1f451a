// CHeartBeat: the heartbeat channel, its thread with the cycle and the decision table, and the
// hand-over of the object to the thread at Stop.
#include "service/heartbeat.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "core/log.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "platform/system.h"
#include "platform/translate.h"
#include "util/util.h"

struct CHeartBeat::Shared {
    std::atomic<int> state{kStopRequested};
    std::atomic<int> lastPassSucceeded{1};
    std::atomic<int64_t> retryAtMs{0};
    // Set when the owner destroys a running heartbeat itself: the thread then leaves the object
    // to the destructor instead of deleting it.
    std::atomic<bool> ownerDestroying{false};
    std::shared_ptr<CSoapCancel> cancel;  // the channel's, usable after the channel is gone
    std::mutex mu;
    std::condition_variable cv;
    bool wake = false;  // ends the sleep at once (teardown only)
    bool ended = true;  // no thread runs (never started, or finished)
};

namespace {

// End-to-end tests and the demo shorten the cycle with KESTRINE_HEARTBEAT_MS; a value that is not
// a whole number from 100 to 600000 keeps the default.
int CycleFromEnvironment() {
    const std::string text = platform::GetEnv("KESTRINE_HEARTBEAT_MS");
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return CHeartBeat::kCycleMs;
    const int ms = std::stoi(text);
    return ms >= 100 && ms <= 600000 ? ms : CHeartBeat::kCycleMs;
}

bool IsElement(const pugi::xml_node& node, const char* name) {
    return node && node.type() == pugi::node_element && soap::LocalName(node.name()) == name;
}

}  // namespace

CHeartBeat::CHeartBeat() : channel_(soapchannel::HeartBeatProfile()), shared_(std::make_shared<Shared>()) {
    cycleMs_ = ConfiguredCycleMs();
    shared_->cancel = channel_.GetCancelToken();
}

CHeartBeat::~CHeartBeat() {
    if (!thread_.Joinable() || platform::CurrentThreadId() == thread_.Id())
        return;  // no thread, or the thread itself is destroying the object at its end
    // The owner destroys a running heartbeat (teardown): end the sleep and any call, and wait.
    std::shared_ptr<Shared> shared = shared_;
    shared->ownerDestroying = true;
    shared->state = kStopRequested;
    std::unique_lock<std::mutex> lock(shared->mu);
    shared->wake = true;
    shared->cv.notify_all();
    // A call that was just starting when the stop came is cancelled on the next round.
    while (!shared->ended) {
        lock.unlock();
        shared->cancel->Cancel();
        lock.lock();
        shared->cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return shared->ended; });
    }
    lock.unlock();
    thread_.Join();
}

void CHeartBeat::SetProxy(const std::string& kind, const std::string& address, const std::string& user,
                          const std::string& password) {
    channel_.SetProxy(kind, address, user, password);
}

bool CHeartBeat::Init(platform::ThreadId workerThread, const std::string& endpoint, const std::string& user,
                      const std::string& password, const std::string& hostId,
                      const std::string& installFolder) {
    const char* tag = "CHeartBeat::Init";
    if (thread_.Joinable()) {
        Log(kLogError, tag, "The heartbeat thread runs already");
        return false;
    }
    if (endpoint.empty() || user.empty() || password.empty() || hostId.empty()) {
        Log(kLogError, tag, "Fail to init the heartbeat: endpoint {%s}, user {%s}, host id {%s}, password %s",
            endpoint.c_str(), user.c_str(), hostId.c_str(), password.empty() ? "empty" : "given");
        return false;
    }
    worker_ = workerThread;
    if (!channel_.Init(endpoint, user, password, hostId, installFolder))
        return false;  // "Fail to init Axis2c!" is logged
    // Running from before the thread starts, so a Stop right after Init is never missed.
    {
        std::lock_guard<std::mutex> lock(shared_->mu);
        shared_->ended = false;
        shared_->wake = false;
    }
    shared_->state = kRunning;
    if (!thread_.Start([this] { HeartThreadProc(this); })) {
        shared_->state = kStopRequested;
        {
            std::lock_guard<std::mutex> lock(shared_->mu);
            shared_->ended = true;
        }
        Log(kLogError, tag, "Fail to create thread heartbeat");
        platform::ShowMessageBox(CUtil::TrShown("Service", "创建心跳线程失败！"), "Kestrine",
                                 platform::MB_OK | platform::MB_ICONERROR);
        return false;
    }
    return true;
}

bool CHeartBeat::InitAxis2c() {
    return channel_.InitAxis2c();
}

void CHeartBeat::SetLastPassResult(int succeeded) {
    shared_->lastPassSucceeded = succeeded ? 1 : 0;
}

void CHeartBeat::SetRetryAt(int64_t steadyMs) {
    shared_->retryAtMs = steadyMs;
}

int64_t CHeartBeat::SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int CHeartBeat::ConfiguredCycleMs() {
    return CycleFromEnvironment();
}

int CHeartBeat::State() const {
    return shared_->state;
}

bool CHeartBeat::Stop() {
    // The thread may destroy *this as soon as the state changes: keep what follows in hand.
    std::shared_ptr<Shared> shared = shared_;
    int expected = kRunning;
    if (!shared->state.compare_exchange_strong(expected, kStopRequested))
        return false;
    shared->cancel->Cancel();
    return true;
}

void CHeartBeat::StopAndRelease(std::unique_ptr<CHeartBeat> heartbeat) {
    if (heartbeat && heartbeat->Stop())
        static_cast<void>(heartbeat.release());  // the thread destroys it at its end
}

bool CHeartBeat::EndWatch::Wait(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(shared_->mu);
    return shared_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return shared_->ended; });
}

int CHeartBeat::EndWatch::State() const {
    return shared_->state;
}

// ---- One heartbeat

bool CHeartBeat::SendHeartBeat(std::string* newEvent) {
    std::unique_ptr<CSoapRequest> request = channel_.NewRequest("heartbeat");
    // The service may hold the answer up to a cycle, until another computer changes the tree.
    request->Body().append_attribute("wait_ms") = std::min(cycleMs_, kMaxHoldMs);
    CSoapReply reply;
    pugi::xml_node node;
    errorCode_ = 0;
    errorMessage_.clear();
    switch (channel_.Send(*request, &reply)) {
        case CSoapChannel::SendResult::kReply:
            if (reply.IsFault()) {
                errorCode_ = static_cast<int>(reply.HttpStatus());
                errorMessage_ = "SOAP fault " + reply.fault().code + ": " + reply.fault().reason;
            } else {
                node = reply.Payload();
                if (!node)
                    errorMessage_ = "reply without a body element";
            }
            break;
        case CSoapChannel::SendResult::kCancelled:
            // Only Stop cancels: not a failure of the service.
            *newEvent = "delay";
            Log(kLogInfo, "CHeartBeat::ParseOmResponse", "Heartbeat call ended by the stop");
            return false;
        case CSoapChannel::SendResult::kTimeout:
        case CSoapChannel::SendResult::kNoReply:
            errorCode_ = channel_.LastErrorCode();
            errorMessage_ = channel_.LastErrorMessage();
            break;
    }
    return ParseOmResponse(node, newEvent);
}

bool CHeartBeat::ParseOmResponse(const pugi::xml_node& node, std::string* newEvent) {
    const char* tag = "CHeartBeat::ParseOmResponse";
    if (!node) {
        *newEvent = "delay";
        Log(kLogError, tag, "Stub invoke FAILED: Error code:  %d :: %s", errorCode_, errorMessage_.c_str());
        return false;
    }
    if (node.type() != pugi::node_element)
        return false;
    const char* name = node.attribute("name").value();
    if (std::strcmp(name, "heartbeat_rsp") != 0) {
        Log(kLogError, tag, "Mismatched operation %s with %s", name, "heartbeat_rsp");
        return false;
    }
    const char* version = node.attribute("version").value();
    if (std::strcmp(version, "version01") != 0) {
        Log(kLogError, tag, "Mismatched version %s with %s", version, "version01");
        return false;
    }
    pugi::xml_node head = node.first_child();
    pugi::xml_node body = head ? head.next_sibling() : pugi::xml_node();
    if (!IsElement(body, "heartbeat_rsp"))
        return false;
    *newEvent = body.attribute("new_event").value();
    return true;
}

// ---- The thread

void CHeartBeat::_Decide(bool beatOk, const std::string& newEvent) {
    bool lastPassOk = shared_->lastPassSucceeded != 0;
    bool post;
    if (beatOk)
        post = newEvent == "yes" || !lastPassOk;
    else
        post = lastPassOk && shared_->state == kRunning;
    // Skipped items that are due: one pass for them (the pass sets the next time).
    const int64_t retryAt = shared_->retryAtMs.load();
    if (retryAt > 0 && SteadyNowMs() >= retryAt && shared_->state == kRunning) {
        shared_->retryAtMs = 0;
        post = true;
    }
    if (!post)
        return;
    platform::ThreadMessage msg;
    msg.code = platform::WM_WORK_SYNC_WANTED;
    if (!platform::PostThreadMessage(worker_, msg))
        Log(kLogWarn, "CHeartBeat::HeartThreadProc", "Fail to post a sync request to thread %u", worker_);
}

int CHeartBeat::NextSleepMs(int cycleMs, bool answered, bool newEvent, int64_t tookMs) {
    if (!answered)
        return cycleMs;
    if (newEvent)
        return std::min(cycleMs, kAfterEventMs);  // changes come in runs: let a few gather
    // A held answer used up the cycle; one answered at once (a service that does not hold)
    // waits the rest of it.
    return static_cast<int>(std::clamp<int64_t>(cycleMs - tookMs, 0, cycleMs));
}

int CHeartBeat::HeartThreadProc(CHeartBeat* param) {
    if (param == nullptr) {
        Log(kLogFatal, "CHeartBeat::HeartThreadProc", "Failed for getting a NULL param!");
        return -1;
    }
    // Init set the state to running before the thread started.
    std::shared_ptr<Shared> shared = param->shared_;
    const int cycleMs = param->cycleMs_;
    // A started thread runs at least one cycle: a Stop that comes before or during the first
    // sleep still lets that cycle's heartbeat go out, as for every later sleep.
    int sleepMs = std::min(cycleMs, kFirstBeatMs);
    do {
        {
            std::unique_lock<std::mutex> lock(shared->mu);
            if (shared->cv.wait_for(lock, std::chrono::milliseconds(sleepMs), [&] { return shared->wake; }))
                break;  // teardown: no last heartbeat
        }
        const int64_t sentAt = SteadyNowMs();
        std::string newEvent;
        bool ok = param->SendHeartBeat(&newEvent);
        param->_Decide(ok, newEvent);
        sleepMs = NextSleepMs(cycleMs, ok, newEvent == "yes", SteadyNowMs() - sentAt);
    } while (shared->state == kRunning);
    shared->state = kStopped;
    if (!shared->ownerDestroying)
        delete param;  // the thread owns the object since Stop
    std::lock_guard<std::mutex> lock(shared->mu);
    shared->ended = true;
    shared->cv.notify_all();
    return 0;
}
