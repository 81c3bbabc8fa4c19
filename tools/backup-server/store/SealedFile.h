// The sealed form of a file of an encrypted store (a chunk or a point index):
//
//   "ZTSE"          4 bytes
//   version         2 bytes, 1
//   kind            1 byte: 1 chunk, 2 point index, 3 partition table, 4 copy of the catalogue
//   reserved        1 byte, 0
//   segment bytes   4 bytes: the plain bytes of every segment but the last (65536 when
//                   written; 4096 to 16 MiB, a power of two, accepted)
//   salt            32 bytes, random for each file
//   segments        each the AES-256-GCM cipher text of its plain bytes and its 16-byte tag;
//                   the last holds 1 to `segment bytes` plain bytes (0 only when the file
//                   holds nothing), every other exactly `segment bytes`
//
// all integers big-endian. Each file has a key of its own, HKDF-SHA256(key: the store's
// sealing key, salt: the file's salt, info: "zentrad store file v1"), so nonces can simply
// count: segment i's nonce is four zero bytes then i (8 bytes). The associated data of a
// segment is the 44-byte header, one byte 1 for the last segment (0 otherwise), the name's
// length (2 bytes) and the name: the object's name in the store (a chunk's 32-byte name,
// an index's or a partition table's file name). A file copied over another's name, a segment
// edited, moved, dropped, or a file cut short at a segment boundary therefore fails to open.
// Segments let a reader open only the part it needs (a chunk's digests, one index entry).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/OpenSslPtr.h"

namespace backup_server {

inline constexpr std::size_t kSealKeyBytes = 32;
inline constexpr std::size_t kSealedHeaderBytes = 44;
inline constexpr std::size_t kSealTagBytes = 16;
inline constexpr std::uint32_t kSealSegmentBytes = 65536;

using SealKey = std::array<unsigned char, kSealKeyBytes>;

enum class SealedKind : std::uint8_t { chunk = 1, index = 2, partitionTable = 3, catalogue = 4 };

struct SealedHeader {
    SealedKind kind = SealedKind::chunk;
    std::uint32_t segmentBytes = kSealSegmentBytes;
    std::array<unsigned char, 32> salt{};

    std::string encode() const;
    // Parses a header (kSealedHeaderBytes bytes) of a file of sealedBytes in all and finds
    // the plain length. False, with problem set, for anything malformed.
    bool parse(const unsigned char* bytes, std::uint64_t sealedBytes, std::uint64_t& plainBytes,
               std::string& problem);
    std::uint64_t segments(std::uint64_t plainBytes) const;
    // Where segment i starts in the file.
    std::uint64_t offsetOf(std::uint64_t segment) const {
        return kSealedHeaderBytes + segment * (std::uint64_t{segmentBytes} + kSealTagBytes);
    }
};

// Whether bytes (at least 4) begin like a sealed file.
bool looksSealed(std::string_view bytes);
// The length of the sealed file of plainBytes (segments of kSealSegmentBytes).
std::uint64_t sealedLength(std::uint64_t plainBytes);

// Seals and opens the segments of one file. Not shared between threads.
class SegmentCipher {
  public:
    // Throws StoreError when the library fails.
    SegmentCipher(const SealKey& storeKey, const SealedHeader& header, std::string_view name);

    // Writes the cipher text (length bytes) and the tag to out.
    void seal(std::uint64_t segment, bool last, const unsigned char* plain, std::size_t length,
              unsigned char* out);
    // Opens sealedLength bytes (cipher text and tag) into out; false when they are not the
    // segment sealed at this place of this file under this name and key.
    bool open(std::uint64_t segment, bool last, const unsigned char* sealed,
              std::size_t sealedLength, unsigned char* out);

  private:
    bool run(bool encrypting, std::uint64_t segment, bool last, const unsigned char* in,
             std::size_t length, unsigned char* out, unsigned char* tag);

    SealKey fileKey_{};
    std::string header_;
    std::string name_;
    crypto::CipherCtxPtr context_;
};

// AES-256-GCM of length bytes from in to out under a 32-byte key and a 12-byte nonce; the
// 16-byte tag is written when sealing and checked when opening. False only for an opening
// that fails. Throws StoreError when the library fails.
bool aes256Gcm(EVP_CIPHER_CTX* context, bool sealing, const unsigned char* key,
               const unsigned char* nonce, std::string_view aad, const unsigned char* in,
               std::size_t length, unsigned char* out, unsigned char* tag);

// A whole file sealed at once (new random salt).
std::string sealWhole(const SealKey& storeKey, SealedKind kind, std::string_view name,
                      std::string_view plain);
// A whole sealed file opened at once into plain; false, with problem set, when it is not a
// sealed file of this kind and name under this key, or is damaged.
bool openWhole(const SealKey& storeKey, SealedKind kind, std::string_view name,
               std::string_view sealed, std::string& plain, std::string& problem);

}  // namespace backup_server
