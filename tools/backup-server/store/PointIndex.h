// The index of one restore point: a file points/<name>.index holding
//
//   "ZTIX"          4 bytes
//   version         2 bytes: 1 for blocks of up to 65535 bytes, 2 for larger ones
//   reserved        2 bytes, 0
//   block size      4 bytes
//   chunk blocks    4 bytes: blocks per chunk (the last chunk may hold fewer)
//   block count     8 bytes
//   chunk count     8 bytes: (block count + chunk blocks - 1) / chunk blocks
//   entries         32 bytes per chunk: the chunk's name, or zeros for a chunk without
//                   a used block (nothing stored)
//   used map        (block count + 7) / 8 bytes, bit i (least significant first in byte
//                   i / 8) set for a block the point uses
//   seal            32 bytes: SHA-256 of everything before it
//
// all integers big-endian. Every point has a whole index, so it restores on its own; the
// file is written once, front to back, and never changed. Readers check the seal and the
// geometry before they use anything. In an encrypted store the file is sealed under its
// name (StoreCipher.h): these bytes are what the seal holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "backup-server/store/ChunkFile.h"
#include "backup-server/store/Sha256.h"
#include "backup-server/store/StoreCipher.h"
#include "blocks/BlockMap.h"

namespace backup_server {

struct PointGeometry {
    std::uint32_t blockSize = 0;
    std::uint32_t chunkBlocks = 0;
    std::uint64_t blockCount = 0;

    std::uint64_t chunkCount() const { return (blockCount + chunkBlocks - 1) / chunkBlocks; }
    ChunkShape shapeOf(std::uint64_t chunk) const;
    bool operator==(const PointGeometry&) const = default;
};

inline constexpr std::size_t kIndexHeaderBytes = 32;

// The geometry a new volume's point gets: chunks of 256 KiB (an incremental stores each
// chunk it touches whole, so larger chunks store several times what was sent; see the
// store's README). A point that builds on another keeps that one's chunks (PointBuilder).
PointGeometry geometryFor(std::uint32_t blockSize, std::uint64_t blockCount);
// Throws StoreError for a geometry no volume can have.
void checkGeometry(const PointGeometry& geometry);
std::string encodeIndexHeader(const PointGeometry& geometry);
// Parses and checks a header (kIndexHeaderBytes bytes) against the file's size.
PointGeometry parseIndexHeader(const unsigned char* bytes, std::uint64_t fileSize);

class PointIndexWriter {
  public:
    // Creates the file (which must not exist), sealed under the name of the index it
    // becomes (the file's name without ".part").
    PointIndexWriter(const std::filesystem::path& file, const PointGeometry& geometry,
                     const StoreCipher& cipher = *StoreCipher::plain());
    // Entries in chunk order, exactly chunkCount of them.
    void addEntry(const Sha256Digest& name);
    // Writes the used map and the seal, and syncs the file. Returns the seal.
    Sha256Digest finish(const blocks::BlockMap& used);

    std::uint64_t entries() const { return entries_; }

  private:
    void write(const void* data, std::size_t length);

    std::filesystem::path file_;
    PointGeometry geometry_;
    std::unique_ptr<ObjectWriter> out_;
    Sha256 seal_;
    std::uint64_t entries_ = 0;
};

class PointIndexReader {
  public:
    // Opens and checks the whole file (seal, geometry, used map). Throws
    // StoreError naming the file as damaged otherwise.
    explicit PointIndexReader(const std::filesystem::path& file,
                              const StoreCipher& cipher = *StoreCipher::plain());
    // The index stored under key (points/NAME.index).
    PointIndexReader(objects::BlobStore& objects, const std::string& key,
                     const StoreCipher& cipher);

    const PointGeometry& geometry() const { return geometry_; }
    const blocks::BlockMap& used() const { return used_; }
    const Sha256Digest& seal() const { return seal_; }
    // The entry of a chunk (zeros: no used block in it).
    Sha256Digest entry(std::uint64_t chunk);

  private:
    static constexpr std::uint64_t kWindowEntries = 1024;
    void readWhole();
    static_assert(sizeof(Sha256Digest) == kSha256Bytes);

    std::filesystem::path file_;
    std::unique_ptr<ObjectReader> in_;
    std::vector<Sha256Digest> window_;  // entries windowFirst_ on, read ahead
    std::uint64_t windowFirst_ = 0;
    PointGeometry geometry_;
    blocks::BlockMap used_{0};
    Sha256Digest seal_{};
};

bool isEmptyEntry(const Sha256Digest& name);

}  // namespace backup_server
