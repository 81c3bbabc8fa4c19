// A restore point as the source of a restore: the blocks the point uses, in ascending
// order, with their stored digests, read a chunk at a time.
#pragma once

#include <cstdint>

#include "backup-server/session/VolumeRestore.h"
#include "backup-server/store/PointReader.h"
#include "backup-server/store/VolumeStore.h"

namespace backup_server {

class StoreBlockSource : public BlockSource {
  public:
    // The point (or the store) must outlive the source. Throws StoreError
    // when there is no point or it uses no block.
    explicit StoreBlockSource(PointReader& point);
    // The volume's latest point.
    explicit StoreBlockSource(VolumeStore& store);

    blocks::BlockPtr next() override;
    std::uint64_t usedBlocks() const { return usedBlocks_; }
    // Blocks given out so far.
    std::uint64_t position() const { return given_; }

  private:
    PointReader& point_;
    std::uint64_t next_ = 0;
    std::uint64_t usedBlocks_ = 0;
    std::uint64_t given_ = 0;
};

}  // namespace backup_server
