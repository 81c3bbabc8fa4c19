// The backup session key file "backup.key" (big-endian):
//   u32 magic 0xE5EEE3E6 | u16 N | N bytes: the key record sealed under the agent's RSA key
// 134 bytes with a 1024-bit RSA key. Bytes after the sealed record are ignored.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include "crypto/KeyMsg.h"
#include "crypto/RsaKey.h"

namespace crypto::encryption {

inline constexpr std::uint32_t kSessionKeyMagic = 0xE5EEE3E6;

// Generates a key record of keyBits bits and writes its sealed form, preceded by its 16-bit
// length, to out. Throws runtime::AgentException when the stream fails, and as KeyMsg
// does.
void createSessionKey(std::uint16_t type, std::uint16_t keyBits, std::ostream& out,
                      const RsaKeyPtr& rsaKey);

// Writes a new session key file sealed under the key in privateKeyPath, replacing the file
// atomically. Throws runtime::AgentException naming the path when it cannot be written,
// and as readPrivateKey does.
void newSessionKeyFile(std::uint16_t keyBits, const std::filesystem::path& privateKeyPath,
                       const std::filesystem::path& sessionKeyPath);

// Reads and opens the session key file. Throws runtime::AgentException when the file
// cannot be opened (naming the path), does not start with the magic number (naming both
// numbers) or ends before the record, and as opening a KeyMsg does.
std::shared_ptr<KeyMsg> readSessionKeyFile(const RsaKeyPtr& privateKey,
                                           const std::filesystem::path& path);

// The same for the bytes of such a file, already read.
std::shared_ptr<KeyMsg> openSessionKey(const RsaKeyPtr& privateKey, const std::string& bytes);

}  // namespace crypto::encryption
