#include "crypto/KeyStore.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "CryptoTestSupport.h"
#include "common/TempDir.h"
#include "crypto/KeyFileLock.h"
#include "crypto/RsaKeyFiles.h"
#include "crypto/SessionKeyFile.h"
#include "runtime/Exceptions.h"
#include "util/FileUtil.h"

namespace {

namespace encryption = crypto::encryption;
namespace fs = std::filesystem;

class KeyStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { test::agentKey(); }

    encryption::LoadedKeys load() { return encryption::loadKeys(paths_, 128); }
    std::string read(const fs::path& path) { return util::files::readFile(path); }
    void write(const fs::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }

    // The contents of the kept copies of a replaced file, oldest first.
    std::vector<std::string> replacedCopies(const fs::path& file) {
        std::vector<std::pair<fs::file_time_type, std::string>> copies;
        std::string prefix = file.filename().string() + ".replaced-";
        for (const auto& entry : fs::directory_iterator(file.parent_path())) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0)
                copies.emplace_back(entry.last_write_time(), read(entry.path()));
        }
        std::sort(copies.begin(), copies.end());
        std::vector<std::string> contents;
        for (auto& copy : copies)
            contents.push_back(copy.second);
        return contents;
    }

    test::TempDir dir_;
    encryption::KeyFilePaths paths_{dir_.path() / "rsa.key", dir_.path() / "rsa_public.key",
                                    dir_.path() / "backup.key"};
};

TEST_F(KeyStoreTest, SessionKeyFileRoundTrip) {
    write(paths_.privateKey, test::agentKey()->privatePem());
    encryption::newSessionKeyFile(128, paths_.privateKey, paths_.sessionKey);
    const std::string file = read(paths_.sessionKey);
    ASSERT_EQ(file.size(), 134u);
    EXPECT_EQ(file.substr(0, 6), test::bytes({0xe5, 0xee, 0xe3, 0xe6, 0x00, 0x80}));
    const auto key = encryption::readSessionKeyFile(test::agentKey(), paths_.sessionKey);
    EXPECT_EQ(key->getType(), 1);
    EXPECT_EQ(key->getKey().size(), 16u);
}

TEST_F(KeyStoreTest, SessionKeyFileErrors) {
    const auto key = test::agentKey();
    EXPECT_THROW_TEXT(encryption::readSessionKeyFile(key, paths_.sessionKey),
                      "failed to open(" + paths_.sessionKey.string() + ")");
    write(paths_.sessionKey, test::bytes({0, 0, 0, 0, 0, 0x80}));
    EXPECT_THROW_TEXT(encryption::readSessionKeyFile(key, paths_.sessionKey),
                      "Invalid magic number (0) expected (e5eee3e6)");
    write(paths_.sessionKey, test::bytes({0xe5, 0xee, 0xe3, 0xe6, 0x00, 0x80, 1, 2}));
    EXPECT_THROW_TEXT(encryption::readSessionKeyFile(key, paths_.sessionKey),
                      "failed to read session key data from file");
}

TEST_F(KeyStoreTest, KeyFilesThatCannotBeWrittenAreReported) {
    const fs::path missing = dir_.path() / "missing";
    write(paths_.privateKey, test::agentKey()->privatePem());
    EXPECT_THROW_TEXT(encryption::newSessionKeyFile(128, paths_.privateKey, missing / "backup.key"),
                      "failed to write to file (" + (missing / "backup.key").string() + ")");

    std::ostringstream failed;
    failed.setstate(std::ios::badbit);
    EXPECT_THROW_TEXT(encryption::createSessionKey(1, 128, failed, test::agentKey()),
                      "error writing encrypted session key");

    try {
        encryption::writePublicKeyFile(*test::agentKey(), missing / "rsa_public.key");
        ADD_FAILURE() << "no exception";
    } catch (const AgentFileException& error) {
        EXPECT_EQ(error.message(), "error saving new RSA key to");
        EXPECT_EQ(error.path(), (missing / "rsa_public.key").string());
    }
}

TEST_F(KeyStoreTest, FreshDirectoryGetsAConsistentSet) {
    const auto keys = load();
    EXPECT_FALSE(keys.generated);  // a new pair brings its session key, not a retry
    EXPECT_EQ(keys.publicKeyText, read(paths_.publicKey));
    EXPECT_TRUE(crypto::RsaKey::readPublicPem(keys.publicKeyText)->samePublicKey(*keys.privateKey));
    EXPECT_EQ(*encryption::readSessionKeyFile(keys.privateKey, paths_.sessionKey), *keys.backupKey);

    const auto again = load();
    EXPECT_TRUE(again.privateKey->samePublicKey(*keys.privateKey));
    EXPECT_EQ(*again.backupKey, *keys.backupKey);
}

