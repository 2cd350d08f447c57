#include "platform/keystore/KeyStore.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/platform/crypto/TestCertificate.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

class KeyStoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keyA = PrivateKey::generateRsa(2048);
        keyB = PrivateKey::generateRsa(2048);
        certA = test::makeTestCertificate(keyA, "Client A");
        certB = test::makeTestCertificate(keyB, "Client B");
    }
    static inline PrivateKey keyA;
    static inline PrivateKey keyB;
    static inline Bytes certA;
    static inline Bytes certB;

    test::TempDir dir;
    KeyStore store{dir.path() / "Corvane" / "keys"};

    std::vector<fs::path> files() const {
        std::vector<fs::path> out;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(store.folder(), ec)) out.push_back(entry.path());
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(KeyStoreTest, PairsCertificatesWithTheirKeysOldestFirst) {
    std::vector<KeyStore::Identity> identities{{certA, keyA}};
    std::vector<Bytes> certificates{certA};
    EXPECT_EQ(store.identities(identities), KeyStore::kItemNotFound);  // a missing folder holds nothing
    EXPECT_TRUE(identities.empty());
    EXPECT_EQ(store.certificates(certificates), KeyStore::kItemNotFound);
    EXPECT_TRUE(certificates.empty());
    EXPECT_EQ(store.deleteCertificate(certA), KeyStore::kItemNotFound);

    ASSERT_EQ(store.addPrivateKey(keyB, "B", bytesOf("tag-b")), 0);
    ASSERT_EQ(store.addCertificate(certA, "A"), 0);
    ASSERT_EQ(store.addPrivateKey(keyA, "A", bytesOf("tag-a")), 0);
    ASSERT_EQ(store.identities(identities), 0);  // only A is whole
    ASSERT_EQ(identities.size(), 1u);
    EXPECT_EQ(identities[0].certificateDER, certA);
    EXPECT_TRUE(identities[0].privateKey.matchesCertificate(certA));

    ASSERT_EQ(store.addCertificate(certB, "B"), 0);
    ASSERT_EQ(store.identities(identities), 0);
    ASSERT_EQ(identities.size(), 2u);
    EXPECT_EQ(identities[0].certificateDER, certA);
    EXPECT_EQ(identities[1].certificateDER, certB);
    EXPECT_TRUE(identities[1].privateKey.matchesCertificate(certB));

    ASSERT_EQ(store.certificates(certificates), 0);
    EXPECT_EQ(certificates, (std::vector<Bytes>{certA, certB}));
}

