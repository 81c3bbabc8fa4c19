// One chunk of a store: a run of consecutive blocks of a volume as it stood at a restore
// point, blocks the point does not use filled with zeros. A chunk file is
//
//   "ZTCH"          4 bytes
//   version         2 bytes: 1 for blocks of up to 65535 bytes, 2 for larger ones
//   reserved        2 bytes, 0
//   block size      4 bytes (512 to kMaxBlockSize)
//   blocks          4 bytes (1 to kMaxChunkBlocks, at most kMaxChunkBytes of data)
//   payload bytes   4 bytes: the length of the zstd frame at the end
//   MD5 of block i  16 bytes each, in block order (served for digest-compared backups
//                   without decompressing anything)
//   zstd frame      the blocks' data, with zstd's own content checksum
//
// all integers big-endian. A chunk is named by the SHA-256 of block size (4 bytes),
// block count (4 bytes) and the data, so equal chunks of any volume and point are stored
// once, and a read checks the data against its name.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backup-server/store/Sha256.h"
#include "blocks/Block.h"

namespace backup_server {

inline constexpr std::uint32_t kMaxChunkBlocks = 2048;
// The largest block a store holds: a 64 KiB cluster.
inline constexpr std::uint32_t kMaxBlockSize = 65536;
// Blocks over 65535 bytes came with version 2 of the chunk and index files: a server that
// knows only version 1 refuses those files by their version, and every file of smaller
// blocks stays version 1, which such a server reads as before.
constexpr std::uint16_t fileVersionFor(std::uint32_t blockSize) {
    return blockSize > 65535 ? 2 : 1;
}
inline constexpr std::uint32_t kMaxChunkBytes = 2u << 20;
inline constexpr std::size_t kChunkHeaderBytes = 20;

struct ChunkShape {
    std::uint32_t blockSize = 0;
    std::uint32_t blocks = 0;
    std::size_t dataBytes() const { return std::size_t{blockSize} * blocks; }
    bool operator==(const ChunkShape&) const = default;
};

// What a damaged chunk still tells: the blocks (counted from the chunk's first) whose
// data or digest is wrong; all of them when the data cannot be read at all.
struct ChunkDamage {
    std::string problem;
    std::vector<std::uint32_t> blocks;
};

Sha256Digest chunkName(ChunkShape shape, const unsigned char* data);
// How a store names its chunks (chunkName, or a keyed name in an encrypted store).
using ChunkNamer = std::function<Sha256Digest(ChunkShape, const unsigned char*)>;

// zstd's compression and decompression contexts, kept for many chunks.
class ChunkCodec {
  public:
    explicit ChunkCodec(ChunkNamer namer = chunkName);
    ~ChunkCodec();
    ChunkCodec(const ChunkCodec&) = delete;
    ChunkCodec& operator=(const ChunkCodec&) = delete;

    // The whole file for shape.dataBytes() bytes of data and one digest per block.
    std::string encode(ChunkShape shape, const unsigned char* data,
                       const blocks::BlockDigest* digests);
    // Checks a file's header against the shape expected and returns its digests. Returns
    // false (with problem set) for anything malformed.
    bool readDigests(std::string_view file, ChunkShape shape,
                     std::vector<blocks::BlockDigest>& digests, std::string& problem);
    // The same from the file's first bytes (at least its header and digests, see
    // digestsEnd) and the file's whole length, so the data need not be read.
    bool readDigests(std::string_view head, std::uint64_t fileBytes, ChunkShape shape,
                     std::vector<blocks::BlockDigest>& digests, std::string& problem);
    // Where a file of this shape has its digests behind it.
    static std::size_t digestsEnd(ChunkShape shape) {
        return kChunkHeaderBytes + std::size_t{16} * shape.blocks;
    }
    // Decodes a whole file into data (shape.dataBytes()) and digests, checking the data
    // against name, and each block against its digest when checkBlocks is set (or the
    // name does not match, to tell which blocks are damaged). Returns the damage found.
    std::optional<ChunkDamage> decode(std::string_view file, ChunkShape shape,
                                      const Sha256Digest& name, unsigned char* data,
                                      std::vector<blocks::BlockDigest>& digests,
                                      bool checkBlocks = true);

  private:
    struct Contexts;
    std::unique_ptr<Contexts> contexts_;
    ChunkNamer namer_;
};

}  // namespace backup_server
