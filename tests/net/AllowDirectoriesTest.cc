// The allow directories: which file admits a server by address or by key, and how broken
// files and missing folders are passed over.
#include <gtest/gtest.h>

#include <fstream>

#include "common/TempDir.h"
#include "crypto/CryptoLibrary.h"
#include "crypto/RsaKey.h"
#include "net/AllowDirectories.h"

namespace {

namespace fs = std::filesystem;

class AllowDirectoriesTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        crypto::CryptoLibrary::initialise();
        admitted = crypto::RsaKey::generate();
        other = crypto::RsaKey::generate();
    }

    void SetUp() override {
        fs::create_directories(serverAllow);
        fs::create_directories(backupAllow);
    }

    static void write(const fs::path& file, const std::string& text) {
        std::ofstream(file) << text;
    }

    static inline crypto::RsaKeyPtr admitted;
    static inline crypto::RsaKeyPtr other;
    test::TempDir dir;
    fs::path serverAllow = dir.path() / "server.allow";
    fs::path backupAllow = dir.path() / "backup.allow";
};

TEST_F(AllowDirectoriesTest, KeyIsFoundInEitherDirectoryPastBrokenFiles) {
    write(serverAllow / "10.0.0.9", "not a key");
    write(serverAllow / "10.0.0.8", other->publicPem());
    EXPECT_FALSE(Net::isKeyAllowed(*admitted, serverAllow, backupAllow));
    write(backupAllow / "10.0.0.7", admitted->publicPem());
    EXPECT_TRUE(Net::isKeyAllowed(*admitted, serverAllow, backupAllow));
}

TEST_F(AllowDirectoriesTest, MissingDirectoriesAdmitNobody) {
    EXPECT_FALSE(Net::isKeyAllowed(*admitted, dir.path() / "none", dir.path() / "neither"));
    EXPECT_EQ(
        Net::findAllowedKeyByAddress("127.0.0.1", dir.path() / "none", dir.path() / "neither"),
        nullptr);
}

TEST_F(AllowDirectoriesTest, AddressSelectsTheFileNamedAfterIt) {
    write(serverAllow / "10.0.0.1", other->publicPem());
    write(backupAllow / "127.0.0.1", admitted->publicPem());
    auto key = Net::findAllowedKeyByAddress("127.0.0.1", serverAllow, backupAllow);
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->samePublicKey(*admitted));

    // server.allow is searched first.
    write(serverAllow / "127.0.0.1", other->publicPem());
    key = Net::findAllowedKeyByAddress("127.0.0.1", serverAllow, backupAllow);
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->samePublicKey(*other));
}

TEST_F(AllowDirectoriesTest, UnreadableFileForTheAddressFallsThroughToTheNextDirectory) {
    write(serverAllow / "127.0.0.1",
          "-----BEGIN PUBLIC KEY-----\ngarbage\n-----END PUBLIC KEY-----\n");
    EXPECT_EQ(Net::findAllowedKeyByAddress("127.0.0.1", serverAllow, backupAllow), nullptr);
    write(backupAllow / "127.0.0.1", admitted->publicPem());
    EXPECT_NE(Net::findAllowedKeyByAddress("127.0.0.1", serverAllow, backupAllow), nullptr);
}

}  // namespace
