#include "engine/video/FrameAssembler.hpp"

#include <algorithm>
#include <cstdlib>
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

std::optional<std::uint32_t> FrameAssembler::next() const
{
    if (!current_) return std::nullopt;
    return current_->next;
}

std::size_t FrameAssembler::pendingCount() const
{
    std::size_t total = 0;
    for (const Sequence& sequence : sequences_) total += sequence.pending.size();
    return total;
}

void FrameAssembler::addShard(const VideoPacket& header, ByteView shard)
{
    const std::uint32_t frameIndex = header.frameIndex;
    Sequence& sequence = sequenceFor(frameIndex);
    sequence.lastPacket = ++packetSerial_;
    if (serialDistance(sequence.next, frameIndex) < 0) {
        if (mayStartOver() && serialDistance(sequence.first, frameIndex) < 0) {
            if (&sequence == current_) {
                // The picture shown was an earlier stream's: the session starts again with the new stream.
                current_ = nullptr;
                firstMayBeEarlier_ = false;
                waitingForKeyframe_ = true;
            }
            startOver(sequence, frameIndex);
        } else if (believed(sequence)) {
            bump(counters_.packetsLate);
            if (!current_ && onNeedKeyframe) onNeedKeyframe(frameIndex);
            return;
        } else {
            return bump(counters_.packetsBad);
        }
    } else if (&sequence == current_) {
        firstMayBeEarlier_ = false;  // its stream goes on past it
    }
    noteFrame(sequence, frameIndex);
    // Packets of a stream not (yet) believed are counted here once, as bad, and nowhere else.
    if (!believed(sequence)) bump(counters_.packetsBad);

    settleBefore(sequence, frameIndex);
    Pending& pending = pendingFor(sequence, header);
    if (header.blockIndex() == header.lastBlockIndex() &&
        header.shardIndex() == header.dataShards() + header.parityShards() - 1)
        pending.ended = true;
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
    if (static_cast<std::size_t>(shardIndex) >= block.slots.size()) return count(sequence, counters_.packetsBad);
    if (block.slots[static_cast<std::size_t>(shardIndex)].present) return count(sequence, counters_.packetsDuplicate);
    if (shard.size() > maxBufferedBytes - bufferedBytes_) return count(sequence, counters_.packetsBad);

    pending.lastBlock = lastBlock;
    store(pending, block, shardIndex, shard);
    if (block.dataPresent == block.data)
        block.complete = true;
    else if (block.present >= block.data && !block.recoveryGivenUp)
        tryRecovery(sequence, pending, block);
    deliverReady(sequence);
}

void FrameAssembler::expire()
{
    const double time = now ? now() : 0;
    for (Sequence& sequence : sequences_) {
        if (!sequence.used || sequence.pending.empty()) continue;
        if (sequence.heardPacket != sequence.lastPacket) {
            sequence.heardPacket = sequence.lastPacket;
            sequence.heardAt = time;
        } else if (sequence.pending.back()->ended || time - sequence.heardAt >= stalledFrameSeconds) {
            settleBefore(sequence, sequence.pending.back()->index + 1);
        }
    }
}

// The sequence a frame index belongs to: the session's when it is near enough, else the nearest other one,
// else a new one in a free place or in that of the other sequence heard from longest ago.
FrameAssembler::Sequence& FrameAssembler::sequenceFor(std::uint32_t frameIndex)
{
    Sequence* found = nullptr;
    std::int64_t foundDistance = 0;
    for (Sequence& sequence : sequences_) {
        if (!sequence.used) continue;
        const std::int64_t distance = std::abs(serialDistance(sequence.next, frameIndex));
        if (distance > maxFrameJump) continue;
        if (&sequence == current_) {
            found = &sequence;
            break;
        }
        if (!found || distance < foundDistance) {
            found = &sequence;
            foundDistance = distance;
        }
    }
    if (found && found == current_) {
        // The session's stream is alive: whatever else arrived meanwhile was not a jump of it. While its first
        // keyframe may be an earlier stream's, only a frame after it shows that.
        if (!firstMayBeEarlier_ || serialDistance(current_->next, frameIndex) >= 0)
            for (Sequence& other : sequences_)
                if (other.used && &other != current_) drop(other);
        return *found;
    }
    if (found) return *found;

    Sequence* place = nullptr;
    for (Sequence& sequence : sequences_) {
        if (&sequence == current_) continue;
        if (!sequence.used) {
            place = &sequence;
            break;
        }
        if (!place || sequence.lastPacket < place->lastPacket) place = &sequence;
    }
    if (place->used) drop(*place);
    place->used = true;
    place->next = frameIndex;
    place->first = frameIndex;
    place->newest = frameIndex;
    place->frames = 0;
    place->lastPacket = 0;
    return *place;
}

