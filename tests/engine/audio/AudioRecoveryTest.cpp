// libopus packets with ISA-L parity, lost and reordered, must decode to exactly libopus's own samples
// (and its concealment where a packet could not be rebuilt).

#include "engine/audio/AudioReassembler.hpp"
#include "engine/audio/OpusAudioDecoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "tests/support/AudioStreams.hpp"

namespace corvane::stream {
namespace {

using test::audio::audioDatagram;
using test::audio::fecDatagram;

class AudioRecoveryTest : public ::testing::TestWithParam<int> {};

TEST_P(AudioRecoveryTest, RebuiltStreamDecodesToTheSentSamples) {
    const int channels = GetParam();
    constexpr int blocks = 12;
    const std::uint16_t first = 65520; // the sequence numbers wrap inside the stream
    const auto stream = test::audio::OpusStream::make(channels, blocks * 4);
    for (const auto& p : stream.packets) ASSERT_EQ(p.size(), stream.packets[0].size()) << "not constant bitrate";

    // Losses per block: none, one (either parity), two (both parity), three (beyond parity), and lost
    // parity beside a lost packet.
    const std::set<int> lostPackets{5, 10, 12, 13, 17, 18, 19, 22, 29, 30, 40};
    const std::set<std::pair<int, int>> lostParity{{2, 0}, {5, 1}, {7, 0}};
    const std::set<int> unrecoverable{17, 18, 19, 29, 30}; // block 4 lost three; block 7 two with one parity

    std::vector<Bytes> datagrams;
    for (int b = 0; b < blocks; ++b) {
        std::array<Bytes, 4> data;
        for (int j = 0; j < 4; ++j) data[j] = stream.packets[static_cast<std::size_t>(b * 4 + j)];
        const auto parity = test::audio::isalParity(data);
        const auto base = static_cast<std::uint16_t>(first + b * 4);
        for (int j = 0; j < 4; ++j)
            if (!lostPackets.contains(b * 4 + j))
                datagrams.push_back(audioDatagram(static_cast<std::uint16_t>(base + j), (b * 4u + j) * 240u, data[j]));
        for (std::uint8_t p = 0; p < 2; ++p)
            if (!lostParity.contains({b, p})) datagrams.push_back(fecDatagram(p, base, parity[p]));
    }
    // The network swaps neighbours now and then.
    for (std::size_t i = 3; i + 1 < datagrams.size(); i += 7) std::swap(datagrams[i], datagrams[i + 1]);
    // Flush the last block's window with packets after the stream.
    const auto tail = test::audio::OpusStream::make(channels, 8);

    AudioReassembler reassembler;
    auto decoder = OpusAudioDecoder::make(*OpusLayout::from(stream.surroundParams(), channels, true));
    ASSERT_NE(decoder, nullptr);
    std::vector<float> played;
    reassembler.onFrame = [&](std::optional<ByteView> payload) {
        const auto samples = decoder->decode(payload);
        played.insert(played.end(), samples.begin(), samples.end());
    };
    for (const auto& d : datagrams) reassembler.add(d);
    for (int i = 0; i < 8; ++i)
        reassembler.add(audioDatagram(static_cast<std::uint16_t>(first + blocks * 4 + i), 0, tail.packets[i]));

    test::audio::ReferenceDecoder reference(stream);
    std::vector<float> expected;
    for (int i = 0; i < blocks * 4; ++i) {
        const auto samples = reference.decode(unrecoverable.contains(i) ? nullptr : &stream.packets[i]);
        expected.insert(expected.end(), samples.begin(), samples.end());
    }
    ASSERT_GE(played.size(), expected.size());
    played.resize(expected.size());
    EXPECT_TRUE(played == expected) << channels << " channels: samples differ";
    // Reordering lets parity rebuild a packet still on its way now and then; that counts too.
    EXPECT_GE(reassembler.stats().recovered, static_cast<std::int64_t>(lostPackets.size() - unrecoverable.size()));
    EXPECT_EQ(reassembler.stats().lost, static_cast<std::int64_t>(unrecoverable.size()));
}

INSTANTIATE_TEST_SUITE_P(Layouts, AudioRecoveryTest, ::testing::Values(2, 6, 8),
                         [](const auto& info) { return std::to_string(info.param) + "ch"; });

} // namespace
} // namespace corvane::stream
