// The allow directories: "server.allow" in the configuration directory and the dynamic
// "backup.allow" in the database directory. Each holds one file per admitted server with
// that server's RSA public key as PEM text (either PEM encoding); for the address check
// the file is named after the server's numeric IP address.
//
// Files that cannot be opened or hold no readable key are skipped with a WARN line; a
// directory that cannot be walked (for instance a missing one) is logged at WARN and gives
// no match. Directories may be rewritten by another connection meanwhile: a file caught
// half-written is simply skipped.
#pragma once

#include <filesystem>
#include <string>

#include "crypto/RsaKey.h"

namespace net {

// The key in the first file named address, searching serverAllowDir first and backupAllowDir
// only when that has none; null when neither has a readable one.
crypto::RsaKeyPtr findAllowedKeyByAddress(const std::string& address,
                                          const std::filesystem::path& serverAllowDir,
                                          const std::filesystem::path& backupAllowDir);

// True when any file in either directory holds a key with the same modulus and exponent.
bool isKeyAllowed(const crypto::RsaKey& key, const std::filesystem::path& serverAllowDir,
                  const std::filesystem::path& backupAllowDir);

}  // namespace net
