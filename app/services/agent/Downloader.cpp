#include "app/services/agent/Downloader.hpp"

#include "app/services/FileName.hpp"
#include "app/services/StaleFiles.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace corvane {
namespace {

// The temporary file of one download: removed unless it was placed. Locked while open, so that a start-up
// sweep tells it from one a killed process left.
class TempFile {
public:
    explicit TempFile(const std::filesystem::path& folder) {
        std::string pattern = (folder / (std::string(Downloader::kTemporaryPrefix) + "XXXXXX")).string();
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ < 0) throw Downloader::DownloadError::file(folder, errno);
        path_ = pattern;
        StaleFiles::lock(fd_);
    }
    ~TempFile() {
        closeFile();
        if (!placed_) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void write(ByteView piece) {
        const std::uint8_t* data = piece.data();
        std::size_t left = piece.size();
        while (left > 0) {
            const ssize_t n = ::write(fd_, data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw Downloader::DownloadError::file(path_, n < 0 ? errno : ENOSPC);
            data += n;
            left -= static_cast<std::size_t>(n);
        }
    }

    void finish(bool flush) {
        if (flush && ::fsync(fd_) != 0) throw Downloader::DownloadError::file(path_, errno);
    }

    // Still open (and locked) while it moves.
    std::filesystem::path place(const std::filesystem::path& to) {
        auto placed = Downloader::place(path_, to);
        placed_ = true;
        closeFile();
        return placed;
    }

private:
    void closeFile() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

    int fd_ = -1;
    std::filesystem::path path_;
    bool placed_ = false;
};

} // namespace

Downloader::DownloadError::DownloadError(Kind kind, std::string description, int status)
    : Error(std::move(description)), kind(kind), status(status) {}

Downloader::DownloadError Downloader::DownloadError::http(int status) {
    return DownloadError(Kind::http, "The server answered with error " + std::to_string(status) + ".", status);
}

Downloader::DownloadError Downloader::DownloadError::tooLarge(std::uint64_t limit) {
    return DownloadError(Kind::tooLarge, "The download is larger than the " + std::to_string(limit) + " bytes expected.",
                         0);
}

Downloader::DownloadError Downloader::DownloadError::incomplete(std::uint64_t received, std::uint64_t expected) {
    return DownloadError(Kind::incomplete,
                         "The download ended after " + std::to_string(received) + " of " + std::to_string(expected) +
                             " bytes.",
                         0);
}

Downloader::DownloadError Downloader::DownloadError::file(const std::filesystem::path& path, int error) {
    return DownloadError(Kind::file, "Could not save " + path.string() + ": " + std::strerror(error), 0);
}

bool Downloader::isTemporaryName(std::string_view name) {
    // What mkostemp puts in place of its six X's.
    const std::string_view prefix = kTemporaryPrefix;
    if (!name.starts_with(prefix) || name.size() != prefix.size() + 6) return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

Downloader::Downloader(std::filesystem::path dest, Progress onProgress)
    : dest(std::move(dest)), onProgress(std::move(onProgress)) {}

std::filesystem::path Downloader::numberedName(const std::filesystem::path& to, int n) {
    return to.parent_path() / FileName::withSuffix(to.filename().string(), " " + std::to_string(n));
}

Downloader::PlacementCalls Downloader::systemCalls() {
    return {
        [](const char* from, const char* to) { return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE); },
        [](const char* from, const char* to) { return ::link(from, to); },
    };
}

std::filesystem::path Downloader::place(const std::filesystem::path& file, const std::filesystem::path& to,
                                        const PlacementCalls& calls) {
    for (int n = 1; n < 100000; ++n) {
        const auto candidate = n == 1 ? to : numberedName(to, n);
        if (calls.renameNoReplace(file.c_str(), candidate.c_str()) == 0) return candidate;
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) throw DownloadError::file(candidate, errno);
        // File systems without the no-replace rename: a hard link also refuses a taken name.
        if (calls.link(file.c_str(), candidate.c_str()) == 0) {
            ::unlink(file.c_str());
            return candidate;
        }
        if (errno == EEXIST) continue;
        // Neither (FUSE mounts): take the name with an exclusive create, then rename over our own reservation.
        const int reserved = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (reserved < 0) {
            if (errno == EEXIST) continue;
            throw DownloadError::file(candidate, errno);
        }
        ::close(reserved);
        if (::rename(file.c_str(), candidate.c_str()) == 0) return candidate;
        const int error = errno;
        ::unlink(candidate.c_str());
        throw DownloadError::file(candidate, error);
    }
    throw DownloadError::file(to, EEXIST);
}

