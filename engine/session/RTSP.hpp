#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The RTSP 1.0 wire format of the session's handshake: request bytes, incremental reply parsing and the
// a= attributes of an SDP body. Nothing here knows the order of the handshake.
namespace corvane::stream::RTSP {

// The failure of every RTSP step; what() is the text shown to the user and written to the log.
class Error final : public corvane::Error {
public:
    enum class Kind { badResponse, status, timeout, connection };

    static Error badResponse(std::string detail);
    static Error status(std::string label, std::int64_t code, std::string reason);
    static Error timeout(std::string label);
    static Error connection(std::string detail);

    Kind kind;
    std::string detail;      // badResponse, connection
    std::string label;       // status, timeout
    std::int64_t code = 0;   // status
    std::string reason;      // status

    bool operator==(const Error& other) const {
        return kind == other.kind && detail == other.detail && label == other.label && code == other.code &&
               reason == other.reason;
    }

private:
    Error(Kind kind, std::string description);
};

// A parsed reply.
struct Response {
    std::int64_t status = 0;
    std::string reason;                          // empty when the status line has none
    std::map<std::string, std::string> headers;  // names lower-cased, values trimmed
    Bytes body;

    // Case-insensitive header lookup.
    std::optional<std::string> header(const std::string& name) const;
    bool operator==(const Response&) const = default;
};

// Replies larger than this are refused as unreadable: a DESCRIBE reply is a few kilobytes, and a peer that
// never ends its header block or announces a huge body must not make us buffer without bound.
inline constexpr std::size_t maxReplySize = 256 * 1024;

// The request line, "CSeq" first, the given headers in order, "Content-length" when there is a body, an
// empty line and the body.
Bytes request(const std::string& method, const std::string& target, std::int64_t cseq,
              const std::vector<std::pair<std::string, std::string>>& headers, const Bytes& body);

// Reads one reply as its pieces arrive. The header block is parsed once, when its end has arrived, and
// later pieces only add to the body, so a reply dripped a byte at a time costs time linear in its size.
class ReplyParser {
public:
    // Adds `piece`; the reply once it is whole, nothing while more bytes are needed and the stream is not
    // `complete`. Throws Error::badResponse for a malformed or oversized reply, or one cut short when
    // `complete`. Not to be fed again after it returned a reply or threw.
    std::optional<Response> feed(ByteView piece, bool complete);

private:
    void parseHead(std::size_t headerEnd);

    Bytes buffer_;
    std::size_t searched_ = 0;             // the header end is not within buffer_[0, searched_)
    std::optional<Response> head_;         // status line and headers, once parsed
    std::size_t bodyStart_ = 0;
    std::optional<std::size_t> length_;    // the announced body length
};

// The reply in `data`, as ReplyParser().feed(data, complete).
std::optional<Response> parse(ByteView data, bool complete);

// The a=key:value attributes of an SDP body; a later key replaces an earlier one.
std::map<std::string, std::string> sdpAttributes(ByteView body);

// `bytes` as UTF-8 text, each invalid sequence replaced by U+FFFD.
std::string decodeUTF8(ByteView bytes);

} // namespace corvane::stream::RTSP
