// The allow directories: which file admits a server by address or by key, and how broken
// files and missing folders are passed over.
#include <gtest/gtest.h>

#include <fstream>

#include "LogSinks.h"
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
    crypto::RsaKeyPtr keyFor(const std::string& address) {
        return net::findAllowedKeyByAddress(address, serverAllow, backupAllow);
    }

    static inline crypto::RsaKeyPtr admitted;
    static inline crypto::RsaKeyPtr other;
    test::TempDir dir;
    fs::path serverAllow = dir.path() / "server.allow";
    fs::path backupAllow = dir.path() / "backup.allow";
};

TEST_F(AllowDirectoriesTest, KeyIsFoundInEitherDirectoryPastBrokenFiles) {
    EXPECT_FALSE(net::isKeyAllowed(*admitted, dir.path() / "none", dir.path() / "neither"));
    write(serverAllow / "10.0.0.9", "not a key");
    write(serverAllow / "10.0.0.8", other->publicPem());
    EXPECT_FALSE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
    write(backupAllow / "10.0.0.7", admitted->publicPem());
    EXPECT_TRUE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
}

// server.allow is searched first; a folder named like the address there, or a file that
// holds no key, falls through to the next directory. (A pipe in an allow directory is
// tested end to end on the emulated host; this suite also runs on Windows, which has no
// named pipes in a file system.)
TEST_F(AllowDirectoriesTest, AddressSelectsTheFirstReadableFileNamedAfterIt) {
    EXPECT_EQ(
        net::findAllowedKeyByAddress("127.0.0.1", dir.path() / "none", dir.path() / "neither"),
        nullptr);
    fs::create_directories(serverAllow / "127.0.0.1");
    write(serverAllow / "10.0.0.1", other->publicPem());
    EXPECT_EQ(keyFor("127.0.0.1"), nullptr);
    write(backupAllow / "127.0.0.1", admitted->publicPem());
    ASSERT_NE(keyFor("127.0.0.1"), nullptr);
    EXPECT_TRUE(keyFor("127.0.0.1")->samePublicKey(*admitted));
    EXPECT_TRUE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));

    fs::remove(serverAllow / "127.0.0.1");
    write(serverAllow / "127.0.0.1",
          "-----BEGIN PUBLIC KEY-----\ngarbage\n-----END PUBLIC KEY-----\n");
    ASSERT_NE(keyFor("127.0.0.1"), nullptr);
    EXPECT_TRUE(keyFor("127.0.0.1")->samePublicKey(*admitted));
    fs::remove(serverAllow / "127.0.0.1");
    write(serverAllow / "127.0.0.1", other->publicPem());
    ASSERT_NE(keyFor("127.0.0.1"), nullptr);
    EXPECT_TRUE(keyFor("127.0.0.1")->samePublicKey(*other));
}

TEST_F(AllowDirectoriesTest, BrokenFileIsReportedOnceLocallyAndNeverToThePeer) {
    test::LogSinks log(dir.path() / "agent.log");
    write(serverAllow / "10.0.0.9", "not a key");
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
    EXPECT_EQ(test::occurrences(log.local(), "error reading RSA public key"), 1u);
    EXPECT_EQ(log.sentToPeer().find("10.0.0.9"), std::string::npos);

    // A replaced file is read again: now it admits. (Replaced, not edited in place: an edit
    // in place is seen at the next periodic listing, which a slow machine can reach late.)
    fs::remove(serverAllow / "10.0.0.9");
    write(serverAllow / "10.0.0.9", admitted->publicPem());
    EXPECT_TRUE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
    fs::remove(serverAllow / "10.0.0.9");
    EXPECT_FALSE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
}

}  // namespace
