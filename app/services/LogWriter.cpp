#include "app/services/LogWriter.hpp"

#include "app/services/Utf8.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace corvane {
namespace {

// The tail reads at most this much of the end of the file; the rotation keeps a healthy log far below.
constexpr std::uintmax_t kTailReadLimit = 8u << 20;

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a failed write loses the rest of this line, silently
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// One message becomes one line: control characters, the line feed first, are written as escapes, so text
// from the box cannot forge lines; a message past the cap is cut at a character boundary and marked.
std::string oneLine(std::string_view message) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(std::min(message.size(), LogWriter::kMaxMessageBytes) + 16);
    std::size_t taken = 0;
    for (; taken < message.size() && out.size() < LogWriter::kMaxMessageBytes; ++taken) {
        const auto byte = static_cast<unsigned char>(message[taken]);
        if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += static_cast<char>(byte);
        }
    }
    if (taken < message.size()) {
        // Leave out a character cut in two: back over its continuation bytes to its lead byte.
        std::size_t start = out.size();
        std::size_t continuations = 0;
        while (start > 0 && continuations < 3 && (static_cast<unsigned char>(out[start - 1]) & 0xC0) == 0x80) {
            --start;
            ++continuations;
        }
        if (start > 0) {
            const auto lead = static_cast<unsigned char>(out[start - 1]);
            const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            if (length > continuations + 1) {
                taken -= out.size() - (start - 1);
                out.resize(start - 1);
            }
        }
        out += " [" + std::to_string(message.size() - taken) + " more bytes]";
    }
    return out;
}

} // namespace

LogWriter::LogWriter(std::filesystem::path file) : LogWriter(std::move(file), Limits{}) {}

LogWriter::LogWriter(std::filesystem::path file, Limits limits)
    : file_(std::move(file)), limits_(limits), writer_([this](std::stop_token stop) { run(stop); }) {}

LogWriter::~LogWriter() {
    writer_.request_stop();
    // jthread's destructor joins; the writer drains the queue before it leaves.
}

std::filesystem::path LogWriter::olderFile() const {
    auto older = file_;
    older.replace_extension("1.log");
    return older;
}

std::string LogWriter::timestamp(std::chrono::system_clock::time_point at) {
    using namespace std::chrono;
    const auto milliseconds = floor<std::chrono::milliseconds>(at.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    int fraction = static_cast<int>(milliseconds % 1000);
    if (fraction < 0) {
        fraction += 1000;
        --seconds;
    }
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, fraction);
    return text;
}

void LogWriter::write(std::string_view message) { write(message, std::chrono::system_clock::now()); }

void LogWriter::write(std::string_view message, std::chrono::system_clock::time_point at) {
    std::string line = timestamp(at);
    line += ' ';
    line += oneLine(message);
    line += '\n';
    bool wasEmpty = false;
    {
        std::lock_guard guard(mutex_);
        if (queuedBytes_ + line.size() > limits_.maxQueuedBytes) {
            ++droppedTotal_;
            ++droppedUnreported_;
            return;
        }
        queuedBytes_ += line.size();
        ++enqueuedCount_;
        wasEmpty = queue_.empty();
        queue_.push_back(std::move(line));
    }
    // The writer only sleeps on an empty queue, so only the first line after it needs to wake it; the
    // others skip the system call.
    if (wasEmpty) wake_.notify_one();
}

void LogWriter::flush() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = enqueuedCount_;
    written_.wait(lock, [&] { return writtenCount_ >= target; });
}

std::uint64_t LogWriter::droppedLines() const {
    std::lock_guard guard(mutex_);
    return droppedTotal_;
}

void LogWriter::run(std::stop_token stop) {
    ::pthread_setname_np(::pthread_self(), "corvane.log");
    std::deque<std::string> batch;
    for (;;) {
        std::uint64_t dropped = 0;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, stop, [&] { return !queue_.empty() || droppedUnreported_ > 0; });
            if (queue_.empty() && droppedUnreported_ == 0) return;  // stopped with nothing left
            batch.swap(queue_);
            queuedBytes_ = 0;
            dropped = droppedUnreported_;
            droppedUnreported_ = 0;
        }
        const std::size_t taken = batch.size();
        if (dropped > 0) {
            // Said after the lines that were queued before the loss began.
            std::string warning = timestamp(std::chrono::system_clock::now()) + " WARNING: log: " +
                                  std::to_string(dropped) + " lines dropped because the log fell behind\n";
            batch.push_back(std::move(warning));
        }
        appendBatch(batch);
        batch.clear();
        {
            std::lock_guard guard(mutex_);
            writtenCount_ += taken;
        }
        written_.notify_all();
    }
}

int LogWriter::openForAppend(std::uintmax_t& size) {
    struct stat info{};
    if (::stat(file_.c_str(), &info) == 0 && static_cast<std::uintmax_t>(info.st_size) > limits_.rotateAbove) {
        ::unlink(olderFile().c_str());
        ::rename(file_.c_str(), olderFile().c_str());
    }
    // A folder that went away stays away: its lines are lost until the next start makes it, and a folder
    // removed by whoever owned it is never made again by a writer still running.
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) size = ::fstat(fd, &info) == 0 ? static_cast<std::uintmax_t>(info.st_size) : 0;
    return fd;
}

void LogWriter::appendBatch(std::deque<std::string>& lines) {
    // The file stays open for one batch; the size is tracked so the rotation test still runs before every
    // line, as if each line opened the file afresh.
    int fd = -1;
    std::uintmax_t size = 0;
    for (const std::string& line : lines) {
        if (fd >= 0 && size > limits_.rotateAbove) {
            ::close(fd);
            fd = -1;
        }
        if (fd < 0) fd = openForAppend(size);
        if (fd < 0) continue;  // cannot open: this line is lost, the next one tries again
        const std::string text = Utf8::isValid(line) ? line : Utf8::repaired(line);
        writeAll(fd, text);
        size += text.size();
    }
    if (fd >= 0) ::close(fd);
}

std::string LogWriter::tail(int count) {
    flush();
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "(no log yet)";
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return "(no log yet)";
    }
    const auto fileSize = static_cast<std::uintmax_t>(info.st_size);
    const std::uintmax_t start = fileSize > kTailReadLimit ? fileSize - kTailReadLimit : 0;
    std::string bytes;
    std::vector<char> buffer(1 << 16);
    off_t offset = static_cast<off_t>(start);
    for (;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return "(no log yet)";
        }
        if (n == 0 || bytes.size() >= kTailReadLimit) break;
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
        offset += n;
    }
    ::close(fd);
    if (start > 0) {
        // Reading began mid-file: drop the partial first line.
        const auto newline = bytes.find('\n');
        bytes.erase(0, newline == std::string::npos ? bytes.size() : newline + 1);
    }
    const std::string text = Utf8::repaired(bytes);

    std::vector<std::string_view> pieces;
    std::size_t begin = 0;
    for (;;) {
        const auto end = text.find('\n', begin);
        if (end == std::string::npos) {
            pieces.emplace_back(text.data() + begin, text.size() - begin);
            break;
        }
        pieces.emplace_back(text.data() + begin, end - begin);
        begin = end + 1;
    }
    const std::size_t wanted = count > 0 ? static_cast<std::size_t>(count) : 0;
    const std::size_t first = pieces.size() > wanted ? pieces.size() - wanted : 0;
    std::string result;
    for (std::size_t i = first; i < pieces.size(); ++i) {
        if (i > first) result += '\n';
        result += pieces[i];
    }
    return result;
}

} // namespace corvane
