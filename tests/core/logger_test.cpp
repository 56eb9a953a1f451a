#include "core/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "platform/fault.h"
#include "platform/plog.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

const std::string kOpenSep = "\r\n" + std::string(80, '+') + "\r\n";
const std::string kCloseSep = "\r\n" + std::string(80, '-') + "\r\n";

// The lines of a log text split at "\r\n" (the separators' empty lines included).
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    for (;;) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            if (pos < text.size())
                out.push_back(text.substr(pos));
            return out;
        }
        out.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
}

std::string SelfPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

TEST(Logger, LineFormatAndSeparators) {
    testsupport::TempDir dir;
    const std::string path = dir.Sub("a.log");
    {
        CLogger logger;
        ASSERT_TRUE(logger.Open(path));
        logger.Log(kLogInfo, "CWork::Init", "hello 100%");
        logger.Log(kLogError, "CConfig::Load", "");
    }
    const std::string text = dir.ReadFile("a.log");
    ASSERT_EQ(text.substr(0, kOpenSep.size()), kOpenSep);
    ASSERT_GE(text.size(), kCloseSep.size());
    EXPECT_EQ(text.substr(text.size() - kCloseSep.size()), kCloseSep);

    std::vector<std::string> lines = Lines(text.substr(kOpenSep.size()));
    ASSERT_EQ(lines.size(), 4u);  // two lines, then the closing separator's empty line and dashes
    const std::regex line(R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}:\d{3}\]<([a-z ]{5})>\[([^\]]*)\]: (.*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, line)) << lines[0];
    EXPECT_EQ(m[1], "info ");
    EXPECT_EQ(m[2], "CWork::Init");
    EXPECT_EQ(m[3], "hello 100%");
    ASSERT_TRUE(std::regex_match(lines[1], m, line)) << lines[1];
    EXPECT_EQ(m[1], "error");
    EXPECT_EQ(m[3], "");
}

TEST(Logger, PrefixPadsEveryField) {
    EXPECT_EQ(CLogger::FormatPrefix(2012, 6, 1, 9, 5, 3, 42, kLogWarn, "T"),
              "[2012/06/01 09:05:03:042]<warn >[T]: ");
    EXPECT_EQ(CLogger::FormatPrefix(987, 12, 31, 23, 59, 59, 999, kLogDebug, "X::Y"),
              "[ 987/12/31 23:59:59:999]<debug>[X::Y]: ");
    EXPECT_EQ(CLogger::FormatPrefix(2012, 1, 1, 0, 0, 0, 0, kLogFatal, ""),
              "[2012/01/01 00:00:00:000]<fatal>[]: ");
}

TEST(Logger, LevelDecidesWhichSeveritiesAreWritten) {
    struct Case {
        int level;
        std::vector<int> written;  // of severities 1..5
    };
    const Case cases[] = {{0, {}}, {1, {1}}, {4, {1, 2, 3, 4}}, {5, {1, 2, 3, 4, 5}}, {6, {1, 2, 3, 4, 5}}};
    for (const Case& c : cases) {
        testsupport::TempDir dir;
        {
            CLogger logger;
            ASSERT_TRUE(logger.Open(dir.Sub("l.log")));
            logger.SetLevel(c.level);
            for (int s = 0; s <= 7; ++s)
                logger.Log(s, "T", "severity " + std::to_string(s));
        }
        std::string text = dir.ReadFile("l.log");
        for (int s = 0; s <= 7; ++s) {
            bool expected = std::find(c.written.begin(), c.written.end(), s) != c.written.end();
            EXPECT_EQ(text.find("]: severity " + std::to_string(s) + "\r\n") != std::string::npos, expected)
                << "level " << c.level << " severity " << s;
        }
    }
}

TEST(Logger, LevelFromNumberAndText) {
    struct Case {
        std::string text;
        int level;
    };
    const Case texts[] = {{"", 6},    {"9", 6},  {"-1", 6}, {"0", 0},           {"4", 4}, {"4abc", 4},
                          {"abc", 0}, {" 3", 3}, {"+2", 2}, {"99999999999", 6}, {"6", 6}, {"007", 6}};
    for (const Case& c : texts) {
        CLogger logger;
        logger.SetLevel(c.text);
        EXPECT_EQ(logger.GetLevel(), c.level) << "\"" << c.text << "\"";
    }
    const std::pair<int, int> numbers[] = {{0, 0}, {6, 6}, {7, 6}, {-1, 6}, {INT32_MIN, 6}, {3, 3}};
    for (auto [n, level] : numbers) {
        CLogger logger;
        logger.SetLevel(n);
        EXPECT_EQ(logger.GetLevel(), level) << n;
    }
    EXPECT_EQ(CLogger().GetLevel(), 5);
}

