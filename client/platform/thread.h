// Threads with message queues, looked up by a numeric id: any thread posts to a queue by its id
// (PostThreadMessage), the owning thread waits on its own (GetMessage). A queue exists from Thread::Start (or
// RegisterCurrentThread) until the thread object is destroyed or UnregisterCurrentThread; posting to an
// unknown id fails.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace platform {

using ThreadId = uint32_t;

// wParam / lParam are numbers whose meaning the message code sets; a message's text (the rename
// request's "old|new") travels in `text`, owned by the message, never as a pointer.
struct ThreadMessage {
    uint32_t code = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    std::string text;
};

bool PostThreadMessage(ThreadId id, const ThreadMessage& msg);
// Blocks until a message arrives for the calling thread's queue; false when it has none.
bool GetMessage(ThreadMessage* msg);
// Waits at most `ms` milliseconds; false on timeout or when the thread has no queue.
bool GetMessageTimeout(ThreadMessage* msg, int ms);
ThreadId CurrentThreadId();  // 0 for a thread without a queue
// Takes every message of `code` out of the calling thread's queue, oldest first, leaving the
// others in their order. Empty when the thread has no queue.
std::vector<ThreadMessage> TakeMessagesOfCode(uint32_t code);

// Gives the calling thread a queue (the GUI thread uses it); returns its id.
ThreadId RegisterCurrentThread();
void UnregisterCurrentThread();

// A std::thread with a queue. Start can be made to fail (Op::ThreadStart).
class Thread {
  public:
    Thread() = default;
    ~Thread();  // joins when still joinable and not the calling thread, otherwise detaches
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    bool Start(std::function<void()> body);
    ThreadId Id() const { return id_; }
    bool Joinable() const { return thread_.joinable(); }
    void Join();
    void Detach();

  private:
    std::thread thread_;
    ThreadId id_ = 0;
};

void SleepMs(int ms);

}  // namespace platform
