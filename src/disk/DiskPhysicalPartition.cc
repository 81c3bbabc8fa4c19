// Finding the volume that occupies a partition named by its device ID, for volume restores.
#include <optional>
#include <string>

#include "disk/Disk.h"
#include "disk/DiskLayout.h"
#include "platform/DeviceControl.h"
#include "platform/FileAccess.h"
#include "platform/System.h"
#include "platform/Volumes.h"
#include "platform/WideText.h"
#include "runtime/Exceptions.h"

namespace disk {

using runtime::DiskException;
namespace {

CountedPartition findPartition(const std::string& deviceID) {
    auto id = parsePartitionDeviceID(deviceID);
    if (!id)
        ZENTRAD_THROW(DiskException, "Could not find " + deviceID);
    platform::FileHandle disk =
        Disk::openDevice(platform::toWide(Disk::pathForNumber(id->diskNumber)),
                         platform::kGenericRead, Disk::kRawFlags);
    std::optional<CountedLayout> layout;
    if (disk)
        layout = readCountedLayout(disk);
    if (!layout || id->partitionIndex >= layout->partitions.size())
        ZENTRAD_THROW(DiskException, "Could not find " + deviceID);
    return layout->partitions[id->partitionIndex];
}

// Whether the volume lies on exactly one extent, which is the partition.
bool occupies(const std::wstring& device, std::uint32_t diskNumber,
              const CountedPartition& partition) {
    platform::FileHandle volume = Disk::openDevice(device, platform::kGenericRead, Disk::kRawFlags);
    if (!volume) {
        ZENTRAD_THROW(DiskException, "Unable to open disk " + platform::toNarrow(device));
    }
    struct {
        platform::VolumeDiskExtentsHeader header;
        platform::DiskExtent extent;
    } reply{};
    std::uint32_t returned = 0;
    if (!platform::deviceIoControl(volume, platform::kIoctlVolumeGetVolumeDiskExtents, nullptr, 0,
                                   &reply, sizeof reply, &returned)) {
        return false;
    }
    return reply.header.numberOfDiskExtents == 1 && reply.extent.diskNumber == diskNumber &&
           static_cast<std::uint64_t>(reply.extent.startingOffset) == partition.startingOffset &&
           static_cast<std::uint64_t>(reply.extent.extentLength) == partition.length;
}

}  // namespace

void Disk::getPhysicalPartitionForDeviceIDWithDisk(const std::string& deviceID, std::string& path,
                                                   std::uint64_t& offset, std::uint64_t& length) {
    CountedPartition partition = findPartition(deviceID);
    std::uint32_t diskNumber = parsePartitionDeviceID(deviceID)->diskNumber;
    std::wstring name;
    auto volumes = platform::findFirstVolume(name);
    for (bool more = volumes != nullptr; more; more = volumes->next(name)) {
        if (platform::getDriveType(name) != platform::kDriveFixed)
            continue;
        std::wstring device = platform::withoutTrailingBackslashes(name);
        if (occupies(device, diskNumber, partition)) {
            volumes->close();
            path = platform::toNarrow(device);
            offset = 0;
            length = partition.length;
            return;
        }
    }
    if (volumes)
        volumes->close();
    ZENTRAD_THROW(DiskException, "Could not find partition: " + deviceID);
}

}  // namespace disk
