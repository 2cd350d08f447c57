#include "engine/session/RTSP.hpp"

#include <algorithm>
#include <string_view>

#include "engine/Text.hpp"

namespace corvane::stream::RTSP {
namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

std::string lowerASCII(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Splits at single blanks into at most three pieces, dropping empty ones; the last piece keeps whatever
// follows the second split, further blanks included.
std::vector<std::string_view> splitStatusLine(std::string_view line) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ') {
            const bool appended = i > start;
            if (appended) pieces.push_back(line.substr(start, i - start));
            ++i;
            start = i;
            if (appended && pieces.size() == 2) break;
            continue;
        }
        ++i;
    }
    if (start < line.size()) pieces.push_back(line.substr(start));
    return pieces;
}

std::vector<std::string_view> splitCRLF(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (;;) {
        const auto at = text.find("\r\n", start);
        if (at == std::string_view::npos) break;
        lines.push_back(text.substr(start, at - start));
        start = at + 2;
    }
    lines.push_back(text.substr(start));
    return lines;
}

std::string tooLarge() { return "reply larger than " + std::to_string(maxReplySize) + " bytes"; }

} // namespace

Error::Error(Kind kind, std::string description) : corvane::Error(std::move(description)), kind(kind) {}

Error Error::badResponse(std::string detail) {
    Error e(Kind::badResponse, "unreadable RTSP reply: " + detail);
    e.detail = std::move(detail);
    return e;
}

Error Error::status(std::string label, std::int64_t code, std::string reason) {
    Error e(Kind::status, label + " failed: " + std::to_string(code) + " " + reason);
    e.label = std::move(label);
    e.code = code;
    e.reason = std::move(reason);
    return e;
}

Error Error::timeout(std::string label) {
    Error e(Kind::timeout, label + " timed out");
    e.label = std::move(label);
    return e;
}

Error Error::connection(std::string detail) {
    Error e(Kind::connection, "RTSP connection failed: " + detail);
    e.detail = std::move(detail);
    return e;
}

std::optional<std::string> Response::header(const std::string& name) const {
    const auto found = headers.find(lowerASCII(name));
    if (found == headers.end()) return std::nullopt;
    return found->second;
}

Bytes request(const std::string& method, const std::string& target, std::int64_t cseq,
              const std::vector<std::pair<std::string, std::string>>& headers, const Bytes& body) {
    std::string head = method + " " + target + " RTSP/1.0\r\n";
    head += "CSeq: " + std::to_string(cseq) + "\r\n";
    for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
    if (!body.empty()) head += "Content-length: " + std::to_string(body.size()) + "\r\n";
    head += "\r\n";
    Bytes out = bytesOf(head);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::string decodeUTF8(ByteView bytes) {
    std::string out;
    out.reserve(bytes.size());
    const std::string_view replacement = "\xEF\xBF\xBD";
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t b0 = bytes[i];
        if (b0 < 0x80) {
            out.push_back(static_cast<char>(b0));
            ++i;
            continue;
        }
        // Length of the sequence and the allowed range of its second byte (which rules out overlong forms,
        // surrogates and values past U+10FFFF).
        std::size_t length = 0;
        std::uint8_t low = 0x80, high = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            if (b0 == 0xE0) low = 0xA0;
            if (b0 == 0xED) high = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            if (b0 == 0xF0) low = 0x90;
            if (b0 == 0xF4) high = 0x8F;
        }
        if (length == 0) {
            out += replacement;
            ++i;
            continue;
        }
        // A broken sequence is replaced as far as it went: its valid prefix becomes one U+FFFD.
        std::size_t k = 1;
        while (k < length && i + k < bytes.size()) {
            const std::uint8_t b = bytes[i + k];
            const bool ok = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
            if (!ok) break;
            ++k;
        }
        if (k == length) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), length);
        } else {
            out += replacement;
        }
        i += k;
    }
    return out;
}

void ReplyParser::parseHead(std::size_t headerEnd) {
    const std::string headerText = decodeUTF8(ByteView(buffer_).first(headerEnd));
    const auto lines = splitCRLF(headerText);
    const std::string_view statusLine = lines.front();
    const auto pieces = splitStatusLine(statusLine);
    std::optional<std::int64_t> status;
    if (pieces.size() >= 2 && pieces[0].starts_with("RTSP/")) status = text::parseInteger(pieces[1]);
    if (!status) throw Error::badResponse("bad status line: " + text::forLog(statusLine, 200));

    Response response;
    response.status = *status;
    if (pieces.size() == 3) response.reason = std::string(pieces[2]);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto colon = lines[i].find(':');
        if (colon == std::string_view::npos) continue;
        const auto name = lowerASCII(text::trimBlanks(lines[i].substr(0, colon)));
        response.headers[name] = std::string(text::trimBlanks(lines[i].substr(colon + 1)));
    }

    bodyStart_ = headerEnd + kHeaderEnd.size();
    if (const auto value = response.header("content-length")) {
        if (const auto length = text::parseInteger(*value)) {
            if (*length < 0) throw Error::badResponse("negative Content-length");
            if (static_cast<std::uint64_t>(*length) > maxReplySize - bodyStart_) throw Error::badResponse(tooLarge());
            length_ = static_cast<std::size_t>(*length);
        }
    }
    head_ = std::move(response);
}

std::optional<Response> ReplyParser::feed(ByteView piece, bool complete) {
    buffer_.insert(buffer_.end(), piece.begin(), piece.end());
    if (!head_) {
        // Only the new bytes (and the three before them, which may begin the header end) are searched.
        const std::string_view raw(reinterpret_cast<const char*>(buffer_.data()), buffer_.size());
        const std::size_t from = searched_ >= kHeaderEnd.size() - 1 ? searched_ - (kHeaderEnd.size() - 1) : 0;
        const auto headerEnd = raw.find(kHeaderEnd, from);
        searched_ = buffer_.size();
        if (headerEnd == std::string_view::npos || headerEnd + kHeaderEnd.size() > maxReplySize) {
            if (buffer_.size() > maxReplySize) throw Error::badResponse(tooLarge());
            if (complete) throw Error::badResponse("no header end");
            return std::nullopt;
        }
        parseHead(headerEnd);
    }

    const auto candidate = ByteView(buffer_).subspan(bodyStart_);
    if (length_) {
        if (candidate.size() < *length_) {
            if (complete) throw Error::badResponse("short body");
            return std::nullopt;
        }
        Response response = std::move(*head_);
        response.body.assign(candidate.begin(), candidate.begin() + static_cast<std::ptrdiff_t>(*length_));
        return response;
    }

    // Without a length the reply ends where the peer closes the stream.
    if (buffer_.size() > maxReplySize) throw Error::badResponse(tooLarge());
    if (!complete) return std::nullopt;
    Response response = std::move(*head_);
    response.body.assign(candidate.begin(), candidate.end());
    return response;
}

std::optional<Response> parse(ByteView data, bool complete) { return ReplyParser().feed(data, complete); }

std::map<std::string, std::string> sdpAttributes(ByteView body) {
    std::map<std::string, std::string> attributes;
    const std::string bodyText = decodeUTF8(body);
    for (const auto rawLine : text::splitLines(bodyText)) {
        const auto line = text::trimBlanks(rawLine);
        if (!line.starts_with("a=")) continue;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        attributes[std::string(line.substr(2, colon - 2))] = std::string(text::trimBlanks(line.substr(colon + 1)));
    }
    return attributes;
}

} // namespace corvane::stream::RTSP
