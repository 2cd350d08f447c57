#include "engine/video/AnnexB.hpp"
#include <optional>
#include <gtest/gtest.h>

namespace corvane::stream {
namespace {

using Codec = StreamConfig::Codec;

// A payload with the 8-byte frame header: type 1, host time, "last length" L, then the rest.
Bytes withHeader(std::uint16_t hostTenths, std::uint16_t lastLength, const Bytes& rest) {
    Bytes p{1, static_cast<std::uint8_t>(hostTenths), static_cast<std::uint8_t>(hostTenths >> 8), 0xEE,
        static_cast<std::uint8_t>(lastLength), static_cast<std::uint8_t>(lastLength >> 8), 0xEE, 0xEE};
    p.insert(p.end(), rest.begin(), rest.end());
    return p;
}

TEST(AnnexBTest, NalUnitsAndTheStartCodeAtTheEnd) {
    const Bytes stream{0x00, 0x00, 0x00, 0x01, 0x67, 0xAA, 0x00, 0x00, 0x01, 0x68, 0xBB};
    EXPECT_EQ(AnnexB::nalUnits(stream), (std::vector<Bytes>{{0x67, 0xAA}, {0x68, 0xBB}}));
    EXPECT_EQ(AnnexB::nalUnitViews(stream).size(), 2u);
    // Bytes before the first start code are not a unit; back-to-back start codes make no empty unit.
    const Bytes messy{0xFF, 0x12, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x41, 0x00, 0x00, 0x00, 0x01, 0x42};
    EXPECT_EQ(AnnexB::nalUnits(messy), (std::vector<Bytes>{{0x41}, {0x42}}));
    EXPECT_TRUE(AnnexB::nalUnits(Bytes{0x65, 0x00, 0x00}).empty());
    EXPECT_TRUE(AnnexB::nalUnits(Bytes{}).empty());
    EXPECT_TRUE(AnnexB::hasNalUnit(messy));
    EXPECT_FALSE(AnnexB::hasNalUnit(Bytes{0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01}));
    // A start code in the last three bytes is not found. (The search limit: the access unit cases.)
    EXPECT_EQ(AnnexB::firstStartCode(Bytes{0xAB, 0x00, 0x00, 0x01}, 10), std::nullopt);
}

TEST(AnnexBTest, AccessUnitWithFrameHeaderUsesTheLastPacketLength) {
    Bytes rest{0x00, 0x00, 0x01, 0x65};
    rest.resize(1100, 0x77);
    const Bytes payload = withHeader(123, 100, rest);
    EXPECT_DOUBLE_EQ(AnnexB::hostProcessingMs(payload), 12.3);
    // L = 100 of a 1000-byte last shard: the unit ends 900 bytes before the end of the payload.
    EXPECT_EQ(AnnexB::accessUnit(payload, 1000), Bytes(rest.begin(), rest.end() - 900));
}

TEST(AnnexBTest, AccessUnitFallbacksAndRefusals) {
    Bytes padded{0x00, 0x00, 0x01, 0x65, 0x11, 0x22};
    const Bytes unit = padded;
    padded.resize(padded.size() + 50, 0);
    const Bytes three{0xAA, 0xBB, 0xCC, 0x00, 0x00, 0x01, 0x65, 0x10};
    const Bytes four{0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0x00, 0x01, 0x65, 0x10};
    Bytes noHeader(20, 0x55);
    noHeader.insert(noHeader.end(), {0x00, 0x00, 0x00, 0x01, 0x41, 0x9A});
    noHeader.resize(noHeader.size() + 30, 0);
    Bytes tooFar(64, 0x55);
    tooFar.insert(tooFar.end(), {0x00, 0x00, 0x01, 0x41, 0x9A});
    struct Case {
        const char* what;
        Bytes payload;
        std::int64_t lastShard;
        std::optional<Bytes> expected;
    };
    const Case cases[] = {
        {"L = 0 cuts trailing zeros", withHeader(0, 0, padded), 56, unit},
        {"L above the last shard", withHeader(0, 57, padded), 56, unit},
        {"last shard unknown", withHeader(0, 10, padded), 0, unit},
        {"nothing but zeros", withHeader(0, 0, Bytes(40, 0)), 40, std::nullopt},
        {"end before the unit begins", withHeader(0, 1, padded), 60000, std::nullopt},
        {"three filler bytes", withHeader(0, 0, three), 0, three},
        {"four filler bytes", withHeader(0, 0, four), 0, std::nullopt},
        {"no frame header", noHeader, 0, Bytes{0x00, 0x00, 0x00, 0x01, 0x41, 0x9A}},
        {"start code too far", tooFar, 0, std::nullopt},
        {"too short for a frame header", Bytes{0x01, 0x00, 0x00, 0x01, 0x41}, 0, Bytes{0x00, 0x00, 0x01, 0x41}},
        {"empty", Bytes{}, 0, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(AnnexB::accessUnit(c.payload, c.lastShard), c.expected) << c.what;
    EXPECT_DOUBLE_EQ(AnnexB::hostProcessingMs(noHeader), 0);
}

TEST(AnnexBTest, KeyframeRulePerCodec) {
    auto unitOf = [](std::initializer_list<std::uint8_t> heads) {
        Bytes au;
        for (auto head : heads) au.insert(au.end(), {0x00, 0x00, 0x00, 0x01, head, 0x80});
        return au;
    };
    EXPECT_TRUE(AnnexB::isKeyframe(unitOf({0x67, 0x68, 0x65}), Codec::h264));
    EXPECT_FALSE(AnnexB::isKeyframe(unitOf({0x41}), Codec::h264));
    EXPECT_FALSE(AnnexB::isKeyframe(Bytes{}, Codec::h264));
    for (int type : {16, 19, 21}) EXPECT_TRUE(AnnexB::isKeyframe(unitOf({std::uint8_t(type << 1)}), Codec::hevc)) << type;
    for (int type : {1, 15, 22, 32}) EXPECT_FALSE(AnnexB::isKeyframe(unitOf({std::uint8_t(type << 1)}), Codec::hevc)) << type;
    EXPECT_TRUE(AnnexB::isKeyframe(unitOf({0x40, 0x42, 19 << 1}), Codec::av1));
}

} // namespace
} // namespace corvane::stream
