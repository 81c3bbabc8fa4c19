// Loads the cipher providers (Blowfish needs the legacy one) and publishes agent options
// whose temporary directory lies in a directory of this test run.
#include <gtest/gtest.h>

#include <memory>

#include "common/TempDir.h"
#include "crypto/CryptoLibrary.h"
#include "winutil/AgentOptions.h"

namespace {

class BlocksEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        crypto::CryptoLibrary::initialise();
        installDir_ = std::make_unique<test::TempDir>();
        winutil::setAgentOptions(std::make_shared<winutil::AgentOptions>(installDir_->path()));
    }
    void TearDown() override { installDir_.reset(); }

  private:
    std::unique_ptr<test::TempDir> installDir_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new BlocksEnvironment);

}  // namespace
