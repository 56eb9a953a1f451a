// The real kestrine-server program: the portal over HTTP with digest authentication, SOAP and
// MTOM over HTTP, the command line beside a running service, the control interface and its token,
// the installer's digest, body limits, benchmark blobs and a restart on the same data folder.
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "portal.h"
#include "soap_helpers.h"
#include "support/process.h"
#include "support/tempdir.h"
#include "support/testserver.h"

namespace servertest {
namespace {

const std::string kProgram = KESTRINE_BUILD_DIR "/kestrine-server";

// Percent-encoding as the client applies it to query values.
std::string UrlEncode(const std::string& s) {
    static const std::string special = "\"<>%\\^[]`+$,@;!#?=&";
    std::string out;
    for (unsigned char c : s) {
        if (c <= 32 || c >= 123 || special.find(static_cast<char>(c)) != std::string::npos) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

int RunTool(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) {
    testsupport::ChildProcess p;
    testsupport::LaunchPlan how;
    how.program = kProgram;
    how.args = args;
    if (!p.Start(how))
        return -1;
    int status = -1;
    if (!p.Wait(60000, &status))
        return -1;
    if (out)
        *out = p.Stdout();
    if (err)
        *err = p.Stderr();
    return status;
}

class ServerProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(RunTool({"add-user", "--data", data(), "alice", "pw-alice", "--telephone", "555", "--email",
                           "a@example.org"}),
                  0);
        ASSERT_EQ(RunTool({"add-user", "--data", data(), "bob", "pw-bob"}), 0);
        Launch();
    }
    void TearDown() override {
        if (server)
            server->Kill();
    }

    std::string data() const { return dir.Sub("data"); }

    void Launch(std::vector<std::string> extra = {}) {
        server = std::make_unique<testsupport::ChildProcess>();
        testsupport::LaunchPlan how;
        how.program = kProgram;
        how.args = {"serve", "--data", data(), "--listen", "127.0.0.1:0", "--stall-ms", "300"};
        how.args.insert(how.args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(server->Start(how));
        ASSERT_TRUE(server->WaitForOutput("\n", 10000));
        std::smatch m;
        std::string out = server->Stdout();
        ASSERT_TRUE(std::regex_search(out, m, std::regex("^listening on 127\\.0\\.0\\.1:(\\d+)\n"))) << out;
        port = std::stoi(m[1]);
        // Without --control-token the service makes one up and prints it on the second line.
        token = TokenGiven(extra);
        if (token.empty()) {
            const std::regex line("^listening on [^\n]*\ncontrol token: ([0-9a-f]{64})\n");
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!std::regex_search(out = server->Stdout(), m, line) &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_TRUE(std::regex_search(out, m, line)) << out;
            token = m[1];
        }
        http = std::make_unique<httplib::Client>("127.0.0.1", port);
        http->set_read_timeout(10, 0);
    }

    static std::string TokenGiven(const std::vector<std::string>& args) {
        auto it = std::find(args.begin(), args.end(), "--control-token");
        return it != args.end() && it + 1 != args.end() ? *(it + 1) : std::string();
    }

    // The sign-in body's passport, or "" with the HTTP status in *status.
    std::string PortalLogin(const std::string& user, const std::string& digestPassword,
                            const std::string& password, int* status) {
        httplib::Client c("127.0.0.1", port);
        c.set_digest_auth(user.c_str(), digestPassword.c_str());
        std::string stamp = "1234567";
        auto res = c.Get(("/mirnportal/LoginServlet?user_name=" + UrlEncode(user) + "&password=" +
                          UrlEncode(kserver::EncryptPassword(password, stamp)) + "&time_stamp=" + stamp)
                             .c_str());
        *status = res ? res->status : 0;
        if (!res || res->status != 200)
            return "";
        std::smatch m;
        if (!std::regex_search(res->body, m, std::regex("\"passport\":\"([0-9a-f]+)\"")))
            return "";
        return m[1];
    }

    Client SoapClient(const std::string& user) {
        Client c;
        c.user = user;
        c.digest = kserver::PasswordDigest("pw-" + user);
        int status = 0;
        c.passport = PortalLogin(user, "pw-" + user, "pw-" + user, &status);
        EXPECT_EQ(status, 200);
        int p = port;
        c.send = [p](kserver::ServiceKind kind, const std::string& type, const std::string& body) {
            const char* path = kind == kserver::ServiceKind::Back ? "/axis2/services/mirn_service_bs"
                               : kind == kserver::ServiceKind::Transmitter
                                   ? "/axis2/services/mirn_service_trs"
                                   : "/axis2/services/mirn_service_hb";
            httplib::Client h("127.0.0.1", p);
            h.set_read_timeout(10, 0);
            auto res = h.Post(path, body, type.c_str());
            if (!res) {
                Reply r;
                r.result = "no answer";
                return r;
            }
            return ParseReply(res->get_header_value("Content-Type"), res->body);
        };
        Reply r = c.Back("obtain_host_id", "<obtain_host_id computer_name=\"E2E\"/>");
        EXPECT_EQ(r.result, "OK") << r.raw;
        c.host = r.body.attribute("host_id").value();
        EXPECT_EQ(c.Back("login", "<login account=\"" + user + "\"/>").result, "OK");
        return c;
    }

    httplib::Headers TokenHeader() const { return {{"X-Kestrine-Control-Token", token}}; }

    bool Control(const std::string& target) {
        auto res = http->Post(target.c_str(), TokenHeader(), "", "text/plain");
        return res && res->status == 200;
    }

    std::string ArmedFaults() {
        auto res = http->Get("/control/faults", TokenHeader());
        return res && res->status == 200 ? res->body : "(no list)";
    }

    testsupport::TempDir dir;
    std::unique_ptr<testsupport::ChildProcess> server;
    std::unique_ptr<httplib::Client> http;
    int port = 0;
    std::string token;
};

TEST_F(ServerProcess, PortalSignsInWithDigestAndTheEncryptedPassword) {
    int status = 0;
    httplib::Client c("127.0.0.1", port);
    c.set_digest_auth("alice", "pw-alice");
    std::string stamp = "-1294967296";
    auto res = c.Get(("/mirnportal/LoginServlet?user_name=alice&password=" +
                      UrlEncode(kserver::EncryptPassword("pw-alice", stamp)) + "&time_stamp=" + stamp)
                         .c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_TRUE(std::regex_search(res->body, std::regex("\"result\":\"OK\"")));
    EXPECT_TRUE(std::regex_search(res->body, std::regex("\"passport\":\"[0-9a-f]{32}\"")));
    EXPECT_NE(res->body.find("\"root_folder\":\"alice\""), std::string::npos);
    EXPECT_NE(res->body.find("\"telephone\":\"555\""), std::string::npos);
    EXPECT_NE(res->body.find("\"email\":\"a@example.org\""), std::string::npos);

    EXPECT_EQ(PortalLogin("alice", "pw-alice", "wrong", &status), "");
    EXPECT_EQ(status, 403) << "the encrypted password is checked";
    EXPECT_EQ(PortalLogin("alice", "wrong", "pw-alice", &status), "");
    EXPECT_EQ(status, 401) << "the digest is checked";
    EXPECT_EQ(PortalLogin("nobody", "x", "x", &status), "");
    EXPECT_NE(status, 200);
    auto plain = http->Get("/mirnportal/LoginServlet?user_name=alice&password=x&time_stamp=1");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->status, 401);
    EXPECT_NE(plain->get_header_value("WWW-Authenticate").find("Digest realm=\"kestrine\""),
              std::string::npos);
    EXPECT_EQ(plain->body.find("root_folder"), std::string::npos);

    auto servers = http->Get("/mirnportal/GetServersAddrServlet");
    ASSERT_TRUE(servers);
    EXPECT_EQ(servers->status, 200);
    std::string base = "http://127.0.0.1:" + std::to_string(port) + "/axis2/services/";
    EXPECT_EQ(servers->get_header_value("Set-Kestrine"),
              "result=OK; back_server=" + base + "mirn_service_bs; trs_server=" + base +
                  "mirn_service_trs; hb_server=" + base + "mirn_service_hb;");
    for (const char* page : {"/mirnportal/clientVersion", "/mirnportal/clientMinAvailableVersion"}) {
        auto r = http->Get(page);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->body, "none") << page;
    }
    for (const char* page : {"/files.jsp", "/support/manual.jsp", "/reg.jsp"}) {
        auto r = http->Get(page);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200) << page;
    }
    auto installer = http->Get("/mirnportal/downloadClient");
    ASSERT_TRUE(installer);
    EXPECT_EQ(installer->status, 404);
}

TEST_F(ServerProcess, SoapAndMtomOverHttpWithTheCommandLineOnTheOtherSide) {
    Client c = SoapClient("alice");
    std::string content(3 * 1024 * 1024 + 17, 'q');
    content[12345] = 'Z';
    Reply r = c.Back("upload_file", UploadFileXml("alice/up.bin", content, 130000000000000000));
    ASSERT_EQ(r.result, "OK") << r.raw;
    std::string key = r.body.child("next_op").child("storage_key").text().get();
    ASSERT_EQ(c.UploadChunk(Md5(content), key, content).result, "OK");
    r = c.Back("chunk_uploaded", "<chunk_uploaded MD5=\"" + Md5(content) + "\" storage_key=\"" + key +
                                     "\" file_name=\"alice/up.bin\"><chunk_list chunk_num=\"1\">" +
                                     Md5(content) + "</chunk_list></chunk_uploaded>");
    EXPECT_STREQ(r.body.child("next_op").attribute("op").value(), "all_chunk_exist");
    Reply down = c.DownloadChunk(Md5(content), key);
    EXPECT_EQ(mtom::MediaType(down.contentType), "multipart/related");
    EXPECT_EQ(down.attachment, content);
    EXPECT_EQ(c.Heartbeat().body.attribute("new_event").value(), std::string("no"));

    // The command line writes into the same account while the service runs.
    dir.WriteFile("local/docs/note.txt", "from the other side");
    ASSERT_EQ(RunTool({"put", "--data", data(), "alice", dir.Sub("local/docs"), "docs"}), 0);
    EXPECT_EQ(c.Heartbeat().body.attribute("new_event").value(), std::string("yes"));
    Reply list =
        c.Back("file_list", "<file_list folder_name=\"alice\" recursive=\"yes\" show_delete=\"no\"/>");
    std::string names;
    for (pugi::xml_node f = list.body.child("file"); f; f = f.next_sibling("file"))
        names += std::string(f.attribute("file_name").value()) + ";";
    EXPECT_EQ(names, "alice/docs;alice/docs/note.txt;alice/up.bin;");
    std::string ls;
    ASSERT_EQ(RunTool({"ls", "--data", data(), "alice"}, &ls), 0);
    EXPECT_TRUE(
        std::regex_search(ls, std::regex("^docs dir 0 1\ndocs/note.txt file 19 \\d+\nup.bin file 3145745 "
                                         "130000000000000000\n$")))
        << ls;
    // A refusal names the reason in English with its code.
    std::string refusal;
    EXPECT_EQ(RunTool({"put", "--data", data(), "alice", dir.Sub("local/docs/note.txt"), "docs"}, nullptr,
                      &refusal),
              1);
    EXPECT_EQ(refusal, "kestrine-server: put alice/docs: it is a folder (5)\n");
    ASSERT_EQ(RunTool({"get", "--data", data(), "alice", "up.bin", dir.Sub("out/up.bin")}), 0);
    EXPECT_EQ(dir.ReadFile("out/up.bin"), content);
    ASSERT_EQ(RunTool({"rm", "--data", data(), "alice", "docs"}), 0);
    EXPECT_EQ(RunTool({"rm", "--data", data(), "alice", "docs"}), 1);
    EXPECT_EQ(RunTool({"ls", "--data", data(), "nobody"}), 1);
    EXPECT_EQ(RunTool({"put", "--data", data(), "alice"}), 2);

    // Shares made on the command line show up for the member.
    ASSERT_EQ(RunTool({"put", "--data", data(), "alice", dir.Sub("local/docs"), "Team"}), 0);
    std::string id;
    ASSERT_EQ(RunTool({"share", "--data", data(), "alice", "Team", "bob"}, &id), 0);
    Client b = SoapClient("bob");
    list = b.Back("file_list", "<file_list folder_name=\"bob\" recursive=\"yes\" show_delete=\"no\"/>");
    ASSERT_TRUE(list.body.child("file"));
    EXPECT_STREQ(list.body.child("file").attribute("file_name").value(), "bob/Team");
    EXPECT_EQ(list.body.child("file").attribute("folder_id").value() + std::string("\n"), id);

    // A restart keeps every account, file and chunk.
    ASSERT_TRUE(server->Signal(SIGTERM));
    int status = -1;
    ASSERT_TRUE(server->Wait(10000, &status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(server->Stdout().find("stopped"), std::string::npos);
    Launch();
    c.send = SoapClient("alice").send;
    EXPECT_EQ(c.DownloadChunk(Md5(content), key).attachment, content);
    EXPECT_EQ(c.Back("login", "<login account=\"alice\"/>").result, "OK") << "host and passport survive";
}

TEST_F(ServerProcess, ControlInterfaceInjectsFaults) {
    Client c = SoapClient("alice");
    ASSERT_TRUE(Control("/control/fault?op=heartbeat&action=drop"));
    EXPECT_EQ(c.Heartbeat().result, "no answer");
    EXPECT_EQ(c.Heartbeat().result, "OK");

    ASSERT_TRUE(Control("/control/fault?op=heartbeat&action=stall&ms=50"));
    EXPECT_EQ(c.Heartbeat().result, "OK") << "a stall ends with the answer";
    ASSERT_TRUE(Control("/control/fault?op=heartbeat&action=stall&ms=50&then=drop"));
    EXPECT_EQ(c.Heartbeat().result, "no answer");

    ASSERT_TRUE(Control("/control/fault?op=login&action=refuse&reason=8&count=3"));
    EXPECT_EQ(ArmedFaults(), "login refuse count=3 reason=8 ms=0\n");
    EXPECT_EQ(c.Back("login", "<login account=\"alice\"/>").reason, "8");
    ASSERT_TRUE(Control("/control/reset"));
    EXPECT_EQ(c.Back("login", "<login account=\"alice\"/>").result, "OK");

    ASSERT_TRUE(Control("/control/invalidate_passport?host=" + c.host));
    EXPECT_EQ(c.Back("login", "<login account=\"alice\"/>").reason, "29");
    EXPECT_EQ(c.Heartbeat().result, "OK") << "the heartbeat carries no passport";

    ASSERT_TRUE(Control("/control/fault?op=portal&action=drop"));
    int status = -1;
    EXPECT_EQ(PortalLogin("alice", "pw-alice", "pw-alice", &status), "");
    EXPECT_EQ(status, 0) << "the portal does not answer";
    EXPECT_FALSE(PortalLogin("alice", "pw-alice", "pw-alice", &status).empty());

    EXPECT_FALSE(Control("/control/fault?op=login&action=explode"));
    EXPECT_FALSE(Control("/control/fault?op=login&action=refuse&count=0"));
    EXPECT_FALSE(Control("/control/invalidate_passport?user=nobody"));
}

// A local account or a web page can reach loopback: only the service's token opens the control
// interface, and only in its header. A refused request arms nothing.
TEST_F(ServerProcess, ControlNeedsTheServiceTokenInItsHeader) {
    Client c = SoapClient("alice");
    const std::string arm = "/control/fault?op=heartbeat&action=drop";
    const std::string header = "X-Kestrine-Control-Token: ";
    struct Case {
        const char* what;
        std::string target, headers;
    };
    const Case cases[] = {
        {"no token", arm, ""},
        {"wrong token", arm, header + std::string(64, '0') + "\r\n"},
        {"token one character short", arm, header + token.substr(0, 63) + "\r\n"},
        {"token with one character more", arm, header + token + "0\r\n"},
        {"token in the query instead", arm + "&token=" + token, ""},
        {"token under another header", arm, "X-Control-Token: " + token + "\r\n"},
        {"token as a cookie", arm, "Cookie: token=" + token + "\r\n"},
        {"reset without token", "/control/reset", ""},
        {"passport invalidation without token", "/control/invalidate_passport?host=" + c.host, ""},
        {"compression without token", "/control/compress?threshold=0", ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        testsupport::HttpResult r =
            testsupport::HttpExchange(port, "POST", k.target, "", "text/plain", 10000, k.headers);
        EXPECT_EQ(r.status, 403);
    }
    EXPECT_EQ(testsupport::HttpExchange(port, "GET", "/control/faults").status, 403);
    EXPECT_EQ(ArmedFaults(), "") << "nothing was armed";
    EXPECT_EQ(c.Heartbeat().result, "OK");
    EXPECT_EQ(c.Back("login", "<login account=\"alice\"/>").result, "OK") << "the passport still holds";

    // With the token, a POST without any body (no Content-Length either, as curl -X POST sends
    // it) is answered at once.
    testsupport::HttpResult r = testsupport::HttpRaw(
        port,
        "POST " + arm + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + header + token + "\r\nConnection: close\r\n\r\n",
        5000);
    EXPECT_EQ(r.status, 200) << r.headers;
    EXPECT_EQ(r.body, "OK\n");
    EXPECT_EQ(ArmedFaults(), "heartbeat drop count=1 reason=8 ms=0\n");
    EXPECT_EQ(c.Heartbeat().result, "no answer");
}

// The README's example, run by curl itself.
TEST_F(ServerProcess, ReadmeCurlExampleArmsAFault) {
    std::string curl;
    for (const char* bin : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
        if (::access((std::string(bin) + "curl").c_str(), X_OK) == 0) {
            curl = std::string(bin) + "curl";
            break;
        }
    }
    if (curl.empty())
        GTEST_SKIP() << "no curl";
    testsupport::ChildProcess p;
    testsupport::LaunchPlan how;
    how.program = curl;
    how.args = {"-sS",
                "--fail",
                "--max-time",
                "10",
                "-X",
                "POST",
                "-H",
                "X-Kestrine-Control-Token: " + token,
                "http://127.0.0.1:" + std::to_string(port) +
                    "/control/fault?op=upload_chunk&action=refuse&reason=9&count=2"};
    ASSERT_TRUE(p.Start(how));
    int status = -1;
    ASSERT_TRUE(p.Wait(20000, &status));
    EXPECT_EQ(status, 0) << p.Stderr();
    EXPECT_EQ(p.Stdout(), "OK\n");
    EXPECT_EQ(ArmedFaults(), "upload_chunk refuse count=2 reason=9 ms=0\n");
}

TEST_F(ServerProcess, ControlTokenFromTheCommandLine) {
    server->Kill();
    const std::string given = "operator-chosen-token-42";
    Launch({"--control-token", given});
    EXPECT_EQ(server->Stdout().find("control token"), std::string::npos) << "a given token is not echoed";
    EXPECT_TRUE(Control("/control/reset"));
    token = std::string(64, 'a');
    EXPECT_FALSE(Control("/control/reset"));

    for (const char* bad : {"short", "has a space in it ok", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(RunTool({"serve", "--data", data(), "--listen", "127.0.0.1:0", "--control-token", bad}), 1);
    }
}

// The installer's SHA-256 beside it, as sha256sum prints it, unless the operator put a file of
// their own there or turned publishing off.
TEST_F(ServerProcess, InstallerDigestBesideTheInstaller) {
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    dir.WriteFile("served/setup.exe", "abc");
    const std::string installer = dir.Sub("served/setup.exe");
    auto digest = [&] { return http->Get("/mirnportal/downloadClient.sha256"); };
    auto res = digest();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404) << "no installer, no digest";

    server->Kill();
    Launch({"--client-file", installer});
    res = digest();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, abc + "  setup.exe\n");
    dir.WriteFile("served/setup.exe", "abcd");  // a new installer gets a new digest
    res = digest();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body.substr(0, 64), "88d4266fd4e6338d13b845fcf289579d209c897823b9217da3e161936f031589");
    dir.WriteFile("served/setup.exe.sha256", "the operator's text\n");
    res = digest();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "the operator's text\n");

    server->Kill();
    Launch({"--client-file", installer, "--no-client-sha256"});
    res = digest();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    auto whole = http->Get("/mirnportal/downloadClient");
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->body, "abcd");
    EXPECT_EQ(whole->get_header_value("Content-Type"), "application/octet-stream");