TEST(Logger, MessageEndingInNewlineLeavesAnEmptyLine) {
    testsupport::TempDir dir;
    {
        CLogger logger;
        ASSERT_TRUE(logger.Open(dir.Sub("n.log")));
        logger.Log(kLogInfo, "T", "first\r\n");
        logger.Log(kLogInfo, "T", "second");
    }
    std::vector<std::string> lines = Lines(dir.ReadFile("n.log").substr(kOpenSep.size()));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[0].find("]: first"), std::string::npos);
    EXPECT_EQ(lines[1], "");
    EXPECT_NE(lines[2].find("]: second"), std::string::npos);
}

TEST(Logger, OpenNeverTruncatesAndFailsCleanly) {
    testsupport::TempDir dir;
    dir.WriteFile("keep.log", "earlier run\r\n");
    {
        CLogger logger;
        ASSERT_TRUE(logger.Open(dir.Sub("keep.log")));
        logger.Log(kLogInfo, "T", "later");
    }
    std::string text = dir.ReadFile("keep.log");
    EXPECT_EQ(text.rfind("earlier run\r\n" + kOpenSep, 0), 0u);

    CLogger missing;
    EXPECT_FALSE(missing.Open(dir.Sub("no/such/folder/x.log")));
    EXPECT_FALSE(missing.IsOpen());
    missing.Log(kLogFatal, "T", "dropped");  // no file: nothing happens

    platform::FaultScope faults;
    platform::FailCall(platform::Op::Open, 1, 13, "denied.log");
    CLogger denied;
    EXPECT_FALSE(denied.Open(dir.Sub("denied.log")));
    EXPECT_FALSE(denied.IsOpen());
}

TEST(Logger, WriteFailuresAreNotFatal) {
    testsupport::TempDir dir;
    {
        CLogger logger;
        ASSERT_TRUE(logger.Open(dir.Sub("w.log")));
        platform::FaultScope faults;
        platform::FailCall(platform::Op::Write, 1, 28 /* ENOSPC */);
        logger.Log(kLogInfo, "T", "lost");
        logger.Log(kLogInfo, "T", "kept");
    }
    std::string text = dir.ReadFile("w.log");
    EXPECT_EQ(text.find("lost"), std::string::npos);
    EXPECT_NE(text.find("]: kept\r\n"), std::string::npos);
}

