// Logging: threshold, line shape and colours, truncation, priorities, base names and
// concurrent statements.
// GCC 12 at -O2 reports a false maybe-uninitialized inside <regex>'s own automaton.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>

#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include <set>
#include <string>
#include <syslog.h>
#include <thread>
#include <vector>

#include "runtime/Log.hpp"
#include "support/TestSupport.hpp"

namespace {

// Console text of one statement: colour, "%s %s [%s:%d] %s", colour reset.
const std::regex kLineShape(R"(^(\x1b\[[0-9;]*m)(\d{4}) (\d{2}:\d{2}:\d{2}\.\d{3}) \[([^\]:]+):(\d+)\] ([\s\S]*)\x1b\[m$)");

TEST(LogTest, ThresholdDecidesWhichLevelsPrint)
{
    struct Case
    {
        int              threshold;
        std::set<int>    printed;
    };
    const Case cases[] = {
        {0, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {1, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {7, {7, 8, 9}},
        {8, {8, 9}},
        {12, {}},
    };
    for (const Case &c : cases)
    {
        LogCapture log(c.threshold);
        for (int level = 1; level <= 9; ++level)
            Z3LOG(level, "level %d\r\n", level);
        std::set<int> seen;
        for (const LogCapture::Entry &e : log.Entries())
            seen.insert(std::stoi(e.message.substr(6)));
        EXPECT_EQ(c.printed, seen) << "threshold " << c.threshold;
        EXPECT_EQ(c.printed.size(), log.ConsoleLines().size()) << "threshold " << c.threshold;
    }
}

TEST(LogTest, SuppressedStatementDoesNotEvaluateItsArguments)
{
    LogCapture log(12);
    int        evaluated = 0;
    Z3LOG(9, "%d\r\n", ++evaluated);
    EXPECT_EQ(0, evaluated);
    EXPECT_TRUE(log.Entries().empty());
}

TEST(LogTest, ConsoleLineShapeAndColourPerLevel)
{
    const char *expected_colour[10] = {nullptr,        "\033[m",      "\033[0;32;32m", "\033[1;32m", "\033[1;36m",
                                       "\033[0;35m",   "\033[1;35m",  "\033[0;33m",    "\033[1;33m", "\033[0;32;31m"};
    LogCapture  log;
    int         first_line = __LINE__ + 2;
    for (int level = 1; level <= 9; ++level)
        Z3LOG(level, "msg %d\r\n", level);
    std::vector<std::string> lines = log.ConsoleLines();
    ASSERT_EQ(9u, lines.size());
    for (int level = 1; level <= 9; ++level)
    {
        std::smatch m;
        const std::string &line = lines[static_cast<size_t>(level - 1)];
        ASSERT_TRUE(std::regex_match(line, m, kLineShape)) << line;
        EXPECT_EQ(expected_colour[level], m[1].str()) << "level " << level;
        EXPECT_EQ("test_Log.cpp", m[4].str());
        EXPECT_EQ(std::to_string(first_line), m[5].str());
        EXPECT_EQ("msg " + std::to_string(level) + "\r\n", m[6].str());
    }
}

TEST(LogTest, DateAndTimeFollowTheLocalClock)
{
    LogCapture log;
    time_t     before = time(nullptr);
    Z3LOG(6, "clock\r\n");
    time_t     after = time(nullptr);
    std::smatch m;
    std::string line = log.ConsoleLines().at(0);
    ASSERT_TRUE(std::regex_match(line, m, kLineShape)) << line;
    std::set<std::string> dates, times;
    for (time_t t : {before, after})
    {
        struct tm broken;
        localtime_r(&t, &broken);
        char text[16];
        strftime(text, sizeof(text), "%m%d", &broken);
        dates.insert(text);
        strftime(text, sizeof(text), "%H:%M:%S", &broken);
        times.insert(text);
    }
    EXPECT_EQ(1u, dates.count(m[2].str()));
    EXPECT_EQ(1u, times.count(m[3].str().substr(0, 8)));
}

TEST(LogTest, LongMessageIsCutTo2047InBothOutputs)
{
    LogCapture        log;
    const std::string long_text(3000, 'x');
    Z3LOG(9, "%s", long_text.c_str());
    std::vector<LogCapture::Entry> entries = log.Entries();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(std::string(2047, 'x'), entries[0].message);
    // Checked without the regex: a 2047-character match would recurse deeply.
    std::string       line   = log.ConsoleLines().at(0);
    const std::string suffix = "] " + std::string(2047, 'x') + "\033[m";
    ASSERT_GT(line.size(), suffix.size());
    EXPECT_EQ(suffix, line.substr(line.size() - suffix.size()));
    EXPECT_EQ(0u, line.find("\033[0;32;31m"));
}

TEST(LogTest, MessageOfExactly2047IsKept)
{
    LogCapture        log;
    const std::string text(2046, 'y');
    Z3LOG(9, "%s!", text.c_str());
    ASSERT_EQ(1u, log.Entries().size());
    EXPECT_EQ(text + "!", log.Entries()[0].message);
}

TEST(LogTest, SystemLogPriorityPerLevel)
{
    LogCapture log;
    for (int level = 1; level <= 9; ++level)
        Z3LOG(level, "p%d", level);
    const int expected[10] = {0, LOG_INFO, LOG_INFO, LOG_INFO, LOG_INFO, LOG_INFO, LOG_INFO, LOG_NOTICE, LOG_WARNING, LOG_ERR};
    std::vector<LogCapture::Entry> entries = log.Entries();
    ASSERT_EQ(9u, entries.size());
    for (int level = 1; level <= 9; ++level)
    {
        EXPECT_EQ(expected[level], entries[static_cast<size_t>(level - 1)].priority) << "level " << level;
        EXPECT_EQ(expected[level], kLogPriorityOf(level));
    }
}

TEST(LogTest, BaseNames)
{
    const std::pair<const char *, const char *> cases[] = {
        {"src/Z3GatewayMsgDriver.c", "Z3GatewayMsgDriver.c"},
        {"main.c", "main.c"},
        {"/abs/dir/file.cpp", "file.cpp"},
        {"/rootfile.c", "/rootfile.c"},
        {"a/b/c/d.hpp", "d.hpp"},
        {"", ""},
    };
    for (const auto &[path, base] : cases)
        EXPECT_STREQ(base, kLogBaseName(path)) << path;
}

TEST(LogTest, LoggingAsAnotherFileUsesItsName)
{
    LogCapture log;
    Z3LOG_AS("src/CommonUtils.c", 6, "as\r\n");
    std::smatch m;
    std::string line = log.ConsoleLines().at(0);
    ASSERT_TRUE(std::regex_match(line, m, kLineShape));
    EXPECT_EQ("CommonUtils.c", m[4].str());
}

TEST(LogTest, PaletteLookup)
{
    const std::pair<uint16_t, const char *> cases[] = {
        {15, "\033[m"},       {4, "\033[0;32;31m"}, {12, "\033[1;31m"}, {2, "\033[0;32;32m"}, {10, "\033[1;32m"},
        {1, "\033[0;32;34m"}, {9, "\033[1;34m"},    {7, "\033[1;30m"},  {3, "\033[0;36m"},    {11, "\033[1;36m"},
        {5, "\033[0;35m"},    {13, "\033[1;35m"},   {6, "\033[0;33m"},  {14, "\033[1;33m"},   {8, "\033[m"},
        {0, "\033[m"},        {16, "\033[m"},       {0xFFFF, "\033[m"},
    };
    for (const auto &[id, escape] : cases)
        EXPECT_STREQ(escape, kLogColorOf(id)) << "colour " << id;

    LogCapture log;
    kLogSetColor(8);
    kLogSetColor(12);
    std::vector<std::string> written = log.ConsoleLines();
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ("\033[m", written[0]);
    EXPECT_EQ("\033[1;31m", written[1]);
}

TEST(LogTest, ConcurrentStatementsKeepWholeLines)
{
    LogCapture       log;
    constexpr int    kThreads = 4;
    constexpr int    kEach    = 250;
    const std::string filler(300, 'f');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([t, &filler] {
            for (int i = 0; i < kEach; ++i)
                Z3LOG(6, "T%d-%d-%s-end\r\n", t, i, filler.c_str());
        });
    }
    for (std::thread &th : threads)
        th.join();

    std::vector<std::string> lines = log.ConsoleLines();
    ASSERT_EQ(static_cast<size_t>(kThreads * kEach), lines.size());
    const std::regex body(R"(T(\d)-(\d+)-f{300}-end\r\n)");
    std::set<std::string> seen;
    for (const std::string &line : lines)
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLineShape)) << line;
        std::string message = m[6].str();
        ASSERT_TRUE(std::regex_match(message, body)) << message;
        seen.insert(message.substr(0, message.find("-f")));
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), seen.size());
    EXPECT_EQ(kThreads * kEach, log.Count("-end\r\n"));
}

} // namespace
