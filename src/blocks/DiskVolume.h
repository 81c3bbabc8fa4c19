// A Volume that knows where it lies: the physical disk of its only extent and the position
// of its partition among that disk's partitions, which give the device ID the server names
// it by ("Disk N Partition M"). A volume that does not lie on exactly one partition of a
// readable disk (a spanned volume, say) has disk number kNoDisk and its device path as ID.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "blocks/Volume.h"
#include "disk/Disk.h"
#include "platform/DeviceControl.h"

namespace blocks {

class DiskVolume : public Volume {
  public:
    static constexpr std::uint32_t kNoDisk = 9999;

    // Throws runtime::DiskException when the Volume cannot be made or its extents cannot be
    // read.
    explicit DiskVolume(const std::wstring& name);

    std::uint32_t getDiskNumber() const { return diskNumber_; }
    std::uint32_t getPartitionIndex() const { return partitionIndex_; }
    // platform::kPartitionStyleGpt for a partition of a GPT disk, else kPartitionStyleMbr.
    std::uint32_t getPartitionStyle() const { return partitionStyle_; }

    // Every volume of the machine in the system's order; volumes that cannot be made into
    // a DiskVolume (removable and optical drives, unopenable devices) are skipped. Throws
    // runtime::DiskException when the enumeration itself fails.
    static std::vector<std::shared_ptr<DiskVolume>> getAllDiskVolumes();
    // Throws runtime::DiskException naming id when no volume has that device ID.
    static std::shared_ptr<DiskVolume> getDiskVolumesWithID(const std::string& id);
    static std::vector<std::shared_ptr<DiskVolume>> getDiskVolumesOnDisk(std::uint32_t diskNumber);
    static std::vector<std::shared_ptr<DiskVolume>> getDiskVolumesOnDisk(const disk::Disk& disk);

  private:
    void locate();
    bool locateOnDisk(const platform::DiskExtent& extent);

    std::uint32_t diskNumber_ = kNoDisk;
    std::uint32_t partitionIndex_ = 0;
    std::uint32_t partitionStyle_ = platform::kPartitionStyleMbr;
};

}  // namespace blocks
