// SHA-256 over byte buffers, in one call or piece by piece: the strong digest that names
// the chunks of a store and seals its index files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/OpenSslPtr.h"

namespace backup_server {

inline constexpr std::size_t kSha256Bytes = 32;
using Sha256Digest = std::array<unsigned char, kSha256Bytes>;

class Sha256 {
  public:
    // Throws StoreError when the digest is not available.
    Sha256();
    Sha256& update(const void* data, std::size_t length);
    // The digest of everything given since construction or the last finish.
    Sha256Digest finish();

  private:
    crypto::MdCtxPtr context_;
};

Sha256Digest sha256(const void* data, std::size_t length);
std::string toHex(const Sha256Digest& digest);
// The first 8 bytes of a digest as a number: a compact key for sets of many chunk names
// (a false match between two names is as unlikely as a 64-bit collision).
std::uint64_t digestPrefix(const Sha256Digest& digest);
// Reads 64 hex digits; false for anything else.
bool fromHex(const std::string& text, Sha256Digest& digest);

}  // namespace backup_server