// Counts the frames a sequence runs through; another sequence than the session's that runs through enough
// of them while the session's stays silent (else it would have been dropped) is the session's stream, moved.
void FrameAssembler::noteFrame(Sequence& sequence, std::uint32_t frameIndex)
{
    if (sequence.frames > 0) {
        const std::int64_t ahead = serialDistance(sequence.newest, frameIndex);
        if (ahead <= 0) return;
        if (ahead > 1) sequence.first = frameIndex;  // nothing came of the frames in between
    }
    sequence.newest = frameIndex;
    if (sequence.frames >= resyncFrames) return;
    if (++sequence.frames < resyncFrames || mayStartOver() || &sequence == current_) return;
    EngineLog::write("video: frame index jumped from " + std::to_string(current_->next) + " to " +
                     std::to_string(frameIndex) + "; starting over at the next keyframe");
    if (onNeedKeyframe) onNeedKeyframe(frameIndex);
}

// Before the first keyframe, and while it may be an earlier stream's, every sequence may be the session's;
// after that, the session's and any other that has shown itself to be its continuation.
bool FrameAssembler::believed(const Sequence& sequence) const
{
    return mayStartOver() || &sequence == current_ || sequence.frames >= resyncFrames;
}

void FrameAssembler::count(const Sequence& sequence, std::atomic<std::int64_t>& counter, std::int64_t by)
{
    if (believed(sequence)) bump(counter, by);
}

void FrameAssembler::drop(Sequence& sequence)
{
    const auto held = static_cast<std::int64_t>(sequence.pending.size());
    count(sequence, counters_.framesLost, held);
    while (!sequence.pending.empty()) {
        recycle(std::move(sequence.pending.back()));
        sequence.pending.pop_back();
    }
    sequence.used = false;
}

void FrameAssembler::takeOver(Sequence& sequence)
{
    for (Sequence& other : sequences_)
        if (other.used && &other != &sequence) drop(other);
    current_ = &sequence;
}

// The frames held so far came from an earlier stream numbered above the one now starting: not lost, not
// the session's, just gone.
void FrameAssembler::startOver(Sequence& sequence, std::uint32_t frameIndex)
{
    while (!sequence.pending.empty()) {
        recycle(std::move(sequence.pending.back()));
        sequence.pending.pop_back();
    }
    sequence.next = frameIndex;
    sequence.first = frameIndex;
    sequence.newest = frameIndex;
    sequence.frames = 0;
}

// Without a reordering window, a packet of frame F ends every frame before it: deliver those that are
// complete, lose the others, and lose in one go the frames of which nothing arrived at all (else delivery
// would wait at such an index for ever).
void FrameAssembler::settleBefore(Sequence& sequence, std::uint32_t frameIndex)
{
    while (sequence.next != frameIndex) {
        const std::uint32_t n = sequence.next;
        if (Pending* pending = find(sequence, n)) {
            if (pending->complete()) {
                deliver(sequence, take(sequence, n));
            } else {
                recycle(take(sequence, n));
                loseFrames(sequence, n, 1);
            }
            continue;
        }
        std::uint32_t until = frameIndex;
        for (const auto& held : sequence.pending) {
            const std::int64_t distance = serialDistance(n, held->index);
            if (distance > 0 && distance < serialDistance(n, until)) until = held->index;
        }
        loseFrames(sequence, n, until - n);
    }
}

