#include "engine/session/ControlCrypto.hpp"

#include "engine/session/LittleEndian.hpp"

#include <algorithm>
#include <span>

namespace corvane::stream {

std::optional<ControlCrypto::IVStyle> ControlCrypto::ivStyleFromRaw(std::string_view raw) {
    if (raw == "v1") return IVStyle::v1;
    if (raw == "v2") return IVStyle::v2;
    return std::nullopt;
}

std::string_view ControlCrypto::rawValue(IVStyle style) { return style == IVStyle::v1 ? "v1" : "v2"; }

std::string_view ControlCrypto::toString(Error::Kind kind) {
    switch (kind) {
    case Error::Kind::tooShort: return "tooShort";
    case Error::Kind::notEncrypted: return "notEncrypted";
    case Error::Kind::badLength: return "badLength";
    case Error::Kind::authentication: return "authentication";
    case Error::Kind::tooLong: return "tooLong";
    }
    return "unknown";
}

ControlCrypto::ControlCrypto(ByteView key, IVStyle ivStyle) : ivStyle(ivStyle), gcm_(key) {}

Bytes ControlCrypto::plain(std::uint16_t type, ByteView payload) {
    if (payload.size() > maxPlainPayload) throw Error(Error::Kind::tooLong);
    Bytes out;
    out.reserve(4 + payload.size());
    putU16LE(out, type);
    putU16LE(out, static_cast<std::uint16_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::size_t ControlCrypto::fillIv(std::array<std::uint8_t, 16>& out, std::uint32_t seq, IVStyle style,
                                  bool fromHost) {
    out.fill(0);
    if (style == IVStyle::v1) {
        out[0] = static_cast<std::uint8_t>(seq & 0xFF);
        return 16;
    }
    for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(seq >> (8 * i));
    out[10] = fromHost ? 0x48 : 0x43;
    out[11] = 0x43;
    return 12;
}

Bytes ControlCrypto::iv(std::uint32_t seq, IVStyle style, bool fromHost) {
    std::array<std::uint8_t, 16> nonce{};
    const std::size_t n = fillIv(nonce, seq, style, fromHost);
    return Bytes(nonce.begin(), nonce.begin() + static_cast<std::ptrdiff_t>(n));
}

Bytes ControlCrypto::seal(std::uint16_t type, ByteView payload, std::uint32_t seq, bool fromHost) {
    if (payload.size() > maxSealedPayload) throw Error(Error::Kind::tooLong);
    const std::size_t plainSize = 4 + payload.size();
    Bytes out(headerSize + plainSize);
    out[0] = 0x01;
    out[1] = 0x00;
    const auto length = static_cast<std::uint16_t>(plainSize + 20);
    out[2] = static_cast<std::uint8_t>(length);
    out[3] = static_cast<std::uint8_t>(length >> 8);
    for (int i = 0; i < 4; ++i) out[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(seq >> (8 * i));

    // The plain message is written where the ciphertext goes and encrypted in place.
    std::uint8_t* body = out.data() + headerSize;
    body[0] = static_cast<std::uint8_t>(type);
    body[1] = static_cast<std::uint8_t>(type >> 8);
    body[2] = static_cast<std::uint8_t>(payload.size());
    body[3] = static_cast<std::uint8_t>(payload.size() >> 8);
    std::copy(payload.begin(), payload.end(), body + 4);

    std::array<std::uint8_t, 16> nonce{};
    const std::size_t nonceSize = fillIv(nonce, seq, ivStyle, fromHost);
    const std::span<std::uint8_t> inPlace(body, plainSize);
    if (!gcm_.seal(ByteView(nonce.data(), nonceSize), inPlace, inPlace,
                   std::span<std::uint8_t, 16>(out.data() + 8, 16)))
        throw Error(Error::Kind::authentication);
    return out;
}

ControlCrypto::Opened ControlCrypto::open(ByteView data, bool fromHost) {
    if (data.size() < sealedOverhead) throw Error(Error::Kind::tooShort);
    if (u16LE(data, 0) != 1) throw Error(Error::Kind::notEncrypted);
    if (u16LE(data, 2) != data.size() - 4) throw Error(Error::Kind::badLength);
    const std::uint32_t seq = u32LE(data, 4);
    const std::span<const std::uint8_t, 16> tag(data.data() + 8, 16);
    const ByteView cipher = data.subspan(headerSize);

    const IVStyle order[2] = {ivStyle, ivStyle == IVStyle::v1 ? IVStyle::v2 : IVStyle::v1};
    scratch_.resize(cipher.size());
    for (IVStyle style : order) {
        std::array<std::uint8_t, 16> nonce{};
        const std::size_t nonceSize = fillIv(nonce, seq, style, fromHost);
        if (!gcm_.open(ByteView(nonce.data(), nonceSize), cipher, tag, scratch_)) continue;
        if (scratch_.size() < 4) continue;
        Opened result;
        result.type = u16LE(scratch_, 0);
        // A length field larger than what is there is cut to what is there; bytes beyond it are ignored.
        const std::size_t count = std::min<std::size_t>(u16LE(scratch_, 2), scratch_.size() - 4);
        result.payload.assign(scratch_.begin() + 4, scratch_.begin() + 4 + static_cast<std::ptrdiff_t>(count));
        result.seq = seq;
        result.style = style;
        return result;
    }
    throw Error(Error::Kind::authentication);
}

} // namespace corvane::stream
