// Where a backup's checked blocks go: a restore point under construction, or anything
// else that takes whole blocks in ascending order.
#pragma once

#include <cstdint>

#include "blocks/Block.h"

namespace backup_server {

class BlockSink {
  public:
    virtual ~BlockSink() = default;
    virtual std::uint32_t blockSize() const = 0;
    // One whole block (blockSize() bytes) whose MD5 was checked; indexes strictly ascend.
    virtual void writeBlock(std::uint64_t index, const unsigned char* data,
                            const blocks::BlockDigest& digest) = 0;
};

}  // namespace backup_server