// A damaged file is replaced and every replaced copy is kept: a damaged session key alone
// keeps the pair, and each new pair brings its own session key.
TEST_F(KeyStoreTest, DamagedKeyFilesAreReplacedAndEveryCopyIsKept) {
    const auto first = load();
    write(paths_.sessionKey, test::bytes({0, 0, 0, 0, 1, 2, 3}));
    const auto second = load();
    EXPECT_TRUE(second.generated);
    EXPECT_TRUE(second.privateKey->samePublicKey(*first.privateKey));
    EXPECT_NE(*second.backupKey, *first.backupKey);
    EXPECT_EQ(replacedCopies(paths_.sessionKey),
              (std::vector<std::string>{test::bytes({0, 0, 0, 0, 1, 2, 3})}));

    write(paths_.privateKey, "first damage");
    load();
    write(paths_.privateKey, "second damage");
    const auto keys = load();
    EXPECT_FALSE(keys.privateKey->samePublicKey(*first.privateKey));
    EXPECT_EQ(replacedCopies(paths_.privateKey),
              (std::vector<std::string>{"first damage", "second damage"}));
    EXPECT_EQ(replacedCopies(paths_.sessionKey).size(), 3u);
    EXPECT_EQ(*encryption::readSessionKeyFile(keys.privateKey, paths_.sessionKey), *keys.backupKey);
}

TEST_F(KeyStoreTest, KeyFilesThatCannotBeReadAreNeverReplaced) {
    const auto first = load();
    const std::string privatePem = read(paths_.privateKey);
    const std::string sessionBytes = read(paths_.sessionKey);
    // A directory in the place of a file cannot be read, as a failing disk cannot (a pipe
    // in an allow directory is covered end to end).
    for (const fs::path& file : {paths_.sessionKey, paths_.privateKey}) {
        fs::path aside = file.string() + ".aside";
        fs::rename(file, aside);
        fs::create_directory(file);
        EXPECT_THROW(load(), runtime::AgentException) << file;
        fs::remove(file);
        fs::rename(aside, file);
    }
    EXPECT_EQ(read(paths_.privateKey), privatePem);
    EXPECT_EQ(read(paths_.sessionKey), sessionBytes);
    EXPECT_TRUE(replacedCopies(paths_.privateKey).empty());
    EXPECT_TRUE(replacedCopies(paths_.sessionKey).empty());
    EXPECT_EQ(*load().backupKey, *first.backupKey);
}

TEST_F(KeyStoreTest, MissingOrForeignKeyFilesAreMadeAgain) {
    const auto first = load();
    fs::remove(paths_.publicKey);
    EXPECT_EQ(load().publicKeyText, first.publicKeyText);
    EXPECT_EQ(read(paths_.publicKey), first.publicKeyText);
    write(paths_.publicKey, crypto::RsaKey::generate()->publicPem());
    EXPECT_EQ(load().publicKeyText, first.publicKeyText);

    // A missing private key brings a new pair and a new session key.
    fs::remove(paths_.privateKey);
    const auto second = load();
    EXPECT_FALSE(second.privateKey->samePublicKey(*first.privateKey));
    EXPECT_NE(*second.backupKey, *first.backupKey);
    EXPECT_EQ(second.publicKeyText, read(paths_.publicKey));
}

TEST_F(KeyStoreTest, LockLeftByACrashedProcessIsTakenOver) {
    const fs::path lock = dir_.path() / "zentrad-keys.lock";
    fs::create_directory(lock);
    std::error_code error;
    fs::last_write_time(lock, fs::file_time_type::clock::now() - std::chrono::minutes(5), error);
    if (error)
        GTEST_SKIP() << "this C++ library cannot set a directory's time here: " << error.message();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(load().privateKey);
    EXPECT_LT(std::chrono::steady_clock::now() - start, crypto::KeyFileLock::kMaxWait);
    EXPECT_FALSE(fs::exists(lock));
}

TEST_F(KeyStoreTest, SimultaneousFirstLoadsAgree) {
    constexpr int kThreads = 8;
    std::vector<encryption::LoadedKeys> results(kThreads);
    std::vector<std::string> errors(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([this, &results, &errors, i] {
                try {
                    results[i] = load();
                } catch (const std::exception& error) {
                    errors[i] = error.what();
                }
            });
        }
    }
    for (const std::string& error : errors)
        EXPECT_EQ(error, "");
    const auto onDisk = load();
    for (const auto& keys : results) {
        ASSERT_TRUE(keys.privateKey);
        EXPECT_TRUE(keys.privateKey->samePublicKey(*onDisk.privateKey));
        EXPECT_EQ(keys.publicKeyText, onDisk.publicKeyText);
        EXPECT_EQ(*keys.backupKey, *onDisk.backupKey);
    }
    EXPECT_FALSE(fs::exists(dir_.path() / "zentrad-keys.lock"));
}

}  // namespace