std::filesystem::path Downloader::download(const std::string& from, const std::filesystem::path& to,
                                           const Progress& progress, std::stop_token stop,
                                           const platform::Http::Transport& transport, bool scratch) {
    platform::HttpRequest request;
    request.url = from;
    request.followRedirects = true;
    request.idleTimeoutSeconds = kRequestSeconds;
    return Downloader(to, progress).run(std::move(request), kMaxDownloadBytes, stop, false, transport, scratch);
}

std::filesystem::path Downloader::downloadDirect(platform::HttpRequest request, const std::filesystem::path& to,
                                                 const Progress& progress, std::stop_token stop,
                                                 std::optional<std::int64_t> expectedSize,
                                                 const platform::Http::Transport& transport,
                                                 const std::filesystem::path& scratchFolder) {
    if (request.idleTimeoutSeconds <= 0) request.idleTimeoutSeconds = kDirectRequestSeconds;
    request.followRedirects = false;
    const std::uint64_t limit =
        expectedSize ? std::min(kMaxDownloadBytes, static_cast<std::uint64_t>(std::max<std::int64_t>(*expectedSize, 0)))
                     : kMaxDownloadBytes;
    return Downloader(to, progress).run(std::move(request), limit, stop, expectedSize.has_value(), transport, false,
                                        scratchFolder);
}

void Downloader::progressed(std::uint64_t written, std::optional<std::uint64_t> expected) {
    if (!expected || *expected < 1) {
        // An unknown size is reported once.
        if (lastReported < 0) {
            lastReported = 0;
            if (onProgress) onProgress(std::nullopt);
        }
        return;
    }
    const double fraction = std::min(1.0, static_cast<double>(written) / static_cast<double>(*expected));
    if (fraction >= 1.0 || fraction - lastReported >= 0.005) {
        lastReported = fraction;
        if (onProgress) onProgress(fraction);
    }
}

std::filesystem::path Downloader::run(platform::HttpRequest request, std::uint64_t limit, std::stop_token stop,
                                     bool limitIsSize, const platform::Http::Transport& transport, bool scratch,
                                     const std::filesystem::path& scratchFolder) {
    request.method = "GET";
    request.timeoutSeconds = kResourceSeconds;
    request.headers.emplace_back("User-Agent", "Corvane");

    auto folder = scratchFolder.empty() ? dest.parent_path() : scratchFolder;
    if (folder.empty()) folder = ".";
    TempFile temp(folder);
    std::optional<std::uint64_t> expected;
    std::uint64_t written = 0;

    platform::HttpReceiver receiver;
    receiver.onHead = [&](long status, std::optional<std::uint64_t> announced) {
        if (status != 200) throw DownloadError::http(static_cast<int>(status));
        if (announced && *announced > limit) throw DownloadError::tooLarge(limit);
        expected = announced;
    };
    receiver.onBody = [&](ByteView piece) {
        if (piece.size() > limit - written) throw DownloadError::tooLarge(limit);
        temp.write(piece);
        written += piece.size();
        progressed(written, expected);
    };
    platform::Http::perform(transport, request, stop, &receiver);

    // A connection closed early ends the body as if it were whole: hold it to what was announced.
    const std::optional<std::uint64_t> promised = limitIsSize ? std::optional(limit) : expected;
    if (promised && written != *promised) throw DownloadError::incomplete(written, *promised);
    temp.finish(!scratch);
    const auto placed = temp.place(dest);
    if (onProgress) onProgress(1.0);
    return placed;
}

} // namespace corvane
