#pragma once

#include "platform/core/Bytes.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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
// Payloads live in two rings of buffers made once: one slot per sequence number (modulo `slotCount`,
// more than the window of packets still of use), one per parity block (modulo `maxBlocks`). After
// construction nothing is allocated.
//
// Driven by one thread (the media thread) and takes no lock; `onFrame` runs inside add(), must not call
// add(), and sees a payload that is valid only during the call. stats() may be read from any thread.
class AudioReassembler final {
public:
    struct Stats {
        std::int64_t frames = 0;    // payloads handed on, rebuilt ones included
        std::int64_t recovered = 0; // payloads rebuilt from parity and queued
        std::int64_t lost = 0;      // sequence numbers declared lost
        std::int64_t late = 0;      // audio packets dropped as already passed
        bool operator==(const Stats&) const = default;
    };

    using FrameHandler = std::function<void(std::optional<ByteView> payload)>;

    static constexpr std::uint16_t defaultReorderWindow = 6;
    static constexpr std::uint16_t maxReorderWindow = 32;
    static constexpr int defaultConcealLimit = 16; // 80 ms of 5 ms packets
    // Parity for a block further ahead of the play position than this is not from the stream in play.
    static constexpr int parityAheadLimit = 192;
    // Parity blocks alive at once; a normal stream keeps about five.
    static constexpr std::size_t maxBlocks = 64;
    // Payload slots: the window, the blocks behind the play position still kept, and room to spare.
    static constexpr std::size_t slotCount = 64;
    // Longer payloads than a media datagram can carry are ignored.
    static constexpr std::size_t maxPayload = 2048;

    // A window above maxReorderWindow is taken as maxReorderWindow.
    explicit AudioReassembler(std::uint16_t reorderWindow = defaultReorderWindow,
                              int concealLimit = defaultConcealLimit);
    ~AudioReassembler();
    AudioReassembler(const AudioReassembler&) = delete;
    AudioReassembler& operator=(const AudioReassembler&) = delete;

    // Processes one datagram; may call onFrame any number of times before it returns. Datagrams that do
    // not parse are ignored.
    void add(ByteView datagram);

    Stats stats() const;
    std::optional<std::uint16_t> next() const { return next_; }
    std::size_t pendingCount() const { return pendingCount_; }
    std::size_t blockCount() const { return blockCount_; }

    FrameHandler onFrame;
    const std::uint16_t reorderWindow;
    const int concealLimit;

private:
    struct Slot {
        std::uint16_t sequence = 0;
        std::uint16_t size = 0;
        bool data = false;    // holds this sequence number's payload (received or rebuilt)
        bool pending = false; // ... not yet handed on
        std::array<std::uint8_t, maxPayload> bytes; // left uninitialised: only the first `size` are read
        ByteView view() const { return ByteView(bytes.data(), size); }
    };
    struct Block {
        std::uint16_t base = 0;
        bool live = false;
        std::array<std::uint16_t, 2> paritySize{}; // 0: absent
        std::array<std::array<std::uint8_t, maxPayload>, 2> parity;
    };

    Slot& slot(std::uint16_t s) { return slots_[s % slotCount]; }
    bool holds(std::uint16_t s) { return slot(s).data && slot(s).sequence == s; }
    Block* liveBlock(std::uint16_t base);
    Block* claimBlock(std::uint16_t base);
    void addAudio(std::uint16_t sequence, ByteView payload);
    void addParity(std::uint8_t index, std::uint16_t base, ByteView payload);
    void queue(Slot& slot, std::uint16_t sequence);
    void tryRecover(std::uint16_t base);
    // Hands on what is due. `incoming` is a packet about to be stored beyond the window: it counts as the
    // newest pending packet, so what it overtakes is settled before it takes a slot.
    void drain(std::optional<std::uint16_t> incoming = std::nullopt);
    std::uint16_t earliestPending(std::uint16_t after, std::uint16_t newest);
    // The block ending at `sequence` has been played past by 12: its parity can no longer help.
    void passed(std::uint16_t sequence);
    // The play position moves `count` past `from` over packets declared lost.
    void skipLost(std::uint16_t from, int count);
    void emit(std::optional<ByteView> payload);

    std::optional<std::uint16_t> next_;
    std::uint16_t newest_ = 0; // latest pending sequence number, when pendingCount_ > 0
    std::size_t pendingCount_ = 0;
    std::size_t blockCount_ = 0;
    std::unique_ptr<Slot[]> slots_;
    std::unique_ptr<Block[]> blocks_;
    std::atomic<std::int64_t> frames_{0};
    std::atomic<std::int64_t> recovered_{0};
    std::atomic<std::int64_t> lost_{0};
    std::atomic<std::int64_t> late_{0};
};

} // namespace corvane::stream
