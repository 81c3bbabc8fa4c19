#include "blocks/DiskVolume.h"

#include <cstring>
#include <vector>

#include "disk/DiskLayout.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/FileAccess.h"
#include "platform/System.h"
#include "platform/Volumes.h"
#include "runtime/Exceptions.h"

namespace blocks {
namespace {

constexpr std::uint32_t kMostExtents = 60;

}  // namespace

DiskVolume::DiskVolume(const std::wstring& name) : Volume(name) {
    setDeviceID(getDevicePath());
    locate();
}

void DiskVolume::locate() {
    platform::FileHandle device = createFile(platform::kGenericRead, 0);
    std::vector<std::uint8_t> reply(sizeof(platform::VolumeDiskExtentsHeader) +
                                    kMostExtents * sizeof(platform::DiskExtent));
    std::uint32_t returned = 0;
    bool answered = platform::deviceIoControl(device, platform::kIoctlVolumeGetVolumeDiskExtents,
                                              nullptr, 0, reply.data(),
                                              static_cast<std::uint32_t>(reply.size()), &returned);
    // More extents than the buffer holds is still an answer: the volume is not on one.
    if (!answered && platform::getLastError() != platform::kErrorMoreData)
        ZENTRAD_THROW(runtime::DiskException, "Getting Volume extent information failed");
    platform::VolumeDiskExtentsHeader header{};
    std::memcpy(&header, reply.data(), sizeof header);
    if (!answered || header.numberOfDiskExtents != 1 ||
        returned < sizeof header + sizeof(platform::DiskExtent)) {
        return;
    }
    platform::DiskExtent extent{};
    std::memcpy(&extent, reply.data() + sizeof header, sizeof extent);
    locateOnDisk(extent);
}

bool DiskVolume::locateOnDisk(const platform::DiskExtent& extent) {
    platform::FileHandle disk = platform::createFile(
        platform::toWide(disk::Disk::pathForNumber(extent.diskNumber)), platform::kGenericRead,
        platform::kFileShareRead | platform::kFileShareWrite, platform::kOpenExisting, 0);
    if (!disk)
        return false;
    auto layout = disk::readCountedLayout(disk);
    if (!layout)
        return false;
    auto index = disk::partitionIndexOf(layout->partitions,
                                        static_cast<std::uint64_t>(extent.startingOffset),
                                        static_cast<std::uint64_t>(extent.extentLength));
    if (!index)
        return false;
    partitionStyle_ = layout->style;
    diskNumber_ = extent.diskNumber;
    partitionIndex_ = *index;
    setDeviceID(disk::partitionDeviceID(diskNumber_, partitionIndex_));
    return true;
}

std::vector<std::shared_ptr<DiskVolume>> DiskVolume::getAllDiskVolumes() {
    std::vector<std::shared_ptr<DiskVolume>> volumes;
    std::wstring name;
    auto enumeration = platform::findFirstVolume(name);
    if (!enumeration)
        return volumes;
    do {
        try {
            volumes.push_back(std::make_shared<DiskVolume>(name));
        } catch (const runtime::DiskException&) {
            // Removable and optical drives and devices that cannot be queried are not ours.
        }
    } while (enumeration->next(name));
    if (platform::getLastError() != platform::kErrorNoMoreFiles)
        ZENTRAD_THROW(runtime::DiskException, "Finding next volume failed");
    if (!enumeration->close())
        ZENTRAD_THROW(runtime::DiskException, "Closing volume enum failed");
    return volumes;
}

std::shared_ptr<DiskVolume> DiskVolume::getDiskVolumesWithID(const std::string& id) {
    for (const auto& volume : getAllDiskVolumes()) {
        if (volume->getDeviceID() == id)
            return volume;
    }
    ZENTRAD_THROW(runtime::DiskException, "Unable to find mounted logical disk: " + id);
}

std::vector<std::shared_ptr<DiskVolume>> DiskVolume::getDiskVolumesOnDisk(
    std::uint32_t diskNumber) {
    std::vector<std::shared_ptr<DiskVolume>> onDisk;
    for (const auto& volume : getAllDiskVolumes()) {
        if (volume->getDiskNumber() == diskNumber)
            onDisk.push_back(volume);
    }
    return onDisk;
}

std::vector<std::shared_ptr<DiskVolume>> DiskVolume::getDiskVolumesOnDisk(const disk::Disk& disk) {
    return getDiskVolumesOnDisk(disk.getDiskNumber());
}

}  // namespace blocks
