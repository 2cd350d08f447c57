#pragma once

#include <cstddef>
#include <string>

namespace corvane {

// Names that fit this computer's file systems, which take at most 255 bytes per name where Windows takes 255
// UTF-16 units (a 90-character Chinese name is 270 bytes here). A name that is too long is shortened at a
// character boundary, keeping its extension.
namespace FileName {

inline constexpr std::size_t kMaxBytes = 255;

// `name` with `suffix` before its extension ("report.pdf", " 2" -> "report 2.pdf"), the part before the
// extension cut until the whole fits in kMaxBytes. An extension that would leave no room counts as part of
// the name; a name whose every byte is needed is cut at the end.
std::string withSuffix(const std::string& name, const std::string& suffix);
// `name` as it is when it fits, else shortened as above.
std::string fitted(const std::string& name);

} // namespace FileName

} // namespace corvane
