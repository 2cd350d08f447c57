#pragma once

#include "platform/core/Error.hpp"
#include "platform/http/Http.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace corvane {

// One download into one file, as one blocking call with progress. Each transfer is its own object.
//
// The body goes to a hidden temporary file (".corvane-download-...", locked while in use) beside the
// destination and is renamed into place only when complete, without ever replacing anything: when the
// destination's name is taken, the file gets the next free name "<base> <n>.<extension>" (report.pdf ->
// report 2.pdf). The name used is returned. A failed download leaves nothing behind. The progress callback
// runs on the calling thread.
class Downloader final {
public:
    class DownloadError final : public Error {
    public:
        enum class Kind { http, tooLarge, incomplete, file };
        // "The server answered with error <status>."
        static DownloadError http(int status);
        static DownloadError tooLarge(std::uint64_t limit);
        static DownloadError incomplete(std::uint64_t received, std::uint64_t expected);
        static DownloadError file(const std::filesystem::path& path, int error);
        Kind kind;
        int status = 0;

    private:
        DownloadError(Kind kind, std::string description, int status);
    };

    // A fraction 0...1, or nothing (once) while the size is unknown.
    using Progress = std::function<void(std::optional<double> fraction)>;

    // Whatever a reply announces, no download grows past this.
    static constexpr std::uint64_t kMaxDownloadBytes = std::uint64_t(64) << 30;
    static constexpr double kRequestSeconds = 60;             // silence that ends a download
    static constexpr double kDirectRequestSeconds = 120;      // the same, when a direct request names none
    static constexpr double kResourceSeconds = 604800;        // a whole download
    // The temporary file's name begins so, and ends in six letters or digits.
    static constexpr const char* kTemporaryPrefix = ".corvane-download-";
    // Whether `name` is one a download's temporary file takes: a sweep removes no other.
    static bool isTemporaryName(std::string_view name);

    // GET `from` (an http or https URL; redirects followed) with "User-Agent: Corvane". Only status 200
    // counts; any other throws DownloadError::http. Transfer failures throw platform::HttpError. A `scratch`
    // file (read once, then removed) is not flushed to disk before it is placed.
    static std::filesystem::path download(const std::string& from, const std::filesystem::path& to,
                                          const Progress& progress, std::stop_token stop = {},
                                          const platform::Http::Transport& transport = {}, bool scratch = false);
    // A prepared request (the agent's outbox file), no redirects. `expectedSize` (what the box said the file
    // holds; below 0 counts as 0) is the size: a reply announcing or sending more throws
    // DownloadError::tooLarge, one that ends sooner DownloadError::incomplete. In both modes a body shorter
    // than its Content-Length is incomplete. `transport` stands in for the HTTP layer in tests. The body
    // waits in `scratchFolder` (on the destination's file system) when one is given.
    static std::filesystem::path downloadDirect(platform::HttpRequest request, const std::filesystem::path& to,
                                                const Progress& progress, std::stop_token stop = {},
                                                std::optional<std::int64_t> expectedSize = std::nullopt,
                                                const platform::Http::Transport& transport = {},
                                                const std::filesystem::path& scratchFolder = {});

    // The free name for `to` on the n-th try (n >= 2): "<stem> <n><extension>", the stem shortened when the
    // name would not fit.
    static std::filesystem::path numberedName(const std::filesystem::path& to, int n);

    // The two file system calls that refuse a taken name; both return 0 or -1 with errno set.
    struct PlacementCalls {
        int (*renameNoReplace)(const char* from, const char* to);
        int (*link)(const char* from, const char* to);
    };
    static PlacementCalls systemCalls();
    // Moves `file` to `to` or the first free numbered name beside it and returns the name used; never
    // replaces anything. Where neither call works, the name is reserved with an exclusive create and the
    // file renamed over the reservation. Throws DownloadError::file.
    static std::filesystem::path place(const std::filesystem::path& file, const std::filesystem::path& to,
                                       const PlacementCalls& calls = systemCalls());

private:
    Downloader(std::filesystem::path dest, Progress onProgress);
    // With `limitIsSize` the body must hold exactly `limit` bytes.
    std::filesystem::path run(platform::HttpRequest request, std::uint64_t limit, std::stop_token stop,
                              bool limitIsSize, const platform::Http::Transport& transport, bool scratch = false,
                              const std::filesystem::path& scratchFolder = {});
    void progressed(std::uint64_t written, std::optional<std::uint64_t> expected);

    std::filesystem::path dest;
    Progress onProgress;
    double lastReported = -1.0;
};

} // namespace corvane
