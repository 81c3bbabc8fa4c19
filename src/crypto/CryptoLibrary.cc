#include "crypto/CryptoLibrary.h"

#include <openssl/crypto.h>
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
    // No configuration file is read, whatever OPENSSL_CONF or the library's built-in folder
    // say: a planted file could name a provider library for this process to load, or change
    // which algorithms the agent gets. Only the first initialisation of the process decides,
    // so this comes before any other use of the library.
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1) {
        ZENTRAD_THROW(runtime::AgentException, "Failed to initialise the crypto library");
    }
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
