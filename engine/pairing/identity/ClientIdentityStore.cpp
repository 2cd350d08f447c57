#include "engine/pairing/identity/ClientIdentity.hpp"

#include <vector>

#include "engine/EngineLog.hpp"

namespace corvane::stream {
namespace {

// The stored identities whose certificate's common name is exactly the label, in the store's order.
std::vector<platform::KeyStore::Identity> identitiesLabelled(const std::string& label,
                                                             const platform::KeyStore& store) {
    std::vector<platform::KeyStore::Identity> all;
    const std::int32_t status = store.identities(all);
    if (status == platform::KeyStore::kItemNotFound) return {};
    if (status != 0) throw ClientIdentity::Error::keychain("read identity", status);
    std::vector<platform::KeyStore::Identity> kept;
    for (auto& identity : all)
        if (platform::Crypto::certificateCommonName(identity.certificateDER) == label) kept.push_back(std::move(identity));
    return kept;
}

} // namespace

std::optional<ClientIdentity> ClientIdentityStore::load() const {
    for (const auto& identity : identitiesLabelled(label, keyStore_)) {
        if (!identity.privateKey || identity.certificateDER.empty()) continue;
        return ClientIdentity{identity.privateKey, identity.certificateDER, identity};
    }
    return std::nullopt;
}

ClientIdentity ClientIdentityStore::loadOrCreate() const {
    if (auto existing = load()) return *existing;
    EngineLog::write("pair: creating this Mac's client certificate (" + label + ")");
    // Leftovers of an earlier, unfinished creation would otherwise pair with nothing or with the wrong key.
    remove();
    platform::KeyStore store = keyStore_;
    const auto [key, certificate] = ClientIdentity::generate(label, label, &store);
    if (!platform::Crypto::isCertificate(certificate)) throw ClientIdentity::Error::missingAfterSave();
    if (const std::int32_t status = store.addCertificate(certificate, label); status != 0) {
        remove();
        throw ClientIdentity::Error::keychain("save certificate", status);
    }
    auto saved = load();
    if (!saved) throw ClientIdentity::Error::missingAfterSave();
    return *saved;
}

void ClientIdentityStore::remove() const {
    platform::KeyStore store = keyStore_;
    std::vector<Bytes> certificates;
    store.certificates(certificates);
    for (const Bytes& certificate : certificates)
        if (platform::Crypto::certificateCommonName(certificate) == label) store.deleteCertificate(certificate);
    store.deleteKeys(bytesOf(label));
}

} // namespace corvane::stream
