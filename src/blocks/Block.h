// One block (volume cluster) on its way between the disk and the backup server: its
// number, the MD5 digest of its raw contents and its data, which the pipeline stages
// transform in place (read, deflated, enciphered; the reverse on restore). Blocks travel
// between stages as std::shared_ptr<Block>; a block is used by one stage at a time.
//
// Deflating and inflating put the result into a new buffer of at most size + 8 bytes and
// release the old one. Enciphering works in place when the block alone holds a buffer with
// room for the padding (a deflated block's), else it too takes a new buffer; deciphering
// works in place, since plain text is never longer than its cipher text. Each is
// idempotent with respect to its flag (deflating a compressed block, or deciphering a
// plain one, changes nothing).
//
// The class is written in several files, one per dependency: Block.cc holds the buffer and
// the digest, BlockCipher.cc the cipher, BlockLoad.cc the reads from the volume with their
// retries (the platform's device calls), and codec/ the deflate and inflate of whichever
// compression library the build chose (libdeflate or zlib), one file per library.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "blocks/ZlibStreams.h"
#include "crypto/CipherContext.h"
#include "crypto/KeyMsg.h"
#include "platform/File.h"

namespace blocks {

constexpr std::size_t kDigestBytes = 16;
using BlockDigest = std::array<unsigned char, kDigestBytes>;
using BlockBuffer = std::shared_ptr<unsigned char[]>;

// Where a received block stood in the stream: the batch that brought it (counted from 1),
// its position in that batch and the batch's block count. A restore writes a batch only
// once every block of it has been checked.
struct BatchPlace {
    std::uint64_t batch = 0;
    std::uint32_t position = 0;
    std::uint32_t count = 0;
    bool last() const { return position + 1 == count; }
};

class Block {
  public:
    // The largest cluster NTFS knows (2 MiB); larger sizes from a peer are refused before
    // anything is allocated.
    static constexpr std::uint64_t kMaxSize = 2 * 1024 * 1024;
    // Cipher text is at most this much longer than the plain text (the padding block).
    static constexpr std::uint64_t kCipherOverhead = 8;

    // A block of size zero bytes. Throws runtime::AgentException when size is 0 or above
    // kMaxSize.
    Block(std::uint64_t index, std::uint64_t size);
    // A block as received: length bytes of data in their transmitted form. Throws
    // runtime::AgentException when size is invalid or length exceeds what such a block
    // can hold (size, plus kCipherOverhead when encrypted).
    Block(std::uint64_t index, std::uint64_t size, BlockBuffer data, std::uint64_t length,
          bool compressed, bool encrypted);

    // Reads block `index` (size bytes at index × size) from a volume handle. Only the
    // transient device errors 23, 121 and 1117 are retried (three attempts in all); after
    // three transient failures the block goes on as zeros with a WARN line; any other
    // error, or a short read, throws runtime::DiskException.
    void load(platform::FileHandle& volume, std::uint64_t index);

    // Compresses the data when that makes it shorter; otherwise the block stays raw.
    // Throws runtime::AgentException (after an ERROR line naming zlib's result).
    void deflate(DeflateStream& stream);
    // Restores the raw data of a compressed block, into `into` when given (it must hold
    // size() bytes; a restore passes pooled buffers), else into a new buffer. Corrupt data
    // throws runtime::AgentException after an ERROR line.
    void inflate(InflateStream& stream, BlockBuffer into = nullptr);

    // Blowfish-CBC with the key and IV of the record, each block a chain of its own.
    // Throws runtime::AgentException.
    void encrypt(const crypto::KeyMsg& key, crypto::CipherContext& context);
    void decrypt(const crypto::KeyMsg& key, crypto::CipherContext& context);

    // Sets the digest to the MD5 of the current data (the raw data, right after load).
    // Throws runtime::AgentException when MD5 is unavailable.
    void computeDigest();
    void setDigest(const BlockDigest& digest) { digest_ = digest; }
    void setPlace(const BatchPlace& place) { place_ = place; }
    const BatchPlace& place() const { return place_; }

    bool loaded() const { return loaded_; }
    bool compressed() const { return compressed_; }
    bool encrypted() const { return encrypted_; }
    std::uint64_t size() const { return size_; }
    std::uint64_t length() const { return length_; }
    std::uint64_t index() const { return index_; }
    const BlockDigest& getDigest() const { return digest_; }
    const unsigned char* getData() const { return data_.get(); }

  private:
    // capacity: the bytes of data this block may overwrite (0: none, for instance a slice
    // of a run's buffer).
    void replaceData(BlockBuffer data, std::uint64_t length, std::uint64_t capacity);
    // True when the data may be enciphered where it lies: nothing else refers to the
    // buffer and it has room for the padding.
    bool encipherInPlace() const;
    void crypt(const crypto::KeyMsg& key, crypto::CipherContext& context, bool encrypting);

    bool loaded_ = false;
    bool compressed_ = false;
    bool encrypted_ = false;
    std::uint64_t size_;
    std::uint64_t length_;
    std::uint64_t index_;
    BlockDigest digest_{};
    BatchPlace place_;
    BlockBuffer data_;
    std::uint64_t capacity_ = 0;
};

}  // namespace blocks
