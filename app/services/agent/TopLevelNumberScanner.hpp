#pragma once

#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// Finds a whole number under one key of a JSON object's top level while the text streams past, holding none
// of it: what a reply too large to take still tells. Values under other keys, however long, are only
// stepped over. The text is not checked to be JSON; a key written with escapes is not recognised.
class TopLevelNumberScanner final {
public:
    explicit TopLevelNumberScanner(std::string key) : key_(std::move(key)) {}

    void feed(ByteView piece);
    // The key's value once it has ended, when it is a whole number of at most 19 digits (the last one, when
    // the key is given twice).
    std::optional<std::uint64_t> number() const { return found_; }

private:
    enum class At { start, key, colon, value, inValue, done };
    void step(char c);

    const std::string key_;
    At at_ = At::start;
    int depth_ = 0;
    bool inString_ = false;
    bool escaped_ = false;
    bool capturing_ = false;  // the top-level key being read
    std::string seenKey_;
    bool matches_ = false;    // the value being read is the key's
    bool inNumber_ = false;
    int digits_ = 0;
    std::uint64_t value_ = 0;
    std::optional<std::uint64_t> found_;
};

} // namespace corvane
