// Builds a new restore point of a volume while its backup arrives. Blocks come in
// ascending order; each chunk is completed as soon as the stream has passed it: from the
// blocks sent now, the base point's blocks for the used blocks not sent, and zeros for
// blocks the new point does not use. A chunk with nothing sent and the same used blocks
// as the base keeps the base's entry without being read, provided the base's chunk is in
// the store (one that is not holds nothing for the new point); any other is stored under its
// name unless the store has it already. Nothing is visible until commit, which writes
// the index, syncs the store and only then adds the point to the catalogue; a backup
// that stops before leaves chunks that only garbage collection removes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backup-server/store/BlockSink.h"
#include "backup-server/store/PointIndex.h"
#include "backup-server/store/PointReader.h"
#include "backup-server/store/Store.h"

namespace backup_server {

class PointBuilder : public BlockSink {
  public:
    // base may be null; a base of another block size is ignored. The new point takes the
    // base's chunk size (blocks per chunk) in place of geometry's. The store must be
    // opened for writing and outlive the builder.
    PointBuilder(Store& store, std::string deviceID, const PointGeometry& geometry,
                 std::unique_ptr<PointReader> base);
    ~PointBuilder() override;

    // The new point's used blocks; must come before the first block.
    void setUsed(const blocks::BlockMap& used);
    std::uint32_t blockSize() const override { return geometry_.blockSize; }
    void writeBlock(std::uint64_t index, const unsigned char* data,
                    const blocks::BlockDigest& digest) override;
    // The base point's used blocks, in the new point's geometry (none without a base).
    const blocks::BlockMap& held() const { return held_; }
    bool hasBase() const { return base_ != nullptr; }

    // Completes the point and adds it to the catalogue with these details (id, geometry,
    // index and stored bytes are filled in). Returns the record as added.
    PointRecord commit(PointRecord details);

  private:
    // Moves the finished index to its place in the store.
    void storeIndex();
    void flushThrough(std::uint64_t chunk);
    void flush(std::uint64_t chunk);
    bool sameAsBase(std::uint64_t chunk) const;

    Store& store_;
    std::string deviceID_;
    PointGeometry geometry_;
    std::unique_ptr<PointReader> base_;
    ChunkStore chunks_;
    blocks::BlockMap held_{0};
    std::vector<bool> avoided_;  // chunks of the base that are not in the store
    blocks::BlockMap used_{0};
    std::string indexName_;
    std::unique_ptr<PointIndexWriter> index_;
    std::uint64_t next_ = 0;       // the first chunk not yet in the index
    std::uint64_t nextBlock_ = 0;  // blocks below this one have been seen
    std::vector<unsigned char> data_;
    std::vector<blocks::BlockDigest> digests_;
    std::vector<bool> sent_;
    std::uint64_t storedBytes_ = 0;
    bool committed_ = false;
};

}  // namespace backup_server
