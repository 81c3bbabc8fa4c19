// The sealed form of one encrypted protocol message, over byte buffers (the wire framing
// around it, PROT_ENCRYPTED and the 32-bit ciphertext length, belongs to the caller).
//
// Plain text before encryption, big-endian:  u32 L | L message bytes | SHA-1 of the message
// encrypted as one Blowfish-CBC stream with the protocol key's key and IV, each message from
// a freshly initialised context, with standard padding: an L-byte message becomes
// 8 * floor((L + 24) / 8) + 8 ciphertext bytes (0 -> 32, 9 -> 40, 16 -> 48).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/CipherContext.h"
#include "crypto/KeyMsg.h"

namespace crypto::Encryption {

// Length prefix plus SHA-1.
inline constexpr std::size_t kEnvelopeOverhead = 24;
// Largest ciphertext accepted from a peer or produced for one. Requests and replies are
// small (block data travels outside the envelope); this bounds what a peer can make the
// agent allocate.
inline constexpr std::uint32_t kMaxCiphertextBytes = 16u * 1024 * 1024;
inline constexpr std::size_t kMaxMessageBytes = kMaxCiphertextBytes - kEnvelopeOverhead - 8;

// Ciphertext length of an L-byte message.
constexpr std::size_t ciphertextSize(std::size_t messageBytes) {
    return (messageBytes + kEnvelopeOverhead) / 8 * 8 + 8;
}

// Checks a ciphertext length read from the wire before anything is allocated for it.
// Throws runtime::AgentException "received invalid encrypted message from host: ciphertext
// length (N) exceeds the limit" when above kMaxCiphertextBytes. Lengths that are 0 or not a
// multiple of 8 are left to decryptMessage, which rejects them with its own message.
void checkCiphertextLength(std::uint64_t length);

// Seals and encrypts message. Throws runtime::AgentException: "error encrypting protocol
// message: cipher error", "error encrypting protocol message: cipher final error", "error
// computing SHA1 of buffer", "protocol message too large to encrypt (N bytes)", and the key
// errors of CipherContext::begin.
std::string encryptMessage(const KeyMsg& key, CipherContext& context, std::string_view message);

// Decrypts and checks ciphertext from a peer and returns the message bytes; nothing is
// returned from a message that fails any check. Throws runtime::AgentException:
//   "final cipher error while decrypting protocol message" (length 0 or not a multiple of
//     8, bad padding),
//   "received invalid encrypted message from host: ciphertext length (N) exceeds the limit",
//   "cipher error while decrypting protocol message",
//   "received invalid encrypted message from host: message too short",
//   "received invalid encrypted message from host: embedded message length (L) not valid",
//   "encrypted message from host invalid, failed sha1 checksum",
//   "error computing SHA1 of message from host", and the key errors of CipherContext::begin.
std::string decryptMessage(const KeyMsg& key, CipherContext& context, std::string_view ciphertext);

}  // namespace crypto::Encryption
