// A worker for sign-in tests: the real sign-in against a reference service, with its waits recorded
// instead of slept and its passes scripted. LoginFixture gives each test a fresh home, a captured
// log, a recording front end and a running service whose address the worker's defaults name.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/frontends.h"
#include "platform/mainwindow.h"
#include "support/env.h"
#include "support/logcapture.h"
#include "support/testserver.h"
#include "sync/work.h"

namespace testsupport {

class LoginWork : public CWork {
  public:
    ~LoginWork() override { Stop(-1); }

    // The pass. By default it only does what a pass's full download leaves behind: the account's
    // server root stored, the reset flag cleared. `index` counts from 0.
    std::function<int(LoginWork&, int index)> pass;
    // Called at each wait instead of sleeping (with the wait asked for).
    std::function<void(LoginWork&, int ms)> onPause;
    // The waits sleep as the worker's own do (after onPause), ended early as theirs are.
    std::atomic<bool> realPause{false};

    std::vector<int> Pauses();
    int Passes();
    bool WaitForPasses(int n, int timeoutMs = 30000);
    // Posts WM_WORK_LOGIN with a reply window and waits for WM_LOGIN_RESULT: 1, 0, or -1 without
    // a reply.
    int SignIn(int timeoutMs = 60000);
    // Posts WM_WORK_LOGOUT with a reply window and waits for WM_LOGOUT_DONE.
    bool SignOut(int timeoutMs = 30000);

    void Pause(int ms) override;

  protected:
    int RunPass() override;

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<int> pauses_;
    int passes_ = 0;
    int started_ = 0;
};

class LoginFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A worker initialised on this test's home (not signed in), with the account given.
    std::unique_ptr<LoginWork> NewWork(const std::string& user = TestServer::kUser,
                                       const std::string& password = TestServer::kPassword,
                                       const std::string& hostName = "laptop");
    std::string Root() const { return home_.Home() + "/Kestrine"; }
    std::string HomeFolder() const { return Root() + "/home"; }
    std::string DbFile() const { return Root() + "/.db/client.db"; }
    // The value stored in the configuration table, "<none>" when there is no row (StoredConfig).
    std::string Stored(const std::string& key) const;
    // Rows of one of the client database's tables.
    int Rows(const std::string& table) const;
    // How many requests of a SOAP operation ("login", "obtain_host_id") the service logged so
    // far; "portal:TEXT" counts portal requests whose log line holds TEXT ("portal:LoginServlet").
    int Requests(const std::string& op);
    std::vector<std::string> Texts(uint32_t code) { return front_.Texts(code); }
    bool HasText(uint32_t code, const std::string& text);

    FakeHome home_;
    LogCapture log_;
    platform::RecordingFrontEnd front_;
    TestServer server_;
    ScopedEnv env_;
};

}  // namespace testsupport
