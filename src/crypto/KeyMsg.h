// KeyMsg: a symmetric key record (type, key bytes, IV), used as the per-connection protocol
// key and as the backup session key.
//
// Plain record (big-endian), the form that is sealed and, without the digest, the form a key
// travels in inside an encrypted message:
//   u16 type | u16 K | K key bytes | u16 V | V IV bytes | 20-byte SHA-1 of all before it
// Note that the key precedes the IV. A 128-bit key with an 8-byte IV gives a 50-byte record.
// Sealed record: the plain record encrypted with RSA PKCS #1 v1.5 under the recipient's
// public key; as long as the recipient's modulus (128 bytes for a 1024-bit key).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/RsaKey.h"

namespace crypto {

class KeyMsg {
  public:
    static constexpr std::uint16_t kMinKeyBits = 32;
    static constexpr std::uint16_t kMaxKeyBits = 128;
    static constexpr std::size_t kIvBytes = 8;
    static constexpr std::uint16_t kGeneratedType = 1;

    // A new random key of keyBits bits and an 8-byte IV, drawn from the cryptographic random
    // generator; the record carries the given type (the agent always asks for 1). Throws
    // runtime::AgentException naming keyBits when it is not a multiple of 8 or lies outside
    // 32 to 128.
    KeyMsg(std::uint16_t type, std::uint16_t keyBits);

    // Opens a sealed record with a private key and checks it. Throws
    // runtime::AgentException when RSA decryption fails, when the record is shorter or
    // longer than its fields say, and when its SHA-1 does not match.
    KeyMsg(const RsaKeyPtr& privateKey, std::string_view sealed);

    // A record from its fields, as read in the clear from an encrypted message. Throws
    // runtime::AgentException when the key or IV is longer than 65535 bytes.
    KeyMsg(std::uint16_t type, std::string key, std::string iv);

    // The sealed record for the holder of publicKey. Throws runtime::AgentException when
    // the digest or the RSA encryption fails.
    std::string encrypt(const RsaKeyPtr& publicKey) const;

    // The record without its digest: u16 type | u16 K | key | u16 V | IV.
    std::string clearRecord() const;
    // The record with its digest, as it is sealed.
    std::string plainRecord() const;

    std::uint16_t getType() const { return type_; }
    std::string getKey() const { return key_; }
    std::string getIV() const { return iv_; }
    const std::string& key() const { return key_; }
    const std::string& iv() const { return iv_; }

    // Equal when type, IV and key are all equal.
    bool operator==(const KeyMsg& other) const = default;

  private:
    void parsePlainRecord(std::string_view plain);

    std::uint16_t type_ = 0;
    std::string iv_;
    std::string key_;
};

}  // namespace crypto
