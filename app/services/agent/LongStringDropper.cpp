#include "app/services/agent/LongStringDropper.hpp"

#include <algorithm>

namespace corvane {

bool LongStringDropper::feed(ByteView piece) {
    auto at = piece.begin();
    while (at != piece.end() && !full_) {
        if (!inString_) {
            // Outside a string everything passes; a quote opens one.
            const auto quote = std::find(at, piece.end(), '"');
            const auto next = quote == piece.end() ? quote : quote + 1;
            if (!put(ByteView(at, next))) break;
            at = next;
            if (quote != piece.end()) inString_ = true, dropping_ = false, string_.clear();
        } else if (escaped_) {
            keep(ByteView(at, at + 1));
            escaped_ = false;
            ++at;
        } else {
            // The plain bytes of a string go in one sweep: long ones are what this is for.
            const auto stop = std::find_if(at, piece.end(), [](std::uint8_t c) { return c == '"' || c == '\\'; });
            keep(ByteView(at, stop));
            at = stop;
            if (at == piece.end()) break;
            if (*at == '\\') {
                keep(ByteView(at, at + 1));
                escaped_ = true;
            } else {
                inString_ = false;
                string_.push_back('"');  // with the closing quote; a dropped string is "" now
                if (!put(string_)) break;
            }
            ++at;
        }
    }
    return !full_;
}

bool LongStringDropper::put(ByteView bytes) {
    if (bytes.size() > cap_ - out_.size()) {
        full_ = true;
        return false;
    }
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return true;
}

void LongStringDropper::keep(ByteView bytes) {
    if (dropping_) return;
    if (bytes.size() > longest_ - string_.size()) {
        dropping_ = true;
        string_.clear();
        return;
    }
    string_.insert(string_.end(), bytes.begin(), bytes.end());
}

} // namespace corvane
