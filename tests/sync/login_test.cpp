// The sign-in against the reference service: registration and its reuse, the portal's refusals and
// silences, "delay" and the reason codes of the back server, an account change, the folders of an
// earlier layout, the local failures, the heartbeat, and the re-sign-in a pass asks for.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "journal/chunkjournal.h"
#include "journal/filejournal.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "platform/messages.h"
#include "service/back.h"
#include "service/heartbeat.h"
#include "service/transmitter.h"
#include "support/loginwork.h"
#include "util/util.h"

using platform::WindowMessage;
using testsupport::LoginWork;

namespace {

constexpr int kRetryMs = 10000;

class LoginTest : public testsupport::LoginFixture {
  protected:
    // True when `want` appear in `texts` in this order (others may lie between).
    static bool InOrder(const std::vector<std::string>& texts, const std::vector<std::string>& want) {
        size_t next = 0;
        for (const std::string& t : texts) {
            if (next < want.size() && t == want[next])
                ++next;
        }
        return next == want.size();
    }
    static int Waits(LoginWork& w, int ms) {
        int n = 0;
        for (int p : w.Pauses())
            n += p == ms;
        return n;
    }
    std::vector<WindowMessage> Balloons() { return front_.MessagesWithCode(platform::WM_TRAY_BALLOON); }
    // A first sign-in of alice, so a host is registered and the endpoints are stored.
    std::string SignInOnce() {
        auto w = NewWork();
        EXPECT_EQ(w->SignIn(), 1);
        EXPECT_TRUE(w->WaitForPasses(1));  // it stores the account's server root
        return Stored("host_id");
    }
    std::string ReadFile(const std::string& path) {
        std::string s;
        platform::ReadFileToString(path, &s);
        return s;
    }
    std::vector<std::string> Siblings(const std::string& prefix) {
        std::vector<platform::DirEntry> entries;
        platform::ListDir(Root(), &entries);
        std::vector<std::string> out;
        for (const auto& e : entries) {
            if (e.name.rfind(prefix, 0) == 0)
                out.push_back(e.name);
        }
        return out;
    }
};

}  // namespace

TEST_F(LoginTest, FirstSignInRegistersAndLaterOnesReuseTheHost) {
    std::string hostId;
    {
        auto w = NewWork();
        ASSERT_EQ(w->SignIn(), 1);
        EXPECT_TRUE(w->WaitForPasses(1)) << "the sign-in queues the first pass";
        hostId = Stored("host_id");
        EXPECT_EQ(hostId.size(), 32u);
        EXPECT_EQ(Stored("host_name"), "laptop");
        EXPECT_EQ(Stored("login_user"), "alice");
        EXPECT_EQ(Stored("passport").size(), 32u);
        EXPECT_EQ(Stored("back_server"), server_.BackUrl());
        EXPECT_EQ(Stored("transmiter_server"), server_.TransmitterUrl());
        EXPECT_EQ(Stored("heartbeat_server"), server_.HeartBeatUrl());
        // Every client works with the registered id, the transmitter included.
        EXPECT_EQ(w->GetBack()->Channel().HostID(), hostId);
        EXPECT_EQ(w->GetTransmitter()->Channel().HostID(), hostId);
        EXPECT_EQ(w->GetBack()->Channel().Passport(), Stored("passport"));
        EXPECT_EQ(w->IsSignedIn(), 1);
        EXPECT_NE(w->GetHeartBeat(), nullptr);
        EXPECT_TRUE(platform::IsDirectory(HomeFolder()));
        EXPECT_NE(
            ReadFile(home_.Config() + "/gtk-3.0/bookmarks").find("file://" + HomeFolder() + " Kestrine"),
            std::string::npos);

        EXPECT_TRUE(
            InOrder(Texts(platform::WM_TRAY_TIP), {"连接认证服务器...", "连接 back服务器...", "alice"}));
        EXPECT_TRUE(HasText(platform::WM_SETMESSAGESTRING, "Connecting Auth..."));
        std::vector<WindowMessage> icons = front_.MessagesWithCode(platform::WM_TRAY_ICON);
        ASSERT_FALSE(icons.empty());
        EXPECT_EQ(icons.back().wParam, 1);
        EXPECT_EQ(icons.back().text, "alice");
        // The main window names the computer beside the account.
        EXPECT_EQ(Texts(platform::WM_HOST_NAME), std::vector<std::string>{"laptop"});
        EXPECT_TRUE(log_.Contains("[CWork::SeverAuth]: " + std::string(80, '+')));
        EXPECT_TRUE(log_.Contains("<info >[CWork::SeverAuth]: Auth OK: alice"));
        EXPECT_TRUE(log_.Contains("[CWork::StartFileMonitor]: Mointor root: " + HomeFolder()));
        EXPECT_FALSE(log_.Contains("Fail to Init HeartBeater"));
        EXPECT_EQ(Requests("obtain_host_id"), 1);
        EXPECT_EQ(Requests("login"), 1);
        EXPECT_EQ(Requests("portal:LoginServlet 200"), 1);
    }
    // The next start signs the stored host in without registering again.
    auto w = NewWork();
    ASSERT_EQ(w->SignIn(), 1);
    EXPECT_EQ(Stored("host_id"), hostId);
    EXPECT_EQ(w->GetTransmitter()->Channel().HostID(), hostId);
    EXPECT_EQ(Requests("obtain_host_id"), 1);
    EXPECT_EQ(Requests("login"), 2);
}

