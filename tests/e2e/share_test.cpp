// A folder shared between two accounts, each on its own computer: what either member puts in
// it, changes or deletes reaches the other; the rest of each account stays its own.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "e2e/harness.h"
#include "support/tempdir.h"

namespace {

using e2e::Computer;
using e2e::FileSig;
using e2e::Tree;

// Alice and bob, two accounts of one service, each signed in on a computer of their own.
class SharedFolder : public ::testing::Test {
  protected:
    void StartBoth() {
        ASSERT_TRUE(server.Start()) << server.Error();
        ASSERT_TRUE(server.AddUser("bob", "pw-bob"));
        for (Computer* c : {&alice, &bob}) {
            std::string error;
            ASSERT_TRUE(c->Start(&error)) << error;
            ASSERT_TRUE(c->WaitSignedIn()) << c->Name() << ":\n" << c->Console() << e2e::Tail(c->Log());
        }
    }
    testsupport::TestServer server;
    Computer alice{server, "laptop"};
    Computer bob{server, "bobs-pc", "bob", "pw-bob"};
};

TEST_F(SharedFolder, TwoAccountsWorkInOneFolder) {
    ASSERT_NO_FATAL_FAILURE(StartBoth());
    auto both = [&](const Tree& aliceWant, const Tree& bobWant) {
        const bool met = e2e::WaitUntil([&] { return alice.Files() == aliceWant && bob.Files() == bobWant; },
                                        e2e::ConvergeMs());
        EXPECT_TRUE(met) << "alice:\n"
                         << e2e::Describe(alice.Files()) << "bob:\n"
                         << e2e::Describe(bob.Files()) << "alice log (end):\n"
                         << e2e::Tail(alice.Log()) << "bob log (end):\n"
                         << e2e::Tail(bob.Log());
        return met;
    };

    // Bob's folder, on the service before it is shared.
    bob.Write("Team/plan.txt", "plan v1");
    bob.Write("Team/sub/notes.txt", "notes");
    bob.Write("bob-only.txt", "bob's own");
    alice.Write("alice-only.txt", "alice's own");
    Tree team = {
        {"Team", "dir"},
        {"Team/plan.txt", FileSig("plan v1")},
        {"Team/sub", "dir"},
        {"Team/sub/notes.txt", FileSig("notes")},
    };
    auto with = [](Tree tree, const std::string& rel, const std::string& content) {
        tree[rel] = FileSig(content);
        return tree;
    };
    ASSERT_TRUE(e2e::WaitUntil(
        [&] {
            const std::string ls = server.Ls("bob");
            return ls.find("Team/sub/notes.txt") != std::string::npos &&
                   ls.find("bob-only.txt") != std::string::npos;
        },
        e2e::ConvergeMs()))
        << server.Ls("bob") << e2e::Tail(bob.Log());
    std::string out, err;
    ASSERT_EQ(server.Cli("share", {"bob", "Team", testsupport::TestServer::kUser}, &out, &err), 0)
        << out << err;
    ASSERT_TRUE(both(with(team, "alice-only.txt", "alice's own"), with(team, "bob-only.txt", "bob's own")));

    // The member edits and adds; the owner deletes and adds.
    alice.Write("Team/plan.txt", "plan v2 by alice");
    alice.Write("Team/from-alice.txt", "added by alice");
    team["Team/plan.txt"] = FileSig("plan v2 by alice");
    team["Team/from-alice.txt"] = FileSig("added by alice");
    ASSERT_TRUE(both(with(team, "alice-only.txt", "alice's own"), with(team, "bob-only.txt", "bob's own")));
    bob.Remove("Team/sub");
    bob.Write("Team/from-bob.txt", "added by bob");
    team.erase("Team/sub");
    team.erase("Team/sub/notes.txt");
    team["Team/from-bob.txt"] = FileSig("added by bob");
    ASSERT_TRUE(both(with(team, "alice-only.txt", "alice's own"), with(team, "bob-only.txt", "bob's own")));

    for (Computer* c : {&alice, &bob})
        EXPECT_TRUE(c->Stop()) << c->Name() << " did not end cleanly:\n" << c->Console();
}

// Bob plants files named like alice's client's own in the folder he shares with her: a share
// marker naming alice's own share, a folder decoration and a part file. Alice's client lists them
// as not synced and writes none of them: her share keeps its marker and its place on the service,
// her decoration stays (no conflict copy of it goes up), and nothing of bob's is removed.
TEST_F(SharedFolder, NamesOfTheClientsOwnFilesFromAnotherAccountAreRefused) {
    ASSERT_NO_FATAL_FAILURE(StartBoth());
    auto logs = [&] {
        return "alice:\n" + e2e::Describe(alice.Files()) + alice.Console() + "alice log (end):\n" +
               e2e::Tail(alice.Log()) + "service (bob):\n" + server.Ls("bob") + "service (alice):\n" +
               server.Ls("alice");
    };
    bob.Write("Q3/sub/notes.txt", "notes");
    alice.Write("Zone/a.txt", "alice's");
    ASSERT_TRUE(e2e::WaitUntil(
        [&] {
            return server.Ls("bob").find("Q3/sub/notes.txt") != std::string::npos &&
                   server.Ls("alice").find("Zone/a.txt") != std::string::npos;
        },
        e2e::ConvergeMs()))
        << logs();
    const std::string q3 = server.Share("bob", "Q3", testsupport::TestServer::kUser);
    const std::string zone = server.Share(testsupport::TestServer::kUser, "Zone", "bob");
    ASSERT_FALSE(q3.empty());
    ASSERT_FALSE(zone.empty());
    ASSERT_TRUE(e2e::WaitUntil(
        [&] { return alice.Read("Q3/sub/notes.txt") == "notes" && alice.Read("Zone/.peltashare") == zone; },
        e2e::ConvergeMs()))
        << logs();
    const std::string decoration = alice.Read("Q3/desktop.ini");
    ASSERT_NE(decoration.find("[.ShellClassInfo]"), std::string::npos) << "alice decorates the share";

    // Planted on the service as bob's command line would, then a file that shows the pass ran.
    testsupport::TempDir scratch;
    auto plant = [&](const std::string& rel, const std::string& content) {
        scratch.WriteFile("put", content);
        return server.Put("bob", scratch.Sub("put"), rel);
    };
    const char* const planted[] = {"Q3/sub/.peltashare", "Q3/desktop.ini", "Q3/.notes.txt.kestrine-part"};
    ASSERT_TRUE(plant(planted[0], zone));
    ASSERT_TRUE(plant(planted[1], "[.ShellClassInfo]\r\nIconFile=planted.ico\r\n"));
    ASSERT_TRUE(plant(planted[2], "half a file"));
    for (const std::string after : {"Q3/after1.txt", "Q3/after2.txt"}) {
        // Two passes: what one pass brings down, the next one's scan would act on.
        ASSERT_TRUE(plant(after, "after"));
        ASSERT_TRUE(e2e::WaitUntil([&] { return alice.Read(after) == "after"; }, e2e::ConvergeMs()))
            << logs();
        ASSERT_TRUE(alice.WaitQuiet()) << logs();
    }

    auto notSynced = [&](const std::string& rel) {
        std::istringstream lines(alice.Console());
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("[not synced] ", 0) == 0 && line.find(rel) != std::string::npos &&
                line.find("the name is one the client keeps for its own files") != std::string::npos)
                return true;
        return false;
    };
    for (const char* rel : planted) {
        SCOPED_TRACE(rel);
        EXPECT_TRUE(notSynced(rel)) << alice.Console();
    }
    EXPECT_EQ(alice.Read("Zone/.peltashare"), zone) << "alice's own share keeps its marker";
    EXPECT_FALSE(alice.Exists("Q3/sub/.peltashare"));
    EXPECT_FALSE(alice.Exists("Q3/.notes.txt.kestrine-part"));
    EXPECT_EQ(alice.Read("Q3/desktop.ini"), decoration);
    const e2e::Tree tree = alice.Files();
    for (const auto& [rel, sig] : tree)
        EXPECT_EQ(rel.find("conflict"), std::string::npos) << rel;
    // On the service: bob's files stay, alice's share stays where it is, no copy went up.
    const std::string bobLs = server.Ls("bob"), aliceLs = server.Ls("alice");
    for (const char* rel : planted)
        EXPECT_NE(bobLs.find(rel), std::string::npos) << rel << " removed:\n" << bobLs;
    EXPECT_NE(aliceLs.find("Zone/a.txt"), std::string::npos) << aliceLs;
    EXPECT_EQ(bobLs.find("conflict"), std::string::npos) << bobLs;
    EXPECT_EQ(aliceLs.find("conflict"), std::string::npos) << aliceLs;

    for (Computer* c : {&alice, &bob})
        EXPECT_TRUE(c->Stop()) << c->Name() << " did not end cleanly:\n" << c->Console();
}

}  // namespace
