// kestrine-tool chunks FILE: prints what LoadChunk computes for the file, in the fixed format.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/file.h"
#include "store/filecache.h"
#include "support/tempdir.h"
#include "tools/toolrun.h"

namespace {

// The expected text, from the library's own chunking of the same file.
std::string Expected(const testsupport::TempDir& t, const std::string& name) {
    CFileCache cache;
    EXPECT_TRUE(cache.SetRoot(t.Path()));
    EXPECT_TRUE(cache.SetCache(t.Sub("expected-cache")));
    platform::FileStat st;
    EXPECT_TRUE(platform::Stat(t.Sub(name), &st));
    CFileInfo info("/" + name, 0, st.size);
    EXPECT_TRUE(cache.LoadChunk(info.path, &info));
    std::string text = "file " + std::to_string(info.size) + " " + std::to_string(info.chunkCount) + "\n";
    text += "list " + info.chunkListText + "\n";
    for (size_t i = 0; i < info.chunks.size(); ++i) {
        const CChunkInfo& c = info.chunks[i];
        text += "chunk " + std::to_string(i) + " " + c.key + " " + std::to_string(c.size) + " " +
                std::to_string(c.blockCount) + " " + c.blockSums + "\n";
    }
    return text;
}

TEST(ToolChunks, PrintsWhatLoadChunkComputes) {
    testsupport::TempDir t;
    t.MakeDirs("tmp");
    std::mt19937 rng(11);
    const size_t sizes[] = {0, 5, 4194304, 4194304 + 4097, 20971520 + 3};
    for (size_t size : sizes) {
        std::string data(size, '\0');
        for (auto& c : data)
            c = static_cast<char>(rng());
        const std::string name = "f" + std::to_string(size) + ".bin";
        t.WriteFile(name, data);
        const ToolRun r = RunTool({"chunks", t.Sub(name)}, t.Sub("tmp"));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, Expected(t, name)) << size;
    }
    // The exact form for a small file: one chunk of one block.
    t.WriteFile("abc.txt", "abc");
    const ToolRun abc = RunTool({"chunks", t.Sub("abc.txt")}, t.Sub("tmp"));
    EXPECT_EQ(abc.out,
              "file 3 1\nlist 900150983cd24fb0d6963f7d28e17f72\n"
              "chunk 0 900150983cd24fb0d6963f7d28e17f72 3 1 " +
                  std::to_string(static_cast<uint32_t>(294 + ((97 * 3 + 98 * 2 + 99) << 16))) + ",\n");
    // The private chunk cache of large files is gone afterwards.
    std::vector<platform::DirEntry> left;
    ASSERT_TRUE(platform::ListDir(t.Sub("tmp"), &left));
    EXPECT_TRUE(left.empty());
}

TEST(ToolChunks, ErrorsAndUsage) {
    testsupport::TempDir t;
    const ToolRun missing = RunTool({"chunks", t.Sub("missing")}, t.Path());
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("missing"), std::string::npos);
    const ToolRun folder = RunTool({"chunks", t.Path()}, t.Path());
    EXPECT_EQ(folder.status, 1);
    const ToolRun usage = RunTool({"chunks"}, t.Path());
    EXPECT_EQ(usage.status, 2);
    EXPECT_TRUE(usage.out.empty());
}

}  // namespace
