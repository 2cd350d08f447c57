// Feeds arbitrary bytes to the RTSP reply parser as a stream still open and as one that has ended, whole and
// in pieces (whose size the first byte picks), then reads the SDP attributes of whatever body came out.
#include "engine/session/RTSP.hpp"

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <optional>

namespace {

using namespace corvane::stream;

// The reply, or the kind of error, the parser gives for `bytes` fed `piece` bytes at a time.
std::optional<RTSP::Response> inPieces(corvane::ByteView bytes, std::size_t piece, bool& failed) {
    RTSP::ReplyParser parser;
    failed = false;
    try {
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            const auto chunk = bytes.subspan(at, std::min(piece, bytes.size() - at));
            if (auto response = parser.feed(chunk, false)) return response;
        }
        return parser.feed({}, true);
    } catch (const RTSP::Error& error) {
        if (error.kind != RTSP::Error::Kind::badResponse) __builtin_trap();
        failed = true;
        return std::nullopt;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const corvane::ByteView bytes(data, size);
    for (const bool complete : {false, true}) {
        try {
            if (const auto response = RTSP::parse(bytes, complete)) {
                if (response->body.size() > size) __builtin_trap();
                (void)RTSP::sdpAttributes(response->body);
                (void)response->header("Content-Length");
            } else if (complete) {
                __builtin_trap();  // an ended stream always gives a reply or an error
            }
        } catch (const RTSP::Error& error) {
            if (error.kind != RTSP::Error::Kind::badResponse) __builtin_trap();
        }
    }
    // Read in pieces of any size, the stream gives the same reply, or fails, as read whole.
    if (size > 0) {
        bool wholeFailed = false, piecesFailed = false;
        const auto whole = inPieces(bytes, size, wholeFailed);
        const auto pieces = inPieces(bytes, 1 + data[0] % 64, piecesFailed);
        if (wholeFailed != piecesFailed || whole != pieces) __builtin_trap();
    }
    (void)RTSP::sdpAttributes(bytes);
    return 0;
}
