#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/crypto/Crypto.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::platform {

// Private keys and certificates kept as PEM files of mode 0600 in one folder, in place of a keychain.
// Calls answer with a status: 0 for success, kItemNotFound when nothing matches, otherwise -errno.
// Files are written under a temporary name and renamed, so a crash never leaves half an item.
class KeyStore final {
public:
    static constexpr std::int32_t kItemNotFound = -25300;

    struct Identity {
        Bytes certificateDER;
        PrivateKey privateKey;
    };

    explicit KeyStore(std::filesystem::path folder);
    static std::filesystem::path standardFolder();  // $XDG_DATA_HOME/Corvane/keys

    std::int32_t addPrivateKey(const PrivateKey& key, std::string_view label, ByteView applicationTag);
    std::int32_t addCertificate(ByteView certificateDER, std::string_view label);
    // Certificates paired with a stored private key of the same public key, oldest first.
    std::int32_t identities(std::vector<Identity>& out) const;
    std::int32_t certificates(std::vector<Bytes>& out) const;
    std::int32_t deleteCertificate(ByteView certificateDER);
    std::int32_t deleteKeys(ByteView applicationTag);

    const std::filesystem::path& folder() const { return folder_; }

private:
    std::filesystem::path folder_;
};

} // namespace corvane::platform
