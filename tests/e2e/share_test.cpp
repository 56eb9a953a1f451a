// A folder shared between two accounts, each on its own computer: what either member puts in
// it, changes or deletes reaches the other; the rest of each account stays its own.
#include <gtest/gtest.h>

#include <memory>

#include "e2e/harness.h"

namespace {

using e2e::Computer;
using e2e::FileSig;
using e2e::Tree;

TEST(SharedFolder, TwoAccountsWorkInOneFolder) {
    testsupport::TestServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    ASSERT_TRUE(server.AddUser("bob", "pw-bob"));
    Computer alice(server, "laptop");
    Computer bob(server, "bobs-pc", "bob", "pw-bob");
    for (Computer* c : {&alice, &bob}) {
        std::string error;
        ASSERT_TRUE(c->Start(&error)) << error;
        ASSERT_TRUE(c->WaitSignedIn()) << c->Name() << ":\n" << c->Console() << e2e::Tail(c->Log());
    }
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

}  // namespace
