#include "disk/NetSector.h"

#include <string>

#include "runtime/Exceptions.h"

namespace disk {

using runtime::DiskException;

void NetSector::writeToDisk(platform::FileHandle& disk) const {
    std::string failure =
        "Error writing partition table for Disk (sector " + std::to_string(getOffset()) + ").";
    if (!platform::setFilePointerEx(disk, static_cast<std::int64_t>(getOffset()), nullptr,
                                    platform::kFileBegin)) {
        ZENTRAD_THROW(DiskException, failure);
    }
    std::uint32_t written = 0;
    if (!platform::writeFile(disk, getData(), getSize(), &written))
        ZENTRAD_THROW(DiskException, failure);
    if (written != getSize()) {
        ZENTRAD_THROW(DiskException, failure + " Meant to write (" + std::to_string(getSize()) +
                                         " bytes, but wrote (" + std::to_string(written) +
                                         ") bytes.");
    }
}

}  // namespace disk
