#include "engine/session/SessionKeys.hpp"
#include "engine/session/StreamConfig.hpp"

#include <gtest/gtest.h>

namespace corvane::stream {
namespace {

TEST(SessionKeys, AreFreshSixteenByteKeysAndCodecsComeOnlyFromKnownValues) {
    const auto a = SessionKeys::random();
    EXPECT_EQ(a.key.size(), 16u);
    EXPECT_NE(a, SessionKeys::random());
    EXPECT_EQ(StreamConfig::codecFromRaw(2), StreamConfig::Codec::av1);
    EXPECT_FALSE(StreamConfig::codecFromRaw(3));
    EXPECT_FALSE(StreamConfig::codecFromRaw(-1));
}

} // namespace
} // namespace corvane::stream
