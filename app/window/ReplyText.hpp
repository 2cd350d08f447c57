#pragma once

#include <string>
#include <string_view>

namespace corvane {

// A reply body from the box as it goes into a log line: repaired UTF-8, cut to 512 bytes (never inside a
// character), control characters written as \n, \r, \t or \u00XX.
std::string replyText(std::string_view body);

}  // namespace corvane
