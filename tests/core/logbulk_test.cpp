// Bulk texts (whole listings and SOAP replies) are written whole only at debug level; at info
// level a long one is only its size and count.
#include <gtest/gtest.h>

#include <string>

#include "core/log.h"
#include "core/logger.h"
#include "support/tempdir.h"

namespace {

size_t CountOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1))
        ++n;
    return n;
}

// A bulk text at each level and size: what the info line and the debug line say.
TEST(LogBulk, WholeOnlyAtDebugLevelPastTheLimit) {
    const std::string small = "<list>" + std::string(100, 'e') + "</list>";
    const std::string large = "<list>" + std::string(kBulkLogBytes, 'e') + "</list>";
    const std::string summary = "reply:[" + std::to_string(large.size()) + " bytes, 30 entries]";
    const struct {
        const char* what;
        int level;
        const std::string& text;
        bool whole;    // the whole text is in the log
        bool summary;  // the size-and-count line is
    } cases[] = {
        {"small at info", kLogInfo, small, true, false},  {"small at debug", kLogDebug, small, true, false},
        {"large at info", kLogInfo, large, false, true},  {"large at debug", kLogDebug, large, true, true},
        {"large at warn", kLogWarn, large, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir dir;
        {
            CLogger logger;
            ASSERT_TRUE(logger.Open(dir.Sub("b.log")));
            logger.SetLevel(c.level);
            SetAppLogger(&logger);
            LogBulk("CBack::GetAll", "reply:", c.text, 30, "entries");
            SetAppLogger(nullptr);
        }
        const std::string text = dir.ReadFile("b.log");
        EXPECT_EQ(CountOf(text, "]: reply:" + c.text + "\r\n"), c.whole ? 1u : 0u);
        EXPECT_EQ(CountOf(text, "<info >[CBack::GetAll]: " + summary + "\r\n"), c.summary ? 1u : 0u);
        if (c.whole && c.summary) {
            EXPECT_EQ(CountOf(text, "<debug>[CBack::GetAll]: reply:" + c.text), 1u);
        }
    }
}

}  // namespace
