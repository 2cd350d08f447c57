#include "app/ui/StreamAbilities.hpp"

#include "engine/video/VideoDecoder.hpp"

namespace corvane::StreamAbilities {

bool decodes(StreamSettings::Codec codec) {
    using C = stream::StreamConfig::Codec;
    switch (codec) {
    case StreamSettings::Codec::automatic: return true;
    case StreamSettings::Codec::h264: return stream::VideoDecoder::canDecode(C::h264);
    case StreamSettings::Codec::hevc: return stream::VideoDecoder::canDecode(C::hevc);
    case StreamSettings::Codec::av1: return stream::VideoDecoder::canDecode(C::av1);
    }
    return false;
}

} // namespace corvane::StreamAbilities
