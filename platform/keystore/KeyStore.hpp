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
// Calls answer with a status: 0 for success, kItemNotFound when nothing matches, kDuplicateItem when the
// certificate is already stored, otherwise -errno (-EINVAL for an empty key or bytes that are no certificate).
// Files are written under a temporary name and renamed, so a crash never leaves half an item. Each item keeps
// its label (and a key its application tag) in header lines above the PEM block. Files that cannot be read
// or parsed are skipped, never deleted. Calls keep no state between them and may run on any thread.
class KeyStore final {
public:
    static constexpr std::int32_t kItemNotFound = -25300;
    static constexpr std::int32_t kDuplicateItem = -25299;

    struct Identity {
        Bytes certificateDER;
        PrivateKey privateKey;
    };

    explicit KeyStore(std::filesystem::path folder);
    // $XDG_DATA_HOME/Corvane/keys, or ~/.local/share/Corvane/keys when that is unset or not absolute.
    static std::filesystem::path standardFolder();

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
