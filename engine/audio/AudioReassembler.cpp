#include "engine/audio/AudioReassembler.hpp"

#include "engine/audio/AudioFEC.hpp"
#include "engine/audio/AudioPacket.hpp"

#include <algorithm>
#include <variant>

namespace corvane::stream {

using AudioPacket::distance;

// Live payloads span the blocks kept behind the play position (15), the window and a rebuilt block's
// tail (3); live parity blocks span those kept behind and parityAheadLimit. Neither ring may wrap onto
// itself.
static_assert(AudioReassembler::slotCount > 15 + AudioReassembler::maxReorderWindow + 3 + 1);
static_assert(AudioReassembler::maxBlocks * 4 > AudioReassembler::parityAheadLimit + 15);
static_assert(AudioReassembler::maxPayload <= UINT16_MAX);

AudioReassembler::AudioReassembler(std::uint16_t reorderWindow, int concealLimit)
    : reorderWindow(std::min(reorderWindow, maxReorderWindow)), concealLimit(std::max(concealLimit, 1)),
      slots_(std::make_unique_for_overwrite<Slot[]>(slotCount)),
      blocks_(std::make_unique_for_overwrite<Block[]>(maxBlocks)) {}

AudioReassembler::~AudioReassembler() = default;

AudioReassembler::Stats AudioReassembler::stats() const {
    return Stats{frames_.load(std::memory_order_relaxed), recovered_.load(std::memory_order_relaxed),
                 lost_.load(std::memory_order_relaxed), late_.load(std::memory_order_relaxed)};
}

void AudioReassembler::add(ByteView datagram) {
    const auto kind = AudioPacket::parse(datagram);
    if (!kind) return;
    if (const auto* audio = std::get_if<AudioPacket::Audio>(&*kind)) {
        if (audio->payload.size() <= maxPayload) addAudio(audio->sequence, audio->payload);
    } else if (const auto* fec = std::get_if<AudioPacket::Fec>(&*kind)) {
        if (fec->payload.size() <= maxPayload) addParity(fec->index, fec->baseSequence, fec->payload);
    }
}

AudioReassembler::Block* AudioReassembler::liveBlock(std::uint16_t base) {
    Block& block = blocks_[(base / 4u) % maxBlocks];
    return block.live && block.base == base ? &block : nullptr;
}

AudioReassembler::Block* AudioReassembler::claimBlock(std::uint16_t base) {
    Block& block = blocks_[(base / 4u) % maxBlocks];
    if (block.live && block.base == base) return &block;
    // Live blocks never share a slot once the stream has started; before it, the newest parity is the
    // likeliest to be of the stream about to start.
    if (!block.live) ++blockCount_;
    block.live = true;
    block.base = base;
    block.paritySize = {};
    return &block;
}

void AudioReassembler::queue(Slot& slot, std::uint16_t s) {
    slot.pending = true;
    if (pendingCount_++ == 0 || distance(s, newest_) > 0) newest_ = s;
}

void AudioReassembler::addAudio(std::uint16_t s, ByteView payload) {
    if (!next_) {
        next_ = s;
        // Parity that came before the first packet: blocks behind it would never be passed, and blocks
        // far ahead are not of this stream; either would only take room.
        for (std::size_t i = 0; i < maxBlocks; ++i) {
            Block& block = blocks_[i];
            const int ahead = distance(static_cast<std::uint16_t>(block.base + 4), s);
            if (block.live && (ahead <= 0 || ahead > parityAheadLimit)) {
                block.live = false;
                --blockCount_;
            }
        }
    } else if (distance(s, *next_) < 0) {
        late_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (distance(s, *next_) > reorderWindow) drain(s);

    Slot& slot = this->slot(s);
    // Only a duplicate still waiting can be here: the rings are sized so live slots never collide.
    const bool waiting = slot.pending && slot.sequence == s;
    if (slot.pending && !waiting) --pendingCount_;
    slot.sequence = s;
    slot.size = static_cast<std::uint16_t>(payload.size());
    slot.data = true;
    std::copy(payload.begin(), payload.end(), slot.bytes.begin());
    if (!waiting) queue(slot, s);

    // Parity that overtook this packet may be enough now.
    const auto base = static_cast<std::uint16_t>(s & ~3u);
    if (const Block* block = liveBlock(base); block && (block->paritySize[0] || block->paritySize[1])) tryRecover(base);
    drain();
}

void AudioReassembler::addParity(std::uint8_t index, std::uint16_t base, ByteView payload) {
    if (index >= AudioFEC::parityShards) return;
    // Blocks start on multiples of four; any other base is not a block the play position ever passes.
    if ((base & 3u) != 0) return;
    if (next_) {
        const int ahead = distance(static_cast<std::uint16_t>(base + 4), *next_);
        if (ahead <= 0 || ahead > parityAheadLimit) return;
    }
    Block* block = claimBlock(base);
    if (!block) return;
    std::copy(payload.begin(), payload.end(), block->parity[index].begin());
    block->paritySize[index] = static_cast<std::uint16_t>(payload.size());
    tryRecover(base);
    drain();
}

void AudioReassembler::tryRecover(std::uint16_t b) {
    const Block* block = liveBlock(b);
    if (!block || !next_) return;
    if (distance(static_cast<std::uint16_t>(b + 4), *next_) <= 0) return;

    std::array<ByteView, AudioFEC::dataShards> data{};
    std::array<std::span<std::uint8_t>, AudioFEC::dataShards> out{};
    bool missing = false;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto s = static_cast<std::uint16_t>(b + i);
        Slot& slot = this->slot(s);
        if (holds(s)) {
            data[i] = slot.view();
        } else {
            if (slot.pending) return; // another packet's slot: never with the rings' sizes, but never overwrite it
            out[i] = slot.bytes;
            missing = true;
        }
    }
    if (!missing) return;
    const std::array<ByteView, AudioFEC::parityShards> parity{ByteView(block->parity[0].data(), block->paritySize[0]),
                                                              ByteView(block->parity[1].data(), block->paritySize[1])};
    const auto length = AudioFEC::recover(data, parity, out);
    if (!length) return;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (!data[i].empty()) continue;
        const auto s = static_cast<std::uint16_t>(b + i);
        Slot& slot = this->slot(s);
        slot.sequence = s;
        slot.size = static_cast<std::uint16_t>(*length);
        slot.data = true;
        if (distance(s, *next_) < 0) continue;
        queue(slot, s);
        recovered_.fetch_add(1, std::memory_order_relaxed);
    }
}

