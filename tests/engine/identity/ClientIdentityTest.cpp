#include "engine/pairing/identity/ClientIdentity.hpp"
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include "engine/pairing/identity/Hex.hpp"
#include "engine/pairing/identity/PairingCrypto.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

using namespace std::chrono;

const std::string kLabel = "Corvane Stream Client";

Bytes hexBytes(std::initializer_list<const char*> pieces) {
    Bytes out;
    for (const char* piece : pieces) {
        const Bytes bytes = *bytesFromHex(piece);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

TEST(ClientCertificate, IsTheFixedLayoutAroundSerialKeyAndSignature) {
    const auto key = platform::PrivateKey::generateRsa(2048);
    const Bytes pkcs1 = key.publicKeyPkcs1();
    for (int made = 0; made < 8; ++made) {
        const Bytes der = ClientIdentity::selfSignedCertificate(kLabel, pkcs1, key, sys_days{year{2026} / December / 5});
        ASSERT_GT(der.size(), 300u);
        // The serial is 16 random bytes read as a positive integer: only its first byte's top bit is cleared.
        ASSERT_EQ(der.at(13), 0x02);
        const std::size_t serialSize = der.at(14);
        ASSERT_LE(serialSize, 16u);
        ASSERT_FALSE(der.at(15) & 0x80);
        if (serialSize < 16) continue;  // a leading zero byte (1 in 128) shortens every length; draw again
        const Bytes serial(der.begin() + 15, der.begin() + 31);
        const Bytes signature(der.end() - 256, der.end());
        const Bytes name = hexBytes({"3020311E301C06035504030C15", "436F7276616E652053747265616D20436C69656E74"});
        const Bytes sha256WithRsa = hexBytes({"300D06092A864886F70D01010B0500"});
        Bytes tbs = hexBytes({"308201B0", "A003020102", "0210"});
        for (const Bytes& piece :
             {serial, sha256WithRsa, name,
              hexBytes({"301E", "170D", "3236313230343030303030305A", "170D", "3436313133303030303030305A"}), name,
              hexBytes({"30820122", "300D06092A864886F70D0101010500", "0382010F00"}), pkcs1})
            tbs.insert(tbs.end(), piece.begin(), piece.end());
        Bytes expected = hexBytes({"308202C8"});
        for (const Bytes& piece : {tbs, sha256WithRsa, hexBytes({"0382010100"}), signature})
            expected.insert(expected.end(), piece.begin(), piece.end());
        EXPECT_EQ(hex(der), hex(expected));
        EXPECT_TRUE(PairingCrypto::verify(tbs, signature, der));
        EXPECT_NE(ClientIdentity::selfSignedCertificate(kLabel, pkcs1, key, sys_days{year{2026} / December / 5}), der);
        // From 6 January 2030 on, the end of validity falls in 2050: GeneralizedTime, with the start still UTCTime.
        const Bytes late = ClientIdentity::selfSignedCertificate(kLabel, pkcs1, key, sys_days{year{2030} / January / 6});
        const Bytes validity = hexBytes({"3020", "170D", "3330303130353030303030305A", "180F", "32303530303130313030303030305A"});
        EXPECT_NE(std::search(late.begin(), late.end(), validity.begin(), validity.end()), late.end()) << hex(late);
        return;
    }
    FAIL() << "no 16-byte serial in 8 certificates";
}

TEST(ClientCertificate, PemAndUniqueIdAreDerivedFromTheDer) {
    Bytes der(49);
    for (std::size_t i = 0; i < der.size(); ++i) der[i] = static_cast<std::uint8_t>(i);
    const ClientIdentity identity{{}, der, std::nullopt};
    EXPECT_EQ(identity.certificatePEM(),
              "-----BEGIN CERTIFICATE-----\nAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\n"
              "MA==\n-----END CERTIFICATE-----\n");
    EXPECT_EQ(identity.uniqueID(), "7509FE148E2C426E");
}

class IdentityStore : public ::testing::Test {
protected:
    std::size_t files(const std::string& suffix) const {
        std::error_code ec;
        return static_cast<std::size_t>(std::count_if(std::filesystem::directory_iterator(keys.folder(), ec), {},
                                                       [&](const auto& e) { return e.path().string().ends_with(suffix); }));
    }
    test::EngineLogCapture log;
    test::TempDir dir;
    platform::KeyStore keys{dir.path() / "keys"};
};

TEST_F(IdentityStore, CreatesOnceClearingLeftoversThenLoadsTheSameIdentity) {
    // A key stored under the label whose certificate was never saved: an unfinished creation.
    platform::KeyStore writable = keys;
    ASSERT_EQ(writable.addPrivateKey(platform::PrivateKey::generateRsa(2048), kLabel, bytesOf(kLabel)), 0);
    const ClientIdentityStore store(kLabel, keys);
    EXPECT_FALSE(store.load().has_value());
    const ClientIdentity created = store.loadOrCreate();
    EXPECT_EQ(log.all(), std::vector<std::string>{"[engine] pair: creating this Mac's client certificate (" + kLabel + ")"});
    EXPECT_TRUE(created.secIdentity.has_value());
    EXPECT_TRUE(created.privateKey.matchesCertificate(created.certificateDER));
    EXPECT_EQ(files(".key.pem"), 1u);
    EXPECT_EQ(files(".cert.pem"), 1u);
    // A new store over the same folder, as after a restart: nothing logged or written.
    const ClientIdentity again = ClientIdentityStore(kLabel, platform::KeyStore(keys.folder())).loadOrCreate();
    EXPECT_EQ(again.certificateDER, created.certificateDER);
    EXPECT_EQ(log.all().size(), 1u);
    EXPECT_EQ(files(".pem"), 2u);
    // Another label keeps its own identity; removing ours leaves it, and the next request makes a new one.
    const ClientIdentityStore other("Other Client", keys);
    const ClientIdentity otherIdentity = other.loadOrCreate();
    store.remove();
    EXPECT_FALSE(store.load().has_value());
    EXPECT_NE(store.loadOrCreate().uniqueID(), created.uniqueID());
    EXPECT_EQ(other.load()->certificateDER, otherIdentity.certificateDER);
    EXPECT_EQ(files(".pem"), 4u);
}

TEST_F(IdentityStore, AnUnreadableStoreFailsWithoutDeletingOrCreating) {
    std::filesystem::create_directories(dir.path());
    std::ofstream(keys.folder()) << "not a folder";
    const auto error = test::errorOf<ClientIdentity::Error>([&] { ClientIdentityStore(kLabel, keys).loadOrCreate(); });
    ASSERT_TRUE(error.has_value());
    EXPECT_STREQ(error->what(), "keychain read identity failed (-20)");
    EXPECT_EQ(error->kind, ClientIdentity::Error::Kind::keychain);
    EXPECT_TRUE(log.all().empty());
    EXPECT_TRUE(std::filesystem::is_regular_file(keys.folder()));
}

} // namespace
} // namespace corvane::stream
