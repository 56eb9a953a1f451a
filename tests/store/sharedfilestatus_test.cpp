// The "SHARENAME" status area: byte layout as another process sees it, normalisation, limits,
// -1 semantics, the writer's index across Reset and across several mappings, the reader's cache.
#include "store/sharedfilestatus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/fault.h"
#include "platform/sharedmem.h"
#include "support/env.h"

namespace {

int32_t Word(const std::string& bytes, size_t offset) {
    int32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

class StatusArea : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(area_.Open()); }
    // The area as bytes, read from its backing file, not through our mapping.
    std::string FileBytes() const {
        std::ifstream in(home_.Runtime() + "/SHARENAME", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    SharedStatusValues Get(CSharedFileStatus& area, const std::string& path) {
        SharedStatusValues v{-99, -99, -99};
        EXPECT_TRUE(area.GetStatus(path, &v)) << path;
        return v;
    }

    testsupport::FakeHome home_;
    CSharedFileStatus area_;
};

TEST_F(StatusArea, ByteLayout) {
    ASSERT_TRUE(area_.SetStatus("C:\\Users\\A\\File.TXT", 3, 10, 20));
    ASSERT_TRUE(area_.SetStatus("/home/u/b", 7, -1, 5));
    const std::string bytes = FileBytes();
    ASSERT_EQ(bytes.size(), 16777216u);
    EXPECT_EQ(Word(bytes, 0), 2);
    EXPECT_EQ(Word(bytes, 4), 3);
    EXPECT_STREQ(bytes.data() + 8, "c:/users/a/file.txt");
    EXPECT_EQ(bytes[8 + 19], '\0');
    EXPECT_EQ(Word(bytes, 4 + 264), 10);
    EXPECT_EQ(Word(bytes, 4 + 268), 20);
    EXPECT_EQ(Word(bytes, 276), 7);
    EXPECT_STREQ(bytes.data() + 280, "/home/u/b");
    EXPECT_EQ(Word(bytes, 276 + 264), 0);  // -1 on a new entry stores 0
    EXPECT_EQ(Word(bytes, 276 + 268), 5);
}

TEST_F(StatusArea, CaseAndSeparatorShareOneEntry) {
    ASSERT_TRUE(area_.SetState("/Home/U/Docs\\Plan.DOC", 1));
    ASSERT_TRUE(area_.SetState("\\home\\u\\docs\\plan.doc", 2));
    ASSERT_TRUE(area_.SetState("/home/u/docs/plan.doc", 3));
    EXPECT_EQ(area_.Count(), 1);
    EXPECT_EQ(Get(area_, "/HOME/u/docs/plan.doc").state, 3);
    // Bytes above ASCII are left as they are (a UTF-8 name stays valid).
    ASSERT_TRUE(area_.SetState("/home/u/\xC3\x89t\xC3\xA9", 4));
    EXPECT_STREQ(reinterpret_cast<const char*>(area_.Data()) + 4 + 272 + 4, "/home/u/\xC3\x89t\xC3\xA9");
}

TEST_F(StatusArea, UnchangedValuesAndLookups) {
    ASSERT_TRUE(area_.SetStatus("/p", -1, -1, -1));
    SharedStatusValues v = Get(area_, "/p");
    EXPECT_EQ(v.state, 0);
    EXPECT_EQ(v.progress1, 0);
    EXPECT_EQ(v.progress2, 0);
    ASSERT_TRUE(area_.SetStatus("/p", 5, 100, 200));
    ASSERT_TRUE(area_.SetStatus("/p", -1, 150, -1));
    v = Get(area_, "/p");
    EXPECT_EQ(v.state, 5);
    EXPECT_EQ(v.progress1, 150);
    EXPECT_EQ(v.progress2, 200);
    ASSERT_TRUE(area_.SetState("/p", 6));
    v = Get(area_, "/p");
    EXPECT_EQ(v.state, 6);
    EXPECT_EQ(v.progress1, 150);
    SharedStatusValues none;
    EXPECT_FALSE(area_.GetStatus("/absent", &none));
}

TEST_F(StatusArea, PathLengthLimits) {
    const struct {
        size_t length;
        bool stored;
    } cases[] = {{1, true}, {259, true}, {260, false}, {261, false}, {4000, false}, {0, false}};
    for (const auto& c : cases) {
        std::string path(c.length, 'x');
        if (!path.empty())
            path[0] = '/';
        const int32_t before = area_.Count();
        EXPECT_EQ(area_.SetState(path, 1), c.stored) << c.length;
        EXPECT_EQ(area_.Count(), before + (c.stored ? 1 : 0)) << c.length;
    }
    // The longest path keeps its terminator inside the 260-byte field.
    EXPECT_EQ(area_.Data()[4 + 272 + 4 + 259], 0);
    EXPECT_FALSE(area_.SetState(std::string("/a\0b", 4), 1));
}

TEST_F(StatusArea, FullAreaRefusesNewPathsOnly) {
    for (size_t i = 0; i < CSharedFileStatus::kMaxEntries; ++i)
        ASSERT_TRUE(area_.SetStatus("/tree/f" + std::to_string(i), 1, -1, -1));
    EXPECT_EQ(area_.Count(), 61680);
    EXPECT_FALSE(area_.SetState("/tree/one-more", 1));
    EXPECT_EQ(area_.Count(), 61680);
    EXPECT_TRUE(area_.SetState("/TREE/F61679", 2));  // existing entries still update
    EXPECT_EQ(Get(area_, "/tree/f61679").state, 2);
    // The last entry ends inside the area.
    EXPECT_LE(4 + 272 * CSharedFileStatus::kMaxEntries, CSharedFileStatus::kAreaSize);
}

TEST_F(StatusArea, ResetEmptiesTheIndex) {
    ASSERT_TRUE(area_.SetState("/a", 1));
    ASSERT_TRUE(area_.SetState("/b", 2));
    area_.Reset();
    EXPECT_EQ(area_.Count(), 0);
    SharedStatusValues v;
    EXPECT_FALSE(area_.GetStatus("/b", &v));
    ASSERT_TRUE(area_.SetState("/b", 3));  // a new entry 0, not the stale entry 1
    EXPECT_EQ(area_.Count(), 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(area_.Data()) + 8, "/b");
}

// Two writers on two mappings of the same area: each sees the other's entries, and neither
// appends a duplicate of a path the other stored.
TEST_F(StatusArea, SecondMappingSharesEntries) {
    ASSERT_TRUE(area_.SetState("/one", 1));
    ASSERT_TRUE(area_.SetState("/two", 2));
    CSharedFileStatus other;
    ASSERT_TRUE(other.Open());
    EXPECT_EQ(other.Count(), 2);
    EXPECT_EQ(Get(other, "/two").state, 2);
    ASSERT_TRUE(other.SetState("/TWO", 9));
    EXPECT_EQ(Get(area_, "/two").state, 9);
    ASSERT_TRUE(other.SetState("/three", 3));
    ASSERT_TRUE(area_.SetState("/three", 4));
    EXPECT_EQ(area_.Count(), 3);
    EXPECT_EQ(Get(other, "/three").state, 4);

    area_.Reset();
    ASSERT_TRUE(area_.SetState("/new", 5));
    ASSERT_TRUE(other.SetState("/one", 6));  // other must see the reset, not write to entry 0
    EXPECT_EQ(other.Count(), 2);
    EXPECT_EQ(Get(area_, "/new").state, 5);
    EXPECT_EQ(Get(area_, "/one").state, 6);
}

TEST_F(StatusArea, CorruptCountIsBounded) {
    platform::SharedMemory raw;
    ASSERT_TRUE(raw.Open("SHARENAME", CSharedFileStatus::kAreaSize));
    int32_t* count = static_cast<int32_t*>(raw.Data());
    *count = -7;
    EXPECT_EQ(area_.Count(), 0);
    EXPECT_TRUE(area_.SetState("/x", 1));
    EXPECT_EQ(*count, 1);
    *count = 0x7fffffff;
    EXPECT_EQ(area_.Count(), 61680);
    EXPECT_FALSE(area_.SetState("/never", 1));  // would write beyond the area
    CSharedFileStatus reopened;
    EXPECT_TRUE(reopened.Open());  // indexes at most the area's entries
    area_.Reset();
    EXPECT_TRUE(area_.SetState("/x", 2));
}

TEST_F(StatusArea, OpenFailureAndClosedArea) {
    platform::FaultScope faults;
    platform::FailCall(platform::Op::Map);
    CSharedFileStatus failing;
    EXPECT_FALSE(failing.Open());
    EXPECT_FALSE(failing.SetState("/a", 1));
    SharedStatusValues v;
    EXPECT_FALSE(failing.GetStatus("/a", &v));
    failing.Reset();
    EXPECT_EQ(failing.Count(), 0);
}

TEST_F(StatusArea, ReaderCachesThreeRepeats) {
    ASSERT_TRUE(area_.SetState("/doc/a.txt", 1));
    ASSERT_TRUE(area_.SetState("/doc/b.txt", 7));
    CSharedFileStatusReader reader(area_.Data());

    EXPECT_EQ(reader.GetState("/DOC/A.TXT"), 1);
    EXPECT_EQ(reader.AreaReads(), 1);
    ASSERT_TRUE(area_.SetState("/doc/a.txt", 2));
    for (int repeat = 1; repeat <= 3; ++repeat) {
        EXPECT_EQ(reader.GetState("/doc/a.txt"), 1) << repeat;  // from memory
        EXPECT_EQ(reader.AreaReads(), 1);
    }
    EXPECT_EQ(reader.GetState("\\doc\\a.txt"), 2);  // fourth repeat reads again
    EXPECT_EQ(reader.AreaReads(), 2);

    // A path without an entry answers 0 and leaves the remembered path in place.
    EXPECT_EQ(reader.GetState("/doc/none"), 0);
    EXPECT_EQ(reader.AreaReads(), 3);
    EXPECT_EQ(reader.GetState("/doc/a.txt"), 2);
    EXPECT_EQ(reader.AreaReads(), 3);

    // Another path with an entry is read at once and becomes the remembered one.
    EXPECT_EQ(reader.GetState("/doc/b.txt"), 7);
    EXPECT_EQ(reader.AreaReads(), 4);
    EXPECT_EQ(reader.GetState("/doc/b.txt"), 7);
    EXPECT_EQ(reader.AreaReads(), 4);
}

}  // namespace
