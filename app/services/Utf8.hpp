#pragma once

#include <string>
#include <string_view>

namespace corvane {

// Text from files, pipes and callers is made valid UTF-8 before it is kept: each ill-formed sequence (its
// longest valid-looking start, or one stray byte) becomes U+FFFD, so one bad byte never costs a whole text.
namespace Utf8 {

std::string repaired(std::string_view bytes);
bool isValid(std::string_view bytes);

} // namespace Utf8

} // namespace corvane
