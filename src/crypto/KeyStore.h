// Loading the agent's key files at the start of every authenticated connection, with
// regeneration of whatever is missing or provably not a key:
//   - a missing "rsa.key", or one read whole that holds no RSA private key, gives a new key
//     pair and a new "backup.key";
//   - a missing, unreadable or mismatched "rsa_public.key" is rewritten from "rsa.key";
//   - a missing "backup.key", or one read whole that does not open with the private key,
//     gives a new session key (generated is then true).
// A key file that cannot be read (an I/O error, no permission, not a regular file) is never
// replaced: loading fails and the file stays as it is. A file that is replaced while it still
// holds bytes is first kept beside it as "NAME.replaced-YYYYMMDD-HHMMSS" (UTC, with a counter
// when taken), every replaced copy separately; when it cannot be kept, it is not replaced.
//
// Thread and process safety: the whole procedure runs under a process-wide mutex and a
// lock file ("zentrad-keys.lock" beside the private key), so simultaneous first
// connections, or a second agent process on the same directory, generate one consistent
// set of files; every file is replaced atomically.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "crypto/KeyMsg.h"
#include "crypto/RsaKey.h"

namespace crypto::encryption {

struct KeyFilePaths {
    std::filesystem::path privateKey;  // rsa.key
    std::filesystem::path publicKey;   // rsa_public.key
    std::filesystem::path sessionKey;  // backup.key
};

struct LoadedKeys {
    RsaKeyPtr privateKey;
    std::string publicKeyText;  // PEM text of rsa_public.key, never empty
    std::shared_ptr<KeyMsg> backupKey;
    // True when an unreadable backup.key was replaced while the RSA pair was kept.
    bool generated = false;
};

// Loads (and where needed regenerates) the key files. Logs at WARN "generating new RSA
// private key!" and "generating new backup key!" when it does, and at ERROR "error reading
// backup session key" or "error generating new backup session key" before rethrowing.
// Errors that regeneration cannot cure propagate as runtime::AgentException.
LoadedKeys loadKeys(const KeyFilePaths& paths, std::uint16_t sessionKeyBits);

}  // namespace crypto::encryption
