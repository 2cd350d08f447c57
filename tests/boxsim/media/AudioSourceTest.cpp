#include "boxsim/media/AudioSource.hpp"
#include <cstdint>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <opus_multistream.h>
#include "boxsim/media/AudioLayout.hpp"
#include "boxsim/media/AudioPacketizer.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::boxsim {
namespace {

using corvane::test::hexOf;

TEST(AudioPacketizer, ABlockGoesOutAsFourPacketsAndTwoParityPackets) {
    AudioPacketizer packetizer(6, 0x01020304);  // starts at 4: blocks line up with multiples of 4
    std::vector<Bytes> datagrams;
    for (const Bytes& opus : {Bytes{1, 2, 3}, Bytes{4, 5, 6}, Bytes{7, 8, 9}, Bytes{10, 11}})
        for (Bytes& d : packetizer.packetize(opus)) datagrams.push_back(std::move(d));
    // Payload type 97, sequence, timestamp in 48 kHz samples (240 per 5 ms packet), SSRC, the Opus packet.
    const std::vector<std::string> expected = {
        "80610004" "00000000" "01020304" "010203", "80610005" "000000F0" "01020304" "040506",
        "80610006" "000001E0" "01020304" "070809", "80610007" "000002D0" "01020304" "0A0B",
        // Payload type 127, parity sequence, block timestamp, SSRC | shard index, 97, base sequence 4, block
        // timestamp, SSRC | sum over GF(256) (0x11D) of rows 77 40 38 0E and C7 A7 0D 6C times the
        // packets, the short one padded with zeros.
        "807F0000" "00000000" "01020304" "00610004" "00000000" "01020304" "AE0CE1",
        "807F0001" "00000000" "01020304" "01610004" "00000000" "01020304" "DD09C4",
    };
    ASSERT_EQ(datagrams.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(hexOf(datagrams[i]), expected[i]) << i;
}

// Zero crossings of one channel of interleaved samples.
int crossings(const std::vector<float>& pcm, int channels, int channel) {
    int n = 0;
    const auto step = static_cast<std::size_t>(channels);
    for (std::size_t i = static_cast<std::size_t>(channel) + step; i < pcm.size(); i += step) n += (pcm[i - step] < 0) != (pcm[i] < 0);
    return n;
}

class AudioSourceLayouts : public ::testing::TestWithParam<int> {};

// Decoded as a client would with the announced layout, every channel carries its own tone.
TEST_P(AudioSourceLayouts, EveryChannelCarriesItsOwnTone) {
    const AudioLayout layout = AudioLayout::standard(GetParam());
    AudioSource source(layout);
    int error = 0;
    OpusMSDecoder* decoder = opus_multistream_decoder_create(48000, layout.channels, layout.streams, layout.coupled,
                                                             layout.mapping.data(), &error);
    ASSERT_EQ(error, OPUS_OK);
    std::vector<float> pcm;
    for (int i = 0; i < 84; ++i) {
        const Bytes opus = source.next();
        std::vector<float> out(static_cast<std::size_t>(1440 * layout.channels));
        const int n = opus_multistream_decode_float(decoder, opus.data(), static_cast<opus_int32>(opus.size()), out.data(), 1440, 0);
        EXPECT_EQ(n, 240) << "5 ms per packet";
        // The first packets carry the decoder's start-up; the tones are judged after them.
        if (i >= 4 && n > 0) pcm.insert(pcm.end(), out.begin(), out.begin() + n * layout.channels);
    }
    opus_multistream_decoder_destroy(decoder);
    const double seconds = static_cast<double>(pcm.size() / static_cast<std::size_t>(layout.channels)) / 48000.0;
    for (int c = 0; c < layout.channels; ++c)
        EXPECT_NEAR(crossings(pcm, layout.channels, c), 2 * AudioSource::toneHz(c) * seconds, 4) << "channel " << c;
}

INSTANTIATE_TEST_SUITE_P(Channels, AudioSourceLayouts, ::testing::Values(2, 6, 8));

} // namespace
} // namespace corvane::boxsim