TEST_F(KeyStoreTest, ItemsArePrivateFilesWithTheirLabelAndTagAndNoLeftovers) {
    ASSERT_EQ(store.addPrivateKey(keyA, "Corvane Stream Client", bytesOf("Corvane Stream Client")), 0);
    ASSERT_EQ(store.addCertificate(certA, "line\nbreak 100%"), 0);
    const auto paths = files();
    ASSERT_EQ(paths.size(), 2u);
    struct stat info {};
    ASSERT_EQ(::stat(store.folder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    std::string all;
    for (const fs::path& path : paths) {
        EXPECT_NE(path.filename().string().front(), '.') << path;
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << path;
        std::ifstream file(path);
        std::ostringstream text;
        text << file.rdbuf();
        all += text.str();
    }
    EXPECT_NE(all.find("Label: Corvane Stream Client\n"), std::string::npos);
    EXPECT_NE(all.find("Application-Tag: 436F7276616E652053747265616D20436C69656E74\n"), std::string::npos);
    // A label cannot break the header lines.
    EXPECT_NE(all.find("Label: line%0Abreak 100%25\n"), std::string::npos);
}

TEST_F(KeyStoreTest, DeletesOnlyWhatMatches) {
    ASSERT_EQ(store.addPrivateKey(keyA, "A", bytesOf("tag-a")), 0);
    ASSERT_EQ(store.addPrivateKey(keyB, "B", bytesOf("tag-b")), 0);
    ASSERT_EQ(store.addCertificate(certA, "A"), 0);
    ASSERT_EQ(store.addCertificate(certB, "B"), 0);

    EXPECT_EQ(store.deleteKeys(bytesOf("tag-")), KeyStore::kItemNotFound);
    EXPECT_EQ(store.deleteKeys(bytesOf("tag-a")), 0);
    EXPECT_EQ(store.deleteKeys(bytesOf("tag-a")), KeyStore::kItemNotFound);
    std::vector<KeyStore::Identity> identities;
    ASSERT_EQ(store.identities(identities), 0);
    ASSERT_EQ(identities.size(), 1u);
    EXPECT_EQ(identities[0].certificateDER, certB);

    EXPECT_EQ(store.deleteCertificate(certB), 0);
    EXPECT_EQ(store.identities(identities), KeyStore::kItemNotFound);
    std::vector<Bytes> certificates;
    ASSERT_EQ(store.certificates(certificates), 0);
    EXPECT_EQ(certificates, std::vector<Bytes>{certA});
}

TEST_F(KeyStoreTest, RefusesBadItemsAndSkipsDamagedFilesButKeepsThem) {
    ASSERT_EQ(store.addPrivateKey(keyA, "A", bytesOf("tag-a")), 0);
    ASSERT_EQ(store.addCertificate(certA, "A"), 0);
    EXPECT_EQ(store.addCertificate(certA, "again"), KeyStore::kDuplicateItem);
    EXPECT_EQ(store.addCertificate(bytesOf("junk"), "junk"), -EINVAL);
    EXPECT_EQ(store.addPrivateKey(PrivateKey(), "none", {}), -EINVAL);
    EXPECT_EQ(files().size(), 2u);

    std::ofstream(store.folder() / "00000000000000000000-1-0.cert.pem") << "Label: x\n-----BEGIN CERTIFICATE-----\n!!\n";
    std::ofstream(store.folder() / "00000000000000000000-1-0.key.pem") << "Application-Tag: 7461672D61\nno key\n";
    std::ofstream(store.folder() / ".99999999999999999999-1-0.cert.pem.tmp") << "half";
    std::vector<KeyStore::Identity> identities;
    ASSERT_EQ(store.identities(identities), 0);
    ASSERT_EQ(identities.size(), 1u);
    EXPECT_EQ(identities[0].certificateDER, certA);
    EXPECT_EQ(files().size(), 5u);
}

TEST_F(KeyStoreTest, AFolderThatCannotBeListedIsAnErrorNotAnEmptyStore) {
    fs::create_directories(dir.path() / "Corvane");
    std::ofstream(store.folder()) << "a file where the folder should be";
    std::vector<KeyStore::Identity> identities;
    std::vector<Bytes> certificates;
    EXPECT_EQ(store.identities(identities), -ENOTDIR);
    EXPECT_EQ(store.certificates(certificates), -ENOTDIR);
    EXPECT_EQ(store.deleteKeys(bytesOf("x")), -ENOTDIR);
    EXPECT_LT(store.addCertificate(certA, "A"), 0);
}

TEST(KeyStoreFolder, FollowsXdgDataHomeWhenAbsolute) {
    const std::optional<std::string> home = std::getenv("HOME") ? std::optional<std::string>(std::getenv("HOME")) : std::nullopt;
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(KeyStore::standardFolder(), fs::path("/data/home/Corvane/keys"));
    ::setenv("XDG_DATA_HOME", "relative/path", 1);
    EXPECT_EQ(KeyStore::standardFolder(), fs::path("/home/someone/.local/share/Corvane/keys"));
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(KeyStore::standardFolder(), fs::path("/home/someone/.local/share/Corvane/keys"));
    home ? ::setenv("HOME", home->c_str(), 1) : ::unsetenv("HOME");
}

} // namespace
} // namespace corvane::platform
