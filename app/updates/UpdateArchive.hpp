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

// This computer failed to write what a valid entry needs (a full disk, a quota, a file size limit, an I/O
// error): "cannot write {entry}: {the system's reason}".
class CannotWrite final : public Error {
public:
    CannotWrite(std::string entry, int error);
    std::string entry;  // the entry's name in the archive
    int error;          // errno
};

// `folder` must exist. What was written before a refusal stays inside `folder`; the caller removes it.
// Throws NotValid, CannotWrite, or corvane::Error("cancelled") when `stop` is requested.
void extract(const std::filesystem::path& archive, const std::filesystem::path& folder, const Limits& limits,
             std::stop_token stop = {});

} // namespace UpdateArchive

} // namespace corvane
