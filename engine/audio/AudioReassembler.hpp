#pragma once

#include "platform/core/Bytes.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace corvane::stream {

// Puts the box's audio datagrams back in sequence order, rebuilds up to two lost packets of each block of
// four from the block's parity, and declares a packet lost once the newest packet is more than
// `reorderWindow` ahead of it. Every sequence number is handed to `onFrame` exactly once, in order: the
// Opus payload, or none for a lost packet (the decoder conceals it).
//
// A jump far ahead (a stall on the box, a burst of loss) would declare thousands of packets lost; only
// the last `concealLimit` of them reach `onFrame`, as that is all the player can hold, and the rest are
// counted in `lost` and skipped.
//
// Recovery runs when parity arrives, and again when a packet arrives for a block that already has
// parity (parity overtaking the block's last packets on the network).
//
// Driven by one thread (the media thread) and takes no lock; `onFrame` runs inside add() and must not
// call add(). stats() may be read from any thread.
class AudioReassembler final {
public:
    struct Stats {
        std::int64_t frames = 0;    // payloads handed on, rebuilt ones included
        std::int64_t recovered = 0; // payloads rebuilt from parity and queued
        std::int64_t lost = 0;      // sequence numbers declared lost
        std::int64_t late = 0;      // audio packets dropped as already passed
        bool operator==(const Stats&) const = default;
    };

    struct Block {
        std::array<std::optional<Bytes>, 4> data;
        std::array<std::optional<Bytes>, 2> parity;
    };

    using FrameHandler = std::function<void(std::optional<Bytes> payload)>;

    static constexpr std::uint16_t defaultReorderWindow = 6;
    static constexpr int defaultConcealLimit = 16; // 80 ms of 5 ms packets
    // Parity for a block further ahead of the play position than this is not from the stream in play.
    static constexpr int parityAheadLimit = 256;
    // Blocks alive at once; a normal stream keeps about five.
    static constexpr std::size_t maxBlocks = 64;

    explicit AudioReassembler(std::uint16_t reorderWindow = defaultReorderWindow,
                              int concealLimit = defaultConcealLimit);

    // Processes one datagram; may call onFrame any number of times before it returns. Datagrams that do
    // not parse are ignored.
    void add(ByteView datagram);

    Stats stats() const;
    std::optional<std::uint16_t> next() const { return next_; }
    std::size_t pendingCount() const { return pending_.size(); }
    std::size_t blockCount() const { return blocks_.size(); }

    FrameHandler onFrame;
    const std::uint16_t reorderWindow;
    const int concealLimit;

private:
    void addAudio(std::uint16_t sequence, Bytes payload);
    void addParity(std::uint8_t index, std::uint16_t base, Bytes payload);
    Block* blockFor(std::uint16_t base);
    void tryRecover(std::uint16_t base);
    void drain();
    // The block ending at `sequence` has been played past by 12: its parity can no longer help.
    void passed(std::uint16_t sequence);
    void emit(std::optional<Bytes> payload);

    std::optional<std::uint16_t> next_;
    std::map<std::uint16_t, Bytes> pending_;
    std::map<std::uint16_t, Block> blocks_;
    std::atomic<std::int64_t> frames_{0};
    std::atomic<std::int64_t> recovered_{0};
    std::atomic<std::int64_t> lost_{0};
    std::atomic<std::int64_t> late_{0};
};

} // namespace corvane::stream
