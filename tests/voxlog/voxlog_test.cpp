#include "voxlog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>
#include <vector>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct Written {
    std::string message;
    int level;
    std::string channel;
    uint64_t id;
    std::string timestamp;
    std::string line;
};

class RecordingSink : public LogBase {
public:
    std::vector<Written> lines;
    std::vector<std::string> events;

    void flush() override { events.push_back("flush"); }
    void notify(void*) override { events.push_back("notify"); }
    void write(const std::string& message, int level, const std::string& channel, uint64_t id,
               const std::string& timestamp, const std::string& line) override
    {
        lines.push_back({message, level, channel, id, timestamp, line});
        events.push_back("write");
    }
};

// Writes every line to stderr, where a death test can see it.
class StderrSink : public LogBase {
public:
    void flush() override { std::fputs("<flush>\n", stderr); }
    void notify(void*) override {}
    void write(const std::string&, int, const std::string&, uint64_t, const std::string&,
               const std::string& line) override
    {
        std::fprintf(stderr, "<%s>\n", line.c_str());
    }
};

class VoxlogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setLogMaxLevel(LogLevel_DEVEL);
        setLogTimestampFormat(0);
        setLogUseLocalTime(0);
        setLogFatalCallback(nullptr);
    }
};

const char* const kTimestamp0 = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}";

} // namespace

TEST_F(VoxlogTest, SinksRegisterInOrderAndReceiveTheFormattedLine)
{
    const std::size_t before = logSinkList().count;
    RecordingSink first;
    {
        RecordingSink second;
        EXPECT_EQ(logSinkList().count, before + 2);
        logMessage("hello", LogLevel_ERROR, "Patch", 0);
        ASSERT_EQ(first.lines.size(), 1u);
        ASSERT_EQ(second.lines.size(), 1u);
        EXPECT_EQ(first.lines[0].line, second.lines[0].line);
    }
    EXPECT_EQ(logSinkList().count, before + 1);

    const Written& w = first.lines[0];
    EXPECT_EQ(w.message, "hello");
    EXPECT_EQ(w.level, 1);
    EXPECT_EQ(w.channel, "Patch");
    EXPECT_EQ(w.timestamp.size(), 26u);
    EXPECT_EQ(w.line, w.timestamp + "|ERROR   |Patch         |   |hello");
    EXPECT_EQ(w.line.find("hello"), 55u);
    EXPECT_THAT(first.events, ::testing::ElementsAre("write"));
}

TEST_F(VoxlogTest, IdsAndLongChannelsAreWrittenInFull)
{
    RecordingSink sink;
    logMessage("m", LogLevel_INFO, "AVeryLongChannelName", 12345);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].line, sink.lines[0].timestamp + "|INFO    |AVeryLongChannelName|12345|m");
}

TEST_F(VoxlogTest, ContinuationLinesAlignUnderTheFirstLine)
{
    RecordingSink sink;
    logMessage("first\nsecond", LogLevel_WARNING, "", 0);
    ASSERT_EQ(sink.lines.size(), 1u);
    const std::string& line = sink.lines[0].line;
    EXPECT_EQ(line.substr(55), "first\n" + std::string(55, ' ') + "second");
    EXPECT_EQ(sink.lines[0].message, "first\nsecond");
}

TEST_F(VoxlogTest, LevelFilterDropsMoreVerboseMessages)
{
    RecordingSink sink;
    setLogMaxLevel(LogLevel_WARNING);
    logMessage("dropped", LogLevel_DEBUG, "", 0);
    logMessage("kept", LogLevel_WARNING, "", 0);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].message, "kept");
}

TEST_F(VoxlogTest, TimestampFormats)
{
    EXPECT_TRUE(std::regex_match(logTimestamp(0), std::regex(kTimestamp0)));
    EXPECT_TRUE(std::regex_match(logTimestamp(1),
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]{6})?")));
    EXPECT_TRUE(std::regex_match(logTimestamp(2), std::regex("[0-9]{8}T[0-9]{6}(\\.[0-9]{6})?")));
    EXPECT_TRUE(std::regex_match(logTimestamp(7),
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]{6})?")));
}

