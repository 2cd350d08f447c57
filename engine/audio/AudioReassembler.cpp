#include "engine/audio/AudioReassembler.hpp"

#include "engine/audio/AudioFEC.hpp"
#include "engine/audio/AudioPacket.hpp"

#include <algorithm>
#include <utility>
#include <variant>

namespace corvane::stream {

using AudioPacket::distance;

AudioReassembler::AudioReassembler(std::uint16_t reorderWindow, int concealLimit)
    : reorderWindow(reorderWindow), concealLimit(std::max(concealLimit, 1)) {}

AudioReassembler::Stats AudioReassembler::stats() const {
    return Stats{frames_.load(std::memory_order_relaxed), recovered_.load(std::memory_order_relaxed),
                 lost_.load(std::memory_order_relaxed), late_.load(std::memory_order_relaxed)};
}

void AudioReassembler::add(ByteView datagram) {
    auto kind = AudioPacket::parse(datagram);
    if (!kind) return;
    if (auto* audio = std::get_if<AudioPacket::Audio>(&*kind))
        addAudio(audio->sequence, std::move(audio->payload));
    else if (auto* fec = std::get_if<AudioPacket::Fec>(&*kind))
        addParity(fec->index, fec->baseSequence, std::move(fec->payload));
}

AudioReassembler::Block* AudioReassembler::blockFor(std::uint16_t base) {
    auto found = blocks_.find(base);
    if (found != blocks_.end()) return &found->second;
    if (blocks_.size() >= maxBlocks) return nullptr;
    return &blocks_[base];
}

void AudioReassembler::addAudio(std::uint16_t s, Bytes payload) {
    if (!next_) {
        next_ = s;
        // Parity that came before the first packet: blocks behind it would never be passed, and blocks
        // far ahead are not of this stream; either would only take room.
        std::erase_if(blocks_, [s](const auto& entry) {
            const int ahead = distance(static_cast<std::uint16_t>(entry.first + 4), s);
            return ahead <= 0 || ahead > parityAheadLimit;
        });
    } else if (distance(s, *next_) < 0) {
        late_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const auto base = static_cast<std::uint16_t>(s & ~3u);
    Block* block = blockFor(base);
    if (block) block->data[s & 3u] = payload;
    pending_[s] = std::move(payload);
    // Parity that overtook this packet may be enough now.
    if (block && (block->parity[0] || block->parity[1])) tryRecover(base);
    drain();
}

void AudioReassembler::addParity(std::uint8_t index, std::uint16_t base, Bytes payload) {
    if (index >= AudioFEC::parityShards) return;
    // Blocks start on multiples of four; any other base is not a block the play position ever passes.
    if ((base & 3u) != 0) return;
    if (next_) {
        const int ahead = distance(static_cast<std::uint16_t>(base + 4), *next_);
        if (ahead <= 0 || ahead > parityAheadLimit) return;
    }
    Block* block = blockFor(base);
    if (!block) return;
    block->parity[index] = std::move(payload);
    tryRecover(base);
    drain();
}

void AudioReassembler::tryRecover(std::uint16_t b) {
    auto found = blocks_.find(b);
    if (found == blocks_.end() || !next_) return;
    Block& block = found->second;
    if (std::all_of(block.data.begin(), block.data.end(), [](const auto& d) { return d.has_value(); })) return;
    if (distance(static_cast<std::uint16_t>(b + 4), *next_) <= 0) return;

    auto data = block.data;
    if (!AudioFEC::recover(data, block.parity)) return;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (block.data[i]) continue;
        block.data[i] = data[i];
        const auto s = static_cast<std::uint16_t>(b + i);
        if (distance(s, *next_) < 0 || pending_.contains(s)) continue;
        pending_[s] = std::move(*data[i]);
        recovered_.fetch_add(1, std::memory_order_relaxed);
    }
}

void AudioReassembler::passed(std::uint16_t s) {
    if (((s + 1) & 3u) == 0) blocks_.erase(static_cast<std::uint16_t>(s - 15));
}

void AudioReassembler::emit(std::optional<Bytes> payload) {
    if (onFrame) onFrame(std::move(payload));
}

void AudioReassembler::drain() {
    if (!next_) return;
    std::uint16_t s = *next_;
    for (;;) {
        auto found = pending_.find(s);
        if (found != pending_.end()) {
            Bytes payload = std::move(found->second);
            pending_.erase(found);
            frames_.fetch_add(1, std::memory_order_relaxed);
            emit(std::move(payload));
        } else {
            if (pending_.empty()) break;
            // Every pending key lies after s, so serial order is well defined among them.
            std::uint16_t newest = pending_.begin()->first;
            std::uint16_t earliest = newest;
            for (const auto& entry : pending_) {
                if (distance(newest, entry.first) < 0) newest = entry.first;
                if (distance(entry.first, earliest) < 0) earliest = entry.first;
            }
            if (distance(newest, s) <= reorderWindow) break;

            // s is lost, and so is everything up to the earliest pending packet or the start of the
            // window still being waited for. Conceal only the tail of a long run.
            const auto waitFrom = static_cast<std::uint16_t>(newest - reorderWindow);
            const std::uint16_t runEnd = distance(waitFrom, earliest) < 0 ? waitFrom : earliest;
            const int run = distance(runEnd, s);
            if (run > concealLimit) {
                const int skip = run - concealLimit;
                for (int i = 0; i < skip; ++i) {
                    passed(s);
                    s = static_cast<std::uint16_t>(s + 1);
                }
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
