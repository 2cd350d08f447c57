#include "engine/video/FrameAssembler.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "engine/EngineLog.hpp"
#include "engine/video/AnnexB.hpp"
#include "engine/video/FEC.hpp"

namespace corvane::stream {

namespace {

// Buffers of a recycled frame larger than this are freed rather than kept, so one huge frame does not pin
// its memory for the rest of the session.
constexpr std::size_t kKeepBytes = 4 * 1024 * 1024;
constexpr std::size_t kKeepSlots = 1024;
constexpr std::size_t kSpareFrames = 2;
// A data shard begins with 16 bytes of packet header that are not part of the frame.
constexpr std::size_t kShardHeaderBytes = 16;

// Signed distance from `from` to `to` in serial-number order: frame indexes wrap after 2^32 - 1.
std::int64_t serialDistance(std::uint32_t from, std::uint32_t to)
{
    return static_cast<std::int32_t>(to - from);
}

// The counters have one writer (the media thread), so a plain load and store is enough; readers on other
// threads see whole words.
void bump(std::atomic<std::int64_t>& counter, std::int64_t by = 1)
{
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

}  // namespace

void FrameAssembler::Block::reset(int dataShards, int parityShards)
{
    exists = true;
    data = dataShards;
    parity = parityShards;
    slots.assign(static_cast<std::size_t>(dataShards) + static_cast<std::size_t>(parityShards), Slot{});
    arena.clear();
    present = 0;
    dataPresent = 0;
    maxLength = 0;
    complete = false;
    recoveryGivenUp = false;
    recovered = 0;
}

ByteView FrameAssembler::Block::dataShard(int index) const
{
    const Slot& slot = slots[static_cast<std::size_t>(index)];
    if (!slot.present) return {};
    return ByteView(slot.rebuilt ? rebuilt : arena).subspan(slot.offset, slot.length);
}

bool FrameAssembler::Pending::complete() const
{
    for (int b = 0; b <= lastBlock; ++b)
        if (!blocks[static_cast<std::size_t>(b)].exists || !blocks[static_cast<std::size_t>(b)].complete) return false;
    return true;
}

FrameAssembler::FrameAssembler(StreamConfig::Codec codec) : codec_(codec) {}

FrameAssembler::~FrameAssembler() = default;

FrameAssembler::Stats FrameAssembler::stats() const
{
    constexpr auto relaxed = std::memory_order_relaxed;
    Stats s;
    s.framesDelivered = counters_.framesDelivered.load(relaxed);
    s.framesLost = counters_.framesLost.load(relaxed);
    s.framesSkippedWaitingForKeyframe = counters_.framesSkippedWaitingForKeyframe.load(relaxed);
    s.packetsRecovered = counters_.packetsRecovered.load(relaxed);
    s.packetsLate = counters_.packetsLate.load(relaxed);
    s.packetsDuplicate = counters_.packetsDuplicate.load(relaxed);
    s.packetsBad = counters_.packetsBad.load(relaxed);
    return s;
}

void FrameAssembler::add(ByteView datagram)
{
    if (datagram.size() > maxDatagramBytes) return bump(counters_.packetsBad);
    const auto header = VideoPacket::parseHeader(datagram);
    if (!header || !header->isUsable()) return bump(counters_.packetsBad);
    addShard(*header, datagram.subspan(VideoPacket::shardOffset));
}

void FrameAssembler::add(const VideoPacket& packet)
{
    const std::size_t size = packet.datagram.size();
    if (size < VideoPacket::minimumBytes || size > maxDatagramBytes || !packet.isUsable())
        return bump(counters_.packetsBad);
    addShard(packet, packet.shardView());
}

void FrameAssembler::addShard(const VideoPacket& header, ByteView shard)
{
    const std::uint32_t frameIndex = header.frameIndex;
    if (!next_) {
        next_ = frameIndex;
    } else {
        const std::int64_t distance = serialDistance(*next_, frameIndex);
        if (distance > maxFrameJump || distance < -std::int64_t(maxFrameJump)) {
            if (!acceptFarPacket(frameIndex)) return;
        } else {
            farCount_ = 0;
            if (distance < 0) return bump(counters_.packetsLate);
        }
    }

    settleBefore(frameIndex);
    Pending& pending = pendingFor(header);
    Block& block = pending.blocks[static_cast<std::size_t>(header.blockIndex())];
    // Only a packet that is taken in (or that names a block already whole) may announce more blocks: a
    // refused or repeated one, maybe damaged, must not make the frame wait for blocks that never come.
    const int lastBlock = std::max(pending.lastBlock, header.lastBlockIndex());
    if (block.exists && block.complete) {
        pending.lastBlock = lastBlock;
        return;
    }
    if (!block.exists) block.reset(header.dataShards(), header.parityShards());

    // A later packet may describe the block differently from the one that created it.
    const int shardIndex = header.shardIndex();
    if (static_cast<std::size_t>(shardIndex) >= block.slots.size()) return bump(counters_.packetsBad);
    if (block.slots[static_cast<std::size_t>(shardIndex)].present) return bump(counters_.packetsDuplicate);
    if (shard.size() > maxBufferedBytes - bufferedBytes_) return bump(counters_.packetsBad);

    pending.lastBlock = lastBlock;
    store(pending, block, shardIndex, shard);
    if (block.dataPresent == block.data)
        block.complete = true;
    else if (block.present >= block.data && !block.recoveryGivenUp)
        tryRecovery(pending, block);
    deliverReady();
}

bool FrameAssembler::acceptFarPacket(std::uint32_t frameIndex)
{
    // One stray index must not throw the stream off; a run of packets that agree with each other means
    // the numbering really moved (the host restarted it, or a long outage).
    const std::int64_t fromLast = serialDistance(farLast_, frameIndex);
    if (farCount_ > 0 && fromLast <= maxFrameJump && fromLast >= -std::int64_t(maxFrameJump))
        ++farCount_;
    else
        farCount_ = 1;
    farLast_ = frameIndex;
    if (farCount_ < resyncPackets) {
        bump(counters_.packetsBad);
        return false;
    }

    EngineLog::write("video: frame index jumped from " + std::to_string(*next_) + " to " +
                     std::to_string(frameIndex) + "; starting over at the next keyframe");
    const auto dropped = static_cast<std::int64_t>(pending_.size());
    while (!pending_.empty()) {
        auto pending = std::move(pending_.back());
        pending_.pop_back();
        recycle(std::move(pending));
    }
    if (dropped > 0) bump(counters_.framesLost, dropped);
    next_ = frameIndex;
    farCount_ = 0;
    waitingForKeyframe_ = true;
    if (onNeedKeyframe) onNeedKeyframe(frameIndex);
    return true;
}

// Without a reordering window, a packet of frame F ends every frame before it: deliver those that are
// complete, lose the others, and lose in one go the frames of which nothing arrived at all (else delivery
// would wait at such an index for ever).
void FrameAssembler::settleBefore(std::uint32_t frameIndex)
{
    while (next_ && *next_ != frameIndex) {
        const std::uint32_t n = *next_;
        if (Pending* pending = find(n)) {
            if (pending->complete()) {
                deliver(take(n));
            } else {
                recycle(take(n));
                loseFrames(n, 1);
            }
            continue;
        }
        std::uint32_t until = frameIndex;
        for (const auto& held : pending_) {
            const std::int64_t distance = serialDistance(n, held->index);
            if (distance > 0 && distance < serialDistance(n, until)) until = held->index;
        }
        loseFrames(n, until - n);
    }
}

FrameAssembler::Pending& FrameAssembler::pendingFor(const VideoPacket& header)
{
    if (Pending* pending = find(header.frameIndex)) return *pending;
    if (pending_.size() >= maxPending) {
        const std::uint32_t oldest = pending_.front()->index;
        recycle(take(oldest));
        loseFrames(oldest, 1);
    }
    std::unique_ptr<Pending> pending;
    if (!spare_.empty()) {
        pending = std::move(spare_.back());
        spare_.pop_back();
    } else {
        pending = std::make_unique<Pending>();
    }
    pending->index = header.frameIndex;
    pending->rtpTimestamp = header.rtpTimestamp;
    pending->firstAt = now ? now() : 0;
    pending->lastBlock = 0;
    pending->bytes = 0;
    for (Block& block : pending->blocks) block.exists = false;
    pending_.push_back(std::move(pending));
    return *pending_.back();
}

FrameAssembler::Pending* FrameAssembler::find(std::uint32_t frameIndex)
{
    for (const auto& pending : pending_)
        if (pending->index == frameIndex) return pending.get();
    return nullptr;
}

std::unique_ptr<FrameAssembler::Pending> FrameAssembler::take(std::uint32_t frameIndex)
{
    const auto it = std::find_if(pending_.begin(), pending_.end(),
        [&](const auto& pending) { return pending->index == frameIndex; });
    if (it == pending_.end()) return nullptr;
    auto pending = std::move(*it);
    pending_.erase(it);
    return pending;
}

void FrameAssembler::recycle(std::unique_ptr<Pending> pending)
{
    if (!pending) return;
    bufferedBytes_ -= pending->bytes;
    pending->bytes = 0;
    if (spare_.size() >= kSpareFrames) return;
    for (Block& block : pending->blocks) {
        if (block.arena.capacity() > kKeepBytes) Bytes().swap(block.arena);
        if (block.rebuilt.capacity() > kKeepBytes) Bytes().swap(block.rebuilt);
        if (block.slots.capacity() > kKeepSlots) std::vector<Slot>().swap(block.slots);
    }
    spare_.push_back(std::move(pending));
}

void FrameAssembler::store(Pending& pending, Block& block, int shardIndex, ByteView shard)
{
    Slot& slot = block.slots[static_cast<std::size_t>(shardIndex)];
    slot.offset = static_cast<std::uint32_t>(block.arena.size());
    slot.length = static_cast<std::uint32_t>(shard.size());
    slot.present = true;
    block.arena.insert(block.arena.end(), shard.begin(), shard.end());
    ++block.present;
    if (shardIndex < block.data) ++block.dataPresent;
    block.maxLength = std::max(block.maxLength, shard.size());
    pending.bytes += shard.size();
    bufferedBytes_ += shard.size();
}

// Enough shards are present but some data shards are not: rebuild them. Shorter shards (the host's last
// shard of a block may be short) count as padded with zeros to the longest, as the host encoded them.
void FrameAssembler::tryRecovery(Pending& pending, Block& block)
{
    if (!FEC::codecAccepts(block.data, block.parity)) {
        // Such a block can only complete by its data shards; trying again at every shard would be wasted.
        block.recoveryGivenUp = true;
        if (!refusedBlockLogged_) {
            refusedBlockLogged_ = true;
            EngineLog::write("video: frame " + std::to_string(pending.index) + " has a block of " +
                             std::to_string(block.data) + " data and " + std::to_string(block.parity) +
                             " parity shards, too many to rebuild");
        }
        return;
    }
    // Present shards of full length are read where they lie; lost data shards and short present ones
    // (zero-padded) get room of their own.
    const std::size_t length = block.maxLength;
    const auto data = static_cast<std::size_t>(block.data);
    const std::size_t total = data + static_cast<std::size_t>(block.parity);
    std::size_t own = 0;
    for (std::size_t i = 0; i < total; ++i) {
        const Slot& slot = block.slots[i];
        if (slot.present ? slot.length < length : i < data) ++own;
    }
    const std::size_t rebuiltBytes = own * length;
    if (rebuiltBytes > maxBufferedBytes - bufferedBytes_) {
        block.recoveryGivenUp = true;
        return;
    }

    // The rebuild writes every byte of a lost shard, so only the padding of short shards needs zeros;
    // the buffer keeps its size from block to block rather than being cleared each time.
    if (block.rebuilt.size() < rebuiltBytes) block.rebuilt.resize(rebuiltBytes);
    shardPointers_.assign(total, nullptr);
    lostMarks_.assign(total, 1);
    std::size_t next = 0;
    for (std::size_t i = 0; i < total; ++i) {
        const Slot& slot = block.slots[i];
        if (slot.present && slot.length == length) {
            shardPointers_[i] = block.arena.data() + slot.offset;
            lostMarks_[i] = 0;
        } else if (slot.present || i < data) {
            shardPointers_[i] = block.rebuilt.data() + next++ * length;
            if (slot.present) {
                std::memcpy(shardPointers_[i], block.arena.data() + slot.offset, slot.length);
                std::memset(shardPointers_[i] + slot.length, 0, length - slot.length);
            }
            lostMarks_[i] = slot.present ? 0 : 1;
        }
    }
    if (!decoder_.decode(shardPointers_, lostMarks_, block.data, block.parity, static_cast<int>(length))) return;
    next = 0;
    for (std::size_t i = 0; i < total; ++i) {
        Slot& slot = block.slots[i];
        if (slot.present ? slot.length == length : i >= data) continue;
        slot = Slot{static_cast<std::uint32_t>(next++ * length), static_cast<std::uint32_t>(length), true, true};
    }
    block.recovered = block.data - block.dataPresent;
    block.complete = true;
    pending.bytes += rebuiltBytes;
    bufferedBytes_ += rebuiltBytes;
    bump(counters_.packetsRecovered, block.recovered);
}

void FrameAssembler::deliverReady()
{
    while (next_) {
        Pending* pending = find(*next_);
        if (!pending || !pending->complete()) return;
        deliver(take(*next_));
    }
}

void FrameAssembler::deliver(std::unique_ptr<Pending> pending)
{
    const std::uint32_t index = pending->index;
    next_ = index + 1;

    std::size_t total = 0;
    for (int b = 0; b <= pending->lastBlock; ++b) {
        const Block& block = pending->blocks[static_cast<std::size_t>(b)];
        if (!block.exists) continue;
        for (int i = 0; i < block.data; ++i) total += block.dataShard(i).size();
    }
    Bytes payload;
    payload.reserve(total);
    std::int64_t recovered = 0;
    std::int64_t lastShardPayload = 0;
    for (int b = 0; b <= pending->lastBlock; ++b) {
        const Block& block = pending->blocks[static_cast<std::size_t>(b)];
        if (!block.exists) continue;
        recovered += block.recovered;
        for (int i = 0; i < block.data; ++i) {
            const ByteView shard = block.dataShard(i);
            if (shard.size() <= kShardHeaderBytes) continue;
            payload.insert(payload.end(), shard.begin() + kShardHeaderBytes, shard.end());
            lastShardPayload = static_cast<std::int64_t>(shard.size() - kShardHeaderBytes);
        }
    }
    const std::uint32_t rtpTimestamp = pending->rtpTimestamp;
    const double firstAt = pending->firstAt;
    recycle(std::move(pending));

    const double hostMs = AnnexB::hostProcessingMs(payload);
    const auto unit = AnnexB::accessUnitRange(payload, lastShardPayload);
    // A start code with nothing behind it is no access unit.
    if (!unit || !AnnexB::hasNalUnit(*unit)) {
        bump(counters_.packetsBad);
        loseFrames(index, 1);
        return;
    }
    const bool key = AnnexB::isKeyframe(*unit, codec_);
    if (waitingForKeyframe_ && !key) return bump(counters_.framesSkippedWaitingForKeyframe);
    waitingForKeyframe_ = false;
    bump(counters_.framesDelivered);

    // Cut the payload down to the access unit in place rather than copying it.
    const auto begin = static_cast<std::size_t>(unit->data() - payload.data());
    const std::size_t size = unit->size();
    payload.erase(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(begin));
    payload.resize(size);
    VideoFrame frame{index, rtpTimestamp, std::move(payload), key, firstAt, now ? now() : 0, recovered, hostMs};
    if (onFrame) onFrame(std::move(frame));
}

void FrameAssembler::loseFrames(std::uint32_t first, std::uint32_t count)
{
    bump(counters_.framesLost, count);
    if (next_ && serialDistance(*next_, first) >= 0) next_ = first + count;
    if (!waitingForKeyframe_) {
        waitingForKeyframe_ = true;
        EngineLog::write("video: frame " + std::to_string(first) + " lost; waiting for a keyframe");
    }
    if (onNeedKeyframe) onNeedKeyframe(first);
}

}  // namespace corvane::stream
