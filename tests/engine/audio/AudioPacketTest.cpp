#include "engine/audio/AudioPacket.hpp"

#include <gtest/gtest.h>

#include "AudioTestStreams.hpp"

namespace corvane::stream {
namespace {

using test::audio::audioDatagram;
using test::audio::fecDatagram;

TEST(AudioPacketTest, ParsesBothKindsAndRefusesShortOrForeignDatagrams) {
    // Sequence 0x1234, timestamp 0xA1B2C3D4, one-byte Opus payload: the shortest audio datagram.
    const Bytes audio = audioDatagram(0x1234, 0xA1B2C3D4, {0x5A});
    ASSERT_EQ(audio.size(), 13u);
    EXPECT_EQ(AudioPacket::parse(audio), AudioPacket::Kind(AudioPacket::Audio{0x1234, 0xA1B2C3D4, {0x5A}}));
    EXPECT_EQ(AudioPacket::parse(ByteView(audio).first(12)), std::nullopt);

    // The marker bit does not change the type.
    Bytes marked = audio;
    marked[1] = 0xE1;
    EXPECT_TRUE(std::holds_alternative<AudioPacket::Audio>(*AudioPacket::parse(marked)));

    // Parity index 1 for the block at 0xFFFC, base timestamp 7, one parity byte.
    const Bytes fec = fecDatagram(1, 0xFFFC, {0x99}, 7);
    ASSERT_EQ(fec.size(), 25u);
    EXPECT_EQ(AudioPacket::parse(fec), AudioPacket::Kind(AudioPacket::Fec{1, 0xFFFC, 7, {0x99}}));
    EXPECT_EQ(AudioPacket::parse(ByteView(fec).first(24)), std::nullopt);
    EXPECT_EQ(AudioPacket::parse(ByteView(fec).first(13)), std::nullopt);

    Bytes video = audio;
    video[1] = 96;
    EXPECT_EQ(AudioPacket::parse(video), std::nullopt);
    EXPECT_EQ(AudioPacket::parse({}), std::nullopt);
}

} // namespace
} // namespace corvane::stream
