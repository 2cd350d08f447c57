#include "app/services/agent/TopLevelNumberScanner.hpp"

#include <algorithm>

namespace corvane {

void TopLevelNumberScanner::feed(ByteView piece) {
    for (auto at = piece.begin(); at != piece.end() && at_ != At::done; ++at) {
        // The long values this is for are strings: their plain bytes are passed over in one sweep.
        if (inString_ && !escaped_ && !capturing_) {
            at = std::find_if(at, piece.end(), [](std::uint8_t c) { return c == '"' || c == '\\'; });
            if (at == piece.end()) return;
        }
        step(static_cast<char>(*at));
    }
}

void TopLevelNumberScanner::step(char c) {
    if (inString_) {
        if (escaped_) {
            escaped_ = false;
        } else if (c == '\\') {
            escaped_ = true;
            if (capturing_) seenKey_ = '\\';  // spelled with escapes: never the key looked for
        } else if (c == '"') {
            inString_ = false;
            if (capturing_) capturing_ = false, at_ = At::colon;
        } else if (capturing_ && seenKey_.size() <= key_.size()) {
            seenKey_ += c;
        }
        return;
    }
    if (inNumber_) {
        if (c >= '0' && c <= '9') {
            if (++digits_ <= 19) value_ = value_ * 10 + static_cast<std::uint64_t>(c - '0');
            return;
        }
        inNumber_ = false;
        if (digits_ <= 19 && c != '.' && c != 'e' && c != 'E') found_ = value_;
    }
    const bool topValue = depth_ == 1 && at_ == At::value;
    switch (c) {
    case ' ':
    case '\t':
    case '\r':
    case '\n': return;
    case '"':
        inString_ = true;
        if (depth_ == 1 && at_ == At::key) capturing_ = true, seenKey_.clear();
        else if (topValue) at_ = At::inValue;
        return;
    case '{':
    case '[':
        if (at_ == At::start && c == '[') {
            at_ = At::done;  // not an object
            return;
        }
        if (at_ == At::start) at_ = At::key;
        else if (topValue) at_ = At::inValue;
        ++depth_;
        return;
    case '}':
    case ']':
        if (--depth_ <= 0) at_ = At::done;
        return;
    case ':':
        if (depth_ == 1 && at_ == At::colon) at_ = At::value, matches_ = seenKey_ == key_;
        return;
    case ',':
        if (depth_ == 1) at_ = At::key;
        return;
    default:
        if (at_ == At::start) {
            at_ = At::done;  // not an object
        } else if (topValue) {
            at_ = At::inValue;
            if (matches_ && c >= '0' && c <= '9') {
                inNumber_ = true;
                digits_ = 1;
                value_ = static_cast<std::uint64_t>(c - '0');
            }
        }
        return;
    }
}

} // namespace corvane