FrameAssembler::Pending& FrameAssembler::pendingFor(Sequence& sequence, const VideoPacket& header)
{
    if (Pending* pending = find(sequence, header.frameIndex)) return *pending;
    if (sequence.pending.size() >= maxPending) {
        const std::uint32_t oldest = sequence.pending.front()->index;
        recycle(take(sequence, oldest));
        loseFrames(sequence, oldest, 1);
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
    pending->ended = false;
    pending->bytes = 0;
    for (Block& block : pending->blocks) block.exists = false;
    sequence.pending.push_back(std::move(pending));
    return *sequence.pending.back();
}

FrameAssembler::Pending* FrameAssembler::find(Sequence& sequence, std::uint32_t frameIndex)
{
    for (const auto& pending : sequence.pending)
        if (pending->index == frameIndex) return pending.get();
    return nullptr;
}

std::unique_ptr<FrameAssembler::Pending> FrameAssembler::take(Sequence& sequence, std::uint32_t frameIndex)
{
    const auto it = std::find_if(sequence.pending.begin(), sequence.pending.end(),
        [&](const auto& pending) { return pending->index == frameIndex; });
    if (it == sequence.pending.end()) return nullptr;
    auto pending = std::move(*it);
    sequence.pending.erase(it);
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
void FrameAssembler::tryRecovery(Sequence& sequence, Pending& pending, Block& block)
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
    count(sequence, counters_.packetsRecovered, block.recovered);
}

void FrameAssembler::deliverReady(Sequence& sequence)
{
    for (;;) {
        Pending* pending = find(sequence, sequence.next);
        if (!pending || !pending->complete()) return;
        deliver(sequence, take(sequence, sequence.next));
    }
}

void FrameAssembler::deliver(Sequence& sequence, std::unique_ptr<Pending> pending)
{
    const std::uint32_t index = pending->index;
    sequence.next = index + 1;

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
        count(sequence, counters_.packetsBad);
        loseFrames(sequence, index, 1);
        return;
    }
    const bool key = AnnexB::isKeyframe(*unit, codec_);
    const bool session = &sequence == current_;
    if (!key && (waitingForKeyframe_ || !session)) {
        // Still waiting: every frame that goes by asks again, in case the keyframe asked for earlier was lost
        // or came before this stream did.
        if (!believed(sequence)) return;
        bump(counters_.framesSkippedWaitingForKeyframe);
        if (onNeedKeyframe) onNeedKeyframe(index);
        return;
    }
    if (!session && !believed(sequence)) return;  // another stream's keyframe

    // Cut the payload down to the access unit in place rather than copying it.
    const auto begin = static_cast<std::size_t>(unit->data() - payload.data());
    const std::size_t size = unit->size();
    payload.erase(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(begin));
    payload.resize(size);
    if (!session) {
        if (mayStartOver()) firstMayBeEarlier_ = index != 0;
        takeOver(sequence);
    }
    waitingForKeyframe_ = false;
    bump(counters_.framesDelivered);
    if (onFrame) onFrame(VideoFrame{index, rtpTimestamp, std::move(payload), key, firstAt, now ? now() : 0, recovered, hostMs});
}

void FrameAssembler::loseFrames(Sequence& sequence, std::uint32_t first, std::uint32_t frames)
{
    if (serialDistance(sequence.next, first) >= 0) sequence.next = first + frames;
    if (!believed(sequence)) return;
    bump(counters_.framesLost, frames);
    if (&sequence == current_ && !waitingForKeyframe_) {
        waitingForKeyframe_ = true;
        EngineLog::write("video: frame " + std::to_string(first) + " lost; waiting for a keyframe");
    }
    if (onNeedKeyframe) onNeedKeyframe(first);
}

}  // namespace corvane::stream
