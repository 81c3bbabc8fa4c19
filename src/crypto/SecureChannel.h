// The channel of protocol version 2: keys of one session, derived at the handshake, that
// seal every encrypted message and every block record with AES-256-GCM.
//
// Key schedule (HKDF-SHA256): the input key material is the agent's protocol key bytes
// followed by the server's challenge key bytes (each travelled sealed to the other side's
// RSA key); the salt is the SHA-256 of the handshake transcript; the info is
// "zentrad v2 agent to server" or "zentrad v2 server to agent"; each gives 44 bytes, a
// 32-byte key and a 12-byte IV for that direction.
//
// Messages: the n-th message sent in a direction (n counted from 0, never sent) is sealed
// under that direction's key with nonce = IV XOR (4 zero bytes | u64 n), no associated
// data; the sealed form is the cipher text followed by the 16-byte tag. A reordered,
// replayed, dropped or edited message therefore fails to open.
//
// Block records: each request's block stream is sealed under keys of its own,
// HKDF-SHA256(direction key, no salt, "zentrad v2 blocks" | u64 request) giving a key and
// an IV, where request is the sequence number of the message that carried the request in
// the server-to-agent direction. A record's nonce is that IV XOR (u32 position in batch |
// u64 batch number, from 1) and its associated data binds the record to its place:
//   u64 request | u64 batch | u32 position | u64 index | u8 compressed | u32 plain length |
//   16-byte MD5 digest from the record header
// All integers big-endian.
//
// Thread safety: message sealing and opening take a counter each; callers keep the wire
// in counter order by holding sendLock()/receiveLock() around sealing and writing (or
// reading and opening). A BlockSealer belongs to one thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "crypto/OpenSslPtr.h"

namespace crypto {

inline constexpr std::size_t kChannelKeyBytes = 32;
inline constexpr std::size_t kChannelIvBytes = 12;
inline constexpr std::size_t kChannelTagBytes = 16;

struct DirectionKeys {
    std::array<unsigned char, kChannelKeyBytes> key{};
    std::array<unsigned char, kChannelIvBytes> iv{};
};

// HKDF-SHA256 of length bytes. Throws runtime::AgentException when the library fails.
std::string hkdfSha256(std::string_view secret, std::string_view salt, std::string_view info,
                       std::size_t length);
// SHA-256 of data. Throws runtime::AgentException when the library fails.
std::string sha256(std::string_view data);

// Where one block record stands; everything here is bound into its seal.
struct BlockPlace {
    std::uint64_t batch = 0;
    std::uint32_t position = 0;
    std::uint64_t index = 0;
    bool compressed = false;
    std::uint32_t plainLength = 0;
    std::array<unsigned char, 16> digest{};
};

// Seals or opens the block records of one request in one direction.
class BlockSealer {
  public:
    BlockSealer(const DirectionKeys& direction, std::uint64_t request);

    // Writes the cipher text of length bytes and the tag (length + kChannelTagBytes in all)
    // to out, which may equal data. Throws runtime::AgentException when the library fails.
    void seal(const BlockPlace& place, const unsigned char* data, std::size_t length,
              unsigned char* out);
    // Opens sealedLength bytes (cipher text and tag) in place; place.plainLength must be
    // sealedLength - kChannelTagBytes. Returns false when the record is not the one sealed
    // at this place, in this request and session (nothing is then to be used of it).
    bool open(const BlockPlace& place, unsigned char* data, std::size_t sealedLength);

    std::uint64_t request() const { return request_; }

  private:
    void start(const BlockPlace& place, bool encrypting);

    DirectionKeys keys_;
    std::uint64_t request_;
    CipherCtxPtr context_;
    bool initialised_ = false;
};

class SecureChannel {
  public:
    static constexpr std::string_view kAgentToServer = "zentrad v2 agent to server";
    static constexpr std::string_view kServerToAgent = "zentrad v2 server to agent";

    // secret: the agent's protocol key bytes then the server's challenge key bytes;
    // transcriptHash: SHA-256 of the handshake transcript. agentSide chooses which
    // direction this end sends in. Throws runtime::AgentException.
    SecureChannel(std::string_view secret, std::string_view transcriptHash, bool agentSide);

    // Seals the next message to send; the caller holds sendLock() until it is written.
    std::string sealMessage(std::string_view plain, std::uint64_t& sequence);
    // Opens the next message received; throws runtime::AgentException (no plain text)
    // when it is not the next message the peer sealed. The caller holds receiveLock().
    std::string openMessage(std::string_view sealed, std::uint64_t& sequence);
    std::mutex& sendLock() { return sendMutex_; }
    // The sequence number the next message sealed to send will have.
    std::uint64_t nextSendSequence() {
        std::lock_guard<std::mutex> lock(sendMutex_);
        return sent_;
    }
    std::mutex& receiveLock() { return receiveMutex_; }

    // The request whose block stream runs now (the sequence number of the server's
    // message that carried it).
    void setRequest(std::uint64_t request) { request_ = request; }
    std::uint64_t request() const { return request_; }

    BlockSealer blockSealer(bool sending) const {
        return BlockSealer(sending ? send_ : receive_, request_);
    }
    const DirectionKeys& sendKeys() const { return send_; }
    const DirectionKeys& receiveKeys() const { return receive_; }

  private:
    DirectionKeys send_;
    DirectionKeys receive_;
    std::uint64_t sent_ = 0;
    std::uint64_t received_ = 0;
    std::atomic<std::uint64_t> request_{0};
    std::mutex sendMutex_;
    std::mutex receiveMutex_;
    CipherCtxPtr sealContext_;
    CipherCtxPtr openContext_;
};

// Associated data of a block record (49 bytes), exposed for the test vectors.
std::string blockAssociatedData(std::uint64_t request, const BlockPlace& place);

}  // namespace crypto
