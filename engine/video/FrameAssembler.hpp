#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/Uptime.hpp"
#include "engine/session/StreamConfig.hpp"
#include "engine/reed_solomon/BlockDecoder.hpp"
#include "engine/video/VideoFrame.hpp"
#include "engine/video/VideoPacket.hpp"
#include "platform/core/Bytes.hpp"

namespace corvane::stream {

// Turns the video datagrams of one session into whole frames: sorts shards into frames and blocks,
// rebuilds lost data shards from parity, cuts out the access unit and hands frames to onFrame in
// frame-index order. A frame that cannot be completed is lost; non-key frames are dropped until a keyframe
// comes through, and every frame lost or dropped meanwhile calls onNeedKeyframe, so a keyframe is asked for
// for as long as one is awaited (the owner spaces the requests).
//
// There is no reordering window: a packet of frame F settles every frame before F (delivered when complete,
// lost otherwise, including frames of which no packet came at all), so at most the frame being received is
// held. Frame indexes are compared in serial-number order, so they may wrap past 2^32 - 1.
//
// Datagrams of another stream (an earlier session's, still in flight) may reach the port. So indexes are
// sorted into sequences: a packet within maxFrameJump of a sequence's expected frame belongs to it, any
// other starts a sequence of its own. The first keyframe delivered decides which sequence is the session's;
// nothing before it fixes the expected index. After that, packets of other sequences are counted as bad
// and never settle the session's frames; such a sequence is dropped as soon as the session's own sends
// again, and is believed only when it runs through resyncFrames frames while the session's stays silent
// (the numbering really jumped): then a keyframe is asked for and the first one moves delivery to it.
//
// A complete keyframe is handed on at once, whatever its number: a box whose picture stands still sends
// nothing after it. So the first one may be an earlier stream's last picture, which the new stream, counting
// up from lower numbers, must take over from. Until the session's first keyframe, and after it as long as
// nothing of its stream has followed it (unless it is frame 0: nothing starts below a stream's frame 0), a
// packet numbered below the sequence's latest run (the frames it has seen since its last gap) starts the
// sequence over, and another sequence's keyframe takes over; what the sequence held was the earlier
// stream's and goes uncounted. A packet of a frame within the run is late: a reordered packet of the same
// stream comes close behind frames that came before it, while an earlier stream's picture arrives with
// nothing of the frames below it. A late packet while no keyframe has come asks for one, as a keyframe may
// have been among them.
//
// A frame that stops arriving with nothing after it (a still screen sends nothing more) is settled by
// expire(), which the owner calls every few tens of milliseconds: once nothing more of its stream has come for
// stalledFrameSeconds, it is lost as a packet of a later frame would have lost it; when its last datagram
// (its last block's last shard) has come, at the first call after it that hears nothing new.
//
// Thread: driven only from the media thread, no lock; onFrame and onNeedKeyframe run on that thread from
// inside add() and expire() and must not call either themselves. stats() may be read from any thread.
class FrameAssembler final {
public:
    struct Stats {
        std::int64_t framesDelivered = 0;
        std::int64_t framesLost = 0;
        std::int64_t framesSkippedWaitingForKeyframe = 0;
        std::int64_t packetsRecovered = 0;
        std::int64_t packetsLate = 0;
        std::int64_t packetsDuplicate = 0;
        std::int64_t packetsBad = 0;
        bool operator==(const Stats&) const = default;
    };

    // How far (in frames, either way) a packet may be from a sequence's expected frame and still belong to
    // it: more than a burst of loss swallows (half a second at 120 frames a second), less than an earlier
    // stream is ahead of a new one by the time the new one starts.
    static constexpr std::uint32_t maxFrameJump = 64;
    // Frames another sequence runs through, with the session's silent meanwhile, before it is believed.
    static constexpr int resyncFrames = 3;
    // Sequences followed at once: the session's and two others.
    static constexpr std::size_t maxSequences = 3;
    // Frames held at once per sequence; the rule above keeps it at one in practice.
    static constexpr std::size_t maxPending = 4;
    // A box sends a frame's packets back to back, so a gap this long inside one means the rest is gone; and it
    // is a few frame intervals only (6 at 60 frames a second, 3 at 30), so the keyframe asked for in its place
    // comes well within a second.
    static constexpr double stalledFrameSeconds = 0.1;
    // No UDP datagram is longer; anything longer did not come from the socket.
    static constexpr std::size_t maxDatagramBytes = 65535;
    // Shard bytes held for frames being assembled; shards beyond it are dropped as bad.
    static constexpr std::size_t maxBufferedBytes = 64 * 1024 * 1024;

    explicit FrameAssembler(StreamConfig::Codec codec);
    ~FrameAssembler();
    FrameAssembler(const FrameAssembler&) = delete;
    FrameAssembler& operator=(const FrameAssembler&) = delete;

    // One video datagram as received.
    void add(ByteView datagram);
    // One parsed packet; its fields decide, its datagram supplies the shard.
    void add(const VideoPacket& packet);
    // Settles, by `now`, the frames of which nothing more has come for stalledFrameSeconds or since their last
    // datagram. The quiet is timed from the first call that saw the latest packet, so call it at least every
    // few tens of ms.
    void expire();