TEST_F(VoxlogTest, LevelNamesAndBroadcasts)
{
    const char* names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    for (int level = 0; level < 6; ++level)
        EXPECT_EQ(checkedLogLevelName(level), names[level]);

    RecordingSink sink;
    notifyAllLogSinks(nullptr);
    notifyOptionalAllLogSinks(nullptr);
    flushAllLogSinks(logSinkList());
    EXPECT_THAT(sink.events, ::testing::ElementsAre("notify", "flush"));
    EXPECT_EQ(makeEmptyLogString(), "");
}

TEST_F(VoxlogTest, StackTraceGoesStraightToTheSinks)
{
    RecordingSink sink;
    printStackTrace();
    ASSERT_GE(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0].message, "Printing Trace:");
    const Written& frame = sink.lines[1];
    EXPECT_EQ(frame.level, 5);
    EXPECT_EQ(frame.timestamp, "");
    EXPECT_EQ(frame.line, frame.message);
    EXPECT_TRUE(std::regex_search(frame.line, std::regex("^  #0.+ in .+ from .+$"))) << frame.line;
}

using VoxlogDeathTest = VoxlogTest;

TEST_F(VoxlogDeathTest, CriticalMessageFlushesSinksCallsBackAndExitsWithOne)
{
    EXPECT_EXIT(
        {
            StderrSink sink;
            setLogFatalCallback([](const std::string& message, const std::string&, uint64_t, const std::string&,
                                   const std::string&) { std::fprintf(stderr, "<callback %s>\n", message.c_str()); });
            logMessage("fatal", LogLevel_CRITICAL, "", 0);
            std::fputs("<survived>\n", stderr);
        },
        ::testing::ExitedWithCode(1), std::string("\\|CRITICAL\\|.*fatal>\n<flush>\n<callback fatal>\n$"));
}

TEST_F(VoxlogDeathTest, CriticalMessageWithoutSinksStillExits)
{
    EXPECT_EXIT(logMessage("fatal", LogLevel_CRITICAL, "", 0), ::testing::ExitedWithCode(1), "");
}

TEST_F(VoxlogDeathTest, CriticalMessageAboveTheMaximumLevelExitsWithoutSinks)
{
    EXPECT_EXIT(
        {
            StderrSink sink;
            setLogMaxLevel(-1);
            logMessage("fatal", LogLevel_CRITICAL, "", 0);
        },
        ::testing::ExitedWithCode(1), Not(HasSubstr("fatal")));
}

TEST_F(VoxlogDeathTest, DatabaseNoiseIsDroppedEvenAtLevelZero)
{
    EXPECT_EXIT(
        {
            StderrSink sink;
            logMessage("db_exec() select * from instance_properties where string_id = 'x'", LogLevel_CRITICAL,
                       "DatabaseQuery", 0);
            logMessage("sqlite3_prepare failed no such column: string_id", LogLevel_CRITICAL, "DatabaseQuery", 0);
            std::fputs("<survived>\n", stderr);
            std::exit(7);
        },
        ::testing::ExitedWithCode(7), "^<survived>\n$");
}

TEST_F(VoxlogDeathTest, OutOfRangeLevelNameIsAnAssertion)
{
    EXPECT_EXIT(
        {
            StderrSink sink;
            checkedLogLevelName(6);
        },
        ::testing::ExitedWithCode(1), "Assertion \"lvl >= 0 && lvl <= LogLevel_DEVEL\" failed at .*voxlog.cpp:216; ");
}

// A pool whose static destructor waits for its workers, as Qt's global thread pool does: a
// fatal message on a worker must still end the process instead of waiting forever.
TEST_F(VoxlogDeathTest, CriticalMessageOnAWorkerThreadExitsDespiteWaitingStaticDestructors)
{
    EXPECT_EXIT(
        {
            struct Pool {
                std::atomic<bool> done{false};
                ~Pool()
                {
                    while (!done)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            };
            static Pool pool;
            std::thread worker([] {
                logMessage("fatal on worker", LogLevel_CRITICAL, "", 0);
                pool.done = true;
            });
            worker.detach();
            std::this_thread::sleep_for(std::chrono::seconds(30));
            std::exit(9);
        },
        ::testing::ExitedWithCode(1), "");
}
