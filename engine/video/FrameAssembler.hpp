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
// frame-index order. A frame that cannot be completed is lost: onNeedKeyframe is called and non-key frames
// are dropped until a keyframe comes through.
//
// There is no reordering window: a packet of frame F settles every frame before F (delivered when complete,
// lost otherwise, including frames of which no packet came at all), so at most the frame being received is
// held. Frame indexes are compared in serial-number order, so they may wrap past 2^32 - 1; a packet more
// than maxFrameJump frames away from the expected one is distrusted, and only a run of resyncPackets such
// packets close to each other makes the assembler start over at the new position.
//
// Thread: driven only from the media thread, no lock; onFrame and onNeedKeyframe run on that thread from
// inside add() and must not call add() themselves. stats() may be read from any thread.
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

    // How far (in frames, either way) a packet may be from the expected frame and still be believed.
    static constexpr std::uint32_t maxFrameJump = 1024;
    // Packets beyond that, each within maxFrameJump of the one before, that move the stream to them.
    static constexpr int resyncPackets = 4;
    // Frames held at once; the rule above keeps it at one in practice.
    static constexpr std::size_t maxPending = 4;
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

    // The counters; any thread. The snapshot need not be consistent across counters.
    Stats stats() const;

    // Media thread only.
    std::optional<std::uint32_t> next() const { return next_; }
    bool waitingForKeyframe() const { return waitingForKeyframe_; }
    std::size_t pendingCount() const { return pending_.size(); }
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

    void addShard(const VideoPacket& header, ByteView shard);
    bool acceptFarPacket(std::uint32_t frameIndex);
    void settleBefore(std::uint32_t frameIndex);
    Pending& pendingFor(const VideoPacket& header);
    Pending* find(std::uint32_t frameIndex);
    std::unique_ptr<Pending> take(std::uint32_t frameIndex);
    void recycle(std::unique_ptr<Pending> pending);
    void store(Pending& pending, Block& block, int shardIndex, ByteView shard);
    void tryRecovery(Pending& pending, Block& block);
    void deliverReady();
    void deliver(std::unique_ptr<Pending> pending);
    void loseFrames(std::uint32_t first, std::uint32_t count);

    StreamConfig::Codec codec_;
    Counters counters_;
    std::vector<std::unique_ptr<Pending>> pending_;  // in frame order, all at or after next_
    std::optional<std::uint32_t> next_;
    bool waitingForKeyframe_ = true;

    std::vector<std::unique_ptr<Pending>> spare_;
    std::size_t bufferedBytes_ = 0;
    std::uint32_t farLast_ = 0;
    int farCount_ = 0;
    bool refusedBlockLogged_ = false;
    // Recovery state, reused.
    BlockDecoder decoder_;
    std::vector<std::uint8_t*> shardPointers_;
    std::vector<std::uint8_t> lostMarks_;
};

}  // namespace corvane::stream
