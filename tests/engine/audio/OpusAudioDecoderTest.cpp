#include "engine/audio/OpusAudioDecoder.hpp"
#include <gtest/gtest.h>
#include <algorithm>
#include "tests/support/AudioStreams.hpp"

namespace corvane::stream {
namespace {

TEST(OpusLayoutTest, ReadsOneDigitPerFieldAndPicksTheLayoutForTheChannelCount) {
    EXPECT_EQ(OpusLayout::parse(" 2 1 1 0 1 "), (OpusLayout{2, 1, 1, {0, 1}}));
    EXPECT_EQ(OpusLayout::stereo, (OpusLayout{2, 1, 1, {0, 1}}));
    for (const std::string& bad : {std::string("21101 9"), std::string("0"), std::string("011"), std::string(9999, '7')})
        EXPECT_EQ(OpusLayout::parse(bad), std::nullopt) << bad.substr(0, 10);
    const std::string body = "a=fmtp:97 surround-params=642014235\r\n"
                             "a=rtpmap:97 opus/48000/2\r\n"
                             "a=fmtp:97 surround-params= 6 6 0 0 1 2 3 4 5 \t\r\n"
                             "a=fmtp:97 surround-params=21101\n";
    EXPECT_EQ(OpusLayout::from(body, 6, true), (OpusLayout{6, 6, 0, {0, 1, 2, 3, 4, 5}}));
    EXPECT_EQ(OpusLayout::from(body, 6, false), (OpusLayout{6, 4, 2, {0, 1, 4, 2, 3, 5}}));
    EXPECT_EQ(OpusLayout::from(body, 2, true), OpusLayout::stereo);
    EXPECT_EQ(OpusLayout::from(body, 8, true), std::nullopt);
    EXPECT_EQ(OpusLayout::from("Surround-params=21101", 2, true), std::nullopt);
    EXPECT_EQ(OpusLayout::from(body, 6, true)->mappingText(), "012345");
}

TEST(OpusAudioDecoderTest, RefusesLayoutsLibopusCannotUseAndDecodesTheOthersAsItDoes) {
    for (const auto& bad : {OpusLayout{2, 0, 0, {0, 1}}, OpusLayout{6, 4, 2, {0, 1}}, OpusLayout{2, 1, 2, {0, 1}},
                            OpusLayout{2, 1, 1, {0, 9}}})
        EXPECT_EQ(OpusAudioDecoder::make(bad), nullptr) << bad.mappingText();
    // libopus as the reference, for every layout and packet length up to 120 ms; concealment and bad packets
    // keep the player's clock running with 5 ms.
    for (int channels : {2, 6, 8}) {
        for (int frameSize : {240, 960, 5760}) {
            const auto stream = test::audio::OpusStream::make(channels, 2, frameSize);
            auto decoder = OpusAudioDecoder::make(*OpusLayout::from(stream.surroundParams(), channels, true));
            ASSERT_NE(decoder, nullptr);
            test::audio::ReferenceDecoder reference(stream);
            for (const auto& packet : stream.packets) {
                const auto samples = decoder->decode(ByteView(packet));
                EXPECT_EQ(std::vector<float>(samples.begin(), samples.end()), reference.decode(&packet))
                    << channels << " channels, " << frameSize;
            }
            const auto lost = decoder->decode(std::nullopt);
            EXPECT_EQ(std::vector<float>(lost.begin(), lost.end()), reference.decode(nullptr));
        }
    }
    auto decoder = OpusAudioDecoder::make(*OpusLayout::parse("642014235"));
    EXPECT_EQ(decoder->decode(ByteView()).size(), 240u * 6);
    const Bytes junk{0xFF, 0xFF, 0xFF};
    const auto bad = decoder->decode(ByteView(junk));
    EXPECT_EQ(bad.size(), 240u * 6);
    EXPECT_TRUE(std::all_of(bad.begin(), bad.end(), [](float f) { return f == 0.0f; }));
}

} // namespace
} // namespace corvane::stream
