// Finding the machine's fixed disks.
#include <string>

#include "disk/Disk.h"
#include "logging/Logger.h"
#include "platform/DeviceControl.h"
#include "platform/ErrorText.h"
#include "platform/Errors.h"
#include "platform/FileAccess.h"
#include "platform/System.h"
#include "runtime/Exceptions.h"

namespace disk {

using logging::logWarn;
using runtime::DiskException;
namespace {

// The disk behind an open handle when it is a fixed disk; null (after a WARN line) otherwise.
std::shared_ptr<Disk> fixedDisk(platform::FileHandle& handle, std::uint32_t number) {
    platform::DiskGeometry geometry{};
    std::uint32_t returned = 0;
    if (!platform::deviceIoControl(handle, platform::kIoctlDiskGetDriveGeometry, nullptr, 0,
                                   &geometry, sizeof geometry, &returned) ||
        returned < sizeof geometry) {
        std::uint32_t error = platform::getLastError();
        if (error == platform::kErrorNotReady)
            logWarn() << "Skipping disk " << number << " since it is not ready";
        logWarn() << "failed to get disk geometry for disk " << number << " "
                  << platform::errorText(error);
        return nullptr;
    }
    if (geometry.mediaType == platform::kMediaTypeRemovable) {
        logWarn() << "Skipping disk " << number << " since it is removable";
        return nullptr;
    }
    if (geometry.mediaType != platform::kMediaTypeFixed) {
        logWarn() << "Skipping disk " << number << " since it is not a fixed drive";
        return nullptr;
    }
    return std::make_shared<Disk>(number, geometry.bytesPerSector);
}

}  // namespace

std::vector<std::shared_ptr<Disk>> Disk::getAllDisks() {
    std::vector<std::shared_ptr<Disk>> disks;
    int misses = 0;
    for (std::uint32_t number = 0; misses < kMaxMissingDisks; ++number) {
        platform::FileHandle handle =
            openDevice(platform::toWide(pathForNumber(number)), platform::kGenericRead, kRawFlags);
        if (!handle) {
            ++misses;
            continue;
        }
        if (auto disk = fixedDisk(handle, number))
            disks.push_back(disk);
    }
    return disks;
}

std::shared_ptr<Disk> Disk::getDiskWithID(const std::string& id) {
    for (const auto& disk : getAllDisks()) {
        if (disk->getID() == id)
            return disk;
    }
    ZENTRAD_THROW(DiskException, "Unable to find disk: " + id);
}

}  // namespace disk
