#pragma once

#include "platform/core/Error.hpp"

#include <cstdint>
#include <filesystem>
#include <stop_token>

namespace corvane {

// Unpacks a downloaded update (a zip archive) into an empty folder without trusting a byte of it: every
// entry is written below that folder through directory handles opened without following symbolic links, so
// no name ("/etc/x", "../x") and no link ("a -> /", then "a/x") reaches outside it. Only folders, regular
// files and links that stay inside the top-level folder, whatever links they pass through, are accepted;
// devices, FIFOs, sockets, hard links and set-user-ID, set-group-ID or sticky bits are refused; a file's mode
// keeps at most rwxr-xr-x. The entry count and the unpacked bytes are capped. Runs on a worker thread.
namespace UpdateArchive {

struct Limits {
    std::uint64_t maxEntries = 200000;
    std::uint64_t maxBytes = std::uint64_t(8) << 30;
};

// Any refusal, and an archive libarchive cannot read: "The downloaded update is not a valid Corvane app."
class NotValid final : public Error {
public:
    explicit NotValid(std::string detail);
    std::string detail;  // why, for the log
};

// `folder` must exist. What was written before a refusal stays inside `folder`; the caller removes it.
// Throws NotValid, or corvane::Error("cancelled") when `stop` is requested.
void extract(const std::filesystem::path& archive, const std::filesystem::path& folder, const Limits& limits,
             std::stop_token stop = {});

} // namespace UpdateArchive

} // namespace corvane
