#pragma once

#include "platform/core/Bytes.hpp"

#include <cstddef>

namespace corvane {

// Passes a JSON text through as it streams in, except that every string (key or value) whose contents as
// written, escapes included, are longer than `longest` bytes comes out as "". What comes out is JSON
// whenever what went in was, and stays small: a reply too large to take can still be parsed for what it
// tells beside its long texts. It only finds where strings begin and end; it parses nothing.
class LongStringDropper final {
public:
    // What comes out is refused past `cap` bytes.
    LongStringDropper(std::size_t longest, std::size_t cap) : longest_(longest), cap_(cap) {}

    // False once what comes out would pass the cap; nothing more is taken then.
    bool feed(ByteView piece);
    // What came out so far.
    const Bytes& text() const { return out_; }

private:
    bool put(ByteView bytes);
    void keep(ByteView bytes);

    const std::size_t longest_;
    const std::size_t cap_;
    Bytes out_;
    Bytes string_;  // the open string's contents, while they are at most `longest` bytes
    bool inString_ = false;
    bool escaped_ = false;
    bool dropping_ = false;  // the open string is longer than `longest`
    bool full_ = false;
};

} // namespace corvane
