#include "boxsim/media/AudioSource.hpp"

#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>
#include <isa-l/erasure_code.h>
#include <opus_multistream.h>

#include "boxsim/media/AudioLayout.hpp"
#include "boxsim/media/AudioPacketizer.hpp"

namespace corvane::boxsim {
namespace {

// Choosing the announced layout is covered through MediaStreamer::forOffer (MediaStreamerTest).
TEST(AudioLayout, RefusesMalformedParameters) {
    EXPECT_EQ(AudioLayout::parse("211019"), std::nullopt);
    EXPECT_EQ(AudioLayout::parse("0"), std::nullopt);
    EXPECT_EQ(AudioLayout::fromSdp("a=fmtp:97 surround-params=21101\r\n", 4), std::nullopt);
}

struct Parsed {
    bool parity = false;
    std::uint16_t sequence = 0;   // audio: its own; parity: the block's base
    int index = 0;
    Bytes payload;
};

Parsed parse(const Bytes& d) {
    Parsed p;
    EXPECT_GE(d.size(), 13u);
    const int type = d[1] & 0x7F;
    if (type == 127) {
        EXPECT_GE(d.size(), 25u);
        p.parity = true;
        p.index = d[12];
        p.sequence = static_cast<std::uint16_t>(d[14] << 8 | d[15]);
        p.payload.assign(d.begin() + 24, d.end());
    } else {
        EXPECT_EQ(type, 97);
        p.sequence = static_cast<std::uint16_t>(d[2] << 8 | d[3]);
        p.payload.assign(d.begin() + 12, d.end());
    }
    return p;
}

// Zero crossings of one channel of interleaved samples.
int crossings(const std::vector<float>& pcm, int channels, int channel) {
    int n = 0;
    for (std::size_t i = static_cast<std::size_t>(channel + channels); i < pcm.size(); i += static_cast<std::size_t>(channels))
        if ((pcm[i - static_cast<std::size_t>(channels)] < 0) != (pcm[i] < 0)) ++n;
    return n;
}

class AudioSourceLayouts : public ::testing::TestWithParam<int> {};

// Encodes, packetises and decodes as a client would: every channel comes back with its own tone.
TEST_P(AudioSourceLayouts, PacketsDecodeToTheTonesOnEveryChannel) {
    const AudioLayout layout = AudioLayout::standard(GetParam());
    AudioSource source(layout);
    AudioPacketizer packetizer(0, 0x1234);
    std::vector<Parsed> datagrams;
    constexpr int kPackets = 84;  // 420 ms
    for (int i = 0; i < kPackets; ++i) {
        const Bytes opus = source.next();
        ASSERT_FALSE(opus.empty());
        for (const Bytes& d : packetizer.packetize(opus)) datagrams.push_back(parse(d));
    }
    ASSERT_EQ(datagrams.size(), static_cast<std::size_t>(kPackets + kPackets / 4 * 2));

    int error = 0;
    OpusMSDecoder* decoder = opus_multistream_decoder_create(48000, layout.channels, layout.streams, layout.coupled,
                                                             layout.mapping.data(), &error);
    ASSERT_EQ(error, OPUS_OK);
    std::vector<float> pcm;
    std::uint16_t expected = 0;
    for (const Parsed& p : datagrams) {
        if (p.parity) continue;
        EXPECT_EQ(p.sequence, expected++);
        std::vector<float> out(static_cast<std::size_t>(1440 * layout.channels));
        const int n = opus_multistream_decode_float(decoder, p.payload.data(), static_cast<opus_int32>(p.payload.size()),
                                                    out.data(), 1440, 0);
        ASSERT_EQ(n, 240) << "5 ms per packet";
        // The first packets carry the decoder's start-up; the tones are judged after them.
        if (p.sequence >= 4) pcm.insert(pcm.end(), out.begin(), out.begin() + n * layout.channels);
    }
    opus_multistream_decoder_destroy(decoder);

    const double seconds = static_cast<double>(pcm.size() / static_cast<std::size_t>(layout.channels)) / 48000.0;
    for (int c = 0; c < layout.channels; ++c) {
        // Each channel's pitch tells whether it arrived on its own output.
        EXPECT_NEAR(crossings(pcm, layout.channels, c), 2 * AudioSource::toneHz(c) * seconds, 4) << "channel " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, AudioSourceLayouts, ::testing::Values(2, 6, 8));

TEST(AudioPacketizer, ParityRebuildsAnyTwoLostPacketsOfABlock) {
    AudioPacketizer packetizer(6, 1);  // starts at 4: blocks line up with multiples of 4
    std::vector<Parsed> datagrams;
    std::vector<Bytes> sent;
    for (int i = 0; i < 8; ++i) {
        Bytes packet(37);
        for (std::size_t t = 0; t < packet.size(); ++t) packet[t] = static_cast<std::uint8_t>(i * 31 + t * 7 + 1);
        sent.push_back(packet);
        for (const Bytes& d : packetizer.packetize(packet)) datagrams.push_back(parse(d));
    }
    ASSERT_EQ(datagrams.size(), 12u);
    EXPECT_EQ(datagrams[0].sequence, 4);
    // After packets 4..7 come parity 0 and 1 naming base 4.
    EXPECT_TRUE(datagrams[4].parity && datagrams[4].index == 0 && datagrams[4].sequence == 4);
    EXPECT_TRUE(datagrams[5].parity && datagrams[5].index == 1 && datagrams[5].sequence == 4);

    // Rebuild each pair of lost packets of the first block with the library's matrix inversion.
    const Bytes* shards[6] = {&datagrams[0].payload, &datagrams[1].payload, &datagrams[2].payload,
                              &datagrams[3].payload, &datagrams[4].payload, &datagrams[5].payload};
    unsigned char generator[6 * 4] = {};
    for (int j = 0; j < 4; ++j) generator[j * 4 + j] = 1;
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 4; ++j) generator[(4 + i) * 4 + j] = AudioPacketizer::parityRows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
    for (int a = 0; a < 4; ++a)
        for (int b = a + 1; b < 4; ++b) {
            std::vector<int> rows;
            for (int s = 0; s < 6; ++s)
                if (s != a && s != b) rows.push_back(s);
            unsigned char sub[16], inverse[16];
            for (int r = 0; r < 4; ++r) std::copy_n(&generator[rows[static_cast<std::size_t>(r)] * 4], 4, &sub[r * 4]);
            ASSERT_EQ(gf_invert_matrix(sub, inverse, 4), 0) << a << "," << b;
            unsigned char wanted[8];
            std::copy_n(&inverse[a * 4], 4, wanted);
            std::copy_n(&inverse[b * 4], 4, wanted + 4);
            unsigned char tables[32 * 4 * 2];
            ec_init_tables(4, 2, wanted, tables);
            unsigned char* in[4];
            for (int r = 0; r < 4; ++r) in[r] = const_cast<unsigned char*>(shards[rows[static_cast<std::size_t>(r)]]->data());
            Bytes first(37), second(37);
            unsigned char* out[2] = {first.data(), second.data()};
            ec_encode_data(37, 4, 2, tables, in, out);
            EXPECT_EQ(first, sent[static_cast<std::size_t>(a)]);
            EXPECT_EQ(second, sent[static_cast<std::size_t>(b)]);
        }
}

} // namespace
} // namespace corvane::boxsim
