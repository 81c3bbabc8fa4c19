// The volume image of a backup store as the source of a restore: the blocks that were in
// use at the last complete backup, in ascending order, with their stored digests.
#pragma once

#include <cstdint>

#include "backup-server/VolumeRestore.h"
#include "backup-server/VolumeStore.h"

namespace backup_server {

class StoreBlockSource : public BlockSource {
  public:
    // The store must outlive the source. Throws winutil::AgentException when the store
    // holds no complete backup.
    explicit StoreBlockSource(VolumeStore& store);

    blocks::BlockPtr next() override;
    std::uint64_t usedBlocks() const { return usedBlocks_; }

  private:
    VolumeStore& store_;
    std::uint64_t next_ = 0;
    std::uint64_t usedBlocks_ = 0;
};

}  // namespace backup_server
