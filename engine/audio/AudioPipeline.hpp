#pragma once

#include "engine/audio/AudioPlayer.hpp"
#include "engine/audio/AudioReassembler.hpp"
#include "engine/audio/OpusAudioDecoder.hpp"
#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace corvane::stream {

class StreamSession;

// The sound of one streaming session: the session's audio datagrams are put in order and repaired
// (AudioReassembler), decoded (OpusAudioDecoder) and played (AudioPlayer, 20 ms target, 80 ms cap).
//
// The owner makes it with make() right after the session and before the session's start(): make()
// installs the session's audioHandler, which holds the pipeline weakly. Then start() once the session
// has started (on failure: log and stream on without sound), stop() when the stream ends, stats() for
// the periodic statistics. Until start() has run, payloads are dropped after reassembly.
//
// Threads: receive() and everything after it up to the player's enqueue run on the media thread; the
// player's render on the audio thread; make(), start(), stop() and stats() on the owner's thread (stats()
// on any).
class AudioPipeline final : public std::enable_shared_from_this<AudioPipeline> {
public:
    struct Stats {
        std::int64_t packets = 0;
        std::int64_t frames = 0;
        std::int64_t recovered = 0;
        std::int64_t lost = 0;
        std::int64_t underruns = 0;
        std::int64_t trimmedMs = 0;
        std::int64_t bufferedMs = 0;
        std::int64_t stretched = 0;
        std::int64_t squeezed = 0;
        bool operator==(const Stats&) const = default;
    };

    // The decoder refused the layout. Domain "CorvaneStream", code 1.
    class Error final : public corvane::Error {
    public:
        static Error decoderFailed() { return Error("CorvaneStream", 1, "Opus decoder could not start"); }
        std::string domain;
        int code;

    private:
        Error(std::string domain, int code, std::string description)
            : corvane::Error(std::move(description)), domain(std::move(domain)), code(code) {}
    };

    static constexpr std::int64_t targetMs = 20;
    static constexpr std::int64_t maxMs = 80;

    // `channels` is what the session asked the box for (2, 6 or 8). A null session installs no handler
    // (the caller feeds receive() itself) and reads an empty DESCRIBE reply.
    static std::shared_ptr<AudioPipeline> make(const std::shared_ptr<StreamSession>& session, std::int64_t channels);
    ~AudioPipeline();
    AudioPipeline(const AudioPipeline&) = delete;
    AudioPipeline& operator=(const AudioPipeline&) = delete;

    // Chooses the layout (stereo, or the DESCRIBE reply's surround layout, falling back to stereo with a
    // warning), makes the decoder and the player and starts playing. Throws Error::decoderFailed, or the
    // output's platform::AudioOutput::Error (the decoder and player then stay installed).
    void start();
    // Stops the player's output, if there is a player.
    void stop();
    Stats stats() const;
    // The player start() made (none before): whoever measures the sound path may stop its output and pull
    // it at a pace of its own.
    std::shared_ptr<AudioPlayer> player() const;

    // One audio datagram from the media socket.
    void receive(ByteView datagram);

    const std::int64_t channels;

private:
    AudioPipeline(std::weak_ptr<StreamSession> session, std::int64_t channels);
    void play(std::optional<ByteView> payload);

    const std::weak_ptr<StreamSession> session_;
    AudioReassembler reassembler_;
    std::atomic<std::int64_t> packets_{0};
    mutable std::mutex lock_; // installing decoder_ and player_
    std::shared_ptr<OpusAudioDecoder> decoder_;
    std::shared_ptr<AudioPlayer> player_;
};

} // namespace corvane::stream
