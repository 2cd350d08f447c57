#pragma once

#include "app/services/StreamSettings.hpp"

namespace corvane {

// What this computer can do with what the settings ask of a stream. The views show a choice it cannot
// honour as unavailable and keep the stored value, which a later build or desktop may honour.
namespace StreamAbilities {

// Whether the engine decodes `codec` here, as its decoder and libavcodec answer; automatic always.
bool decodes(StreamSettings::Codec codec);

// X11 has no HDR output: streams are SDR whatever the settings say.
inline constexpr bool hdrOutput = false;

} // namespace StreamAbilities

} // namespace corvane
