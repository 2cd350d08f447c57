#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/session/StreamConfig.hpp"
#include "platform/core/Bytes.hpp"

namespace corvane::stream {

// Annex B byte-stream helpers: NAL units behind 00 00 01 or 00 00 00 01 start codes. Offsets count from the
// first byte of the bytes given. Pure functions, callable from any thread.
//
// A frame payload (the frame's data shards without their 16-byte shard headers, concatenated) may begin
// with an 8-byte frame header:
//
//   0      1      3      4      6      8
//   +------+------+------+------+------+---------------------------------
//   | 0x01 | host | ---- | last | ---- | access unit, then padding ...
//   |      | time |      | len  |      |
//   +------+------+------+------+------+---------------------------------
//   host time: u16 LE, units of 0.1 ms; last len: u16 LE, meaningful bytes of the last packet's payload.
//
// It is there when the payload has at least 9 bytes and its first byte is 1. Without it the payload is the
// access unit, maybe behind filler bytes and followed by zero padding.
namespace AnnexB {

// The host's processing time for the frame in milliseconds, 0 when the payload has no frame header.
double hostProcessingMs(ByteView framePayload);

// Offset of the first start code that begins below `within` and ends before the last byte of `data`
// (a start code in the last three bytes is not found).
std::optional<std::size_t> firstStartCode(ByteView data, std::size_t within);

// Where the access unit lies inside the payload: a view into `framePayload`, or none when the payload holds
// no usable access unit. `lastShardPayload` is the payload length of the frame's last data shard (0 when
// unknown); with the header's length field it tells where the last packet's padding begins.
std::optional<ByteView> accessUnitRange(ByteView framePayload, std::int64_t lastShardPayload);

// The same as a copy.
std::optional<Bytes> accessUnit(ByteView framePayload, std::int64_t lastShardPayload);

// The NAL units of an Annex B stream, without start codes, in order. Bytes before the first start code are
// ignored and empty units left out. A zero byte before a three-byte start code belongs to the start code.
std::vector<ByteView> nalUnitViews(ByteView stream);
std::vector<Bytes> nalUnits(ByteView stream);
// Whether the stream holds at least one NAL unit.
bool hasNalUnit(ByteView stream);

// True when some NAL unit is an IDR slice (H.264 type 5) or, for the other codecs, an IRAP picture
// (HEVC types 16 to 21).
bool isKeyframe(ByteView accessUnit, StreamConfig::Codec codec);

}  // namespace AnnexB

}  // namespace corvane::stream
