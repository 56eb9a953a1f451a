// The log file's bound: a full file is closed and the run goes on in the next one, which the log
// folder's retention still removes when old.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/logger.h"
#include "platform/fault.h"
#include "platform/file.h"
#include "support/tempdir.h"
#include "util/util.h"

namespace {

const std::string kOpenSep = "\r\n" + std::string(80, '+') + "\r\n";
const std::string kCloseSep = "\r\n" + std::string(80, '-') + "\r\n";

size_t CountOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1))
        ++n;
    return n;
}

std::string Message(int i) {
    return "line " + std::to_string(i) + " " + std::string(60, 'x');
}

// The files of the run that began in "a.log", in order, until one is missing.
std::vector<std::string> Parts(const testsupport::TempDir& dir) {
    std::vector<std::string> texts;
    for (int i = 0; dir.Exists(CLogger::PartPath("a.log", i)); ++i)
        texts.push_back(dir.ReadFile(CLogger::PartPath("a.log", i)));
    return texts;
}

TEST(LogRotation, PartNamesStayBesideTheFirstAndEndInLog) {
    const struct {
        const char* first;
        int index;
        const char* want;
    } cases[] = {
        {"/l/2026-12-10-08-00-00.log", 0, "/l/2026-12-10-08-00-00.log"},
        {"/l/2026-12-10-08-00-00.log", 1, "/l/2026-12-10-08-00-00_001.log"},
        {"/l/2026-12-10-08-00-00.log", 12, "/l/2026-12-10-08-00-00_012.log"},
        {"/l/client", 2, "/l/client_002.log"},
        {"/l.d/a.LOG", 1, "/l.d/a.LOG_001.log"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CLogger::PartPath(c.first, c.index), c.want) << c.first << " " << c.index;
    // Sorted by name (as a reader lists a folder), the files of a run come in the order written.
    std::vector<std::string> names;
    for (int i = 0; i <= 120; ++i)
        names.push_back(CLogger::PartPath("/l/2026-12-10-08-00-00.log", i));
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
}

TEST(LogRotation, AFullFileIsClosedAndTheRunGoesOnInTheNext) {
    testsupport::TempDir dir;
    constexpr int kMax = 1000;
    constexpr int kLines = 40;
    {
        CLogger logger;
        logger.SetMaxFileBytes(kMax);
        ASSERT_TRUE(logger.Open(dir.Sub("a.log")));
        for (int i = 0; i < kLines; ++i)
            logger.Log(kLogInfo, "T", Message(i));
        EXPECT_NE(logger.Path(), dir.Sub("a.log"));
    }
    const std::vector<std::string> parts = Parts(dir);
    ASSERT_GE(parts.size(), 3u);
    std::string all;
    for (size_t i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(CLogger::PartPath("a.log", static_cast<int>(i)));
        const std::string& text = parts[i];
        // Each file is a whole run of its own: both separators, and the way to its neighbours.
        EXPECT_EQ(text.substr(0, kOpenSep.size()), kOpenSep);
        ASSERT_GE(text.size(), kCloseSep.size());
        EXPECT_EQ(text.substr(text.size() - kCloseSep.size()), kCloseSep);
        // The lines stay under the limit; only the closing lines may go past it.
        EXPECT_LE(text.size(), static_cast<size_t>(kMax) + 300u);
        if (i + 1 < parts.size()) {
            EXPECT_EQ(CountOf(text, "The log goes on in " + dir.Sub(CLogger::PartPath("a.log", int(i) + 1))),
                      1u);
        }
        if (i > 0) {
            EXPECT_EQ(
                CountOf(text, "The log goes on from " + dir.Sub(CLogger::PartPath("a.log", int(i) - 1))), 1u);
        }
        all += text;
    }
    // Every line once, in order.
    size_t at = 0;
    for (int i = 0; i < kLines; ++i) {
        const size_t found = all.find("]: " + Message(i) + "\r\n", at);
        ASSERT_NE(found, std::string::npos) << Message(i);
        at = found;
        EXPECT_EQ(CountOf(all, "]: " + Message(i) + "\r\n"), 1u);
    }
}

TEST(LogRotation, ANextFileThatCannotBeOpenedLeavesTheRunWhereItIs) {
    testsupport::TempDir dir;
    platform::FaultScope faults;
    constexpr int kMax = 1000;
    {
        CLogger logger;
        logger.SetMaxFileBytes(kMax);
        ASSERT_TRUE(logger.Open(dir.Sub("a.log")));
        platform::FailCall(platform::Op::Open, 1, EACCES, "a_001.log");
        // Enough for the first rotation to fail, and for the one a file's worth later to work.
        for (int i = 0; i < 22; ++i)
            logger.Log(kLogInfo, "T", Message(i));
    }
    const std::vector<std::string> parts = Parts(dir);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(CountOf(parts[0], "Fail to open " + dir.Sub("a_001.log")), 1u);
    std::string all = parts[0] + parts[1];
    for (int i = 0; i < 22; ++i)
        EXPECT_EQ(CountOf(all, "]: " + Message(i) + "\r\n"), 1u) << Message(i);
}

TEST(LogRotation, RetentionRemovesOldRotatedFilesAndKeepsTheRecentOnes) {
    testsupport::TempDir dir;
    dir.MakeDirs("logs");
    {
        CLogger logger;
        logger.SetMaxFileBytes(400);
        ASSERT_TRUE(logger.Open(dir.Sub("logs/2026-01-01-00-00-00.log")));
        for (int i = 0; i < 20; ++i)
            logger.Log(kLogInfo, "T", Message(i));
    }
    std::vector<std::string> names;
    for (int i = 0; dir.Exists("logs/" + CLogger::PartPath("2026-01-01-00-00-00.log", i)); ++i)
        names.push_back("logs/" + CLogger::PartPath("2026-01-01-00-00-00.log", i));
    ASSERT_GE(names.size(), 3u);
    // All but the last written four days ago: the last is still within the three days.
    const int64_t fourDaysAgo =
        platform::UnixToFileTime(static_cast<int64_t>(std::time(nullptr)) - 4 * 86400, 0);
    for (size_t i = 0; i + 1 < names.size(); ++i)
        ASSERT_TRUE(platform::SetFileWriteTime(dir.Sub(names[i]), fourDaysAgo));
    EXPECT_TRUE(CUtil::CleanLogs(dir.Sub("logs"), 3));
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(dir.Exists(names[i]), i + 1 == names.size()) << names[i];
}

}  // namespace
