#include "engine/session/SessionKeys.hpp"
#include "engine/session/StreamConfig.hpp"

#include <gtest/gtest.h>

namespace corvane::stream {
namespace {

TEST(SessionKeys, AreFreshSixteenByteKeysEveryTime) {
    const auto a = SessionKeys::random();
    const auto b = SessionKeys::random();
    EXPECT_EQ(a.key.size(), 16u);
    EXPECT_NE(a, b);
}

TEST(StreamConfig, CodecsComeOnlyFromTheirRawValues) {
    EXPECT_EQ(StreamConfig::codecFromRaw(0), StreamConfig::Codec::h264);
    EXPECT_EQ(StreamConfig::codecFromRaw(2), StreamConfig::Codec::av1);
    EXPECT_FALSE(StreamConfig::codecFromRaw(3));
    EXPECT_FALSE(StreamConfig::codecFromRaw(-1));
    StreamConfig config(1920, 1080, 60, 20000, StreamConfig::Codec::h264, 2, 1392);
    StreamConfig hdr = config;
    hdr.hdr = true;
    EXPECT_NE(config, hdr);
}

} // namespace
} // namespace corvane::stream
