// The shared folders of a tree and the path conversions between the root-relative and the server
// forms: splitting, trimming through shares (nested, looping, unknown), the share forms of the
// recorded map and of the listing, and the small maps' refusals.
#include "journal/sharepaths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Trim = CSharePaths::Trim;

// A root "u1" with two recorded shares, one inside the other, and a loop of two.
CSharePaths Recorded() {
    CSharePaths shares;
    EXPECT_TRUE(shares.SetRoot("u1"));
    EXPECT_TRUE(shares.SetDB("17", "u1/Team"));
    EXPECT_TRUE(shares.SetDB("40", "17/Inner"));
    EXPECT_TRUE(shares.SetDB("50", "51/a"));
    EXPECT_TRUE(shares.SetDB("51", "50/b"));
    EXPECT_TRUE(shares.SetDB("60", "/lead"));
    return shares;
}

TEST(SharePaths, Split) {
    struct Case {
        const char* path;
        bool ok;
        const char* first;
        const char* rest;
    };
    const Case cases[] = {
        {.path = "17/a/b", .ok = true, .first = "17", .rest = "/a/b"},
        {.path = "u1/", .ok = true, .first = "u1", .rest = "/"},
        {.path = "u1", .ok = false, .first = "kept", .rest = "kept"},
        {.path = "/a", .ok = false, .first = "kept", .rest = "kept"},
        {.path = "", .ok = false, .first = "kept", .rest = "kept"},
        {.path = "a\\b", .ok = false, .first = "kept", .rest = "kept"},  // only "/" splits
    };
    for (const Case& c : cases) {
        std::string first = "kept", rest = "kept";
        EXPECT_EQ(CSharePaths::Split(c.path, &first, &rest), c.ok) << c.path;
        EXPECT_EQ(first, c.first) << c.path;
        EXPECT_EQ(rest, c.rest) << c.path;
    }
}

TEST(SharePaths, ToRootRelative) {
    const CSharePaths shares = Recorded();
    struct Case {
        const char* path;
        Trim result;
        const char* out;  // the relative path when trimmed, else where it stopped
    };
    const Case cases[] = {
        {.path = "u1/docs/a.txt", .result = Trim::Done, .out = "/docs/a.txt"},
        {.path = "U1/docs", .result = Trim::Done, .out = "/docs"},  // the root without case
        {.path = "u1\\win\\x", .result = Trim::Done, .out = "/win/x"},
        {.path = "17/plan.doc", .result = Trim::Done, .out = "/Team/plan.doc"},
        {.path = "40/f", .result = Trim::Done, .out = "/Team/Inner/f"},  // a share inside a share
        {.path = "u1", .result = Trim::Unsplit, .out = "u1"},
        {.path = "/abs", .result = Trim::Unsplit, .out = "/abs"},
        {.path = "\\abs", .result = Trim::Unsplit, .out = "/abs"},    // reported with slashes
        {.path = "60/f", .result = Trim::Unsplit, .out = "/lead/f"},  // a recorded path without a root
        {.path = "99/x", .result = Trim::UnknownShare, .out = "99"},
        {.path = "u2/x", .result = Trim::UnknownShare, .out = "u2"},  // another user's root
        {.path = "50/f", .result = Trim::UnknownShare, .out = "50"},  // a loop stops
    };
    for (const Case& c : cases) {
        std::string relative = "untouched", at = "untouched";
        ASSERT_EQ(shares.ToRootRelative(c.path, &relative, &at), c.result) << c.path;
        EXPECT_EQ(c.result == Trim::Done ? relative : at, c.out) << c.path;
        EXPECT_EQ(c.result == Trim::Done ? at : relative, "untouched") << c.path;
    }
}

TEST(SharePaths, ShareFormsOfTheRecordedMapAndTheListing) {
    CSharePaths shares = Recorded();
    struct Case {
        const char* relative;
        const char* db;
        const char* server;  // the listing names only 18, a share at u1/Other
    };
    const Case cases[] = {
        {.relative = "/Team/plan.doc", .db = "17/plan.doc", .server = "u1/Team/plan.doc"},
        {.relative = "/Team", .db = "u1/Team", .server = "u1/Team"},  // the share folder itself
        {.relative = "/Teams/x", .db = "u1/Teams/x", .server = "u1/Teams/x"},
        {.relative = "/team/x", .db = "u1/team/x", .server = "u1/team/x"},  // the prefix keeps case
        {.relative = "docs/a", .db = "u1/docs/a", .server = "u1/docs/a"},
        {.relative = "", .db = "u1/", .server = "u1/"},
        {.relative = "/Other/y", .db = "u1/Other/y", .server = "18/y"},
    };
    EXPECT_FALSE(shares.AddServer("18", ""));
    EXPECT_FALSE(shares.AddServer("", "u1/Other"));
    ASSERT_TRUE(shares.AddServer("18", "u1/Other"));
    for (const Case& c : cases) {
        EXPECT_EQ(shares.ToDBForm(c.relative), c.db) << c.relative;
        EXPECT_EQ(shares.ToServerForm(c.relative), c.server) << c.relative;
    }
    shares.ClearServer();
    EXPECT_EQ(shares.ToServerForm("/Other/y"), "u1/Other/y");
}

TEST(SharePaths, MapsRefuseEmptyTextsAndSmallIds) {
    CSharePaths shares;
    EXPECT_FALSE(shares.SetRoot(""));
    EXPECT_EQ(shares.Root(), "");
    std::string value = "untouched";
    EXPECT_FALSE(shares.SetDB("17", ""));
    EXPECT_FALSE(shares.SetDB("", "u1/Team"));
    EXPECT_FALSE(shares.GetDB("17", &value));
    ASSERT_TRUE(shares.SetDB("17", "u1/Team"));
    ASSERT_TRUE(shares.SetDB("17", "u1/Renamed"));
    ASSERT_TRUE(shares.GetDB("17", &value));
    EXPECT_EQ(value, "u1/Renamed");
    EXPECT_TRUE(shares.RemoveDB("17"));
    EXPECT_FALSE(shares.RemoveDB("17"));
    ASSERT_TRUE(shares.SetDB("17", "u1/Team"));
    shares.ClearDB();
    EXPECT_FALSE(shares.GetDB("17", &value));

    EXPECT_FALSE(shares.AddListed(1));  // the root's folder value and below name no share
    EXPECT_FALSE(shares.AddListed(-5));
    ASSERT_TRUE(shares.AddListed(17));
    EXPECT_TRUE(shares.IsListed("17"));
    EXPECT_FALSE(shares.IsListed("1"));
    shares.ClearListed();
    EXPECT_FALSE(shares.IsListed("17"));

    value = "untouched";
    EXPECT_FALSE(shares.AddOwner("17", ""));
    EXPECT_FALSE(shares.GetOwner("17", &value));
    EXPECT_EQ(value, "untouched");
    ASSERT_TRUE(shares.AddOwner("17", "bob"));
    ASSERT_TRUE(shares.GetOwner("17", &value));
    EXPECT_EQ(value, "bob");
}

}  // namespace
