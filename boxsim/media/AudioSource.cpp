#include "boxsim/media/AudioSource.hpp"

#include <cmath>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include <opus_multistream.h>

#include "platform/core/Error.hpp"

namespace corvane::boxsim {

struct AudioSource::Impl {
    OpusMSEncoder* encoder = nullptr;
    std::vector<float> pcm;
    std::vector<double> phase;
    std::vector<unsigned char> out = std::vector<unsigned char>(4000);

    ~Impl() {
        if (encoder) opus_multistream_encoder_destroy(encoder);
    }
};

double AudioSource::toneHz(int channel) { return 220.0 * std::pow(2.0, channel / 4.0); }

AudioSource::AudioSource(AudioLayout layout, int bitrate) : layout_(std::move(layout)), impl_(std::make_unique<Impl>()) {
    const int channels = layout_.channels;
    if (channels < 1 || channels > 8 || layout_.mapping.size() != static_cast<std::size_t>(channels))
        throw Error("boxsim: audio layout of " + std::to_string(channels) + " channels is not usable");
    int error = 0;
    impl_->encoder = opus_multistream_encoder_create(sampleRate, channels, layout_.streams, layout_.coupled,
                                                     layout_.mapping.data(), OPUS_APPLICATION_RESTRICTED_LOWDELAY,
                                                     &error);
    if (!impl_->encoder || error != OPUS_OK)
        throw Error(std::string("boxsim: the Opus encoder refused the layout: ") + opus_strerror(error));
    if (bitrate <= 0) bitrate = 64000 * layout_.coupled + 48000 * (layout_.streams - layout_.coupled);
    opus_multistream_encoder_ctl(impl_->encoder, OPUS_SET_BITRATE(bitrate));
    opus_multistream_encoder_ctl(impl_->encoder, OPUS_SET_VBR(0));
    impl_->pcm.resize(static_cast<std::size_t>(frameSamples * channels));
    impl_->phase.assign(static_cast<std::size_t>(channels), 0.0);
}

AudioSource::~AudioSource() = default;

Bytes AudioSource::next() {
    Impl& s = *impl_;
    const int channels = layout_.channels;
    for (int c = 0; c < channels; ++c) {
        const double step = 2 * std::numbers::pi * toneHz(c) / sampleRate;
        double& phase = s.phase[static_cast<std::size_t>(c)];
        for (int i = 0; i < frameSamples; ++i) {
            s.pcm[static_cast<std::size_t>(i * channels + c)] = static_cast<float>(0.25 * std::sin(phase));
            phase = std::fmod(phase + step, 2 * std::numbers::pi);
        }
    }
    const int n = opus_multistream_encode_float(s.encoder, s.pcm.data(), frameSamples, s.out.data(),
                                                static_cast<opus_int32>(s.out.size()));
    if (n <= 0) return {};
    return Bytes(s.out.begin(), s.out.begin() + n);
}

} // namespace corvane::boxsim
