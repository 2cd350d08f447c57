// Feeds arbitrary datagrams to a frame assembler of each codec. The input is a run of records: a length
// byte pair and that many bytes. A record whose first byte is odd is turned into a datagram with a
// plausible header (small frame index steps, small blocks) so the fuzzer reaches assembly and recovery;
// the others go in raw, and through the Annex B helpers. A record whose first byte has bit 1 set also lets
// time pass (0 to 0.15 s) and settles the frames that stopped arriving.
#include "engine/video/AnnexB.hpp"
#include "engine/video/FrameAssembler.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

using namespace corvane;
using namespace corvane::stream;

namespace {

Bytes plausible(ByteView record, std::uint32_t& frame)
{
    // record: [mode, frame step, data-1 (0..7), shard index, parity percent, blocks, payload...]
    Bytes datagram(32, 0);
    std::uint8_t field[6] = {};
    for (std::size_t i = 0; i < 6 && i < record.size(); ++i) field[i] = record[i];
    frame += field[1] % 4 == 3 ? (field[1] >> 2) * 97 : field[1] % 3;  // mostly small steps, now and then a jump
    const std::uint32_t data = field[2] % 8 + 1;
    const std::uint32_t fecInfo = data << 22 | std::uint32_t(field[3] % 16) << 12 | std::uint32_t(field[4]) << 4;
    for (int i = 0; i < 4; ++i) {
        datagram[20 + i] = static_cast<std::uint8_t>(frame >> (8 * i));
        datagram[28 + i] = static_cast<std::uint8_t>(fecInfo >> (8 * i));
    }
    datagram[27] = field[5];
    if (record.size() > 6) datagram.insert(datagram.end(), record.begin() + 6, record.end());
    else datagram.push_back(0);
    return datagram;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    for (auto codec : {StreamConfig::Codec::h264, StreamConfig::Codec::hevc}) {
        FrameAssembler assembler(codec);
        std::size_t delivered = 0;
        assembler.onFrame = [&](VideoFrame frame) {
            // Every frame handed out is an access unit: at least one NAL unit behind a start code.
            if (frame.data.size() < 4 || !AnnexB::hasNalUnit(frame.data)) __builtin_trap();
            ++delivered;
        };
        assembler.onNeedKeyframe = [](std::uint32_t) {};
        double now = 0;
        assembler.now = [&now] { return now; };
        std::uint32_t frame = 0;
        std::size_t at = 0;
        while (at + 2 <= size) {
            const std::size_t length = data[at] | std::size_t(data[at + 1]) << 8;
            at += 2;
            const ByteView record(data + at, std::min(length, size - at));
            at += record.size();
            if (!record.empty() && (record[0] & 1)) {
                assembler.add(plausible(record, frame));
            } else {
                assembler.add(record);
                // The Annex B helpers on their own, with every kind of "last shard" length.
                for (const ByteView unit : AnnexB::nalUnitViews(record))
                    if (unit.empty() || unit.data() < record.data() || unit.data() + unit.size() > record.data() + record.size())
                        __builtin_trap();
                const auto unit = AnnexB::accessUnitRange(record, static_cast<std::int64_t>(length) - 200);
                if (unit && (unit->empty() || unit->data() + unit->size() > record.data() + record.size())) __builtin_trap();
            }
            if (!record.empty() && (record[0] & 2)) {
                now += (record[0] >> 2) % 4 * 0.05;
                assembler.expire();
            }
            if (assembler.pendingCount() > FrameAssembler::maxPending * FrameAssembler::maxSequences) __builtin_trap();
            if (assembler.bufferedBytes() > FrameAssembler::maxBufferedBytes) __builtin_trap();
        }
        if (assembler.stats().framesDelivered != static_cast<std::int64_t>(delivered)) __builtin_trap();
    }
    return 0;
}
