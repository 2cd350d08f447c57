#include "engine/video/AnnexB.hpp"

#include <algorithm>
#include <cstring>

#include "engine/session/LittleEndian.hpp"

namespace corvane::stream::AnnexB {

namespace {

constexpr std::size_t kFrameHeaderBytes = 8;

bool hasFrameHeader(ByteView payload)
{
    return payload.size() > kFrameHeaderBytes && payload[0] == 1;
}

// Offset just after the last non-zero byte at or after `from`; `from` when all of them are zero.
std::size_t endOfNonZero(ByteView data, std::size_t from)
{
    std::size_t end = data.size();
    while (end > from && data[end - 1] == 0) --end;
    return end;
}

// Offset of the first 00 00 01 at or after `from`, or the stream's length. Looks for the 01 byte with memchr
// first: slice data is long and start codes are few, so this is what keeps the scan cheap.
std::size_t findThreeByteCode(ByteView d, std::size_t from)
{
    const std::size_t n = d.size();
    std::size_t at = from + 2;
    while (at < n) {
        const void* hit = std::memchr(d.data() + at, 1, n - at);
        if (!hit) return n;
        const auto one = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - d.data());
        if (d[one - 1] == 0 && d[one - 2] == 0) return one - 2;
        at = one + 1;
    }
    return n;
}

// Calls visit(unit) for each non-empty NAL unit of the stream, in order, until it returns false.
template <typename Visit>
void forEachNalUnit(ByteView d, Visit&& visit)
{
    const std::size_t n = d.size();
    std::size_t i = findThreeByteCode(d, 0);
    while (i < n) {
        const std::size_t unitBegin = i + 3;
        const std::size_t code = findThreeByteCode(d, unitBegin);
        // A zero just before 00 00 01 makes it a four-byte start code, not a trailing byte of the unit.
        const std::size_t unitEnd = (code < n && d[code - 1] == 0 && code - 1 >= unitBegin) ? code - 1 : code;
        if (unitEnd > unitBegin && !visit(d.subspan(unitBegin, unitEnd - unitBegin))) return;
        i = code;
    }
}

}  // namespace

double hostProcessingMs(ByteView framePayload)
{
    if (!hasFrameHeader(framePayload)) return 0;
    return u16LE(framePayload, 1) / 10.0;
}

std::optional<std::size_t> firstStartCode(ByteView data, std::size_t within)
{
    if (data.size() < 4) return std::nullopt;
    const std::size_t limit = std::min(within, data.size() - 3);
    for (std::size_t i = 0; i < limit; ++i) {
        if (data[i] != 0 || data[i + 1] != 0) continue;
        if (data[i + 2] == 1 || (data[i + 2] == 0 && data[i + 3] == 1)) return i;
    }
    return std::nullopt;
}

std::optional<ByteView> accessUnitRange(ByteView p, std::int64_t lastShardPayload)
{
    if (hasFrameHeader(p)) {
        const std::int64_t length = static_cast<std::int64_t>(p.size());
        const std::int64_t meaningful = u16LE(p, 4);
        std::int64_t end = 0;
        if (lastShardPayload > 0 && meaningful != 0 && meaningful <= lastShardPayload) {
            end = length - (lastShardPayload - meaningful);
        } else {
            end = static_cast<std::int64_t>(endOfNonZero(p, kFrameHeaderBytes));
            if (end == static_cast<std::int64_t>(kFrameHeaderBytes)) return std::nullopt;
        }
        if (end <= static_cast<std::int64_t>(kFrameHeaderBytes)) return std::nullopt;
        const ByteView unit = p.subspan(kFrameHeaderBytes, static_cast<std::size_t>(end) - kFrameHeaderBytes);
        // The unit itself must open with a start code; a little filler is tolerated.
        if (!firstStartCode(unit, 4)) return std::nullopt;
        return unit;
    }
    const auto begin = firstStartCode(p, 64);
    if (!begin) return std::nullopt;
    const std::size_t end = endOfNonZero(p, 0);
    if (end <= *begin + 1) return std::nullopt;
    return p.subspan(*begin, end - *begin);
}

std::optional<Bytes> accessUnit(ByteView framePayload, std::int64_t lastShardPayload)
{
    const auto range = accessUnitRange(framePayload, lastShardPayload);
    if (!range) return std::nullopt;
    return Bytes(range->begin(), range->end());
}

std::vector<ByteView> nalUnitViews(ByteView stream)
{
    std::vector<ByteView> units;
    forEachNalUnit(stream, [&](ByteView unit) {
        units.push_back(unit);
        return true;
    });
    return units;
}

std::vector<Bytes> nalUnits(ByteView stream)
{
    std::vector<Bytes> units;
    forEachNalUnit(stream, [&](ByteView unit) {
        units.emplace_back(unit.begin(), unit.end());
        return true;
    });
    return units;
}

bool hasNalUnit(ByteView stream)
{
    bool found = false;
    forEachNalUnit(stream, [&](ByteView) {
        found = true;
        return false;
    });
    return found;
}

bool isKeyframe(ByteView accessUnit, StreamConfig::Codec codec)
{
    bool key = false;
    forEachNalUnit(accessUnit, [&](ByteView unit) {
        const std::uint8_t b = unit[0];
        if (codec == StreamConfig::Codec::h264) {
            key = (b & 0x1F) == 5;
        } else {
            const int type = (b >> 1) & 0x3F;
            key = type >= 16 && type <= 21;
        }
        return !key;
    });
    return key;
}

}  // namespace corvane::stream::AnnexB
