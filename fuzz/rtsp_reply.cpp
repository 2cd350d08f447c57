// Feeds arbitrary bytes to the RTSP reply parser as a stream still open and as one that has ended, then
// reads the SDP attributes of whatever body came out.
#include "engine/session/RTSP.hpp"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvane::stream;
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
    (void)RTSP::sdpAttributes(bytes);
    return 0;
}
