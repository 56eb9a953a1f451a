// CAuth: the password encryption, the three extraction rules and the piece parser, replies split
// across deliveries, the digest exchange, and sign-in against the reference service (right and
// wrong passwords, refusals, no answer, bad configuration).
#include "service/auth.h"

#include <cryptopp/blowfish.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/cannedhttp.h"
#include "support/env.h"
#include "support/logcapture.h"
#include "support/testserver.h"
#include "util/base64.h"

namespace {

using testsupport::CannedHttpServer;

std::string Decrypt(const std::string& b64, std::string key) {
    std::string cipher;
    base64::Decode(b64.data(), b64.size(), &cipher);
    if (key.size() < 4)
        key.resize(4, '\0');
    CryptoPP::BlowfishDecryption d(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
    for (size_t off = 0; off + 8 <= cipher.size(); off += 8)
        d.ProcessBlock(reinterpret_cast<CryptoPP::byte*>(cipher.data() + off));
    return cipher;
}

TEST(AuthPassword, BlocksBase64AndShortKeys) {
    struct Case {
        size_t length;
        size_t base64Chars;
    } cases[] = {{1, 12}, {8, 12}, {9, 24}, {16, 24}, {63, 88}, {64, 88}};
    for (const Case& c : cases) {
        std::string password(c.length, 'p');
        password[0] = 'Q';
        for (const char* stamp : {"123456", "-2147483648", "7", "-5", "999"}) {
            std::string out;
            ASSERT_TRUE(CAuth::EncryptPassword(password, stamp, &out));
            EXPECT_EQ(out.size(), c.base64Chars) << c.length;
            std::string plain = Decrypt(out, stamp);
            std::string padded = password + std::string((8 - c.length % 8) % 8, '\0');
            EXPECT_EQ(plain, padded) << c.length << " " << stamp;
        }
    }
    std::string out = "unchanged";
    EXPECT_FALSE(CAuth::EncryptPassword(std::string(65, 'x'), "1234", &out));
    EXPECT_EQ(out, "unchanged");
}

TEST(AuthPassword, CiphertextWithZeroBytesIsEncodedWhole) {
    // Find a key whose ciphertext holds a zero byte; every byte must still reach the Base64 text.
    bool found = false;
    for (int stamp = 1000; stamp < 200000 && !found; ++stamp) {
        std::string out;
        ASSERT_TRUE(CAuth::EncryptPassword("secret-pw", std::to_string(stamp), &out));
        std::string cipher;
        base64::Decode(out.data(), out.size(), &cipher);
        ASSERT_EQ(cipher.size(), 16u);
        if (cipher.find('\0') != std::string::npos) {
            found = true;
            EXPECT_EQ(Decrypt(out, std::to_string(stamp)), std::string("secret-pw") + std::string(7, '\0'));
        }
    }
    EXPECT_TRUE(found);
}

TEST(AuthExtract, RulesAndTheirMessages) {
    enum Rule { kHeader, kEquals, kQuoted };
    struct Case {
        Rule rule;
        std::string name, text;
        bool ok;
        std::string value;  // or the expected error text
    } cases[] = {
        {kHeader, "Set-Kestrine", "Set-Kestrine: a=b;\r\nNext: x", true, ": a=b;\r"},
        {kHeader, "Set-Kestrine", "xx Set-Kestrine   tail", true, "tail"},
        {kHeader, "", "text", false, "Fail to find {} from {text}"},
        {kHeader, "Set-Kestrine", "", false, "Fail to find {Set-Kestrine} from {}"},
        {kHeader, "Set-Kestrine", "Other: 1", false, "Fail to find {Set-Kestrine} from {Other: 1}."},
        {kEquals, "back_server", ": result=OK; back_server = http://b/x ; hb=1;", true, "http://b/x "},
        {kEquals, "hb", "hb=last\nmore", true, "last"},
        {kEquals, "hb", "hb=last\r", false, "Fail to find {hb} from {hb=last\r}..."},
        {kEquals, "hb", "hb:1;", false, "Fail to find {hb} from {hb:1;}.."},
        {kEquals, "hb", "none", false, "Fail to find {hb} from {none}."},
        {kEquals, "hb", "", false, "Fail to find {hb} from {}"},
        {kQuoted, "passport", "{\"passport\":\"abc\",\"x\":\"y\"}", true, "abc"},
        {kQuoted, "passport", "{\"passport\": \" abc\"}", true, "abc"},
        {kQuoted, "passport", "\"passport\":\"tail\nrest", true, "tail"},
        // The log never shows the passport, even a cut one.
        {kQuoted, "passport", "\"passport\":\"tail", false,
         "Fail to find {passport} from {\"passport\":\"***}..."},
        {kQuoted, "passport", "\"passport\":abc", false, "Fail to find {passport} from {\"passport\":***}.."},
        {kQuoted, "passport", "\"passport\"", false, "Fail to find {passport} from {\"passport\"}.."},
        {kQuoted, "email", "{}", false, "Fail to find {email} from {{}}."},
    };
    for (const Case& c : cases) {
        testsupport::LogCapture log;
        std::string value = "unchanged";
        bool ok = c.rule == kHeader   ? CAuth::GetHeaderField(c.name, c.text, &value)
                  : c.rule == kEquals ? CAuth::GetFieldItem(c.name, c.text, &value)
                                      : CAuth::GetFieldItem1(c.name, c.text, &value);
        EXPECT_EQ(ok, c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        } else {
            EXPECT_EQ(value, "unchanged");
            EXPECT_EQ(log.LastError(), c.value);
        }
    }
}

TEST(AuthParser, SignInBodiesAndEndpointHeaders) {
    const std::string full =
        "{\"result\":\"OK\",\"message\":\"login success\",\"root_folder\":\"alice\","
        "\"passport\":\"pp1\",\"telephone\":\"555\",\"email\":\"a@x\"}";
    {
        CAuth a;
        a.ParserContent(full);
        EXPECT_EQ(a.GetMessage(), "login success");
        EXPECT_EQ(a.GetRootFolder(), "alice");
        EXPECT_EQ(a.GetPassport(), "pp1");
        EXPECT_EQ(a.GetTelephone(), "555");
        EXPECT_EQ(a.GetEmail(), "a@x");
    }
    {
        // Items before the missing one stay set; the parse stops there.
        testsupport::LogCapture log;
        CAuth a;
        a.ParserContent(
            "{\"result\":\"OK\",\"message\":\"m\",\"root_folder\":\"r\",\"passport\":\"p\","
            "\"email\":\"e\"}");
        EXPECT_EQ(a.GetPassport(), "p");
        EXPECT_EQ(a.GetRootFolder(), "r");
        EXPECT_EQ(a.GetTelephone(), "");
        EXPECT_EQ(a.GetEmail(), "") << "email comes after the missing telephone";
        EXPECT_TRUE(log.Contains("Fail to get item {telephone} from {"));
    }
    {
        testsupport::LogCapture log;
        CAuth a;
        a.ParserContent("{\"result\":\"FAIL\",\"message\":\"m\",\"root_folder\":\"r\",\"passport\":\"p\"}");
        EXPECT_EQ(a.GetPassport(), "");
        EXPECT_EQ(a.GetMessage(), "");
        EXPECT_EQ(log.LastError(), "get auth result: FAIL");
    }
    {
        // A header line that happens to contain root_folder is read as a sign-in body.
        CAuth a;
        a.ParserContent(
            "X-Note: \"result\":\"OK\" \"message\":\"h\" \"root_folder\":\"hr\" \"passport\":\"hp\"\r\n");
        EXPECT_EQ(a.GetRootFolder(), "hr");
        EXPECT_EQ(a.GetPassport(), "hp");
    }
    {
        testsupport::LogCapture log;
        CAuth a;
        a.ParserContent(
            "Set-Kestrine: result=OK; back_server=http://h/bs; trs_server=http://h/trs; "
            "hb_server=http://h/hb;\r\n");
        EXPECT_EQ(a.GetBackServer(), "http://h/bs");
        EXPECT_EQ(a.GetTransmitterServer(), "http://h/trs");
        EXPECT_EQ(a.GetHeartBeatServer(), "http://h/hb");
        EXPECT_TRUE(log.Contains("get back server: http://h/bs"));
        EXPECT_TRUE(log.Contains("get transmitter server: http://h/trs"));
        EXPECT_TRUE(log.Contains("get heartbeat server: http://h/hb"));
    }
    {
        // The last item must be closed by ";" too.
        testsupport::LogCapture log;
        CAuth a;
        a.ParserContent("Set-Kestrine: result=OK; back_server=B; trs_server=T; hb_server=H\r\n");
        EXPECT_EQ(a.GetTransmitterServer(), "T");
        EXPECT_EQ(a.GetHeartBeatServer(), "");
        EXPECT_TRUE(log.Contains("Fail to get item {hb_server}"));
    }
    {
        testsupport::LogCapture log;
        CAuth a;
        a.ParserContent("Set-Kestrine: result=NO; back_server=B; trs_server=T; hb_server=H;\r\n");
        EXPECT_EQ(a.GetBackServer(), "");
        EXPECT_EQ(log.LastError(), "get auth result: NO");
    }
    {
        testsupport::LogCapture log;
        CAuth a;
        a.ParserContent("X-Other: back_server=B;\r\n");
        EXPECT_TRUE(log.Contains("Fail to get item {Set-Kestrine}"));
        a.ParserContent("Content-Type: text/plain\r\n");  // ignored
        EXPECT_EQ(a.GetBackServer(), "");
    }
}

// A portal on the canned server: digest challenge first, then the answer.
struct CannedPortal {
    CannedPortal() {
        EXPECT_TRUE(server.Start());
        EXPECT_TRUE(auth.Init(server.Url(""), "alice", "pw-alice"));
    }
    void PushChallenge() {
        server.Push(CannedHttpServer::Response(401, "text/plain", "auth\n",
                                               "WWW-Authenticate: Digest realm=\"kestrine\", qop=\"auth\", "
                                               "nonce=\"abc123\", algorithm=MD5\r\n"));
    }
    CannedHttpServer server;
    CAuth auth;
};

TEST(AuthExchange, DigestHeadersAndBodySplitAcrossDeliveries) {
    testsupport::LogCapture log;
    CannedPortal p;
    const std::string body =
        "{\"result\":\"OK\",\"message\":\"welcome\",\"passport\":\"0123abcd\","
        "\"telephone\":\"5\",\"email\":\"e\",\"root_folder\":\"alice\"}";
    p.PushChallenge();
    CannedHttpServer::Reply split;
    split.bytes = CannedHttpServer::Response(200, "text/plain", body);
    split.pieceSize = 23;  // headers and body arrive in small TCP pieces
    split.pieceDelayMs = 5;
    p.server.Push(split);
    CannedHttpServer::Reply servers;
    servers.bytes = CannedHttpServer::Response(200, "text/plain", "",
                                               "Set-Kestrine: result=OK; back_server=http://b/bs; "
                                               "trs_server=http://b/trs; hb_server=http://b/hb;\r\n");
    servers.pieceSize = 9;
    servers.pieceDelayMs = 5;
    p.server.Push(servers);

    std::string passport;
    ASSERT_TRUE(p.auth.Request(&passport, "", "")) << log.Text();
    EXPECT_EQ(passport, "0123abcd");
    EXPECT_EQ(p.auth.GetRootFolder(), "alice");
    EXPECT_EQ(p.auth.GetMessage(), "welcome");
    EXPECT_EQ(p.auth.GetResponseCode(), 200);
    EXPECT_EQ(p.auth.GetBackServer(), "http://b/bs");
    EXPECT_EQ(p.auth.GetPassport(), "") << "the endpoint exchange clears the object's own copy";

    auto reqs = p.server.Requests();
    ASSERT_EQ(reqs.size(), 3u);
    std::string first = reqs[0].RequestLine();
    EXPECT_EQ(first.find("GET /mirnportal/LoginServlet?user_name=alice&password="), 0u) << first;
    EXPECT_NE(first.find("&time_stamp="), std::string::npos);
    EXPECT_EQ(reqs[0].Header("User-Agent"), "Kestrine");
    EXPECT_EQ(reqs[0].Header("Authorization"), "");
    EXPECT_EQ(reqs[1].RequestLine(), first);
    EXPECT_EQ(reqs[1].Header("Authorization").find("Digest username=\"alice\", realm=\"kestrine\""), 0u)
        << reqs[1].Header("Authorization");
    EXPECT_EQ(reqs[2].RequestLine(), "GET /mirnportal/GetServersAddrServlet HTTP/1.1");
    EXPECT_EQ(reqs[2].Header("Authorization"), "") << "no credentials on the endpoint exchange";
    EXPECT_TRUE(log.Contains("get heartbeat server: http://b/hb"));
    EXPECT_TRUE(
        log.Contains("[CAuth::RequestLogin]: " + p.server.Url("/mirnportal/LoginServlet?user_name=alice")));
}

TEST(AuthExchange, OkWithoutPassportOrEndpoints) {
    {
        testsupport::LogCapture log;
        CannedPortal p;
        p.server.Push(
            CannedHttpServer::Response(200, "text/plain", "{\"result\":\"OK\",\"root_folder\":\"r\"}"));
        std::string passport = "kept";
        EXPECT_FALSE(p.auth.Request(&passport, "", ""));
        EXPECT_EQ(passport, "kept");
        EXPECT_EQ(p.auth.GetResponseCode(), 200);
        EXPECT_EQ(log.LastError(), "Fail to get passport for User {alice}");
    }
    {
        testsupport::LogCapture log;
        CannedPortal p;
        p.server.Push(CannedHttpServer::Response(
            200, "text/plain",
            "\"result\":\"OK\",\"message\":\"\",\"root_folder\":\"r\",\"passport\":\"p\""));
        p.server.Push(
            CannedHttpServer::Response(200, "text/plain", "", "Set-Kestrine: result=OK; back_server=B;\r\n"));
        std::string passport;
        EXPECT_FALSE(p.auth.Request(&passport, "", ""));
        EXPECT_EQ(passport, "p") << "handed over before the endpoint exchange";
        EXPECT_EQ(log.LastError(), "Fail to get servers list: backer(B), transmitter(), heartbeater()");
    }
}

TEST(AuthExchange, LocalRefusalsSendNothing) {
    struct Case {
        const char* what;
        std::string server, user, password;
        int32_t code;
        std::string error;
    } cases[] = {
        {"no user", "http://127.0.0.1:PORT", "", "pw", 0, "Invalid user: "},
        {"no password", "http://127.0.0.1:PORT", "alice", "", 0, "Invalid user: alice"},
        {"https", "https://127.0.0.1:PORT", "alice", "pw", 0,
         "Invalid auth server: https://127.0.0.1:PORT/mirnportal/LoginServlet"},
        {"password beyond 64 bytes", "http://127.0.0.1:PORT", "alice", std::string(65, 'x'),
         CAuth::kRefusedLocally, "The password of user alice is longer than 64 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        CannedHttpServer server;
        ASSERT_TRUE(server.Start());
        auto fill = [&](std::string s) {
            size_t at = s.find("PORT");
            return at == std::string::npos ? s : s.replace(at, 4, std::to_string(server.Port()));
        };
        CAuth a;
        ASSERT_TRUE(a.Init(fill(c.server), c.user, c.password));
        std::string passport = "kept";
        EXPECT_FALSE(a.Request(&passport, "", ""));
        EXPECT_EQ(passport, "kept");
        EXPECT_EQ(a.GetResponseCode(), c.code);
        EXPECT_EQ(log.LastError(), fill(c.error));
        EXPECT_TRUE(server.Requests().empty());
    }
    CAuth a;
    EXPECT_FALSE(a.Init("", "alice", "pw"));
    ASSERT_TRUE(a.Init("http://h/", "u", "p"));
    EXPECT_EQ(a.GetLoginUrl(), "http://h//mirnportal/LoginServlet");
    EXPECT_EQ(a.GetEndpointUrl(), "http://h//mirnportal/GetServersAddrServlet");
}

TEST(AuthExchange, BrowserProxyKindWithoutABrowserProxyGoesDirect) {
    testsupport::ScopedEnv env;
    env.Unset("http_proxy");
    env.Unset("HTTP_PROXY");
    CannedPortal p;
    p.server.Push(CannedHttpServer::Response(
        200, "text/plain", "\"result\":\"OK\",\"message\":\"\",\"root_folder\":\"r\",\"passport\":\"p\""));
    p.server.Push(CannedHttpServer::Response(
        200, "text/plain", "", "Set-Kestrine: result=OK; back_server=B; trs_server=T; hb_server=H;\r\n"));
    p.auth.SetProxy("浏览器设置", "", "", "");
    std::string passport;
    EXPECT_TRUE(p.auth.Request(&passport, "", ""));
    EXPECT_EQ(p.server.Requests()[0].RequestLine().find("GET /mirnportal/"), 0u);

    // An HTTP proxy gets the absolute URL.
    CannedHttpServer proxy;
    ASSERT_TRUE(proxy.Start());
    proxy.Push(CannedHttpServer::Response(503, "text/plain", "down"));
    CAuth viaProxy;
    ASSERT_TRUE(viaProxy.Init("http://10.255.255.1:8", "alice", "pw"));
    viaProxy.SetProxy("HTTP", "127.0.0.1:" + std::to_string(proxy.Port()), "", "");
    EXPECT_FALSE(viaProxy.Request(&passport, "", ""));
    EXPECT_EQ(viaProxy.GetResponseCode(), 503);
    EXPECT_EQ(proxy.Requests()[0].RequestLine().find("GET http://10.255.255.1:8/mirnportal/LoginServlet?"),
              0u);
}

// A portal that accepts the connection and then goes silent, or answers too slowly, ends the
// exchange as "no answer" (code 0) within its limits instead of holding the worker for good; so
// does a reply cut after the digest challenge, which must not read as the challenge's 401 refusal.
TEST(AuthExchange, SilentOrSlowPortalEndsAsNoAnswer) {
    const std::string body = "{\"result\":\"OK\",\"passport\":\"p\",\"root_folder\":\"r\"}";
    struct Case {
        const char* name;
        bool challenge;
        CannedHttpServer::Reply reply;
        int deadlineMs, stallMs;
    };
    CannedHttpServer::Reply silent;
    silent.bytes = CannedHttpServer::Response(200, "text/plain", body);
    silent.delayMs = 120000;
    CannedHttpServer::Reply midReply = silent;
    midReply.delayMs = 0;
    midReply.pieceSize = midReply.bytes.size() - 5;  // all but the last bytes, then nothing
    midReply.pieceDelayMs = 120000;
    CannedHttpServer::Reply trickle = silent;  // a byte every 300 ms: never still, never done
    trickle.delayMs = 0;
    trickle.pieceSize = 1;
    trickle.pieceDelayMs = 300;
    const Case cases[] = {
        {"silent", false, silent, 60000, 1000},
        {"silent after the challenge", true, silent, 60000, 1000},
        {"stalls in the middle of the reply", false, midReply, 60000, 1000},
        {"too slow for the deadline", false, trickle, 2000, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CannedPortal p;
        p.auth.SetLimits(c.deadlineMs, c.stallMs);
        if (c.challenge)
            p.PushChallenge();
        p.server.Push(c.reply);
        std::string passport;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(p.auth.Request(&passport, "", ""));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30))
            << "the answer would have taken over 100 s";
        EXPECT_EQ(p.auth.GetResponseCode(), 0);
        EXPECT_EQ(p.auth.GetTransferError(), 28);  // CURLE_OPERATION_TIMEDOUT
        EXPECT_FALSE(p.auth.WasAborted());
    }
}

// The owner's abort check ends an exchange in flight promptly; the next exchange runs normally.
TEST(AuthExchange, AbortEndsTheExchangeInFlight) {
    CannedPortal p;
    CannedHttpServer::Reply silent;
    silent.bytes = CannedHttpServer::Response(200, "text/plain", "{}");
    silent.delayMs = 120000;
    p.server.Push(silent);
    std::atomic<bool> abort{false};
    p.auth.SetAbort([&abort] { return abort.load(); });
    std::atomic<bool> result{true};
    std::atomic<long long> endedMs{0};
    const auto start = std::chrono::steady_clock::now();
    auto sinceStart = [&start] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    };
    std::thread caller([&] {
        std::string passport;
        result = p.auth.Request(&passport, "", "");
        endedMs = sinceStart();
    });
    ASSERT_TRUE(p.server.WaitForRequests(1, 10000));
    const long long abortedAt = sinceStart();
    abort.store(true);
    caller.join();
    EXPECT_FALSE(result.load());
    EXPECT_TRUE(p.auth.WasAborted());
    EXPECT_EQ(p.auth.GetResponseCode(), 0);
    EXPECT_LT(endedMs.load() - abortedAt, 3000) << "polled every " << CAuth::kAbortPollMs << " ms";

    abort.store(false);
    p.server.Push(CannedHttpServer::Response(200, "text/plain",
                                             "{\"result\":\"OK\",\"passport\":\"p\","
                                             "\"message\":\"m\",\"telephone\":\"t\",\"email\":\"e\","
                                             "\"root_folder\":\"r\"}"));
    EXPECT_TRUE(p.auth.RequestLogin());
    EXPECT_FALSE(p.auth.WasAborted());
}

// --------------------------------------------------------------------------------------------

class AuthAgainstService : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.AddUser("carol", "pw-carol", {"--telephone", "555", "--email", "c@example.org"}));
        ASSERT_TRUE(server.AddUser("long", std::string(64, 'L')));
        ASSERT_TRUE(server.Start()) << server.Error();
    }
    testsupport::TestServer server;
};

