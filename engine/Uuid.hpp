#pragma once

#include <string>

namespace corvane::stream {

// A new random (version 4) UUID in its canonical upper-case text form with hyphens.
std::string randomUUIDString();

} // namespace corvane::stream
