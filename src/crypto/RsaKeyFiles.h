// The agent's RSA key pair on disk: "rsa.key" (unencrypted PKCS #8 PEM) and
// "rsa_public.key" (SubjectPublicKeyInfo PEM). Files are replaced atomically, so a reader
// never sees half a key.
#pragma once

#include <filesystem>

#include "crypto/RsaKey.h"

namespace crypto::Encryption {

// Largest key file read; anything larger is treated as unreadable.
inline constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

// Creates a new 1024-bit key pair and writes both files. Throws runtime::AgentException
// "error generating new RSA key", or AgentFileException "error saving new RSA key to" with
// the path of the file that could not be written.
void generateRsaKeys(const std::filesystem::path& privateKeyPath,
                     const std::filesystem::path& publicKeyPath);

// Writes the public half of key to publicKeyPath. Throws AgentFileException "error saving
// new RSA key to" with the path.
void writePublicKeyFile(const RsaKey& key, const std::filesystem::path& publicKeyPath);

// Reads and checks the private key file. Throws runtime::AgentException "error reading
// private key from BIO" (also for a missing, empty or oversized file) or "RSA key invalid".
RsaKeyPtr readPrivateKey(const std::filesystem::path& path);

}  // namespace crypto::Encryption
