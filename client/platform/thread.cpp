#include "platform/thread.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "platform/error.h"
#include "platform/fault.h"
#include "platform/plog.h"

namespace platform {

namespace {

// One thread's queue. `closed` is set when the queue is unregistered: GetMessage then returns
// false once the queue is drained, so a loop waiting on it can end and be joined.
struct Queue {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<ThreadMessage> messages;
    bool closed = false;
};

// The queues of all threads. Never destroyed: a thread that owns itself (a released heartbeat)
// may still end, and unregister, while the process runs its exit destructors.
struct Queues {
    std::mutex mu;
    std::unordered_map<ThreadId, std::shared_ptr<Queue>> byId;
};
Queues& AllQueues() {
    static Queues* queues = new Queues;
    return *queues;
}
std::atomic<ThreadId> gNextId{1};

thread_local ThreadId tId = 0;
thread_local std::shared_ptr<Queue> tQueue;

ThreadId NewId() {
    ThreadId id;
    do {
        id = gNextId.fetch_add(1);
    } while (id == 0);  // 0 means "no queue"; skip it after a wrap
    return id;
}

std::shared_ptr<Queue> Register(ThreadId id) {
    auto q = std::make_shared<Queue>();
    Queues& all = AllQueues();
    std::lock_guard<std::mutex> lock(all.mu);
    all.byId[id] = q;
    return q;
}

void Unregister(ThreadId id) {
    std::shared_ptr<Queue> q;
    {
        Queues& all = AllQueues();
        std::lock_guard<std::mutex> lock(all.mu);
        auto it = all.byId.find(id);
        if (it == all.byId.end()) {
            return;
        }
        q = it->second;
        all.byId.erase(it);
    }
    std::lock_guard<std::mutex> lock(q->mu);
    q->closed = true;
    q->cv.notify_all();
}

// Waits for the calling thread's next message; ms < 0 waits without bound.
bool Take(ThreadMessage* msg, int ms) {
    std::shared_ptr<Queue> q = tQueue;
    if (!q) {
        SetLastError(EINVAL);
        return false;
    }
    std::unique_lock<std::mutex> lock(q->mu);
    auto ready = [&q] { return !q->messages.empty() || q->closed; };
    if (ms < 0) {
        q->cv.wait(lock, ready);
    } else if (!q->cv.wait_for(lock, std::chrono::milliseconds(ms), ready)) {
        SetLastError(ETIMEDOUT);
        return false;
    }
    if (q->messages.empty()) {
        SetLastError(ESRCH);  // the queue was closed
        return false;
    }
    *msg = std::move(q->messages.front());
    q->messages.pop_front();
    return true;
}

}  // namespace

bool PostThreadMessage(ThreadId id, const ThreadMessage& msg) {
    std::shared_ptr<Queue> q;
    {
        Queues& all = AllQueues();
        std::lock_guard<std::mutex> lock(all.mu);
        auto it = all.byId.find(id);
        if (it != all.byId.end()) {
            q = it->second;
        }
    }
    if (!q) {
        SetLastError(ESRCH);
        return false;
    }
    std::lock_guard<std::mutex> lock(q->mu);
    if (q->closed) {
        SetLastError(ESRCH);
        return false;
    }
    q->messages.push_back(msg);
    q->cv.notify_one();
    return true;
}

bool GetMessage(ThreadMessage* msg) {
    return Take(msg, -1);
}

bool GetMessageTimeout(ThreadMessage* msg, int ms) {
    return Take(msg, ms < 0 ? 0 : ms);
}

ThreadId CurrentThreadId() {
    return tId;
}

std::vector<ThreadMessage> TakeMessagesOfCode(uint32_t code) {
    std::vector<ThreadMessage> taken;
    std::shared_ptr<Queue> q = tQueue;
    if (!q) {
        return taken;
    }
    std::lock_guard<std::mutex> lock(q->mu);
    std::deque<ThreadMessage> kept;
    for (ThreadMessage& m : q->messages) {
        if (m.code == code) {
            taken.push_back(std::move(m));
        } else {
            kept.push_back(std::move(m));
        }
    }
    q->messages.swap(kept);
    return taken;
}

ThreadId RegisterCurrentThread() {
    if (tId != 0) {
        return tId;
    }
    tId = NewId();
    tQueue = Register(tId);
    return tId;
}

void UnregisterCurrentThread() {
    if (tId == 0) {
        return;
    }
    Unregister(tId);
    tId = 0;
    tQueue.reset();
}

Thread::~Thread() {
    if (id_ != 0) {
        Unregister(id_);
    }
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

bool Thread::Start(std::function<void()> body) {
    if (thread_.joinable()) {
        SetLastError(EBUSY);
        return false;
    }
    int err = 0;
    if (ShouldFail(Op::ThreadStart, "", &err)) {
        SetLastError(err);
        return false;
    }
    if (id_ != 0) {
        Unregister(id_);  // a finished earlier run's queue
    }
    // The queue exists before the thread runs, so a post to Id() right after Start lands.
    ThreadId id = NewId();
    std::shared_ptr<Queue> q = Register(id);
    id_ = id;
    try {
        thread_ = std::thread([id, q, body = std::move(body)] {
            tId = id;
            tQueue = q;
            try {
                body();
            } catch (const std::exception& e) {
                Log(1, "platform::Thread", std::string("Thread ended by an exception: ") + e.what());
            } catch (...) {
                Log(1, "platform::Thread", "Thread ended by an unknown exception");
            }
            tQueue.reset();
            tId = 0;
        });
    } catch (const std::system_error& e) {
        Unregister(id);
        id_ = 0;
        SetLastError(e.code().value() ? e.code().value() : EAGAIN);
        return false;
    }
    return true;
}

void Thread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void Thread::Detach() {
    if (thread_.joinable()) {
        thread_.detach();
    }
}

void SleepMs(int ms) {
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

}  // namespace platform
