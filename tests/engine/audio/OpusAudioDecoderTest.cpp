#include "engine/audio/OpusAudioDecoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "AudioTestStreams.hpp"

namespace corvane::stream {
namespace {

bool silent(std::span<const float> samples) {
    return std::all_of(samples.begin(), samples.end(), [](float f) { return f == 0.0f; });
}

TEST(OpusLayoutTest, ParsesOneDigitPerFieldAndPicksTheLayoutForTheChannelCount) {
    EXPECT_EQ(OpusLayout::parse(" 2 1 1 0 1 "), OpusLayout::stereo);
    using std::string;
    for (const string& bad : {string("21101 9"), string("0"), string("011"), string("21"), string(100000, '7')})
        EXPECT_EQ(OpusLayout::parse(bad), std::nullopt) << bad.substr(0, 10);

    const std::string body = "v=0\r\n"
                             "a=fmtp:97 surround-params=642014235\r\n"
                             "a=rtpmap:97 opus/48000/2\r\n"
                             "a=fmtp:97 surround-params= 6 6 0 0 1 2 3 4 5 \t\r\n"
                             "a=fmtp:97 surround-params=21101\n";
    EXPECT_EQ(OpusLayout::from(body, 6, true), (OpusLayout{6, 6, 0, {0, 1, 2, 3, 4, 5}}));
    EXPECT_EQ(OpusLayout::from(body, 6, false), (OpusLayout{6, 4, 2, {0, 1, 4, 2, 3, 5}}));
    EXPECT_EQ(OpusLayout::from(body, 2, true), OpusLayout::stereo);
    EXPECT_EQ(OpusLayout::from(body, 8, true), std::nullopt);
    EXPECT_EQ(OpusLayout::from("Surround-params=21101", 2, true), std::nullopt);
}

TEST(OpusAudioDecoderTest, RefusesLayoutsLibopusCannotUse) {
    EXPECT_EQ(OpusAudioDecoder::make(OpusLayout{2, 0, 0, {0, 1}}), nullptr);
    EXPECT_EQ(OpusAudioDecoder::make(OpusLayout{6, 4, 2, {0, 1}}), nullptr);     // mapping too short
    EXPECT_EQ(OpusAudioDecoder::make(OpusLayout{2, 1, 2, {0, 1}}), nullptr);     // more coupled than streams
    EXPECT_EQ(OpusAudioDecoder::make(OpusLayout{2, 1, 1, {0, 9}}), nullptr);     // no decoded channel 9
    EXPECT_NE(OpusAudioDecoder::make(*OpusLayout::parse("642014235")), nullptr);
}

TEST(OpusAudioDecoderTest, DecodesEveryPacketLengthUpTo120Ms) {
    for (int channels : {2, 6, 8}) {
        for (int frameSize : {240, 960, 2880, 5760}) {
            const auto stream = test::audio::OpusStream::make(channels, 2, frameSize);
            auto decoder = OpusAudioDecoder::make(*OpusLayout::from(stream.surroundParams(), channels, true));
            ASSERT_NE(decoder, nullptr);
            test::audio::ReferenceDecoder reference(stream);
            for (const auto& packet : stream.packets) {
                const auto samples = decoder->decode(ByteView(packet));
                EXPECT_EQ(samples.size(), static_cast<std::size_t>(frameSize * channels))
                    << channels << " channels, " << frameSize << " samples";
                EXPECT_EQ(std::vector<float>(samples.begin(), samples.end()), reference.decode(&packet));
            }
            EXPECT_FALSE(silent(decoder->decode(ByteView(stream.packets.back()))));
        }
    }
}

TEST(OpusAudioDecoderTest, LostPacketsAreConcealedAndBadOnesSilenced) {
    const auto stream = test::audio::OpusStream::make(6, 1);
    auto decoder = OpusAudioDecoder::make(*OpusLayout::from(stream.surroundParams(), 6, true));
    decoder->decode(ByteView(stream.packets[0]));
    EXPECT_EQ(decoder->decode(std::nullopt).size(), 240u * 6);
    EXPECT_EQ(decoder->decode(ByteView()).size(), 240u * 6);
    const Bytes junk{0xFF, 0xFF, 0xFF};
    const auto bad = decoder->decode(ByteView(junk));
    EXPECT_EQ(bad.size(), 240u * 6);
    EXPECT_TRUE(silent(bad));
}

} // namespace
} // namespace corvane::stream
