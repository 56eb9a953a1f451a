#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "support/randombytes.h"
#include "support/tempdir.h"
#include "tools/toolrun.h"

namespace {

using testsupport::TempDir;

constexpr size_t kChunk = 4194304;

using testsupport::RandomBytes;

uint32_t Word(const std::string& d, size_t at) {
    uint32_t v;
    std::memcpy(&v, d.data() + at, 4);
    return v;
}

// An old file of two chunks and a new one edited across the first chunk boundary: the delta
// covers NEW's first chunk, and patching OLD with it gives that chunk back.
TEST(ToolDelta, DeltaThenPatchRebuildsTheFirstChunk) {
    TempDir dir;
    std::mt19937 rng(9);
    std::string oldBytes = RandomBytes(kChunk + 300000, rng);
    std::string newBytes = oldBytes.substr(5000);
    newBytes.insert(kChunk - 100000, "new bytes");
    newBytes.replace(20000, 50, RandomBytes(50, rng));
    dir.WriteFile("old", oldBytes);
    dir.WriteFile("new", newBytes);

    ToolRun d = RunTool({"delta", dir.Sub("old"), dir.Sub("new"), dir.Sub("out.delta")});
    ASSERT_EQ(d.status, 0) << d.err;
    std::string delta = dir.ReadFile("out.delta");
    ASSERT_GE(delta.size(), 16u);
    EXPECT_EQ(Word(delta, 0), delta.size());
    EXPECT_EQ(Word(delta, 4), kChunk);
    EXPECT_LT(delta.size(), 200000u);  // the unchanged parts travel as copies

    ToolRun p = RunTool({"patch", dir.Sub("old"), dir.Sub("out.delta"), dir.Sub("rebuilt")});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_TRUE(dir.ReadFile("rebuilt") == newBytes.substr(0, kChunk));
    EXPECT_FALSE(dir.Exists("rebuilt.part"));
}

TEST(ToolDelta, EmptyFiles) {
    TempDir dir;
    dir.WriteFile("old", "");
    dir.WriteFile("new", "");
    ASSERT_EQ(RunTool({"delta", dir.Sub("old"), dir.Sub("new"), dir.Sub("d")}).status, 0);
    EXPECT_EQ(dir.ReadFile("d").size(), 16u);
    ASSERT_EQ(RunTool({"patch", dir.Sub("old"), dir.Sub("d"), dir.Sub("out")}).status, 0);
    EXPECT_TRUE(dir.Exists("out"));
    EXPECT_EQ(dir.ReadFile("out"), "");
}

// Failures report on stderr and leave no output file behind.
TEST(ToolDelta, FailuresLeaveNoOutput) {
    TempDir dir;
    std::mt19937 rng(10);
    std::string oldBytes = RandomBytes(20000, rng);
    dir.WriteFile("old", oldBytes);
    dir.WriteFile("new", "x" + oldBytes);
    dir.WriteFile("other", RandomBytes(20000, rng));
    ASSERT_EQ(RunTool({"delta", dir.Sub("old"), dir.Sub("new"), dir.Sub("good")}).status, 0);
    std::string good = dir.ReadFile("good");
    std::string corrupt = good;
    corrupt[16] ^= 1;  // the first record's magic
    dir.WriteFile("corrupt", corrupt);
    dir.WriteFile("huge", std::string(3 * kChunk, 'x'));

    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"corrupt delta", {"patch", dir.Sub("old"), dir.Sub("corrupt"), dir.Sub("out")}, 1, "invalid delta"},
        {"truncated delta", {"patch", dir.Sub("old"), dir.Sub("new"), dir.Sub("out")}, 1, "invalid delta"},
        {"delta against other old chunks",
         {"patch", dir.Sub("other"), dir.Sub("good"), dir.Sub("out")},
         1,
         "unknown source"},
        {"oversized delta", {"patch", dir.Sub("old"), dir.Sub("huge"), dir.Sub("out")}, 1, "too large"},
        {"missing old",
         {"delta", dir.Sub("nothing"), dir.Sub("new"), dir.Sub("out")},
         1,
         "not a readable file"},
        {"missing new",
         {"delta", dir.Sub("old"), dir.Sub("nothing"), dir.Sub("out")},
         1,
         "not a readable file"},
        {"folder as delta", {"patch", dir.Sub("old"), dir.Path(), dir.Sub("out")}, 1, "not a readable file"},
        {"output folder missing",
         {"delta", dir.Sub("old"), dir.Sub("new"), dir.Sub("no/such/out")},
         1,
         "cannot write"},
        {"missing argument", {"patch", dir.Sub("old"), dir.Sub("good")}, 2, "usage"},
    };
    for (const auto& c : cases) {
        ToolRun r = RunTool(c.args);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
        EXPECT_FALSE(dir.Exists("out")) << c.what;
        EXPECT_FALSE(dir.Exists("out.part")) << c.what;
    }
}

}  // namespace
