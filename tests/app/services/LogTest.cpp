#include "app/services/Log.hpp"
#include "app/services/LogWriter.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace corvane {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

class LogWriterTest : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path file = dir.path() / "Corvane.log";
};

TEST_F(LogWriterTest, WritesWholeStampedLinesInOrderFromManyThreads) {
    using namespace std::chrono;
    EXPECT_EQ(LogWriter::timestamp(system_clock::time_point{seconds(1796580200) + milliseconds(7)}),
              "2026-12-06T18:03:20.007Z");
    LogWriter log(file);
    log.write("second\nwithout a stamp");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 500; ++i)
                log.write("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                          std::string(100, static_cast<char>('a' + t)));
        });
    for (auto& thread : threads) thread.join();
    log.flush();

    std::istringstream lines(readFile(file));
    std::string line;
    std::getline(lines, line);
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z second)"))) << line;
    std::getline(lines, line);
    EXPECT_EQ(line, "without a stamp");
    int count = 0;
    std::vector<int> next(8, 0);
    const std::regex shape(R"(\S+Z thread (\d) line (\d+) ([a-h])\3{99})");
    while (std::getline(lines, line)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        EXPECT_EQ(std::stoi(match[2]), next[std::stoi(match[1])]++);
        ++count;
    }
    EXPECT_EQ(count, 8 * 500);
}

TEST_F(LogWriterTest, RotatesOnlyAboveTheLimitEvenWithinOneBurst) {
    const auto older = dir.path() / "Corvane.1.log";
    writeFile(file, std::string(1'999'999, 'x') + "\n");  // exactly 2,000,000 bytes: appended to
    {
        LogWriter log(file);
        EXPECT_EQ(log.olderFile(), older);
        log.write("appended");
        log.flush();
    }
    EXPECT_FALSE(fs::exists(older));
    writeFile(older, "stale older generation\n");
    const auto before = fs::file_size(file);
    {
        LogWriter log(file);
        log.write("fresh");
        log.flush();
    }
    EXPECT_EQ(fs::file_size(older), before);
    EXPECT_TRUE(std::regex_match(readFile(file), std::regex(R"(\S+Z fresh\n)")));

    LogWriter log(file, {.maxQueuedBytes = 8u << 20, .rotateAbove = 1000});
    for (int i = 0; i < 100; ++i) log.write(std::string(90, 'r'));
    log.flush();
    EXPECT_LE(fs::file_size(file), 1120u);
    EXPECT_LE(fs::file_size(older), 1120u);
    EXPECT_GT(fs::file_size(older), 1000u);
}

TEST_F(LogWriterTest, TailSplitsAtLineFeedsAndInvalidUtf8NeverEmptiesIt) {
    EXPECT_EQ(LogWriter(dir.path() / "none.log").tail(10), "(no log yet)");
    writeFile(file, "a\nb\nc\n");
    LogWriter log(file);
    EXPECT_EQ(log.tail(3), "b\nc\n");
    EXPECT_EQ(log.tail(400), "a\nb\nc\n");
    EXPECT_EQ(log.tail(1), "");

    LogWriter fresh(dir.path() / "fresh.log");
    fresh.write("before");
    fresh.write(std::string("bad \xC3\x28 and \xFF\xFE and cut \xE2\x82"));
    fresh.write("after");
    const std::string tail = fresh.tail(4);
    EXPECT_NE(tail.find("before"), std::string::npos);
    EXPECT_NE(tail.find("bad \xEF\xBF\xBD( and \xEF\xBF\xBD\xEF\xBF\xBD and cut \xEF\xBF\xBD\n"), std::string::npos) << tail;
    EXPECT_NE(tail.find("after"), std::string::npos);
    // A file spoiled by someone else is still shown, with the bad bytes replaced.
    writeFile(file, std::string("one\ntwo \x80\nthree\n"));
    EXPECT_EQ(log.tail(3), "two \xEF\xBF\xBD\nthree\n");
}

TEST_F(LogWriterTest, FullQueueDropsLinesAndSaysHowMany) {
    // Whatever the timing, every line is in the file or counted; a line larger than the queue always drops.
    LogWriter log(file, {.maxQueuedBytes = 64, .rotateAbove = 2'000'000});
    log.write(std::string(100, 'z'));
    for (int i = 0; i < 19999; ++i) log.write("burst line " + std::to_string(i));
    log.flush();
    log.write("after the burst");
    log.flush();
    const auto dropped = log.droppedLines();
    ASSERT_GE(dropped, 1u);

    const std::string text = readFile(file);
    std::uint64_t reported = 0;
    const std::regex warning(R"(WARNING: log: (\d+) lines dropped because the log fell behind)");
    for (std::sregex_iterator it(text.begin(), text.end(), warning), end; it != end; ++it)
        reported += std::stoull((*it)[1]);
    EXPECT_EQ(reported, dropped);
    std::istringstream lines(text);
    std::string line;
    std::uint64_t burstLines = 0;
    while (std::getline(lines, line)) {
        ASSERT_TRUE(std::regex_match(line, std::regex(R"(\S+Z (burst line \d+|after the burst|WARNING: .*))"))) << line;
        if (line.find("burst line") != std::string::npos) ++burstLines;
    }
    EXPECT_EQ(burstLines + dropped, 20000u);
}

TEST_F(LogWriterTest, FolderRemovedWhileRunningIsMadeAgain) {
    const auto nested = dir.path() / "state" / "Corvane" / "Corvane.log";
    fs::create_directories(nested.parent_path());
    LogWriter log(nested);
    log.write("one");
    log.flush();
    fs::remove_all(dir.path() / "state");
    log.write("two");
    log.flush();
    EXPECT_TRUE(std::regex_match(readFile(nested), std::regex(R"(\S+Z two\n)")));
}

TEST(Log, LivesInTheStateFolderAndFlushesBeforeTail) {
    test::TempDir state;
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    EXPECT_EQ(Log::url(), state.path() / "Corvane" / "Corvane.log");
    for (int i = 0; i < 1000; ++i) Log::write("status: line " + std::to_string(i));
    EXPECT_TRUE(Log::tail(2).ends_with(" status: line 999\n"));
    ::unsetenv("XDG_STATE_HOME");
}

} // namespace
} // namespace corvane
