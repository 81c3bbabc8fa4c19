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

namespace crypto::Encryption {

inline constexpr std::uint32_t kSessionKeyMagic = 0xE5EEE3E6;

// Generates a key record of keyBits bits and writes its sealed form, preceded by its 16-bit
// length, to out. Throws runtime::AgentException "error writing encrypted session key" when
// the stream fails, and the errors of KeyMsg.
void createSessionKey(std::uint16_t type, std::uint16_t keyBits, std::ostream& out,
                      const RsaKeyPtr& rsaKey);

// Writes a new session key file sealed under the key in privateKeyPath, replacing the file
// atomically. Throws runtime::AgentException "failed to write to file (" + path + ")" and
// the errors of readPrivateKey.
void newSessionKeyFile(std::uint16_t keyBits, const std::filesystem::path& privateKeyPath,
                       const std::filesystem::path& sessionKeyPath);

// Reads and opens the session key file. Throws runtime::AgentException "failed to open(" +
// path + ")", "Invalid magic number (x) expected (e5eee3e6)", "failed to read session key
// data from file", and the errors of opening a KeyMsg.
std::shared_ptr<KeyMsg> readSessionKeyFile(const RsaKeyPtr& privateKey,
                                           const std::filesystem::path& path);

// The same for the bytes of such a file, already read.
std::shared_ptr<KeyMsg> openSessionKey(const RsaKeyPtr& privateKey, const std::string& bytes);

}  // namespace crypto::Encryption