void AudioReassembler::passed(std::uint16_t s) {
    if (((s + 1) & 3u) != 0) return;
    const auto base = static_cast<std::uint16_t>(s - 15);
    if (Block* block = liveBlock(base)) {
        block->live = false;
        --blockCount_;
    }
    for (std::uint16_t i = 0; i < 4; ++i) {
        const auto old = static_cast<std::uint16_t>(base + i);
        if (holds(old)) slot(old).data = false;
    }
}

void AudioReassembler::skipLost(std::uint16_t from, int count) {
    if (count < static_cast<int>(slotCount)) {
        for (int i = 0; i < count; ++i) passed(static_cast<std::uint16_t>(from + i));
        return;
    }
    // A long run passes every block and payload that ends before it does: clear those outright rather than
    // one sequence number at a time (a jump may be 32767 long).
    const auto to = static_cast<std::uint16_t>(from + count);
    for (std::size_t i = 0; i < maxBlocks; ++i) {
        Block& block = blocks_[i];
        if (block.live && distance(static_cast<std::uint16_t>(block.base + 15), to) < 0) {
            block.live = false;
            --blockCount_;
        }
    }
    for (std::size_t i = 0; i < slotCount; ++i) {
        Slot& slot = slots_[i];
        const auto end = static_cast<std::uint16_t>((slot.sequence & ~3u) + 15);
        if (slot.data && !slot.pending && distance(end, to) < 0) slot.data = false;
    }
}

void AudioReassembler::emit(std::optional<ByteView> payload) {
    if (onFrame) onFrame(payload);
}

std::uint16_t AudioReassembler::earliestPending(std::uint16_t after, std::uint16_t newest) {
    auto s = after;
    for (std::size_t i = 0; i < slotCount && s != newest; ++i) {
        s = static_cast<std::uint16_t>(s + 1);
        if (slot(s).pending && slot(s).sequence == s) return s;
    }
    return newest;
}

void AudioReassembler::drain(std::optional<std::uint16_t> incoming) {
    if (!next_) return;
    std::uint16_t s = *next_;
    for (;;) {
        Slot& slot = this->slot(s);
        if (slot.pending && slot.sequence == s) {
            slot.pending = false;
            --pendingCount_;
            frames_.fetch_add(1, std::memory_order_relaxed);
            emit(slot.view());
        } else {
            if (pendingCount_ == 0 && !incoming) break;
            // An incoming packet lies beyond every pending one.
            const std::uint16_t newest = incoming ? *incoming : newest_;
            if (distance(newest, s) <= reorderWindow) break;

            // s is lost, and so is everything up to the earliest pending packet or the start of the
            // window still being waited for. Conceal only the tail of a long run.
            const std::uint16_t earliest = earliestPending(s, newest);
            const auto waitFrom = static_cast<std::uint16_t>(newest - reorderWindow);
            const std::uint16_t runEnd = distance(waitFrom, earliest) < 0 ? waitFrom : earliest;
            const int run = distance(runEnd, s);
            if (run > concealLimit) {
                const int skip = run - concealLimit;
                skipLost(s, skip);
                s = static_cast<std::uint16_t>(s + skip);
                lost_.fetch_add(skip, std::memory_order_relaxed);
            }
            lost_.fetch_add(1, std::memory_order_relaxed);
            emit(std::nullopt);
        }
        passed(s);
        s = static_cast<std::uint16_t>(s + 1);
    }
    next_ = s;
}

} // namespace corvane::stream
