#include "engine/pairing/identity/ClientIdentity.hpp"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "engine/EngineLog.hpp"
#include "engine/pairing/identity/DER.hpp"
#include "engine/pairing/identity/Hex.hpp"
#include "engine/pairing/identity/PairingCrypto.hpp"
#include "engine/pairing/identity/X509.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

using namespace std::chrono;

const std::string kLabel = "Corvane Stream Client";

Bytes concat(std::initializer_list<ByteView> pieces) {
    Bytes out;
    for (const ByteView piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

class Certificate : public ::testing::Test {
protected:
    static void SetUpTestSuite() { key = platform::PrivateKey::generateRsa(2048); }
    static inline platform::PrivateKey key;

    static Bytes make(sys_seconds now, const std::string& name = kLabel) {
        return ClientIdentity::selfSignedCertificate(name, key.publicKeyPkcs1(), key, now);
    }
    // tbsCertificate's seven fields, and the certificate's three parts.
    static std::vector<DER::Node> parts(const Bytes& certificate) {
        return DER::children(DER::read(certificate).first.body);
    }
    static std::vector<DER::Node> fields(const Bytes& certificate) { return DER::children(parts(certificate)[0].body); }
};

TEST_F(Certificate, HasTheFixedLayoutAndASignatureOverTheWholeTbs) {
    const Bytes certificate = make(sys_days{year{2026} / December / 5});
    const auto top = parts(certificate);
    ASSERT_EQ(top.size(), 3u);
    const auto tbs = fields(certificate);
    ASSERT_EQ(tbs.size(), 7u);

    const Bytes algorithm = *bytesFromHex("300D06092A864886F70D01010B0500");
    EXPECT_EQ(DER::tlv(tbs[0].tag, tbs[0].body), *bytesFromHex("A003020102"));
    EXPECT_EQ(DER::tlv(tbs[2].tag, tbs[2].body), algorithm);
    EXPECT_EQ(DER::tlv(top[1].tag, top[1].body), algorithm);
    const Bytes name = concat({*bytesFromHex("30203" "11E301C0603550403" "0C15"), bytesOf(kLabel)});
    EXPECT_EQ(DER::tlv(tbs[3].tag, tbs[3].body), name);
    EXPECT_EQ(DER::tlv(tbs[5].tag, tbs[5].body), name);
    // Valid from a day back for 7300 days, leap days included.
    EXPECT_EQ(tbs[4].body, concat({Bytes{0x17, 0x0D}, bytesOf("261204000000Z"), Bytes{0x17, 0x0D},
                                   bytesOf("461130000000Z")}));
    const auto keyInfo = DER::children(tbs[6].body);
    ASSERT_EQ(keyInfo.size(), 2u);
    EXPECT_EQ(DER::tlv(keyInfo[0].tag, keyInfo[0].body), *bytesFromHex("300D06092A864886F70D0101010500"));
    EXPECT_EQ(keyInfo[1].tag, 0x03);
    EXPECT_EQ(keyInfo[1].body, concat({Bytes{0x00}, key.publicKeyPkcs1()}));

    // The signature covers tbsCertificate with its tag and length.
    const Bytes signed_ = DER::tlv(top[0].tag, top[0].body);
    const Bytes signature = X509::signatureOfDER(certificate);
    EXPECT_EQ(signature.size(), 256u);
    EXPECT_EQ(top[2].body, concat({Bytes{0x00}, signature}));
    EXPECT_TRUE(PairingCrypto::verify(signed_, signature, certificate));
    EXPECT_TRUE(key.matchesCertificate(certificate));
}

TEST_F(Certificate, SerialsAreFreshAndNeverNegative) {
    std::set<Bytes> serials;
    for (int i = 0; i < 24; ++i) {
        const DER::Node serial = fields(make(sys_days{year{2026} / June / 1}))[1];
        EXPECT_EQ(serial.tag, 0x02);
        ASSERT_FALSE(serial.body.empty());
        EXPECT_LE(serial.body.size(), 16u);
        EXPECT_EQ(serial.body[0] & 0x80, 0);
        serials.insert(serial.body);
    }
    EXPECT_EQ(serials.size(), 24u);
}

class IdentityStore : public ::testing::Test {
protected:
    void SetUp() override {
        EngineLog::setSink([this](const std::string& line) {
            std::lock_guard guard(mutex);
            lines.push_back(line);
        });
    }
    void TearDown() override { EngineLog::setSink(nullptr); }
    std::vector<std::string> logged() {
        std::lock_guard guard(mutex);
        return lines;
    }
    std::size_t filesEndingIn(const std::string& suffix) const {
        std::size_t count = 0;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(keys.folder(), ec))
            if (entry.path().string().ends_with(suffix)) ++count;
        return count;
    }

    test::TempDir dir;
    platform::KeyStore keys{dir.path() / "keys"};
    std::mutex mutex;
    std::vector<std::string> lines;
};

TEST_F(IdentityStore, CreatesOnceThenLoadsTheSameIdentity) {
    const ClientIdentityStore store(kLabel, keys);
    EXPECT_FALSE(store.load().has_value());
    const ClientIdentity created = store.loadOrCreate();
    EXPECT_EQ(logged(), std::vector<std::string>{"[engine] pair: creating this Mac's client certificate (" + kLabel + ")"});
    EXPECT_TRUE(created.secIdentity.has_value());
    EXPECT_TRUE(created.privateKey.matchesCertificate(created.certificateDER));
    EXPECT_EQ(platform::Crypto::certificateCommonName(created.certificateDER), kLabel);
    EXPECT_EQ(filesEndingIn(".key.pem"), 1u);
    EXPECT_EQ(filesEndingIn(".cert.pem"), 1u);

    // A new store over the same folder, as after a restart.
    const ClientIdentity again = ClientIdentityStore(kLabel, platform::KeyStore(keys.folder())).loadOrCreate();
    EXPECT_EQ(again.certificateDER, created.certificateDER);
    EXPECT_EQ(logged().size(), 1u);
    EXPECT_EQ(filesEndingIn(".pem"), 2u);

    // Labels keep their own identities; forgetting removes only this label's, and the next request makes a new one.
    const ClientIdentityStore other("Other Client", keys);
    const ClientIdentity otherIdentity = other.loadOrCreate();
    EXPECT_NE(created.certificateDER, otherIdentity.certificateDER);
    store.remove();
    EXPECT_FALSE(store.load().has_value());
    EXPECT_NE(store.loadOrCreate().uniqueID(), created.uniqueID());
    EXPECT_EQ(other.load()->certificateDER, otherIdentity.certificateDER);
    EXPECT_EQ(filesEndingIn(".pem"), 4u);
    store.remove();
    store.remove();  // never fails
}

TEST_F(IdentityStore, LeftoversOfAnUnfinishedCreationAreClearedFirst) {
    // A key stored under the label whose certificate was never saved.
    platform::KeyStore writable = keys;
    ASSERT_EQ(writable.addPrivateKey(platform::PrivateKey::generateRsa(2048), kLabel, bytesOf(kLabel)), 0);
    const ClientIdentity identity = ClientIdentityStore(kLabel, keys).loadOrCreate();
    EXPECT_EQ(filesEndingIn(".key.pem"), 1u);
    EXPECT_TRUE(identity.privateKey.matchesCertificate(identity.certificateDER));
}

TEST_F(IdentityStore, AnUnreadableStoreFailsWithoutDeletingOrCreating) {
    std::filesystem::create_directories(dir.path());
    std::ofstream(keys.folder()) << "not a folder";
    const ClientIdentityStore store(kLabel, keys);
    try {
        store.loadOrCreate();
        ADD_FAILURE();
    } catch (const ClientIdentity::Error& error) {
        EXPECT_EQ(error.kind, ClientIdentity::Error::Kind::keychain);
        EXPECT_EQ(error.operation, "read identity");
        EXPECT_EQ(error.status, -ENOTDIR);
    }
    EXPECT_TRUE(logged().empty());
    EXPECT_TRUE(std::filesystem::is_regular_file(keys.folder()));
}

} // namespace
} // namespace corvane::stream
