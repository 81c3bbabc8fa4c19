// Shared pieces of the crypto tests: the providers are loaded once for the whole binary,
// and one RSA key pair serves every test that does not care which key it gets.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/ExpectThrow.h"
#include "crypto/CryptoLibrary.h"
#include "crypto/RsaKey.h"

namespace test {

inline const crypto::RsaKeyPtr& agentKey() {
    static const crypto::RsaKeyPtr key = [] {
        crypto::CryptoLibrary::initialise();
        return crypto::RsaKey::generate();
    }();
    return key;
}

inline std::string bytes(std::initializer_list<unsigned> values) {
    std::string out;
    for (unsigned value : values)
        out.push_back(static_cast<char>(value));
    return out;
}

}  // namespace test