    // The counters; any thread. The snapshot need not be consistent across counters.
    Stats stats() const;

    // Media thread only.
    // The session's expected frame index; none before its first keyframe.
    std::optional<std::uint32_t> next() const;
    bool waitingForKeyframe() const { return waitingForKeyframe_; }
    std::size_t pendingCount() const;
    std::size_t bufferedBytes() const { return bufferedBytes_; }

    // Set by the owner before the first datagram.
    std::function<void(VideoFrame)> onFrame;
    std::function<void(std::uint32_t frameIndex)> onNeedKeyframe;
    // The clock for firstPacketAt and completedAt, in seconds.
    std::function<double()> now = uptimeSeconds;

private:
    struct Slot {
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
        bool present = false;
        bool rebuilt = false;  // the bytes are in Block::rebuilt, not in the arena
    };

    // One Reed-Solomon block of a frame. Buffers keep their capacity from frame to frame.
    struct Block {
        bool exists = false;
        int data = 0;
        int parity = 0;
        std::vector<Slot> slots;
        Bytes arena;    // received shards, back to back
        Bytes rebuilt;  // after recovery: the rebuilt data shards and the padded short ones
        int present = 0;
        int dataPresent = 0;
        std::size_t maxLength = 0;
        bool complete = false;
        bool recoveryGivenUp = false;
        int recovered = 0;

        void reset(int dataShards, int parityShards);
        ByteView dataShard(int index) const;
    };

    struct Pending {
        std::uint32_t index = 0;
        std::uint32_t rtpTimestamp = 0;
        double firstAt = 0;
        int lastBlock = 0;
        bool ended = false;     // its last datagram has come: only a reordered one may follow
        std::size_t bytes = 0;  // counted in bufferedBytes_
        std::array<Block, 4> blocks;

        bool complete() const;
    };

    struct Counters {
        std::atomic<std::int64_t> framesDelivered{0};
        std::atomic<std::int64_t> framesLost{0};
        std::atomic<std::int64_t> framesSkippedWaitingForKeyframe{0};
        std::atomic<std::int64_t> packetsRecovered{0};
        std::atomic<std::int64_t> packetsLate{0};
        std::atomic<std::int64_t> packetsDuplicate{0};
        std::atomic<std::int64_t> packetsBad{0};
    };

    // Frame indexes that follow one another: the session's, or another stream's, or the session's after a
    // jump in its numbering.
    struct Sequence {
        bool used = false;
        std::uint32_t next = 0;                          // the frame index to settle next
        std::uint32_t first = 0;                         // where its latest run of frames without a gap began
        std::vector<std::unique_ptr<Pending>> pending;   // in frame order, all at or after next
        std::uint64_t lastPacket = 0;                    // packetSerial_ of its latest packet
        std::uint32_t newest = 0;                        // the newest frame index it has seen
        int frames = 0;                                  // frames it has seen, counted up to resyncFrames
        std::uint64_t heardPacket = 0;                   // lastPacket as expire() last saw it
        double heardAt = 0;                              // when expire() first saw that packet
    };

    void addShard(const VideoPacket& header, ByteView shard);
    Sequence& sequenceFor(std::uint32_t frameIndex);
    void noteFrame(Sequence& sequence, std::uint32_t frameIndex);
    bool believed(const Sequence& sequence) const;
    // Whether another stream may still prove to be the session's (see the class comment).
    bool mayStartOver() const { return !current_ || firstMayBeEarlier_; }
    void count(const Sequence& sequence, std::atomic<std::int64_t>& counter, std::int64_t by = 1);
    void drop(Sequence& sequence);
    void takeOver(Sequence& sequence);
    void startOver(Sequence& sequence, std::uint32_t frameIndex);
    void settleBefore(Sequence& sequence, std::uint32_t frameIndex);
    Pending& pendingFor(Sequence& sequence, const VideoPacket& header);
    static Pending* find(Sequence& sequence, std::uint32_t frameIndex);
    static std::unique_ptr<Pending> take(Sequence& sequence, std::uint32_t frameIndex);
    void recycle(std::unique_ptr<Pending> pending);
    void store(Pending& pending, Block& block, int shardIndex, ByteView shard);
    void tryRecovery(Sequence& sequence, Pending& pending, Block& block);
    void deliverReady(Sequence& sequence);
    void deliver(Sequence& sequence, std::unique_ptr<Pending> pending);
    void loseFrames(Sequence& sequence, std::uint32_t first, std::uint32_t frames);

    StreamConfig::Codec codec_;
    Counters counters_;
    std::array<Sequence, maxSequences> sequences_;
    Sequence* current_ = nullptr;  // the session's: frames are delivered from it; none before a keyframe
    std::uint64_t packetSerial_ = 0;
    bool waitingForKeyframe_ = true;
    // The session's first keyframe (not frame 0) is all of its stream seen yet: it may be an earlier stream's.
    bool firstMayBeEarlier_ = false;

    std::vector<std::unique_ptr<Pending>> spare_;
    std::size_t bufferedBytes_ = 0;
    bool refusedBlockLogged_ = false;
    // Recovery state, reused.
    BlockDecoder decoder_;
    std::vector<std::uint8_t*> shardPointers_;
    std::vector<std::uint8_t> lostMarks_;
};

}  // namespace corvane::stream
