// Where the disk stage of a backup reads its blocks: a volume (or a snapshot of one), or in
// tests any other source of numbered blocks. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "blocks/Block.h"
#include "blocks/Volume.h"

namespace blocks {

class BlockReader {
  public:
    virtual ~BlockReader() = default;
    virtual std::uint64_t blockCount() = 0;
    // Block index, loaded, with the digest of its raw data. Throws on failure.
    virtual std::shared_ptr<Block> readBlock(std::uint64_t index) = 0;
};

class VolumeBlockReader : public BlockReader {
  public:
    // The volume must outlive the reader.
    explicit VolumeBlockReader(Volume& volume) : volume_(volume) {}
    std::uint64_t blockCount() override { return volume_.getBlockCount(); }
    std::shared_ptr<Block> readBlock(std::uint64_t index) override {
        return volume_.getBlock(index);
    }

  private:
    Volume& volume_;
};

// The blocks a change list names, in ascending order (the driver's change map, adapted by
// the backup request).
class ChangedBlocks {
  public:
    virtual ~ChangedBlocks() = default;
    // The first changed block: true, or false when there is none.
    virtual bool first(std::uint64_t& block) const = 0;
    // The next changed block after block: true, or false when there is none.
    virtual bool next(std::uint64_t& block) const = 0;
};

}  // namespace blocks
