// The allow directories: which file admits a server by address or by key, and how broken
// files and missing folders are passed over.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/TempDir.h"
#include "crypto/CryptoLibrary.h"
#include "crypto/RsaKey.h"
#include "logging/Logger.h"
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
    EXPECT_FALSE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
    write(backupAllow / "10.0.0.7", admitted->publicPem());
    EXPECT_TRUE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
}

TEST_F(AllowDirectoriesTest, MissingDirectoriesAdmitNobody) {
    EXPECT_FALSE(net::isKeyAllowed(*admitted, dir.path() / "none", dir.path() / "neither"));
    EXPECT_EQ(
        net::findAllowedKeyByAddress("127.0.0.1", dir.path() / "none", dir.path() / "neither"),
        nullptr);
}

TEST_F(AllowDirectoriesTest, AddressSelectsTheFileNamedAfterIt) {
    write(serverAllow / "10.0.0.1", other->publicPem());
    write(backupAllow / "127.0.0.1", admitted->publicPem());
    auto key = net::findAllowedKeyByAddress("127.0.0.1", serverAllow, backupAllow);
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->samePublicKey(*admitted));

    // server.allow is searched first.
    write(serverAllow / "127.0.0.1", other->publicPem());
    key = net::findAllowedKeyByAddress("127.0.0.1", serverAllow, backupAllow);
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->samePublicKey(*other));
}

TEST_F(AllowDirectoriesTest, UnreadableFileForTheAddressFallsThroughToTheNextDirectory) {
    write(serverAllow / "127.0.0.1",
          "-----BEGIN PUBLIC KEY-----\ngarbage\n-----END PUBLIC KEY-----\n");
    EXPECT_EQ(net::findAllowedKeyByAddress("127.0.0.1", serverAllow, backupAllow), nullptr);
    write(backupAllow / "127.0.0.1", admitted->publicPem());
    EXPECT_NE(net::findAllowedKeyByAddress("127.0.0.1", serverAllow, backupAllow), nullptr);
}

// The agent's own log in a file, and what a connection's peer would receive, for one test.
class LogSinks {
  public:
    explicit LogSinks(const fs::path& file)
        : file_(file), net_(std::make_shared<logging::NetLogger>()) {
        logging::Logger::get().setFileLogger(std::make_shared<logging::FileLogger>(file));
        logging::Logger::get().setNetLogger(net_);
    }
    ~LogSinks() {
        logging::Logger::get().setNetLogger(nullptr);
        logging::Logger::get().setFileLogger(nullptr);
    }
    std::size_t localCount(const std::string& text) const {
        std::ifstream in(file_);
        std::stringstream all;
        all << in.rdbuf();
        std::string log = all.str();
        std::size_t count = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++count;
        return count;
    }
    std::string sentToPeer() {
        std::string bytes;
        net_->drainInto(bytes);
        return bytes;
    }

  private:
    fs::path file_;
    std::shared_ptr<logging::NetLogger> net_;
};

TEST_F(AllowDirectoriesTest, BrokenFileIsReportedOnceLocallyAndNeverToThePeer) {
    LogSinks log(dir.path() / "agent.log");
    write(serverAllow / "10.0.0.9", "not a key");
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
    EXPECT_EQ(log.localCount("error reading RSA public key"), 1u);
    EXPECT_EQ(log.sentToPeer().find("10.0.0.9"), std::string::npos);

    // A replaced file is read again: now it admits. (Replaced, not edited in place: an edit
    // in place is seen at the next periodic listing, which a slow machine can reach late.)
    fs::remove(serverAllow / "10.0.0.9");
    write(serverAllow / "10.0.0.9", admitted->publicPem());
    EXPECT_TRUE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
    fs::remove(serverAllow / "10.0.0.9");
    EXPECT_FALSE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
}

// (A pipe in an allow directory is tested end to end on the emulated host; this suite also
// runs on Windows, which has no named pipes in a file system.)
TEST_F(AllowDirectoriesTest, FoldersNamedLikeAddressesAreSkipped) {
    fs::create_directories(serverAllow / "127.0.0.1");
    fs::create_directories(serverAllow / "10.0.0.3");
    write(backupAllow / "127.0.0.1", admitted->publicPem());
    auto key = net::findAllowedKeyByAddress("127.0.0.1", serverAllow, backupAllow);
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(key->samePublicKey(*admitted));
    EXPECT_TRUE(net::isKeyAllowed(*admitted, serverAllow, backupAllow));
}

}  // namespace
