// The agent's RSA key pair on disk: "rsa.key" (unencrypted PKCS #8 PEM) and
// "rsa_public.key" (SubjectPublicKeyInfo PEM). Files are replaced atomically, so a reader
// never sees half a key.
#pragma once

#include <filesystem>

#include "crypto/RsaKey.h"

namespace crypto::encryption {

// Largest key file read; anything larger is treated as unreadable.
inline constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

// Creates a new 1024-bit key pair and writes both files. Throws runtime::AgentException
// when no pair can be made, AgentFileException with the path of a file that cannot be
// written.
void generateRsaKeys(const std::filesystem::path& privateKeyPath,
                     const std::filesystem::path& publicKeyPath);

// Writes the public half of key to publicKeyPath. Throws AgentFileException with the path
// when it cannot be written.
void writePublicKeyFile(const RsaKey& key, const std::filesystem::path& publicKeyPath);

// Reads and checks the private key file. Throws runtime::AgentException as
// RsaKey::readPrivatePem does, and as for an unreadable key when the file is missing,
// empty or oversized.
RsaKeyPtr readPrivateKey(const std::filesystem::path& path);

}  // namespace crypto::encryption