TEST_F(AuthAgainstService, RightPasswordGivesPassportAndEndpoints) {
    testsupport::LogCapture log;
    CAuth a;
    ASSERT_TRUE(a.Init(server.BaseUrl(), "carol", "pw-carol"));
    std::string passport;
    ASSERT_TRUE(a.Request(&passport, "", ""));
    EXPECT_EQ(passport.size(), 32u);
    EXPECT_EQ(a.GetResponseCode(), 200);
    EXPECT_EQ(a.GetRootFolder(), "carol");
    EXPECT_EQ(a.GetTelephone(), "555");
    EXPECT_EQ(a.GetEmail(), "c@example.org");
    EXPECT_EQ(a.GetBackServer(), server.BackUrl());
    EXPECT_EQ(a.GetTransmitterServer(), server.TransmitterUrl());
    EXPECT_EQ(a.GetHeartBeatServer(), server.HeartBeatUrl());

    // Arguments replace the stored credentials only when both are given; a 64-byte password fits.
    ASSERT_TRUE(a.Request(&passport, "long", std::string(64, 'L')));
    EXPECT_EQ(a.GetRootFolder(), "long");
    EXPECT_TRUE(a.Request(&passport, "carol", ""));
    EXPECT_EQ(a.GetRootFolder(), "long");
}

