#include "platform/thread.h"

#include <atomic>
#include <cerrno>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/fault.h"

using namespace platform;

namespace {
constexpr uint32_t kStop = 0xBEEF;
}

TEST(ThreadQueue, StartRegistersTheQueueBeforeTheBodyRuns) {
    Thread t;
    std::atomic<ThreadId> seen{0};
    std::vector<uint32_t> codes;
    std::vector<std::string> texts;
    ASSERT_TRUE(t.Start([&] {
        seen = CurrentThreadId();
        ThreadMessage m;
        while (GetMessage(&m) && m.code != kStop) {
            codes.push_back(m.code);
            texts.push_back(m.text);
        }
    }));
    ASSERT_NE(0u, t.Id());
    // Posted right away, before the thread necessarily runs: nothing is lost, order is kept.
    for (uint32_t c = 1; c <= 100; ++c) {
        ASSERT_TRUE(PostThreadMessage(
            t.Id(), ThreadMessage{c, c, -static_cast<intptr_t>(c), "t" + std::to_string(c)}));
    }
    ASSERT_TRUE(PostThreadMessage(t.Id(), ThreadMessage{kStop, 0, 0, ""}));
    t.Join();
    EXPECT_EQ(t.Id(), seen.load());
    ASSERT_EQ(100u, codes.size());
    for (uint32_t c = 1; c <= 100; ++c) {
        EXPECT_EQ(c, codes[c - 1]);
        EXPECT_EQ("t" + std::to_string(c), texts[c - 1]);
    }
}

TEST(ThreadQueue, UnknownIdsAndThreadsWithoutQueue) {
    EXPECT_FALSE(PostThreadMessage(0, ThreadMessage{}));
    EXPECT_EQ(ESRCH, LastError());
    EXPECT_FALSE(PostThreadMessage(0x7fffffff, ThreadMessage{}));
    EXPECT_EQ(0u, CurrentThreadId());
    ThreadMessage m;
    EXPECT_FALSE(GetMessageTimeout(&m, 10)) << "no queue on this thread";
    ThreadId gone = 0;
    {
        Thread t;
        ASSERT_TRUE(t.Start([] {}));
        gone = t.Id();
    }
    EXPECT_FALSE(PostThreadMessage(gone, ThreadMessage{})) << "the destructor unregisters the queue";
}

TEST(ThreadQueue, RegisteredCurrentThreadAndTimeout) {
    ThreadId id = RegisterCurrentThread();
    ASSERT_NE(0u, id);
    EXPECT_EQ(id, RegisterCurrentThread()) << "registering twice keeps the queue";
    EXPECT_EQ(id, CurrentThreadId());
    ThreadMessage m;
    EXPECT_FALSE(GetMessageTimeout(&m, 30));
    EXPECT_EQ(ETIMEDOUT, LastError());
    Thread poster;
    ASSERT_TRUE(poster.Start([id] {
        SleepMs(20);
        PostThreadMessage(id, ThreadMessage{42, 1, 2, "late"});
    }));
    ASSERT_TRUE(GetMessageTimeout(&m, 10000));
    EXPECT_EQ(42u, m.code);
    EXPECT_EQ("late", m.text);
    poster.Join();
    UnregisterCurrentThread();
    EXPECT_EQ(0u, CurrentThreadId());
    EXPECT_FALSE(PostThreadMessage(id, ThreadMessage{}));
}

TEST(ThreadQueue, DestroyingTheOwnerEndsAWaitingLoop) {
    std::atomic<bool> ended{false};
    {
        Thread t;
        ASSERT_TRUE(t.Start([&] {
            ThreadMessage m;
            while (GetMessage(&m)) {
            }
            ended = true;
        }));
    }  // joins: the closed queue makes GetMessage return false
    EXPECT_TRUE(ended);
}

TEST(ThreadQueue, StartFault) {
    FaultScope faults;
    FailCall(Op::ThreadStart, 1, EAGAIN);
    Thread t;
    std::atomic<bool> ran{false};
    EXPECT_FALSE(t.Start([&] { ran = true; }));
    EXPECT_EQ(EAGAIN, LastError());
    EXPECT_FALSE(t.Joinable());
    EXPECT_EQ(0u, t.Id());
    ASSERT_TRUE(t.Start([&] { ran = true; }));
    EXPECT_FALSE(t.Start([] {})) << "one thread per object at a time";
    t.Join();
    EXPECT_TRUE(ran);
}
