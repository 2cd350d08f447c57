#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"
#include "platform/crypto/AesGcm.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::stream {

// Seals outgoing and opens incoming control messages with AES-128-GCM under the session key.
//
// Plain message:              Sealed message:
//   0  u16  type                0  u16  marker, always 1
//   2  u16  payload length      2  u16  4 + 16 + ciphertext length
//   4  ...  payload             4  u32  sequence number
//                               8  16   GCM tag
//                              24  ...  ciphertext of the whole plain message
// All integers little-endian. The nonce comes from the sequence number in one of two styles (see iv()).
//
// A value type, but not thread-safe: each copy owns its own cipher contexts. The control thread owns the
// channel's copy.
class ControlCrypto {
public:
    enum class IVStyle { v1, v2 };
    static constexpr std::array<IVStyle, 2> allIVStyles{IVStyle::v1, IVStyle::v2};
    static std::optional<IVStyle> ivStyleFromRaw(std::string_view raw);
    static std::string_view rawValue(IVStyle style);

    // No description text: where one is logged, the case name is written (toString).
    // `tooLong` refuses a payload whose length would not fit the 16-bit length field.
    class Error final : public corvane::Error {
    public:
        enum class Kind { tooShort, notEncrypted, badLength, authentication, tooLong };
        explicit Error(Kind kind) : kind(kind) {}
        Kind kind;
    };
    static std::string_view toString(Error::Kind kind);

    struct Opened {
        std::uint16_t type = 0;
        Bytes payload;
        std::uint32_t seq = 0;
        IVStyle style = IVStyle::v2;
        bool operator==(const Opened&) const = default;
    };

    static constexpr std::size_t headerSize = 24;      // marker, length, sequence number, tag
    static constexpr std::size_t sealedOverhead = 28;  // the header plus the plain message's own 4 bytes
    static constexpr std::size_t maxPlainPayload = 65535;
    static constexpr std::size_t maxSealedPayload = 65511;

    // Throws platform::CryptoError for a key other than 16 bytes.
    ControlCrypto(ByteView key, IVStyle ivStyle);

    const Bytes& key() const { return gcm_.key(); }
    IVStyle ivStyle; // used for sealing and tried first when opening

    // Throws Error(tooLong) past 65535 payload bytes.
    static Bytes plain(std::uint16_t type, ByteView payload);
    // Seals with `ivStyle`; the client passes fromHost false. Throws Error(tooLong) past 65511 payload bytes,
    // Error(authentication) if the cipher refuses (which a 16-byte key and these nonces never make it do).
    Bytes seal(std::uint16_t type, ByteView payload, std::uint32_t seq, bool fromHost);
    // Opens a sealed message, trying `ivStyle` first and then the other style; `style` of the result tells
    // which one worked, and `ivStyle` itself is left as it was. Throws Error with the first failing check.
    Opened open(ByteView data, bool fromHost);

    // v1: 16 bytes, byte 0 = seq mod 256, the rest zero (the same both ways, repeats every 256 messages).
    // v2: 12 bytes, seq as u32 LE, zeros, byte 10 'H' from the host or 'C' from the client, byte 11 'C'.
    static Bytes iv(std::uint32_t seq, IVStyle style, bool fromHost);

private:
    // The nonce without allocating: returns how many bytes of `out` it uses.
    static std::size_t fillIv(std::array<std::uint8_t, 16>& out, std::uint32_t seq, IVStyle style, bool fromHost);

    platform::AesGcm gcm_;
    Bytes scratch_; // reused decryption buffer
};

} // namespace corvane::stream
