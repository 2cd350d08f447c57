#include "platform/keystore/KeyStore.hpp"
#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <regex>
#include <gtest/gtest.h>
#include "tests/platform/crypto/TestCertificate.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

class KeyStoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        a = test::makeTestCertificate(made.path(), "Client A");
        b = test::makeTestCertificate(made.path(), "Client B");
    }
    static inline test::TempDir made;
    static inline test::TestCertificate a, b;
    const PrivateKey &keyA = a.key, &keyB = b.key;
    const Bytes &certA = a.der, &certB = b.der;
    // File name -> content, in name order.
    std::vector<std::pair<std::string, std::string>> files() const {
        std::vector<std::pair<std::string, std::string>> out;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(store.folder(), ec))
            out.emplace_back(entry.path().filename(), test::readWhole(entry.path()));
        std::sort(out.begin(), out.end());
        return out;
    }
    std::size_t identityCount() const {
        std::vector<KeyStore::Identity> identities;
        return store.identities(identities) == 0 ? identities.size() : 0;
    }
    test::TempDir dir;
    KeyStore store{dir.path() / "Corvane" / "keys"};
};

TEST_F(KeyStoreTest, ItemsArePrivatePemFilesOfThePinnedLayout) {
    ASSERT_EQ(store.addPrivateKey(keyA, "Corvane Stream Client", bytesOf("Corvane Stream Client")), 0);
    ASSERT_EQ(store.addCertificate(certA, "line\nbreak 100%"), 0);
    const auto items = files();
    ASSERT_EQ(items.size(), 2u);
    // Named to sort by creation: nanoseconds, process, counter.
    const std::regex name(R"(\d{20}-\d+-\d+\.(key|cert)\.pem)");
    for (const auto& [file, content] : items) {
        EXPECT_TRUE(std::regex_match(file, name)) << file;
        EXPECT_EQ(fs::status(store.folder() / file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    }
    EXPECT_EQ(items[0].second, "Label: Corvane Stream Client\n"
                               "Application-Tag: 436F7276616E652053747265616D20436C69656E74\n" +
                                   test::readWhole(a.keyPem));
    // A label cannot break the header lines.
    EXPECT_EQ(items[1].second, "Label: line%0Abreak 100%25\n" + test::readWhole(a.certificatePem));
    EXPECT_EQ(fs::status(store.folder()).permissions(), fs::perms::owner_all);
    // Files of that layout written by hand are read as items.
    KeyStore other(dir.path() / "other");
    fs::create_directories(other.folder());
    std::ofstream(other.folder() / "1.key.pem") << "Application-Tag: 7461672D62\n" << test::readWhole(b.keyPem);
    std::ofstream(other.folder() / "2.cert.pem") << test::readWhole(b.certificatePem);
    std::vector<KeyStore::Identity> identities;
    ASSERT_EQ(other.identities(identities), 0);
    ASSERT_EQ(identities.size(), 1u);
    EXPECT_EQ(identities[0].certificateDER, certB);
    EXPECT_EQ(other.deleteKeys(bytesOf("tag-b")), 0);
}

TEST_F(KeyStoreTest, PairsCertificatesWithKeysOldestFirstAndDeletesOnlyWhatMatches) {
    std::vector<KeyStore::Identity> identities{{certA, keyA}};
    std::vector<Bytes> certificates{certA};
    EXPECT_EQ(store.identities(identities), -25300);  // errSecItemNotFound: a missing folder holds nothing
    EXPECT_EQ(store.certificates(certificates), KeyStore::kItemNotFound);
    EXPECT_EQ(std::pair(identities.size(), certificates.size()), std::pair(std::size_t(0), std::size_t(0)));
    EXPECT_EQ(store.deleteCertificate(certA), KeyStore::kItemNotFound);
    ASSERT_EQ(store.addPrivateKey(keyB, "B", bytesOf("tag-b")), 0);
    ASSERT_EQ(store.addCertificate(certA, "A"), 0);
    ASSERT_EQ(store.addPrivateKey(keyA, "A", bytesOf("tag-a")), 0);
    EXPECT_EQ(identityCount(), 1u);  // only A is whole
    ASSERT_EQ(store.addCertificate(certB, "B"), 0);
    ASSERT_EQ(store.identities(identities), 0);
    ASSERT_EQ(identities.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(identities[i].certificateDER, i == 0 ? certA : certB);
        EXPECT_TRUE(identities[i].privateKey.matchesCertificate(identities[i].certificateDER));
    }
    EXPECT_EQ(store.addCertificate(certA, "again"), KeyStore::kDuplicateItem);
    EXPECT_EQ(store.addCertificate(bytesOf("junk"), "junk"), -EINVAL);
    EXPECT_EQ(store.addPrivateKey(PrivateKey(), "none", {}), -EINVAL);
    EXPECT_EQ(store.deleteKeys(bytesOf("tag-")), KeyStore::kItemNotFound);
    EXPECT_EQ(store.deleteKeys(bytesOf("tag-a")), 0);
    EXPECT_EQ(store.deleteKeys(bytesOf("tag-a")), KeyStore::kItemNotFound);
    EXPECT_EQ(store.deleteCertificate(certB), 0);
    EXPECT_EQ(store.identities(identities), KeyStore::kItemNotFound);
    ASSERT_EQ(store.certificates(certificates), 0);
    EXPECT_EQ(certificates, std::vector<Bytes>{certA});
}

TEST_F(KeyStoreTest, DamagedFilesAreSkippedButKeptAndAFileForAFolderIsAnError) {
    ASSERT_EQ(store.addPrivateKey(keyA, "A", bytesOf("tag-a")), 0);
    ASSERT_EQ(store.addCertificate(certA, "A"), 0);
    std::ofstream(store.folder() / "00000000000000000000-1-0.cert.pem") << "Label: x\n-----BEGIN CERTIFICATE-----\n!!\n";
    std::ofstream(store.folder() / "00000000000000000000-1-0.key.pem") << "Application-Tag: 7461672D61\nno key\n";
    std::ofstream(store.folder() / ".99999999999999999999-1-0.cert.pem.tmp") << "half";
    EXPECT_EQ(identityCount(), 1u);
    EXPECT_EQ(files().size(), 5u);
    KeyStore blocked(dir.path() / "Corvane" / "keys" / "00000000000000000000-1-0.key.pem");
    std::vector<KeyStore::Identity> identities;
    std::vector<Bytes> certificates;
    EXPECT_EQ((std::array{blocked.identities(identities), blocked.certificates(certificates), blocked.deleteKeys(bytesOf("x"))}),
              (std::array{-ENOTDIR, -ENOTDIR, -ENOTDIR}));
    EXPECT_LT(blocked.addCertificate(certB, "B"), 0);
    ::setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(KeyStore::standardFolder(), fs::path("/data/home/Corvane/keys"));
    ::unsetenv("XDG_DATA_HOME");
}

} // namespace
} // namespace corvane::platform
