// Loads the cipher providers (Blowfish needs the legacy one) and makes a directory of this
// test run for the block digest files.
#include <gtest/gtest.h>

#include <memory>

#include "BlocksTestSupport.h"
#include "common/TempDir.h"
#include "crypto/CryptoLibrary.h"

namespace {

std::unique_ptr<test::TempDir> installDir;

class BlocksEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        crypto::CryptoLibrary::initialise();
        installDir = std::make_unique<test::TempDir>();
    }
    void TearDown() override { installDir.reset(); }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new BlocksEnvironment);

}  // namespace

std::filesystem::path test::blockSumDir() {
    return installDir->path() / "temp";
}
