// A raw volume image as the source of a restore: every block of the file, in order,
// whether the file system uses it or not. The image must hold a whole number of blocks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "backup-server/session/VolumeRestore.h"

namespace backup_server {

class ImageBlockSource : public BlockSource {
  public:
    // Throws runtime::AgentException when the file cannot be read or its size is not a
    // multiple of blockSize.
    ImageBlockSource(const std::filesystem::path& image, std::uint32_t blockSize);

    blocks::BlockPtr next() override;
    std::uint64_t blockCount() const { return blockCount_; }

  private:
    std::ifstream in_;
    std::uint32_t blockSize_;
    std::uint64_t blockCount_ = 0;
    std::uint64_t next_ = 0;
};

}  // namespace backup_server
