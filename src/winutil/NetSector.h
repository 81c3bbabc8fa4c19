// A sector received from the server, to be written back to a physical disk.
#pragma once

#include <cstdint>

#include "platform/File.h"
#include "winutil/Sector.h"

namespace winutil {

class NetSector : public Sector {
  public:
    using Sector::Sector;

    // Seeks to the offset and writes every byte. Throws winutil::DiskException naming the
    // offset (and the byte counts of a short write) when the seek or the write fails.
    void writeToDisk(platform::FileHandle& disk) const;
};

}  // namespace winutil