TEST(Logger, LinesFromManyThreadsStayWhole) {
    testsupport::TempDir dir;
    constexpr int kThreads = 4, kLines = 300;
    {
        CLogger logger;
        ASSERT_TRUE(logger.Open(dir.Sub("t.log")));
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, t] {
                for (int i = 0; i < kLines; ++i)
                    logger.Log(kLogInfo, "T",
                               "thread " + std::to_string(t) + " line " + std::to_string(i) + " end");
            });
        }
        for (auto& th : threads)
            th.join();
    }
    std::vector<std::string> lines = Lines(dir.ReadFile("t.log").substr(kOpenSep.size()));
    const std::regex whole(R"(\[[^\]]+\]<info >\[T\]: thread \d line \d+ end)");
    int count = 0;
    for (const std::string& l : lines) {
        if (l.empty() || l[0] == '-')
            continue;
        EXPECT_TRUE(std::regex_match(l, whole)) << l;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

// The application log: routing, skipping without a logger, last error text, platform lines.
TEST(AppLog, RoutesThroughTheRegisteredLogger) {
    testsupport::TempDir dir;
    Log(kLogError, "T", "before any logger %d", 1);  // skipped, no crash
    LogText(kLogError, "T", "also skipped");
    {
        CLogger logger;
        ASSERT_TRUE(logger.Open(dir.Sub("app.log")));
        logger.SetLevel(2);
        SetAppLogger(&logger);
        EXPECT_EQ(AppLogger(), &logger);
        Log(kLogError, "CWork::Init", "Fail to open DB \"%s\"", "/x/client.db");
        EXPECT_EQ(logger.GetLastErrorText(), "Fail to open DB \"/x/client.db\"");
        Log(kLogWarn, "T", "a warning is no error");
        EXPECT_EQ(logger.GetLastErrorText(), "Fail to open DB \"/x/client.db\"");
        LogText(kLogFatal, "T", "100% literal %s");
        EXPECT_EQ(logger.GetLastErrorText(), "100% literal %s");
        std::string longText(3000, 'x');
        Log(kLogFatal, "T", "%s", longText.c_str());
        EXPECT_EQ(logger.GetLastErrorText(), longText);
        logger.SetLevel(6);
        platform::Log(kLogDebug, "platform::Test", "from the platform layer");
        SetAppLogger(nullptr);
        EXPECT_EQ(AppLogger(), nullptr);
        platform::Log(kLogDebug, "platform::Test", "after the logger is gone");
    }
    std::string text = dir.ReadFile("app.log");
    EXPECT_NE(text.find("<error>[CWork::Init]: Fail to open DB \"/x/client.db\"\r\n"), std::string::npos);
    EXPECT_EQ(text.find("a warning is no error"), std::string::npos);  // level 2
    EXPECT_NE(text.find("<fatal>[T]: 100% literal %s\r\n"), std::string::npos);
    EXPECT_NE(text.find("<debug>[platform::Test]: from the platform layer\r\n"), std::string::npos);
    EXPECT_EQ(text.find("after the logger is gone"), std::string::npos);
}

TEST(AppLog, InitLogHook) {
    EXPECT_FALSE(RunInitLogHook());
    int calls = 0;
    SetInitLogHook([&calls] { return ++calls == 1; });
    EXPECT_TRUE(RunInitLogHook());
    EXPECT_FALSE(RunInitLogHook());
    SetInitLogHook(nullptr);
    EXPECT_FALSE(RunInitLogHook());
    EXPECT_EQ(calls, 2);
}

// Child side of the two-process test: runs only when started by it. Commands on stdin, one per
// line: "open <path>", "log <text>", "close"; each is acknowledged with "ack <n>".
TEST(LoggerChild, Serve) {
    if (!getenv("KESTRINE_LOGGER_CHILD"))
        GTEST_SKIP() << "helper for Logger.TwoProcessesAppendToOneFile";
    std::unique_ptr<CLogger> logger;
    std::string line;
    int n = 0;
    while (std::getline(std::cin, line)) {
        if (line.rfind("open ", 0) == 0) {
            logger = std::make_unique<CLogger>();
            ASSERT_TRUE(logger->Open(line.substr(5)));
        } else if (line.rfind("log ", 0) == 0 && logger) {
            logger->Log(kLogInfo, "Child", line.substr(4));
        } else if (line == "close") {
            logger.reset();
        }
        std::cout << "ack " << ++n << std::endl;
    }
}

TEST(Logger, TwoProcessesAppendToOneFile) {
    testsupport::TempDir dir;
    const std::string path = dir.Sub("shared.log");
    testsupport::LaunchPlan how;
    how.program = SelfPath();
    how.args = {"--gtest_filter=LoggerChild.Serve"};
    how.env["KESTRINE_LOGGER_CHILD"] = "1";
    how.keepStdinOpen = true;
    testsupport::ChildProcess a, b;
    ASSERT_TRUE(a.Start(how));
    ASSERT_TRUE(b.Start(how));
    int acksA = 0, acksB = 0;
    auto send = [](testsupport::ChildProcess& p, int& acks, const std::string& cmd) {
        ASSERT_TRUE(p.WriteStdin(cmd + "\n"));
        ASSERT_TRUE(p.WaitForOutput("ack " + std::to_string(++acks) + "\n", 30000))
            << p.Stdout() << p.Stderr();
    };
    // B opens and writes while A's run is open; A's later lines must land after B's, not over them.
    send(a, acksA, "open " + path);
    send(a, acksA, "log a1");
    send(b, acksB, "open " + path);
    send(b, acksB, "log b1");
    send(a, acksA, "log a2");
    send(b, acksB, "close");
    send(a, acksA, "log a3");
    send(a, acksA, "close");
    a.CloseStdin();
    b.CloseStdin();
    int status = -1;
    ASSERT_TRUE(a.Wait(30000, &status));
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(b.Wait(30000, &status));
    EXPECT_EQ(status, 0);

    std::vector<std::string> shape;
    for (const std::string& l : Lines(dir.ReadFile("shared.log"))) {
        if (l.empty())
            continue;
        if (l == std::string(80, '+') || l == std::string(80, '-'))
            shape.push_back(l.substr(0, 1));
        else
            shape.push_back(l.substr(l.rfind(' ') + 1));
    }
    const std::vector<std::string> expected = {"+", "a1", "+", "b1", "a2", "-", "a3", "-"};
    EXPECT_EQ(shape, expected);
}
