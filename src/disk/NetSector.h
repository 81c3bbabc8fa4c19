// A sector received from the server, to be written back to a physical disk.
#pragma once

#include <cstdint>

#include "disk/Sector.h"
#include "platform/File.h"

namespace disk {

class NetSector : public Sector {
  public:
    using Sector::Sector;

    // Seeks to the offset and writes every byte. Throws runtime::DiskException naming the
    // offset (and the byte counts of a short write) when the seek or the write fails.
    void writeToDisk(platform::FileHandle& disk) const;
};

}  // namespace disk
