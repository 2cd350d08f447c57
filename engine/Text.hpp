#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <cstdint>
#include <exception>

// Small text rules shared by the reply parsers: Unicode-aware trimming and line splitting of UTF-8 text.
namespace corvane::stream::text {

// Trims white space and line ends (Unicode separators, U+0009-U+000D, U+0085) from both ends.
std::string_view trimWhitespace(std::string_view text);
// Trims blanks (Unicode space separators and the horizontal tab) from both ends.
std::string_view trimBlanks(std::string_view text);
// Splits at every line end: LF, VT, FF, CR, U+0085, U+2028, U+2029 (so CR LF yields an empty line between).
std::vector<std::string_view> splitLines(std::string_view text);
// A decimal integer: optional sign, one or more ASCII digits, nothing else, within 64 bits.
std::optional<std::int64_t> parseInteger(std::string_view text);
// Text from the box as one log line may carry it: control characters (C0, DEL, C1, U+2028, U+2029) written
// as \n, \r, \t, \xNN or \uNNNN so they cannot forge lines, and at most `limit` bytes of `text` kept,
// the rest replaced by "...".
std::string forLog(std::string_view text, std::size_t limit = 512);
// What a caught exception says: its what(), or "unknown error" for anything that is not a std::exception.
std::string messageOf(const std::exception_ptr& error);

} // namespace corvane::stream::text
