#include "crypto/CryptoLibrary.h"

#include <openssl/err.h>
#include <openssl/provider.h>

#include <mutex>

#include "runtime/Exceptions.h"

namespace crypto {
namespace {

std::mutex libraryMutex;  // guards the two provider handles below
OSSL_PROVIDER* legacyProvider = nullptr;
OSSL_PROVIDER* defaultProvider = nullptr;

}  // namespace

void CryptoLibrary::initialise() {
    std::lock_guard<std::mutex> lock(libraryMutex);
    if (defaultProvider == nullptr) {
        defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
        if (defaultProvider == nullptr) {
            ZENTRAD_THROW(runtime::AgentException, "Failed to load the default crypto provider");
        }
    }
    if (legacyProvider == nullptr) {
        legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
        if (legacyProvider == nullptr) {
            ZENTRAD_THROW(runtime::AgentException,
                          "Failed to load the legacy crypto provider (Blowfish)");
        }
    }
}

void CryptoLibrary::cleanup() {
    std::lock_guard<std::mutex> lock(libraryMutex);
    if (legacyProvider != nullptr)
        OSSL_PROVIDER_unload(legacyProvider);
    if (defaultProvider != nullptr)
        OSSL_PROVIDER_unload(defaultProvider);
    legacyProvider = nullptr;
    defaultProvider = nullptr;
    ERR_clear_error();
}

}  // namespace crypto
