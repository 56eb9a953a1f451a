// The heartbeat: its request, the reply check, the decision table over many cycles, Stop during
// the sleep and during a pending call, teardown of a running heartbeat, failed start-ups; then
// the reference service telling it about a change made by another host.
#include "service/heartbeat.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "platform/fault.h"
#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "platform/messages.h"
#include "support/cannedhttp.h"
#include "support/env.h"
#include "support/hostsession.h"
#include "support/logcapture.h"
#include "support/testserver.h"
#include "support/wait.h"

namespace {

using testsupport::CannedHttpServer;

std::string Reply(const std::string& payload, int status = 200) {
    return CannedHttpServer::Response(status, "application/soap+xml; charset=UTF-8",
                                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><s:Envelope "
                                      "xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
                                      "<s:Body>" +
                                          payload + "</s:Body></s:Envelope>");
}

std::string Beat(const std::string& newEvent, const std::string& name = "heartbeat_rsp",
                 const std::string& version = "version01") {
    return "<operation name=\"" + name + "\" version=\"" + version +
           "\"><response_head result=\"OK\" rsp_sequence=\"1\"/><heartbeat_rsp new_event=\"" + newEvent +
           "\"/></operation>";
}

using testsupport::WaitUntil;

// The test thread's own queue stands in for the worker's.
class WorkerQueue {
  public:
    WorkerQueue() : id_(platform::RegisterCurrentThread()) {}
    ~WorkerQueue() { platform::UnregisterCurrentThread(); }
    platform::ThreadId Id() const { return id_; }
    // Sync requests waiting in the queue (drained); any other message fails the test.
    int Drain() {
        int n = 0;
        platform::ThreadMessage m;
        while (platform::GetMessageTimeout(&m, 0)) {
            EXPECT_EQ(m.code, platform::WM_WORK_SYNC_WANTED);
            EXPECT_EQ(m.wParam, 0u);
            EXPECT_EQ(m.lParam, 0);
            ++n;
        }
        return n;
    }
    bool WaitForOne(int timeoutMs) {
        platform::ThreadMessage m;
        return platform::GetMessageTimeout(&m, timeoutMs) && m.code == platform::WM_WORK_SYNC_WANTED;
    }

  private:
    platform::ThreadId id_;
};

// A heartbeat on a canned service; the test forgets it at Stop, as the worker does.
struct Canned {
    Canned() { EXPECT_TRUE(server.Start()); }
    bool Start(platform::ThreadId worker, int cycleMs, int lastPass = 1, int64_t retryAtMs = 0) {
        auto hb = std::make_unique<CHeartBeat>();
        hb->SetCycleMs(cycleMs);
        hb->SetLastPassResult(lastPass);
        hb->SetRetryAt(retryAtMs);
        watch = std::make_unique<CHeartBeat::EndWatch>(hb->Watch());
        if (!hb->Init(worker, server.Url("/axis2/services/mirn_service_hb"), "alice", "pw-alice", "host-1",
                      ""))
            return false;
        heartbeat = hb.release();
        return true;
    }
    // Stops and waits for the thread to destroy the heartbeat.
    bool StopAndWait(int timeoutMs = 10000) {
        EXPECT_TRUE(heartbeat->Stop());
        heartbeat = nullptr;
        return watch->Wait(timeoutMs);
    }
    CannedHttpServer server;
    CHeartBeat* heartbeat = nullptr;  // owned by its thread once started
    std::unique_ptr<CHeartBeat::EndWatch> watch;
};

TEST(HeartBeat, ReplyCheck) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(("<r>" + Beat("yes") + Beat("no") + Beat("yes", "heartbeat") +
                                 Beat("yes", "heartbeat_rsp", "version02") +
                                 "<operation name=\"heartbeat_rsp\" version=\"version01\"><response_head/>"
                                 "</operation>"
                                 "<operation name=\"heartbeat_rsp\" version=\"version01\"><response_head/>"
                                 "<other new_event=\"yes\"/></operation></r>")
                                    .c_str()));
    std::vector<pugi::xml_node> replies;
    for (pugi::xml_node n : doc.first_child().children())
        replies.push_back(n);
    struct Case {
        const char* what;
        pugi::xml_node node;
        bool ok;
        const char* newEvent;  // after the check (it starts as "unset")
        const char* message;   // in the log, or empty for none
    } cases[] = {
        {"new events", replies[0], true, "yes", ""},
        {"nothing new", replies[1], true, "no", ""},
        {"no reply", pugi::xml_node(), false, "delay", "Stub invoke FAILED: Error code:  0 :: "},
        {"named like the request", replies[2], false, "unset",
         "Mismatched operation heartbeat with heartbeat_rsp"},
        {"another version", replies[3], false, "unset", "Mismatched version version02 with version01"},
        {"no body after the head", replies[4], false, "unset", ""},
        {"another body element", replies[5], false, "unset", ""},
        {"a text instead of an element", doc.first_child().append_child(pugi::node_pcdata), false, "unset",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        CHeartBeat hb;
        std::string newEvent = "unset";
        EXPECT_EQ(hb.ParseOmResponse(c.node, &newEvent), c.ok);
        EXPECT_EQ(newEvent, c.newEvent);
        if (*c.message) {
            EXPECT_TRUE(log.Contains(c.message)) << log.Text();
        } else {
            EXPECT_FALSE(log.Contains("CHeartBeat")) << log.Text();
        }
    }
}

