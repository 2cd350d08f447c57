#pragma once

// The box's side of the audio stream, made with the reference libraries (libopus for the packets, ISA-L
// for their parity) rather than with the code under test.

#include "platform/core/Bytes.hpp"
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>
#include <isa-l/erasure_code.h>
#include <opus_multistream.h>

namespace corvane::test::audio {

inline Bytes audioDatagram(std::uint16_t sequence, std::uint32_t timestamp, ByteView payload) {
    Bytes d{0x80, 97, static_cast<std::uint8_t>(sequence >> 8), static_cast<std::uint8_t>(sequence),
            static_cast<std::uint8_t>(timestamp >> 24), static_cast<std::uint8_t>(timestamp >> 16),
            static_cast<std::uint8_t>(timestamp >> 8), static_cast<std::uint8_t>(timestamp), 0, 0, 0, 0};
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}

inline Bytes fecDatagram(std::uint8_t index, std::uint16_t base, ByteView payload) {
    Bytes d(24, 0);
    d[0] = 0x80, d[1] = 127, d[12] = index, d[14] = static_cast<std::uint8_t>(base >> 8), d[15] = static_cast<std::uint8_t>(base);
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}

// Rows 4 and 5 of the systematic Vandermonde matrix on the points 0, 1, 2, 4, 8, 16 (the Vandermonde
// matrix times the inverse of its top 4 x 4), made with ISA-L's field.
inline std::array<std::array<std::uint8_t, 4>, 2> vandermondeParityRows() {
    const std::uint8_t points[6] = {0, 1, 2, 4, 8, 16};
    std::uint8_t v[6][4];
    for (int i = 0; i < 6; ++i)
        for (int j = 0, power = 1; j < 4; ++j, power = gf_mul(static_cast<std::uint8_t>(power), points[i]))
            v[i][j] = static_cast<std::uint8_t>(power);
    std::uint8_t topInverse[16];
    if (gf_invert_matrix(&v[0][0], topInverse, 4) != 0) throw std::runtime_error("singular Vandermonde top");
    std::array<std::array<std::uint8_t, 4>, 2> rows{};
    for (int r = 0; r < 2; ++r)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k) rows[r][j] ^= gf_mul(v[4 + r][k], topInverse[k * 4 + j]);
    return rows;
}

// Parity of one block as the box makes it: every data shard padded with zeros to the longest.
inline std::array<Bytes, 2> isalParity(std::array<Bytes, 4> data) {
    std::size_t length = 0;
    for (const auto& d : data) length = std::max(length, d.size());
    for (auto& d : data) d.resize(length, 0);
    std::array<Bytes, 2> parity{Bytes(length), Bytes(length)};
    auto rows = vandermondeParityRows();
    std::uint8_t tables[4 * 2 * 32];
    ec_init_tables(4, 2, rows[0].data(), tables); // the two rows lie back to back
    std::uint8_t* in[4] = {data[0].data(), data[1].data(), data[2].data(), data[3].data()};
    std::uint8_t* out[2] = {parity[0].data(), parity[1].data()};
    ec_encode_data(static_cast<int>(length), 4, 2, tables, in, out);
    return parity;
}

// A constant-bitrate Opus stream (tones and a little noise) at 48 kHz for 2, 6 or 8 channels.
struct OpusStream {
    int channels = 0, streams = 0, coupled = 0;
    std::vector<std::uint8_t> mapping;
    std::vector<Bytes> packets;
    // The DESCRIBE attribute that announces this layout.
    std::string surroundParams() const {
        std::string text = "a=fmtp:97 surround-params=" + std::to_string(channels) + std::to_string(streams) +
                           std::to_string(coupled);
        for (auto m : mapping) text += std::to_string(m);
        return text;
    }
    static OpusStream make(int channels, int count, int frameSize = 240) {
        OpusStream s;
        s.channels = channels;
        s.mapping.resize(static_cast<std::size_t>(channels));
        int error = 0;
        OpusMSEncoder* encoder = opus_multistream_surround_encoder_create(
            48000, channels, channels > 2 ? 1 : 0, &s.streams, &s.coupled, s.mapping.data(),
            OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
        if (encoder == nullptr || error != OPUS_OK) throw std::runtime_error("opus encoder refused");
        opus_multistream_encoder_ctl(encoder, OPUS_SET_VBR(0));
        opus_multistream_encoder_ctl(encoder, OPUS_SET_BITRATE(64000 * channels));
        std::vector<float> pcm(static_cast<std::size_t>(frameSize * channels));
        std::uint32_t noise = 12345;
        for (int p = 0; p < count; ++p) {
            for (std::size_t i = 0; i < pcm.size(); ++i) {
                noise = noise * 1103515245u + 12345u;
                const auto c = static_cast<int>(i) % channels;
                const double t = (p * frameSize + static_cast<int>(i) / channels) / 48000.0;
                pcm[i] = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * (220.0 + 110.0 * c) * t) +
                                            0.05 * ((noise >> 16) / 32768.0 - 1.0));
            }
            Bytes packet(4000);
            const int n = opus_multistream_encode_float(encoder, pcm.data(), frameSize, packet.data(), 4000);
            if (n <= 0) throw std::runtime_error("opus encode failed");
            packet.resize(static_cast<std::size_t>(n));
            s.packets.push_back(std::move(packet));
        }
        opus_multistream_encoder_destroy(encoder);
        return s;
    }
};

// libopus decoding a sequence on its own: a packet, or concealment of 5 ms for an absent one.
class ReferenceDecoder {
public:
    explicit ReferenceDecoder(const OpusStream& s) : channels_(s.channels) {
        int error = 0;
        decoder_ = opus_multistream_decoder_create(48000, s.channels, s.streams, s.coupled, s.mapping.data(), &error);
        if (decoder_ == nullptr || error != OPUS_OK) throw std::runtime_error("opus decoder refused");
    }
    ~ReferenceDecoder() { opus_multistream_decoder_destroy(decoder_); }
    ReferenceDecoder(const ReferenceDecoder&) = delete;
    std::vector<float> decode(const Bytes* packet) {
        std::vector<float> out(static_cast<std::size_t>(5760 * channels_));
        const int n = packet ? opus_multistream_decode_float(decoder_, packet->data(), static_cast<int>(packet->size()),
                                                             out.data(), 5760, 0)
                             : opus_multistream_decode_float(decoder_, nullptr, 0, out.data(), 240, 0);
        if (n < 0) throw std::runtime_error("reference decode failed");
        out.resize(static_cast<std::size_t>(n * channels_));
        return out;
    }

private:
    int channels_;
    OpusMSDecoder* decoder_;
};

} // namespace corvane::test::audio