    // The Debian package, the Linux client's installer, is served as one.
    dir.WriteFile("served/kestrine_120402_amd64.deb", "!<arch>\n");
    server->Kill();
    Launch({"--client-file", dir.Sub("served/kestrine_120402_amd64.deb")});
    whole = http->Get("/mirnportal/downloadClient");
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->status, 200);
    EXPECT_EQ(whole->body, "!<arch>\n");
    EXPECT_EQ(whole->get_header_value("Content-Type"), "application/vnd.debian.binary-package");
    res = digest();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body.substr(64), "  kestrine_120402_amd64.deb\n");
}

TEST_F(ServerProcess, OversizedBodiesAreRefusedAndBlobsRoundTrip) {
    server->Kill();
    Launch({"--max-body", "100000"});
    Client c = SoapClient("alice");
    auto res =
        http->Post("/axis2/services/mirn_service_bs", std::string(200000, 'x'), "application/soap+xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);
    EXPECT_EQ(res->body, "request body too large\n");
    EXPECT_EQ(res->get_header_value("Connection"), "close");
    EXPECT_TRUE(
        server->WaitForOutput("POST /axis2/services/mirn_service_bs 413 body too large in=0 out=0", 5000));
    EXPECT_EQ(c.Heartbeat().result, "OK");
    // A body without a length is read until it passes the limit; the refusal counts what was read
    // (whether the answer reaches a sender still sending is up to the sockets, so the log tells).
    size_t sent = 0;
    http->Post(
        "/axis2/services/mirn_service_trs",
        [&sent](size_t, httplib::DataSink& sink) {
            const std::string piece(25000, 'y');
            if (sent >= 150000) {
                sink.done();
                return true;
            }
            sent += piece.size();
            return sink.write(piece.data(), piece.size());
        },
        "application/soap+xml");
    EXPECT_TRUE(server->WaitForOutput("POST /axis2/services/mirn_service_trs 413 body too large in=", 5000));
    EXPECT_FALSE(server->WaitForOutput("POST /axis2/services/mirn_service_trs 413 body too large in=0 ", 0));
    // Routes that read their body whole refuse a large one before reading it.
    // (The refusal may cut the sending short; a body that fits the socket buffers gets the answer.)
    auto control = http->Post("/control/reset", std::string(70000, 'x'), "text/plain");
    ASSERT_TRUE(control);
    EXPECT_EQ(control->status, 413);
    EXPECT_EQ(control->body, "request body too large\n");
    EXPECT_TRUE(server->WaitForOutput("POST /control/reset 413 body too large in=0 out=0", 5000));
    auto portal = http->Get("/mirnportal/GetServersAddrServlet");
    ASSERT_TRUE(portal);
    EXPECT_EQ(portal->status, 200);
    auto unknown = http->Get("/no/such/page");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_TRUE(server->WaitForOutput("GET /no/such/page 404 unrouted", 5000)) << "every request is logged";

    std::string blob(3 * 1024 * 1024, 'b');
    blob[7] = 'x';
    auto put = http->Put("/bench/blob/sample.bin", blob, "application/octet-stream");
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, 201);
    auto get = http->Get("/bench/blob/sample.bin");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->body, blob);
    auto dots = http->Get("/bench/blob/..");
    ASSERT_TRUE(dots);
    EXPECT_NE(dots->status, 200);
    auto missing = http->Get("/bench/blob/none");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
}

}  // namespace
}  // namespace servertest
