// build/kestrine with the system's proxy chosen in its options ("浏览器设置") and http_proxy
// naming a port where nothing listens: the service's host in no_proxy is reached directly, so the
// client signs in and syncs; without it every request goes to the dead proxy.
#include <gtest/gtest.h>

#include <string>

#include "core/config.h"
#include "core/locations.h"
#include "e2e/harness.h"
#include "support/env.h"
#include "support/tempdir.h"

namespace {

using e2e::Computer;

// Port 1 (tcpmux) is refused at once on a test machine.
constexpr const char* kDeadProxy = "http://127.0.0.1:1";

// Chooses the system's proxy in the client's settings, as the options page stores it.
bool UseSystemProxy(const Computer& c) {
    CConfig config;
    if (!config.Init(locations::DatabasePath(c.Root())) || !config.OpenDB())
        return false;
    const bool ok =
        config.SetValueByKey("proxy_type", "浏览器设置") != 0 && config.SetValueByKey("proxy_flag", "1") != 0;
    config.CloseDB();
    return ok;
}

TEST(ProxyE2E, NoProxyHostIsReachedDirectly) {
    testsupport::ScopedEnv env;
    env.Set("KESTRINE_SIGNIN_RETRY_MS", "200");
    testsupport::TestServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    Computer laptop(server, "laptop");
    std::string error;
    ASSERT_TRUE(laptop.Start(&error)) << error;
    ASSERT_TRUE(laptop.WaitSignedIn()) << laptop.Console();
    ASSERT_TRUE(laptop.Stop());
    ASSERT_TRUE(UseSystemProxy(laptop));

    // The proxy is really in the way: without no_proxy the client cannot get through.
    laptop.SetEnv("http_proxy", kDeadProxy);
    ASSERT_TRUE(laptop.Start(&error)) << error;
    ASSERT_TRUE(e2e::WaitUntil(
        [&] { return laptop.Log().find("Next attempt in 200 ms") != std::string::npos; }, 30000))
        << laptop.Console() << e2e::Tail(laptop.Log());
    EXPECT_EQ(laptop.Console().find("[tray] signed in"), std::string::npos) << laptop.Console();
    ASSERT_TRUE(laptop.Stop());

    // The service's address, a range holding it, and the address with the service's port.
    const std::string port = std::to_string(server.Port());
    int n = 0;
    for (const std::string& noProxy : {std::string("127.0.0.1"), std::string("localhost,127.0.0.0/8"),
                                       "other.example, 127.0.0.1:" + port}) {
        SCOPED_TRACE(noProxy);
        laptop.SetEnv("no_proxy", noProxy);
        ASSERT_TRUE(laptop.Start(&error)) << error;
        ASSERT_TRUE(laptop.WaitSignedIn(20000)) << laptop.Console() << e2e::Tail(laptop.Log());
        const std::string name = "direct-" + std::to_string(++n) + ".txt";
        laptop.Write(name, "sent directly");
        testsupport::TempDir scratch;
        EXPECT_TRUE(e2e::WaitUntil(
            [&] { return server.Get(testsupport::TestServer::kUser, name, scratch.Sub("got")); },
            e2e::ConvergeMs()))
            << laptop.Console() << e2e::Tail(laptop.Log());
        EXPECT_EQ(scratch.ReadFile("got"), "sent directly");
        ASSERT_TRUE(laptop.Stop());
    }
}

}  // namespace
