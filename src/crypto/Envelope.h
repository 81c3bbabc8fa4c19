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

namespace crypto::encryption {

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
// Throws runtime::AgentException naming the length when it is above kMaxCiphertextBytes.
// Lengths that are 0 or not a multiple of 8 are left to decryptMessage, which rejects them
// with its own message.
void checkCiphertextLength(std::uint64_t length);

// Seals and encrypts message. Throws runtime::AgentException when the cipher or the
// digest fails, when the message is too large for the envelope's length field (naming its
// size), and as CipherContext::begin does for an unfit key.
std::string encryptMessage(const KeyMsg& key, CipherContext& context, std::string_view message);

// Decrypts and checks ciphertext from a peer and returns the message bytes; nothing is
// returned from a message that fails any check. Throws runtime::AgentException, each with
// its own text, when: the length is 0, not a multiple of 8 or above the limit; the cipher
// fails or the padding is bad; the plain text is too short for the envelope; the embedded
// length does not fit it; the SHA-1 does not match or cannot be computed; and as
// CipherContext::begin does for an unfit key.
std::string decryptMessage(const KeyMsg& key, CipherContext& context, std::string_view ciphertext);

}  // namespace crypto::encryption
