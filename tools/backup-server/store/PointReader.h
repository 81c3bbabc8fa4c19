// Reads one restore point block by block: the index is checked once (its seal against
// the catalogue's), then chunks are read on demand, one at a time, each checked against
// its name. Memory: the used map and one chunk.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "backup-server/store/Catalogue.h"
#include "backup-server/store/ChunkStore.h"
#include "backup-server/store/Store.h"

namespace backup_server {

class PointReader {
  public:
    // Throws StoreError reporting a damaged store when the index is missing,
    // does not match the catalogue or is damaged.
    PointReader(const Store& store, const PointRecord& point);

    const PointRecord& point() const { return point_; }
    const PointGeometry& geometry() const { return index_.geometry(); }
    const blocks::BlockMap& used() const { return index_.used(); }
    PointIndexReader& index() { return index_; }

    // The block's bytes as the point holds them (zeros for a block it does not use),
    // valid until the next call. Throws when its chunk is damaged.
    const unsigned char* block(std::uint64_t index);
    blocks::BlockDigest digest(std::uint64_t index);
    // The digests of a chunk's blocks, from the chunk's header only; false when the chunk
    // cannot be read.
    bool chunkDigests(std::uint64_t chunk, std::vector<blocks::BlockDigest>& digests,
                      std::string& problem);

    // The places in the index of the chunks that hold used blocks but are not in the
    // store (lost, or set aside by verify as damaged). Found once, by the size of each file.
    const std::vector<std::uint64_t>& absentChunks();
    // Throws StoreError reporting a damaged store when a chunk is absent, so
    // that a reader can refuse before it has used a single block.
    void requireChunks();

  private:
    void load(std::uint64_t chunk);
    // Asks the chunk store to fetch the chunks after this one.
    void readAheadOf(std::uint64_t chunk);

    PointRecord point_;
    PointIndexReader index_;
    ChunkStore chunks_;
    std::uint64_t loaded_ = ~std::uint64_t{0};
    std::vector<unsigned char> data_;
    std::vector<blocks::BlockDigest> digests_;
    std::optional<std::vector<std::uint64_t>> absent_;
};

}  // namespace backup_server
