// The log file itself: private from its first byte (a new file, a file of an older run, the
// next part of a rotation), and masked lines at every level, debug and bulk included.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "core/log.h"
#include "core/logger.h"
#include "support/tempdir.h"
#include "util/redact.h"

namespace {

unsigned ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 01'0000;
}

TEST(LogFile, IsPrivateWhenNewOldOrRotated) {
    const mode_t oldMask = ::umask(022);
    testsupport::TempDir dir;
    dir.WriteFile("old.log", "an older run\r\n");
    ASSERT_EQ(::chmod(dir.Sub("old.log").c_str(), 0644), 0);
    {
        CLogger logger;
        ASSERT_TRUE(logger.Open(dir.Sub("new.log")));
        EXPECT_EQ(ModeOf(dir.Sub("new.log")), 0600u);
        ASSERT_TRUE(logger.Open(dir.Sub("old.log")));
        EXPECT_EQ(ModeOf(dir.Sub("old.log")), 0600u);
        logger.SetMaxFileBytes(200);
        for (int i = 0; i < 5; ++i)
            logger.Log(kLogInfo, "T", std::string(100, 'x'));
        EXPECT_NE(logger.Path(), dir.Sub("old.log"));
        EXPECT_EQ(ModeOf(logger.Path()), 0600u);
    }
    EXPECT_EQ(dir.ReadFile("old.log").substr(0, 14), "an older run\r\n");
    ::umask(oldMask);
}

TEST(LogFile, SecretsAreMaskedAtEveryLevel) {
    testsupport::TempDir dir;
    redact::Forget();
    redact::Remember("pw-alice");
    {
        CLogger logger;
        ASSERT_TRUE(logger.Open(dir.Sub("a.log")));
        logger.SetLevel(6);
        SetAppLogger(&logger);
        Log(kLogDebug, "T", "url http://h/LoginServlet?user_name=alice&password=q%%2BZ%%3D&time_stamp=1");
        Log(kLogInfo, "T", "typed %s", "pw-alice");
        LogText(kLogError, "T", R"({"result":"OK","passport":"P-42-secret"})");
        // A request larger than the bulk limit goes out whole at debug level.
        const std::string request =
            "<request_head password=\"d1g3st\" passport=\"P-42-secret\"/>" + std::string(kBulkLogBytes, ' ');
        LogBulk("T", "request:", request, 3, "elements");
        EXPECT_EQ(logger.GetLastErrorText(), R"({"result":"OK","passport":"***"})");
        SetAppLogger(nullptr);
    }
    redact::Forget();
    const std::string text = dir.ReadFile("a.log");
    for (const char* secret : {"q%2BZ%3D", "pw-alice", "P-42-secret", "d1g3st"})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in\n" << text;
    EXPECT_NE(text.find("password=***&time_stamp=1"), std::string::npos) << text;
    EXPECT_NE(text.find("<debug>[T]: request:<request_head password=\"***\""), std::string::npos) << text;
}

}  // namespace
