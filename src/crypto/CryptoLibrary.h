// One-time set-up of the cryptographic library. Blowfish lives in OpenSSL 3's legacy
// provider; the default provider is loaded beside it, because loading any provider
// explicitly switches off the implicit default (and with it MD5, SHA-1 and RSA). No OpenSSL
// configuration file is ever loaded.
#pragma once

namespace crypto {

class CryptoLibrary {
  public:
    // Idempotent and thread-safe; must come before any other call into the library. Throws
    // runtime::AgentException when a provider cannot be loaded.
    static void initialise();
    // Releases what initialise loaded; a later initialise loads it again.
    static void cleanup();
};

}  // namespace crypto
