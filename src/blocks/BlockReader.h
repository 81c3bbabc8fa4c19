// Where the disk stage of a backup reads its blocks: a volume (or a snapshot of one), or in
// tests any other source of numbered blocks. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "blocks/Block.h"
#include "blocks/BlockChannel.h"
#include "blocks/Volume.h"

namespace blocks {

class BlockReader {
  public:
    virtual ~BlockReader() = default;
    virtual std::uint64_t blockCount() = 0;
    // Block index, loaded, with the digest of its raw data. Throws on failure.
    virtual std::shared_ptr<Block> readBlock(std::uint64_t index) = 0;
    // The most consecutive blocks readRun takes at once (at least 1).
    virtual std::uint64_t runLimit() { return 1; }
    // Blocks first .. first + count - 1 (count at most runLimit()), appended to out as
    // readBlock gives them. Throws on failure.
    virtual void readRun(std::uint64_t first, std::uint64_t count, std::vector<BlockPtr>& out) {
        for (std::uint64_t i = 0; i < count; ++i)
            out.push_back(readBlock(first + i));
    }
};

class VolumeBlockReader : public BlockReader {
  public:
    // The volume must outlive the reader.
    explicit VolumeBlockReader(Volume& volume) : volume_(volume) {}
    std::uint64_t blockCount() override { return volume_.getBlockCount(); }
    std::shared_ptr<Block> readBlock(std::uint64_t index) override {
        return volume_.getBlock(index);
    }
    std::uint64_t runLimit() override { return volume_.getRunLimit(); }
    void readRun(std::uint64_t first, std::uint64_t count, std::vector<BlockPtr>& out) override {
        volume_.getBlocks(first, count, out);
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