// Each row runs the thread over several cycles against one kind of answer. A cycle's decision is
// made before the next request leaves, so once four requests arrived three decisions were made.
TEST(HeartBeat, DecisionTable) {
    WorkerQueue worker;
    const std::string fails = Reply("<operation/>", 500);
    struct Case {
        const char* what;
        std::string answer;  // empty: the connection is dropped
        int lastPass;
        bool posts;
    } cases[] = {
        {"new events after a good pass", Reply(Beat("yes")), 1, true},
        {"new events after a failed pass", Reply(Beat("yes")), 0, true},
        {"nothing new after a good pass", Reply(Beat("no")), 1, false},
        {"nothing new after a failed pass", Reply(Beat("no")), 0, true},
        {"no answer after a good pass", "", 1, true},
        {"no answer after a failed pass", "", 0, false},
        {"a malformed answer after a good pass", fails, 1, true},
        {"an answer named like the request after a failed pass", Reply(Beat("yes", "heartbeat")), 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Canned t;
        t.server.SetDefault(CannedHttpServer::Reply{c.answer, 0, c.answer.empty()});
        ASSERT_TRUE(t.Start(worker.Id(), 20, c.lastPass));
        ASSERT_TRUE(t.server.WaitForRequests(4, 10000));
        ASSERT_TRUE(t.StopAndWait());
        int posts = worker.Drain();
        size_t requests = t.server.Requests().size();
        if (c.posts) {
            EXPECT_GE(posts, 3);
            EXPECT_LE(static_cast<size_t>(posts), requests);
        } else {
            EXPECT_EQ(posts, 0);
        }
    }
}

// Items a good pass skipped ask for one pass when they are due, and none before.
TEST(HeartBeat, SkippedItemsAskForOnePassWhenDue) {
    WorkerQueue worker;
    const int64_t now = CHeartBeat::SteadyNowMs();
    struct Case {
        const char* what;
        int64_t retryAt;
        int posts;
    } cases[] = {
        {"due already", now - 1, 1},
        {"due in an hour", now + 3600 * 1000, 0},
        {"none", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Canned t;
        t.server.SetDefault(CannedHttpServer::Reply{Reply(Beat("no")), 0, false});
        ASSERT_TRUE(t.Start(worker.Id(), 20, 1, c.retryAt));
        ASSERT_TRUE(t.server.WaitForRequests(5, 10000));
        ASSERT_TRUE(t.StopAndWait());
        EXPECT_EQ(worker.Drain(), c.posts);
    }
}

TEST(HeartBeat, CycleFromTheEnvironment) {
    // Only a plain whole number of milliseconds in range shortens the cycle; anything else keeps
    // the default rather than beating a service in a tight loop or never.
    const struct {
        const char* value;
        int expected;
    } cases[] = {
        {"1000", 1000},
        {"100", 100},
        {"600000", 600000},
        {"99", CHeartBeat::kCycleMs},
        {"0", CHeartBeat::kCycleMs},
        {"-5", CHeartBeat::kCycleMs},
        {"1e3", CHeartBeat::kCycleMs},
        {" 500", CHeartBeat::kCycleMs},
        {"600001", CHeartBeat::kCycleMs},
        {"99999999999999999999", CHeartBeat::kCycleMs},
        {"", CHeartBeat::kCycleMs},
    };
    for (const auto& c : cases) {
        testsupport::ScopedEnv env;
        env.Set("KESTRINE_HEARTBEAT_MS", c.value);
        CHeartBeat beat;
        EXPECT_EQ(beat.CycleMs(), c.expected) << "\"" << c.value << "\"";
    }
    testsupport::ScopedEnv env;
    env.Unset("KESTRINE_HEARTBEAT_MS");
    EXPECT_EQ(CHeartBeat().CycleMs(), CHeartBeat::kCycleMs);
}

TEST(HeartBeat, RequestFrameAndSequence) {
    WorkerQueue worker;
    Canned t;
    t.server.SetDefault(CannedHttpServer::Reply{Reply(Beat("no"))});
    ASSERT_TRUE(t.Start(worker.Id(), 10));
    ASSERT_TRUE(t.server.WaitForRequests(2, 10000));
    ASSERT_TRUE(t.StopAndWait());
    std::vector<CannedHttpServer::Request> requests = t.server.Requests();
    for (size_t i = 0; i < 2; ++i) {
        CSoapReply r;
        std::string error;
        ASSERT_TRUE(r.Parse(requests[i].Header("Content-Type"), requests[i].body, 200, &error)) << error;
        pugi::xml_node op = r.Payload();
        EXPECT_STREQ(op.attribute("name").value(), "heartbeat");
        EXPECT_STREQ(op.attribute("version").value(), "version01");
        EXPECT_FALSE(op.attribute("src"));
        pugi::xml_node head = op.first_child();
        EXPECT_STREQ(head.name(), "request_head");
        EXPECT_STREQ(head.attribute("user_name").value(), "alice");
        EXPECT_EQ(head.attribute("password").value(), soapchannel::PasswordDigest("pw-alice"));
        EXPECT_FALSE(head.attribute("passport"));
        EXPECT_EQ(head.attribute("req_sequence").as_int(), static_cast<int>(i + 1));
        EXPECT_STREQ(head.child_value("host_id"), "host-1");
        pugi::xml_node body = head.next_sibling();
        EXPECT_STREQ(body.name(), "heartbeat");
        EXPECT_FALSE(body.first_child());
        // The only attribute lets the service hold the answer for up to a cycle.
        EXPECT_EQ(body.attribute("wait_ms").as_int(), 10);
        EXPECT_FALSE(body.first_attribute().next_attribute());
    }
}

// The wait before the next heartbeat: a held answer used its cycle, news asks again soon, an
// answer at once (a service that holds nothing) or no answer keeps the cycle's pace.
TEST(HeartBeat, NextSleep) {
    struct Case {
        const char* what;
        bool answered, newEvent;
        int64_t tookMs;
        int sleepMs;
    } cases[] = {
        {"held for the whole cycle", true, false, 10000, 0},
        {"held longer than the cycle", true, false, 15000, 0},
        {"answered at once, nothing new", true, false, 3, 9997},
        {"news", true, true, 40, CHeartBeat::kAfterEventMs},
        {"no answer", false, false, 20, 10000},
        {"no answer after a long wait", false, true, 60000, 10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(CHeartBeat::NextSleepMs(10000, c.answered, c.newEvent, c.tookMs), c.sleepMs);
    }
    EXPECT_EQ(CHeartBeat::NextSleepMs(100, true, true, 1), 100) << "a short cycle bounds the wait after news";
}

TEST(HeartBeat, StopDuringTheSleepSendsOneLastHeartbeat) {
    WorkerQueue worker;
    Canned t;
    t.server.SetDefault(CannedHttpServer::Reply{Reply(Beat("yes"))});
    ASSERT_TRUE(t.Start(worker.Id(), 500));
    EXPECT_EQ(t.watch->State(), CHeartBeat::kRunning);
    ASSERT_TRUE(t.StopAndWait());
    EXPECT_EQ(t.server.Requests().size(), 1u);
    EXPECT_EQ(worker.Drain(), 1) << "the last heartbeat's news still reaches the worker";
    EXPECT_EQ(t.watch->State(), CHeartBeat::kStopped);
}

TEST(HeartBeat, StopEndsAPendingCall) {
    WorkerQueue worker;
    Canned t;
    // The service holds the call far past the stop: only the cancel can end it early.
    t.server.SetDefault(CannedHttpServer::Reply{Reply(Beat("yes")), 60000});
    ASSERT_TRUE(t.Start(worker.Id(), 10));
    ASSERT_TRUE(t.server.WaitForRequests(1, 10000));
    ASSERT_TRUE(t.StopAndWait(20000));
    EXPECT_EQ(worker.Drain(), 0) << "a call ended by the stop asks for nothing";
}

TEST(HeartBeat, DestroyingARunningHeartbeatEndsItsThread) {
    WorkerQueue worker;
    struct Case {
        const char* what;
        int cycleMs;
        int delayMs;
        size_t requests;  // before the destruction
    } cases[] = {
        {"in the sleep", 60000, 0, 0},
        {"in a pending call", 10, 60000, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CannedHttpServer server;
        ASSERT_TRUE(server.Start());
        server.SetDefault(CannedHttpServer::Reply{Reply(Beat("yes")), c.delayMs});
        auto hb = std::make_unique<CHeartBeat>();
        hb->SetCycleMs(c.cycleMs);
        CHeartBeat::EndWatch watch = hb->Watch();
        ASSERT_TRUE(hb->Init(worker.Id(), server.Url("/hb"), "alice", "pw", "host-1", ""));
        if (c.requests) {
            ASSERT_TRUE(server.WaitForRequests(c.requests, 10000));
        }
        hb.reset();
        EXPECT_TRUE(watch.Wait(0));
        EXPECT_EQ(watch.State(), CHeartBeat::kStopped);
        EXPECT_EQ(server.Requests().size(), c.requests) << "no last heartbeat at teardown";
        EXPECT_EQ(worker.Drain(), 0);
    }
}

TEST(HeartBeat, FailedStartsLeaveNoThread) {
    WorkerQueue worker;
    platform::RecordingFrontEnd front;
    platform::SetMainWindow(&front);
    struct Case {
        const char* what;
        std::string endpoint, user, password, host;
        bool failThread;
        const char* message;
    } cases[] = {
        {"no endpoint", "", "alice", "pw", "h", false, "Fail to init the heartbeat"},
        {"no user", "http://127.0.0.1:9/hb", "", "pw", "h", false, "Fail to init the heartbeat"},
        {"no password", "http://127.0.0.1:9/hb", "alice", "", "h", false, "password empty"},
        {"no host id", "http://127.0.0.1:9/hb", "alice", "pw", "", false, "host id {}"},
        {"no thread", "http://127.0.0.1:9/hb", "alice", "pw", "h", true, "Fail to create thread heartbeat"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        platform::FaultScope faults;
        if (c.failThread)
            platform::FailCall(platform::Op::ThreadStart);
        auto hb = std::make_unique<CHeartBeat>();
        CHeartBeat::EndWatch watch = hb->Watch();
        EXPECT_FALSE(hb->Init(worker.Id(), c.endpoint, c.user, c.password, c.host, ""));
        EXPECT_TRUE(log.Contains(c.message)) << log.Text();
        EXPECT_EQ(hb->State(), CHeartBeat::kStopRequested);
        EXPECT_TRUE(watch.Wait(0));
        EXPECT_FALSE(hb->Stop()) << "nothing runs: the caller keeps the object";
        CHeartBeat::StopAndRelease(std::move(hb));  // destroyed here, or the sanitizer reports a leak
    }
    std::vector<platform::RecordingFrontEnd::Box> boxes = front.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "创建心跳线程失败！");
    platform::SetMainWindow(nullptr);
}

TEST(HeartBeat, ASecondInitStartsNoSecondThread) {
    WorkerQueue worker;
    Canned t;
    t.server.SetDefault(CannedHttpServer::Reply{Reply(Beat("no"))});
    ASSERT_TRUE(t.Start(worker.Id(), 300));
    testsupport::LogCapture log;
    EXPECT_FALSE(t.heartbeat->Init(worker.Id(), t.server.Url("/hb"), "alice", "pw", "h", ""));
    EXPECT_TRUE(log.Contains("The heartbeat thread runs already"));
    EXPECT_EQ(t.heartbeat->State(), CHeartBeat::kRunning);
    CHeartBeat* hb = t.heartbeat;
    t.heartbeat = nullptr;
    CHeartBeat::StopAndRelease(std::unique_ptr<CHeartBeat>(hb));
    EXPECT_TRUE(t.watch->Wait(10000));
}

TEST(HeartBeat, ThreadWithoutParameter) {
    testsupport::LogCapture log;
    EXPECT_EQ(CHeartBeat::HeartThreadProc(nullptr), -1);
    EXPECT_TRUE(log.Contains("CHeartBeat::HeartThreadProc")) << log.Text();
    EXPECT_EQ(log.LastError(), "Failed for getting a NULL param!");
}

// The reference service reports a change made through its command line (another host).
TEST(HeartBeat, AgainstTheServiceAChangeByAnotherHostAsksForAPass) {
    testsupport::TestServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    testsupport::HostSession session;
    ASSERT_TRUE(session.Open(server)) << session.Error();
    WorkerQueue worker;
    auto hb = std::make_unique<CHeartBeat>();
    hb->SetCycleMs(100);
    CHeartBeat::EndWatch watch = hb->Watch();
    ASSERT_TRUE(hb->Init(worker.Id(), session.HeartBeatUrl(), testsupport::TestServer::kUser,
                         testsupport::TestServer::kPassword, session.HostId(), ""));
    auto beats = [&] {
        std::string out = server.Output();
        size_t n = 0;
        for (size_t at = out.find("heartbeat"); at != std::string::npos; at = out.find("heartbeat", at + 1))
            ++n;
        return n;
    };
    // Quiet first: beats without news ask for nothing.
    size_t start = beats();
    ASSERT_TRUE(WaitUntil([&] { return beats() >= start + 3; }, 10000));
    worker.Drain();
    size_t quiet = beats();
    ASSERT_TRUE(WaitUntil([&] { return beats() >= quiet + 3; }, 10000));
    EXPECT_EQ(worker.Drain(), 0);

    std::string local = server.Dir().Sub("note.txt");
    std::ofstream(local) << "written by another host";
    ASSERT_TRUE(server.Put(testsupport::TestServer::kUser, local, "note.txt"));
    EXPECT_TRUE(worker.WaitForOne(10000));
    CHeartBeat::StopAndRelease(std::move(hb));
    EXPECT_TRUE(watch.Wait(10000));
}

}  // namespace
