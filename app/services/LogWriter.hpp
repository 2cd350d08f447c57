#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace corvane {

// One append-only log file with one older generation beside it ("<name>.1.log").
//
// write() stamps the line on the caller's thread and queues it. One message is always one line: control
// characters are escaped (\n, \r, \t, \xNN) and a message is cut after kMaxMessageBytes. A writer thread
// ("corvane.log") owned by this object does all file work, so a caller never waits on the disk. The queue
// is bounded by bytes: a line that would push it past `maxQueuedBytes` is dropped and counted, and the
// writer then logs one WARNING with the number lost, so a burst costs lines, never unbounded memory. The writer makes every line valid UTF-8.
//
// Before each line, a file larger than `rotateAbove` bytes is moved to the older generation (replacing it)
// and a new file is begun. The writer never makes the file's folder: while it is missing, lines are lost. write() is callable from any thread; tail() and flush() wait for the writer and
// must not be called from it (nothing runs on it but this class's own code).
class LogWriter final {
public:
    struct Limits {
        std::size_t maxQueuedBytes = 8u << 20;
        std::uintmax_t rotateAbove = 2'000'000;
    };
    static constexpr std::size_t kMaxMessageBytes = 8192;

    explicit LogWriter(std::filesystem::path file);
    LogWriter(std::filesystem::path file, Limits limits);
    ~LogWriter();  // writes what is queued, then ends the writer
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    void write(std::string_view message);
    void write(std::string_view message, std::chrono::system_clock::time_point at);

    // The last `count` pieces of the file split at line feeds, joined with "\n"; "(no log yet)" when the
    // file cannot be read. Bytes that are not UTF-8 are shown replaced.
    std::string tail(int count);
    // Returns once every line queued before the call is in the file.
    void flush();

    std::uint64_t droppedLines() const;
    const std::filesystem::path& file() const { return file_; }
    std::filesystem::path olderFile() const;

    // "2026-12-06T18:03:20.123Z"
    static std::string timestamp(std::chrono::system_clock::time_point at);

private:
    void run(std::stop_token stop);
    void appendBatch(std::deque<std::string>& lines);
    int openForAppend(std::uintmax_t& size);

    const std::filesystem::path file_;
    const Limits limits_;

    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::condition_variable written_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    std::uint64_t enqueuedCount_ = 0;  // lines accepted so far
    std::uint64_t writtenCount_ = 0;   // of those, lines the writer has finished with
    std::uint64_t droppedTotal_ = 0;
    std::uint64_t droppedUnreported_ = 0;

    std::jthread writer_;  // last: starts after every field above exists
};

} // namespace corvane
