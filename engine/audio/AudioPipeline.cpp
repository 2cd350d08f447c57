#include "engine/audio/AudioPipeline.hpp"

#include "engine/EngineLog.hpp"
#include "engine/session/StreamSession.hpp"

#include <utility>

namespace corvane::stream {

std::shared_ptr<AudioPipeline> AudioPipeline::make(const std::shared_ptr<StreamSession>& session,
                                                   std::int64_t channels) {
    std::shared_ptr<AudioPipeline> pipeline(new AudioPipeline(session, channels));
    if (session) {
        std::weak_ptr<AudioPipeline> weak = pipeline;
        session->audioHandler = [weak](ByteView datagram) {
            if (auto self = weak.lock()) self->receive(datagram);
        };
    }
    return pipeline;
}

AudioPipeline::AudioPipeline(std::weak_ptr<StreamSession> session, std::int64_t channels)
    : channels(channels), session_(std::move(session)),
      reassembler_(AudioReassembler::defaultReorderWindow,
                   // Concealment beyond what the player holds would only be trimmed away again.
                   static_cast<int>(maxMs * AudioPlayer::framesPerMs / OpusAudioDecoder::frameSamples)) {
    // The reassembler lives inside the pipeline, so its callback cannot outlive it.
    reassembler_.onFrame = [this](std::optional<ByteView> payload) { play(payload); };
}

AudioPipeline::~AudioPipeline() = default;

void AudioPipeline::receive(ByteView datagram) {
    packets_.fetch_add(1, std::memory_order_relaxed);
    reassembler_.add(datagram);
}

void AudioPipeline::play(std::optional<ByteView> payload) {
    std::shared_ptr<OpusAudioDecoder> decoder;
    std::shared_ptr<AudioPlayer> player;
    {
        std::lock_guard guard(lock_);
        decoder = decoder_;
        player = player_;
    }
    if (!decoder || !player) return;
    player->enqueue(decoder->decode(payload));
}

void AudioPipeline::start() {
    OpusLayout layout = OpusLayout::stereo;
    if (channels != 2) {
        std::string body;
        if (auto session = session_.lock()) body = session->describeBody();
        if (auto surround = OpusLayout::from(body, channels, true)) {
            layout = std::move(*surround);
        } else {
            // The box was asked for this many channels and will send them; stereo decodes only part of it.
            EngineLog::write("audio: WARNING: no surround-params for " + std::to_string(channels) +
                             " channels in the DESCRIBE reply, falling back to stereo");
        }
    }

    std::shared_ptr<OpusAudioDecoder> decoder = OpusAudioDecoder::make(layout);
    if (!decoder) throw Error::decoderFailed();
    EngineLog::write("audio: " + std::to_string(layout.channels) + " channels, " + std::to_string(layout.streams) +
                     " streams (" + std::to_string(layout.coupled) + " coupled), mapping " + layout.mappingText());

    auto player = std::make_shared<AudioPlayer>(layout.channels, targetMs, maxMs);
    std::shared_ptr<AudioPlayer> previous;
    {
        std::lock_guard guard(lock_);
        decoder_ = decoder;
        previous = std::exchange(player_, player);
    }
    if (previous) previous->stop();
    player->start();
}

void AudioPipeline::stop() {
    std::shared_ptr<AudioPlayer> player;
    {
        std::lock_guard guard(lock_);
        player = player_;
    }
    if (player) player->stop();
}

std::shared_ptr<AudioPlayer> AudioPipeline::player() const {
    std::lock_guard guard(lock_);
    return player_;
}

AudioPipeline::Stats AudioPipeline::stats() const {
    Stats result;
    result.packets = packets_.load(std::memory_order_relaxed);
    std::shared_ptr<AudioPlayer> player;
    {
        std::lock_guard guard(lock_);
        player = player_;
    }
    const auto assembled = reassembler_.stats();
    result.frames = assembled.frames;
    result.recovered = assembled.recovered;
    result.lost = assembled.lost;
    if (player) {
        const auto played = player->stats();
        result.underruns = played.underruns;
        result.trimmedMs = played.trimmedMs;
        result.bufferedMs = played.bufferedMs;
        result.stretched = played.stretched;
        result.squeezed = played.squeezed;
    }
    return result;
}

} // namespace corvane::stream