TEST_F(AuthAgainstService, RefusalsAndNoAnswer) {
    struct Case {
        const char* what;
        std::string user, password;
        std::string fault;  // action on portal_login / portal_servers, if any
        int32_t code;
    } cases[] = {
        {"wrong password", "carol", "nope", "", 401},
        {"unknown user", "nobody", "pw", "", 401},
        {"portal refuses", "carol", "pw-carol", "portal_login refuse", 503},
        {"portal drops the connection", "carol", "pw-carol", "portal_login drop", 0},
        {"endpoint servlet refuses", "carol", "pw-carol", "portal_servers refuse", 503},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        if (!c.fault.empty()) {
            size_t sp = c.fault.find(' ');
            ASSERT_TRUE(server.Fault(c.fault.substr(0, sp), c.fault.substr(sp + 1), 3));
        }
        CAuth a;
        ASSERT_TRUE(a.Init(server.BaseUrl(), c.user, c.password));
        std::string passport = c.fault.find("portal_servers") == 0 ? "" : "kept";
        EXPECT_FALSE(a.Request(&passport, "", ""));
        EXPECT_EQ(a.GetResponseCode(), c.code);
        EXPECT_EQ(log.LastError(), "Fail to process http ack code: " + std::to_string(c.code));
        if (c.fault.find("portal_servers") == 0) {
            EXPECT_EQ(passport.size(), 32u);
        } else {
            EXPECT_EQ(passport, "kept");
        }
        ASSERT_TRUE(server.ResetFaults());
    }

    // Nothing listening: status 0.
    int port = server.Port();
    server.Stop();
    CAuth a;
    ASSERT_TRUE(a.Init("http://127.0.0.1:" + std::to_string(port), "carol", "pw-carol"));
    std::string passport;
    EXPECT_FALSE(a.Request(&passport, "", ""));
    EXPECT_EQ(a.GetResponseCode(), 0);
}

