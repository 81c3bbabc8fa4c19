// Loads the legacy and default providers before any test runs (Blowfish needs the former).
#include <gtest/gtest.h>

#include "crypto/CryptoLibrary.h"

namespace {

class CryptoEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { crypto::CryptoLibrary::initialise(); }
};

// Google Test owns registered environments.
[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new CryptoEnvironment);

}  // namespace
