#include "app/services/Log.hpp"
#include "app/services/LogWriter.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace corvane {
namespace {

namespace fs = std::filesystem;

using test::readWhole;
void writeFile(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

// The message of a stamped line ("2026-12-06T18:03:20.007Z message"), or "(unstamped)".
std::string messageOf(const std::string& line) {
    const bool stamped = line.size() > 25 && line[4] == '-' && line[10] == 'T' && line[19] == '.' && line[23] == 'Z';
    return stamped && line[24] == ' ' ? line.substr(25) : "(unstamped)";
}

// The file's lines, or their messages.
std::vector<std::string> linesOf(const fs::path& file, bool messages = false) {
    std::vector<std::string> lines;
    std::istringstream in(readWhole(file));
    for (std::string line; std::getline(in, line);) lines.push_back(messages ? messageOf(line) : line);
    return lines;
}

class LogWriterTest : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path file = dir.path() / "Corvane.log";
    std::vector<std::string> lines() const { return linesOf(file); }
};

TEST_F(LogWriterTest, WholeStampedLinesInOrderFromManyThreads) {
    using namespace std::chrono;
    EXPECT_EQ(LogWriter::timestamp(system_clock::time_point{seconds(1796580200) + milliseconds(7)}),
              "2026-12-06T18:03:20.007Z");
    LogWriter log(file);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 500; ++i) log.write(std::to_string(t) + " " + std::to_string(i) + std::string(100, 'a'));
        });
    for (auto& thread : threads) thread.join();
    log.flush();
    std::vector<int> next(8, 0);
    const auto all = lines();
    ASSERT_EQ(all.size(), 8u * 500);
    for (const auto& line : all) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(messageOf(line).c_str(), "%d %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < 8) << line;
        ASSERT_TRUE(line.ends_with(std::string(100, 'a'))) << line;
        EXPECT_EQ(i, next[static_cast<std::size_t>(t)]++);
    }
}

TEST_F(LogWriterTest, OneMessageIsOneLineEscapedAndCut) {
    LogWriter log(file);
    const struct { std::string message, written; } rows[] = {
        {"host \nforged 2026-01-01T00:00:00.000Z line", "host \\nforged 2026-01-01T00:00:00.000Z line"},
        {"a\r\nb\tc", "a\\r\\nb\\tc"},
        {std::string("nul \0 bell \x07 del \x7F", 18), "nul \\x00 bell \\x07 del \\x7F"},
        {"caf\xC3\xA9 \\n stays", "caf\xC3\xA9 \\n stays"},
        {"bad \xFF byte", "bad \xEF\xBF\xBD byte"},
    };
    for (const auto& row : rows) log.write(row.message);
    // 10000 two-byte characters: cut on a character boundary, with what was left out said.
    std::string longText;
    for (int i = 0; i < 10000; ++i) longText += "\xC3\xA9";
    log.write(longText);
    log.flush();
    auto all = lines();
    ASSERT_EQ(all.size(), std::size(rows) + 1);
    for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(messageOf(all[i]), rows[i].written);
    EXPECT_EQ(messageOf(all.back()), longText.substr(0, 8192) + " [11808 more bytes]");
    log.write(longText.substr(1));  // starts with a stray continuation byte: the cut falls inside a character
    log.flush();
    all = lines();
    ASSERT_EQ(all.size(), std::size(rows) + 2);
    EXPECT_EQ(messageOf(all.back()), "\xEF\xBF\xBD" + longText.substr(2, 8190) + " [11808 more bytes]");
    EXPECT_EQ(test::threadsNamed("corvane.log"), 1u);  // the writer thread carries its name
}

TEST_F(LogWriterTest, RotatesOnlyAboveTheLimitEvenWithinOneBurst) {
    const auto older = dir.path() / "Corvane.1.log";
    writeFile(file, std::string(1'999'999, 'x') + "\n");  // exactly 2,000,000 bytes: appended to
    {
        LogWriter log(file);
        EXPECT_EQ(log.olderFile(), older);
        log.write("appended");
    }
    EXPECT_FALSE(fs::exists(older));
    writeFile(older, "stale older generation\n");
    writeFile(file, std::string(2'000'000, 'x') + "\n");  // one byte above: rotated
    const auto before = fs::file_size(file);
    {
        LogWriter log(file);
        log.write("fresh");
    }
    EXPECT_EQ(fs::file_size(older), before);
    EXPECT_EQ(linesOf(file, true), std::vector<std::string>{"fresh"});
    LogWriter log(file, {.maxQueuedBytes = 8u << 20, .rotateAbove = 1000});
    for (int i = 0; i < 100; ++i) log.write(std::string(90, 'r'));
    log.flush();
    EXPECT_LE(fs::file_size(file), 1120u);
    EXPECT_LE(fs::file_size(older), 1120u);
    EXPECT_GT(fs::file_size(older), 1000u);
}