TEST(AuthService, EncryptedPasswordCheckedWithoutDigest) {
    testsupport::TestServer server;
    ASSERT_TRUE(server.Start({"--no-digest"})) << server.Error();
    CAuth a;
    ASSERT_TRUE(a.Init(server.BaseUrl(), testsupport::TestServer::kUser, "wrong"));
    std::string passport;
    EXPECT_FALSE(a.Request(&passport, "", ""));
    EXPECT_EQ(a.GetResponseCode(), 403);
    EXPECT_TRUE(a.Request(&passport, testsupport::TestServer::kUser, testsupport::TestServer::kPassword));
}

}  // namespace

// Header lines reach the parser one at a time and the body whole: the endpoint header beside a
// sign-in body, and a body whose items are on many lines, are both read.
TEST(AuthParser, AnswersAreReadLineByLineThenTheBodyWhole) {
    struct Case {
        const char* answer;
        const char* passport;
        const char* back;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nSet-Kestrine: result=OK; back_server=B; trs_server=T; hb_server=H;\r\n\r\n"
         "{\"result\":\"OK\",\"message\":\"m\",\"root_folder\":\"r\",\"passport\":\"P\",\"telephone\":\"t\","
         "\"email\":\"e\"}",
         "P", "B"},
        {"HTTP/1.1 200 OK\n\n{\"result\":\"OK\",\n\"message\":\"m\",\n\"root_folder\":\"r\",\n"
         "\"passport\":\"P2\",\n\"telephone\":\"t\",\n\"email\":\"e\"}\n",
         "P2", ""},
    };
    for (const Case& c : cases) {
        testsupport::LogCapture log;
        CAuth a;
        a.ParseAnswer(c.answer, std::strlen(c.answer));
        EXPECT_EQ(a.GetPassport(), c.passport) << c.answer;
        EXPECT_EQ(a.GetBackServer(), c.back) << c.answer;
    }
}