TEST_F(LoginTest, RefusedAuthenticationFailsAtOnce) {
    struct Case {
        std::string password, logged;
        bool balloon;
    };
    const Case cases[] = {
        {"wrong", "<error>[CWork::SeverAuth]: alice Auth failed:40", true},
        // Longer than the encryption takes: refused before anything is sent.
        {std::string(65, 'x'), "<error>[CWork::SeverAuth]: alice Auth failed:-1", true},
        // Nothing to send: no endless wait for an answer.
        {"", "<error>[CWork::SeverAuth]: alice Auth failed: no account or password", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        front_.Clear();
        auto w = NewWork("alice", c.password);
        EXPECT_EQ(w->SignIn(), 0);
        EXPECT_TRUE(log_.Contains(c.logged));
        EXPECT_TRUE(HasText(platform::WM_TRAY_TIP, " 认证失败 "));
        std::vector<WindowMessage> balloons = Balloons();
        ASSERT_EQ(balloons.size(), c.balloon ? 1u : 0u);
        if (c.balloon) {
            EXPECT_EQ(balloons[0].text, " 认证失败 ");
            EXPECT_EQ(balloons[0].text2, "alice");
        }
        EXPECT_TRUE(w->Pauses().empty());
        EXPECT_EQ(w->IsSignedIn(), 0);
        EXPECT_EQ(w->GetHeartBeat(), nullptr);
    }
    EXPECT_EQ(Requests("obtain_host_id"), 0);
}

TEST_F(LoginTest, SilentPortalIsRetriedUntilCancelled) {
    struct Case {
        const char* name;
        int drops;
        bool cancelFirst;   // the dialog was cancelled before this sign-in
        int cancelAtWait;   // the dialog is cancelled during this wait (0: never)
        int result, waits;  // expected
    };
    const Case cases[] = {
        {"answers after one silence", 1, false, 0, 1, 1},
        {"cancelled while retrying", 1000, false, 2, 0, 2},
        {"cancelled before", 1000, true, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        front_.Clear();
        ASSERT_TRUE(server_.ResetFaults());
        ASSERT_TRUE(server_.Fault("portal_login", "drop", c.drops));
        auto w = NewWork();
        w->SetLoginCancel(c.cancelFirst);
        w->onPause = [&c](LoginWork& self, int) {
            if (c.cancelAtWait && static_cast<int>(self.Pauses().size()) == c.cancelAtWait)
                self.SetLoginCancel(1);
        };
        EXPECT_EQ(w->SignIn(), c.result);
        // The waits grow from 5 s (SignInRetryDelayMs).
        const std::vector<int> schedule = {5000, 10000};
        EXPECT_EQ(w->Pauses(), std::vector<int>(schedule.begin(), schedule.begin() + c.waits));
        EXPECT_EQ(w->IsLoginCancel(), 0) << "the flag is used up";
        std::vector<std::string> tips = Texts(platform::WM_TRAY_TIP);
        if (c.result == 1) {
            EXPECT_TRUE(InOrder(
                tips, {"连接认证服务器...", "认证服务器没有响应,重新连接...", "连接认证服务器...", "alice"}));
        } else {
            EXPECT_TRUE(InOrder(tips, {"认证服务器没有响应,重新连接...", "退出登录 "}));
            EXPECT_EQ(w->IsSignedIn(), 0);
        }
    }
    EXPECT_TRUE(log_.Contains("<error>[CWork::SeverAuth]: No response from Auth server, reconnecting..."));
    EXPECT_TRUE(log_.Contains("<info >[CWork::SeverAuth]: login cancel"));
}

TEST_F(LoginTest, DelayIsRetriedEveryTenSeconds) {
    struct Case {
        std::string op, logged, status;
    };
    const Case cases[] = {
        {"obtain_host_id", "<error>[CWork::Login]: Login failed：ack delay error: 24", ""},
        {"login", "<error>[CWork::Login]: Login failed：24", "Login failed：24"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op);
        front_.Clear();
        ASSERT_TRUE(server_.Fault(c.op, "delay", 2));
        auto w = NewWork();
        w->GetConfig()->Set(CConfig::kHostId, "");  // registers, so both steps run
        EXPECT_EQ(w->SignIn(), 1);
        EXPECT_EQ(Waits(*w, kRetryMs), 2);
        EXPECT_TRUE(log_.Contains(c.logged));
        EXPECT_TRUE(InOrder(Texts(platform::WM_TRAY_TIP),
                            {"登录失败", "与服务器连接中断...", "登录失败", "与服务器连接中断...", "alice"}));
        if (!c.status.empty()) {
            EXPECT_TRUE(HasText(platform::WM_SETMESSAGESTRING, c.status));
        }
    }
}

TEST_F(LoginTest, BackServerReasonsDecideBetweenRegisteringAgainAndGivingUp) {
    const std::string first = SignInOnce();
    struct Case {
        int reason, count;
        int result, registrations;
        bool balloon;
    };
    const Case cases[] = {
        {2, 1, 1, 1, true},   // host unknown: registers anew
        {28, 1, 1, 1, true},  // host of another account: registers anew
        {8, 1, 0, 0, false},  // anything else ends the sign-in
        // refused again right after the new registration: no endless registering
        {2, 2, 0, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        front_.Clear();
        ASSERT_TRUE(server_.ResetFaults());
        ASSERT_TRUE(server_.Fault("login", "refuse", c.count, c.reason));
        const int before = Requests("obtain_host_id");
        const std::string storedId = Stored("host_id");
        auto w = NewWork();
        EXPECT_EQ(w->SignIn(), c.result);
        EXPECT_EQ(Requests("obtain_host_id") - before, c.registrations);
        EXPECT_TRUE(HasText(platform::WM_TRAY_TIP, "登录失败"));
        EXPECT_TRUE(log_.Contains("Login failed：" + std::to_string(c.reason)));
        std::vector<WindowMessage> balloons = Balloons();
        ASSERT_EQ(balloons.size(), c.balloon ? 1u : 0u);
        if (c.balloon) {
            EXPECT_EQ(balloons[0].text, "本机与服务器的连接已被断开，将重新连接服务器获取新凭证...");
            EXPECT_EQ(balloons[0].text2, "alice");
        }
        if (c.result == 1) {
            EXPECT_NE(Stored("host_id"), storedId);
            EXPECT_EQ(w->GetTransmitter()->Channel().HostID(), Stored("host_id"));
        } else {
            EXPECT_EQ(Stored("host_id"), storedId) << "a failed sign-in stores nothing";
        }
    }
    EXPECT_NE(first, "");
    EXPECT_TRUE(log_.Contains("<error>[CWork::Login]: The service refuses the host id it has just given"));
}

TEST_F(LoginTest, SecondAccountOnTheSameComputer) {
    {
        auto w = NewWork();
        ASSERT_EQ(w->SignIn(), 1);
        ASSERT_TRUE(w->WaitForPasses(1));
        EXPECT_EQ(Stored("server_root"), "alice");
        ASSERT_EQ(w->GetFileJournal()->OpenDB(), 1);
        CFileInfo f("alice/a.txt", 0, 1);
        f.modifyTime = 1;
        EXPECT_EQ(w->GetFileJournal()->AddActive(f), 1);
        w->GetFileJournal()->CloseDB();
        EXPECT_TRUE(w->GetChunkJournal()->Insert(CChunkInfo(std::string(32, 'a'), 1, "1,", "AB,", 1)));
    }
    home_.Dir().WriteFile("home/Kestrine/home/a.txt", "alice's");
    home_.Dir().WriteFile("home/Kestrine/.cache/" + std::string(32, 'a'), "x");
    ASSERT_TRUE(server_.AddUser("bob", "pw-bob"));
    const std::string question = "更换用户？ 原用户数据将被移除，请做好备份...";
    const std::string inUse = "旧目录数据正在被其他程序使用\n请手动删除.";

    // Cancel: nothing changes.
    front_.ScriptAnswers({platform::IDCANCEL});
    {
        auto w = NewWork("bob", "pw-bob");
        EXPECT_EQ(w->SignIn(), 0);
    }
    ASSERT_EQ(front_.Boxes().size(), 1u);
    EXPECT_EQ(front_.Boxes()[0].text, question);
    EXPECT_EQ(front_.Boxes()[0].flags, platform::MB_OKCANCEL | platform::MB_ICONQUESTION);
    EXPECT_EQ(ReadFile(HomeFolder() + "/a.txt"), "alice's");
    EXPECT_EQ(Rows("file_journal_table"), 1);
    EXPECT_EQ(Requests("obtain_host_id"), 1);

    // OK, but the old home folder cannot be removed: the sign-in stops and says so.
    front_.Clear();
    front_.ScriptAnswers({platform::IDOK, platform::IDOK});
    {
        platform::FaultScope faults;
        platform::FailCall(platform::Op::Remove, 100, 16 /* EBUSY */, HomeFolder() + "/a.txt");
        auto w = NewWork("bob", "pw-bob");
        EXPECT_EQ(w->SignIn(), 0);
    }
    ASSERT_EQ(front_.Boxes().size(), 2u);
    EXPECT_EQ(front_.Boxes()[1].text, inUse);
    EXPECT_EQ(ReadFile(HomeFolder() + "/a.txt"), "alice's");
    EXPECT_EQ(Rows("file_journal_table"), 1) << "nothing cleared while the folder is in use";
    EXPECT_EQ(Requests("obtain_host_id"), 2);
    EXPECT_EQ(Stored("host_id").size(), 32u) << "the new registration is stored";

    // OK: home folder, journals and cache are gone before the back-server sign-in (refused here).
    front_.Clear();
    front_.ScriptAnswers({platform::IDOK});
    ASSERT_TRUE(server_.Fault("login", "refuse", 1, 8));
    {
        auto w = NewWork("bob", "pw-bob");
        EXPECT_EQ(w->SignIn(), 0);
    }
    EXPECT_EQ(front_.Boxes().size(), 1u);
    EXPECT_FALSE(platform::Exists(HomeFolder()));
    EXPECT_EQ(Rows("file_journal_table"), 0);
    EXPECT_EQ(Rows("chunk_journal_table"), 0);
    EXPECT_FALSE(platform::Exists(Root() + "/.cache/" + std::string(32, 'a')));
    EXPECT_EQ(Requests("obtain_host_id"), 3);
    EXPECT_TRUE(Siblings("home.").empty()) << "data the user agreed to remove is not kept";

    // Until a pass stores bob's root, a sign-in still asks; then it succeeds and the pass starts over.
    front_.Clear();
    front_.ScriptAnswers({platform::IDOK});
    auto w = NewWork("bob", "pw-bob");
    w->pass = [](LoginWork&, int) { return 1; };  // no full download yet
    EXPECT_EQ(w->SignIn(), 1);
    EXPECT_EQ(front_.Boxes().size(), 1u);
    EXPECT_EQ(w->GetServerRoot(), "bob");
    EXPECT_EQ(w->IsResetUserData(), 1);
    EXPECT_TRUE(platform::IsDirectory(HomeFolder()));
}

TEST_F(LoginTest, PortalNotNamedSkipsAuthentication) {
    SignInOnce();
    const std::string passport = Stored("passport");
    {
        auto w = NewWork();
        w->GetConfig()->Set(CConfig::kAuthServer, "127.0.0.1:" + std::to_string(server_.Port()));
        ASSERT_EQ(w->GetConfig()->Store(), 1);
    }
    const int portal = Requests("portal:");
    auto w = NewWork();
    EXPECT_EQ(w->SignIn(), 1);
    EXPECT_EQ(Requests("portal:"), portal);
    EXPECT_TRUE(CUtil::DigestUpperCase());
    EXPECT_EQ(Stored("passport"), passport);
    EXPECT_EQ(Stored("back_server"), server_.BackUrl());
    EXPECT_EQ(w->GetServerRoot(), "alice") << "the passes list the stored root";
    EXPECT_EQ(Requests("login"), 2);
}

TEST_F(LoginTest, EarlierLayoutFolderBecomesTheHome) {
    ASSERT_TRUE(server_.AddUser("carol", "pw-c", {"--telephone", "13800", "--email", "carol@example.com"}));
    ASSERT_TRUE(server_.AddUser("dave", "pw-d", {"--telephone", "../outside", "--email", "d/e"}));
    struct Case {
        std::string user, password;
        std::vector<std::string> folders;  // under the data root, each holding "f.txt"
        std::string becomesHome;           // empty: none moves
    };
    const Case cases[] = {
        {"carol", "pw-c", {"13800", "carol@example.com"}, "13800"},
        {"carol", "pw-c", {"carol@example.com"}, "carol@example.com"},
        // Names from the portal that are not one plain name never reach outside the data root.
        {"dave", "pw-d", {"../outside", "d"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folders[0]);
        testsupport::RemoveTree(Root());
        testsupport::RemoveTree(home_.Home() + "/outside");
        for (const std::string& f : c.folders)
            home_.Dir().WriteFile("home/Kestrine/" + f + "/e/f.txt", f);
        auto w = NewWork(c.user, c.password);
        ASSERT_EQ(w->SignIn(), 1);
        if (c.becomesHome.empty()) {
            EXPECT_FALSE(platform::Exists(HomeFolder() + "/e/f.txt"));
            for (const std::string& f : c.folders)
                EXPECT_EQ(ReadFile(Root() + "/" + f + "/e/f.txt"), f);
        } else {
            EXPECT_EQ(ReadFile(HomeFolder() + "/e/f.txt"), c.becomesHome);
            EXPECT_FALSE(platform::Exists(Root() + "/" + c.becomesHome));
        }
    }
    EXPECT_TRUE(log_.Contains("<warn >[CWork::Login]: Ignore the earlier folder name \"../outside\""));
}

// A portal folder name that names one of the client's own folders beside the home folder is
// refused: the database stays where it is and the passes keep storing into it.
TEST_F(LoginTest, PortalFolderNameNeverMovesTheClientsOwnFolders) {
    ASSERT_TRUE(server_.AddUser("erin", "pw-e", {"--telephone", ".db", "--email", ".cache"}));
    auto w = NewWork("erin", "pw-e");
    ASSERT_EQ(w->SignIn(), 1);
    ASSERT_TRUE(w->WaitForPasses(1));
    EXPECT_TRUE(platform::IsRegularFile(DbFile()));
    EXPECT_FALSE(platform::Exists(HomeFolder() + "/client.db"));
    EXPECT_EQ(Stored("server_root"), "erin") << "the pass stored into the database in place";
    EXPECT_TRUE(log_.Contains("<warn >[CWork::Login]: Ignore the earlier folder name \".db\""));
    EXPECT_TRUE(log_.Contains("<warn >[CWork::Login]: Ignore the earlier folder name \".cache\""));
    EXPECT_FALSE(log_.Contains("Rename " + Root() + "/.db"));
    // A later sign-in finds its database and host as stored.
    const std::string host = Stored("host_id");
    w.reset();
    auto again = NewWork("erin", "pw-e");
    EXPECT_EQ(again->SignIn(), 1);
    EXPECT_EQ(Stored("host_id"), host);
}

TEST_F(LoginTest, FirstSignInKeepsFilesFoundInTheHomeFolder) {
    // No account is known to own them (a lost database, files put there by hand): nothing is
    // deleted without the user's word.
    home_.Dir().WriteFile("home/Kestrine/home/notes.txt", "mine");
    auto w = NewWork();
    ASSERT_EQ(w->SignIn(), 1);
    std::vector<std::string> kept = Siblings("home.conflict(");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(ReadFile(Root() + "/" + kept[0] + "/notes.txt"), "mine");
    EXPECT_TRUE(platform::IsDirectory(HomeFolder()));
    EXPECT_FALSE(platform::Exists(HomeFolder() + "/notes.txt"));
    std::vector<WindowMessage> balloons = Balloons();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].text, "本地原有数据已移至: " + Root() + "/" + kept[0]);
    EXPECT_TRUE(
        log_.Contains("<warn >[CWork::Login]: Earlier home folder kept as " + Root() + "/" + kept[0]));
}

TEST_F(LoginTest, LocalFailuresEndTheSignIn) {
    SignInOnce();
    struct Case {
        const char* name;
        std::function<void(CConfig*)> setup;
        std::string folderFault;  // a MakeDir fault on this path
        std::string tip, logged;
    };
    const std::string home = HomeFolder();
    const std::string noPortal = "none";
    const Case cases[] = {
        {"back",
         [&](CConfig* c) {
             c->Set(CConfig::kAuthServer, noPortal);
             c->Set(CConfig::kBackServer, "");
         },
         "", "初始化back服务器失败", "<error>[CWork::Login]: Fail to Init Backer"},
        {"transmitter",
         [&](CConfig* c) {
             c->Set(CConfig::kAuthServer, noPortal);
             c->Set(CConfig::kTransmiterServer, "");
         },
         "", "初始化Transmitter 失败", "<error>[CWork::Login]: Fail to Init Transmitter"},
        {"home folder", nullptr, home, "创建用户本地根目录失败： " + home,
         "<error>[CWork::Login]: Fail to create a local user folder： " + home},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        front_.Clear();
        testsupport::RemoveTree(home);
        platform::FaultScope faults;
        if (!c.folderFault.empty())
            platform::FailCall(platform::Op::MakeDir, 1, 13 /* EACCES */, c.folderFault);
        auto w = NewWork();
        if (c.setup)
            c.setup(w->GetConfig());
        EXPECT_EQ(w->SignIn(), 0);
        EXPECT_TRUE(HasText(platform::WM_TRAY_TIP, c.tip));
        EXPECT_TRUE(log_.Contains(c.logged));
        EXPECT_EQ(w->IsSignedIn(), 0);
        EXPECT_EQ(w->GetHeartBeat(), nullptr);
    }
}

TEST_F(LoginTest, HeartbeatRunsFromSignInToSignOut) {
    SignInOnce();
    {
        auto w = NewWork();
        ASSERT_EQ(w->SignIn(), 1);
        CHeartBeat* beat = w->GetHeartBeat();
        ASSERT_NE(beat, nullptr);
        CHeartBeat::EndWatch watch = beat->Watch();
        EXPECT_EQ(w->StartHeartBeat(), 1);
        EXPECT_EQ(w->GetHeartBeat(), beat) << "a running heartbeat is kept";
        ASSERT_TRUE(w->SignOut());
        EXPECT_EQ(w->GetHeartBeat(), nullptr);
        // Its thread was told to end; it takes the client with it at the end of its cycle.
        EXPECT_EQ(watch.State(), CHeartBeat::kStopRequested);
        EXPECT_EQ(w->IsSignedIn(), 0);
    }
    // A heartbeat that cannot start leaves the sign-in standing; the sign-out drops it.
    auto w = NewWork();
    w->GetConfig()->Set(CConfig::kAuthServer, "none");
    w->GetConfig()->Set(CConfig::kHeartbeatServer, "");
    ASSERT_EQ(w->SignIn(), 1);
    EXPECT_TRUE(log_.Contains("<fatal>[CWork::StartHeartBeat]: Fail to Init HeartBeater"));
    EXPECT_NE(w->GetHeartBeat(), nullptr);
    EXPECT_EQ(w->StartHeartBeat(), 1);
    ASSERT_TRUE(w->SignOut());
    EXPECT_EQ(w->GetHeartBeat(), nullptr);
}

TEST_F(LoginTest, PassRefusedForPassportOrHostSignsInAgain) {
    SignInOnce();
    struct Case {
        const char* name;
        int reason;
        bool portalRefuses;  // the new sign-in fails
        bool hostUnknown;    // the new sign-in registers the computer again
    };
    const Case cases[] = {
        {"passport invalid", 29, false, false},
        {"host id mismatch", 28, false, false},
        {"host registered again", 28, false, true},
        {"new sign-in refused", 29, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        front_.Clear();
        ASSERT_TRUE(server_.ResetFaults());
        auto w = NewWork();
        w->pass = [&](LoginWork& self, int index) {
            if (index > 0)
                return 1;
            if (c.reason == 29) {
                EXPECT_TRUE(server_.InvalidatePassportOfHost(Stored("host_id")));
            } else {
                EXPECT_TRUE(server_.Fault("download_all_file", "refuse", 1, c.reason));
            }
            if (c.portalRefuses) {
                EXPECT_TRUE(server_.Fault("portal_login", "refuse"));
            }
            if (c.hostUnknown) {
                EXPECT_TRUE(server_.Fault("login", "refuse", 1, 2));
            }
            std::string ack;
            std::vector<CFileInfo> list;
            return self.GetBack()->DownloadAll(&ack, &list) ? 1 : 0;
        };
        const int signIns = Requests("portal:LoginServlet 200");
        const std::string passport = Stored("passport");
        ASSERT_EQ(w->SignIn(), 1);
        if (!c.portalRefuses) {
            ASSERT_TRUE(w->WaitForPasses(2)) << "the new sign-in queues a pass";
            EXPECT_EQ(w->IsSignedIn(), 1);
            EXPECT_EQ(Requests("portal:LoginServlet 200") - signIns, 2);
            EXPECT_EQ(w->GetBack()->Channel().Passport(), Stored("passport"));
            if (c.reason == 29) {
                EXPECT_NE(Stored("passport"), passport);
            }
            // The heartbeat goes on with the host id and passport in use.
            ASSERT_NE(w->GetHeartBeat(), nullptr);
            EXPECT_EQ(w->GetHeartBeat()->Channel().HostID(), Stored("host_id"));
            ASSERT_TRUE(w->SignOut());  // returns once the second pass has ended
            EXPECT_TRUE(InOrder(Texts(platform::WM_SETMESSAGESTRING), {"Sync unfinished", "Sync finished"}));
        } else {
            ASSERT_TRUE(w->WaitForPasses(1));
            for (int i = 0; i < 3000 && w->IsSignedIn(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_EQ(w->IsSignedIn(), 0);
            EXPECT_TRUE(HasText(platform::WM_TRAY_TIP, " 认证失败 "));
            EXPECT_FALSE(HasText(platform::WM_SETMESSAGESTRING, "Sync finished"));
            EXPECT_TRUE(w->SignOut());  // the worker is idle again
            EXPECT_EQ(w->GetHeartBeat(), nullptr);
        }
    }
}
