#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace corvane {

// Reads a small file of a folder we do not control (a source checkout, an unpacked update): only a regular
// file, only up to `cap` bytes. A FIFO or device never blocks the reader, a larger file is refused rather
// than cut. Nothing for anything that cannot be read that way.
namespace SmallFile {
std::optional<std::string> read(const std::filesystem::path& path, std::size_t cap);
} // namespace SmallFile

} // namespace corvane
