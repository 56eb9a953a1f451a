// A listing of a real tree, read at every pass, writes only its size and count at info level;
// its entries reach the log only at debug level, plain or compressed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "core/logger.h"
#include "service/back_fixture.h"

namespace {

using namespace backtest;

TEST_F(BackServiceTest, AListingIsCountedAtInfoLevelAndWrittenWholeOnlyAtDebug) {
    PutFortyFiles();
    if (HasFatalFailure())
        return;
    for (int level : {kLogInfo, kLogDebug}) {
        for (int threshold : {-1, 0}) {  // plain, then compressed
            SCOPED_TRACE((level == kLogInfo ? "info, " : "debug, ") +
                         std::string(threshold < 0 ? "plain" : "compressed"));
            ASSERT_TRUE(server_.SetCompressThreshold(threshold));
            AppLogger()->SetLevel(level);
            const size_t before = log_.Text().size();
            std::string ack;
            CBack::FileMap map;
            std::vector<CFileInfo> all;
            ASSERT_TRUE(back_.GetList("alice", &ack, &map)) << log_.Text();
            ASSERT_TRUE(back_.DownloadAll(&ack, &all)) << log_.Text();
            ASSERT_EQ(map.size(), 41u);
            const std::string part = log_.Text().substr(before);
            EXPECT_EQ(part.find("File7.txt") != std::string::npos, level == kLogDebug) << part;
            EXPECT_NE(part.find(" bytes, "), std::string::npos) << part;
        }
    }
}

}  // namespace