TEST_F(LogWriterTest, TailSplitsAtLineFeedsAndShowsBadBytesReplaced) {
    EXPECT_EQ(LogWriter(dir.path() / "none.log").tail(10), "(no log yet)");
    LogWriter log(file);
    const struct { std::string file; int count; std::string tail; } rows[] = {
        {"a\nb\nc\n", 3, "b\nc\n"},
        {"a\nb\nc\n", 400, "a\nb\nc\n"},
        {"a\nb\nc\n", 1, ""},
        {"one\ntwo \x80\nthree\n", 3, "two \xEF\xBF\xBD\nthree\n"},
    };
    for (const auto& row : rows) {
        writeFile(file, row.file);
        EXPECT_EQ(log.tail(row.count), row.tail) << row.file;
    }
}

TEST_F(LogWriterTest, FullQueueDropsLinesAndSaysHowMany) {
    // Whatever the timing, every line is in the file or counted; a line larger than the queue always drops.
    LogWriter log(file, {.maxQueuedBytes = 64, .rotateAbove = 2'000'000});
    log.write(std::string(100, 'z'));
    for (int i = 0; i < 19999; ++i) log.write("burst");
    log.flush();
    log.write("after");
    log.flush();
    const auto dropped = log.droppedLines();
    ASSERT_GE(dropped, 1u);
    std::uint64_t reported = 0, burst = 0;
    for (const auto& line : lines()) {
        const std::string message = messageOf(line);
        unsigned long long n = 0;
        if (message == "burst") ++burst;
        else if (std::sscanf(message.c_str(), "WARNING: log: %llu lines dropped because the log fell behind", &n) == 1)
            reported += n;
        else EXPECT_EQ(message, "after");
    }
    EXPECT_EQ(reported, dropped);
    EXPECT_EQ(burst + dropped, 20000u);
}

// Whoever removed the log's folder owned it: a writer still running never makes it again (lines are lost
// meanwhile), and goes on in a folder made again by someone else.
TEST_F(LogWriterTest, FolderRemovedWhileRunningIsNotMadeAgain) {
    const auto nested = dir.path() / "state" / "Corvane" / "Corvane.log";
    fs::create_directories(nested.parent_path());
    LogWriter log(nested);
    log.write("one");
    log.flush();
    fs::remove_all(dir.path() / "state");
    log.write("two");
    log.flush();
    EXPECT_FALSE(fs::exists(dir.path() / "state"));
    EXPECT_EQ(log.tail(5), "(no log yet)");
    fs::create_directories(nested.parent_path());
    log.write("three");
    log.flush();
    EXPECT_EQ(linesOf(nested, true), std::vector<std::string>{"three"});
}

// The settings are read before the app log is made: a warning they raised meanwhile reaches the log once it
// takes them, stamped with its own time, and later ones go straight in.
TEST(AppLogTest, SettingsWarningsReachTheLogFromBeforeItTookThem) {
    test::TempDir dir;
    // The log's folder, unless this program made its log already; the program's, as the log lives on past
    // this test.
    static const test::TempDir state;
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    platform::UserDefaults::setWarningSink(nullptr);
    const fs::path file = dir.path() / "defaults.json";
    writeFile(file, "[1, 2]");
    const platform::UserDefaults unreadable(file);
    const auto raised = std::chrono::system_clock::now();
    Log::takeSettingsWarnings();
    writeFile(file, R"({"fps": null})");
    const platform::UserDefaults partly(file);
    Log::flush();
    const auto lines = linesOf(Log::url());
    const std::string moved = "WARNING: settings: the file " + file.string() +
                              " could not be read (the file does not hold a dictionary); moved aside to ";
    const auto first = std::find_if(lines.begin(), lines.end(), [&](const auto& line) { return messageOf(line).starts_with(moved); });
    ASSERT_NE(first, lines.end());
    EXPECT_LE(first->substr(0, 24), LogWriter::timestamp(raised));
    ASSERT_NE(first + 1, lines.end());
    EXPECT_EQ(messageOf(first[1]), "WARNING: settings: the setting \"fps\" in " + file.string() + " could not be read and is left out");
    platform::UserDefaults::setWarningSink(nullptr);
}

} // namespace
} // namespace corvane
