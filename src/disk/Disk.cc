#include "disk/Disk.h"

#include "disk/DiskLayout.h"
#include "disk/GptRestore.h"
#include "disk/PartitionTableReader.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/FileAccess.h"
#include "platform/System.h"
#include "runtime/Exceptions.h"

namespace disk {

using runtime::DiskException;
Disk::Disk(std::uint32_t diskNumber, std::uint32_t bytesPerSector)
    : path_(pathForNumber(diskNumber)), diskNumber_(diskNumber), bytesPerSector_(bytesPerSector) {}

std::string Disk::pathForNumber(std::uint32_t diskNumber) {
    return "\\\\.\\PHYSICALDRIVE" + std::to_string(diskNumber);
}

std::string Disk::filterID(const std::string& id) {
    static const std::string kKept =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_/ ";
    std::string filtered;
    for (char c : id) {
        if (kKept.find(c) != std::string::npos)
            filtered.push_back(c);
    }
    return filtered;
}

std::string Disk::getID() const {
    return filterID("Disk #" + std::to_string(diskNumber_));
}

platform::FileHandle Disk::openDevice(const std::wstring& path, std::uint32_t access,
                                      std::uint32_t flags) {
    return platform::createFile(path, access, platform::kFileShareRead | platform::kFileShareWrite,
                                platform::kOpenExisting, flags);
}

platform::FileHandle Disk::open(std::uint32_t access, std::uint32_t flags) const {
    return openDevice(platform::toWide(path_), access, flags);
}

std::uint64_t Disk::getSize() const {
    platform::FileHandle disk = open(platform::kGenericRead | platform::kGenericWrite, 0);
    if (!disk)
        ZENTRAD_THROW(DiskException, "Failed to open disk: " + path_);
    platform::DiskGeometryEx geometry{};
    std::uint32_t returned = 0;
    if (!platform::deviceIoControl(disk, platform::kIoctlDiskGetDriveGeometryEx, nullptr, 0,
                                   &geometry, sizeof geometry, &returned) ||
        returned < platform::kDiskGeometryExMinimumSize || geometry.diskSize < 0) {
        std::string number = std::to_string(diskNumber_);
        if (platform::getLastError() == platform::kErrorNotReady)
            ZENTRAD_THROW(DiskException, "Skipping disk " + number + " since it is not ready");
        ZENTRAD_THROW(DiskException, "failed to get disk geometry for disk " + number);
    }
    return static_cast<std::uint64_t>(geometry.diskSize);
}

std::uint32_t Disk::getPartitionStyle() const {
    platform::FileHandle disk = open(platform::kGenericRead, 0);
    std::optional<CountedLayout> layout;
    if (disk)
        layout = readCountedLayout(disk);
    return layout ? layout->style : platform::kPartitionStyleMbr;
}

std::vector<std::shared_ptr<DiskSector>> Disk::getSectors() {
    if (!tableLoaded_)
        loadPartitionTable();
    return sectors_;
}

std::vector<std::shared_ptr<Partition>> Disk::getPartitions() {
    if (!tableLoaded_)
        loadPartitionTable();
    return partitions_;
}

// Partition entries count 512-byte sectors here; a disk with larger logical sectors would
// have its tables read at the wrong places, so it is refused rather than misread.
void Disk::loadPartitionTable() {
    if (bytesPerSector_ != Sector::kBytes) {
        ZENTRAD_THROW(DiskException, getID() + " has " + std::to_string(bytesPerSector_) +
                                         "-byte sectors; only 512-byte sectors are supported");
    }
    std::uint64_t diskSectors = getSize() / Sector::kBytes;
    platform::FileHandle disk = open(platform::kGenericRead, kRawFlags);
    if (!disk)
        ZENTRAD_THROW(DiskException, "Failed to open disk: " + path_);
    PartitionTableReader reader(disk, getID(), diskSectors);
    if (!reader.read())
        return;
    sectors_ = reader.sectors();
    partitions_ = reader.partitions();
    tableLoaded_ = true;
}

void Disk::checkSectors(const std::vector<std::shared_ptr<NetSector>>& sectors) const {
    if (sectors.size() > kMaxRestoreSectors) {
        ZENTRAD_THROW(DiskException, "Refusing to write " + std::to_string(sectors.size()) +
                                         " sectors to " + getID() + " (at most " +
                                         std::to_string(kMaxRestoreSectors) + ")");
    }
    std::uint64_t size = sectors.empty() ? 0 : getSize();
    for (const auto& sector : sectors) {
        std::uint64_t offset = sector->getOffset();
        if (sector->getSize() != Sector::kBytes || offset % Sector::kBytes != 0 || offset > size ||
            size - offset < sector->getSize()) {
            ZENTRAD_THROW(DiskException, "Refusing to write a sector of " +
                                             std::to_string(sector->getSize()) +
                                             " bytes at offset " + std::to_string(offset) + " of " +
                                             getID() + " (" + std::to_string(size) + " bytes)");
        }
    }
}

void Disk::writeSectors(std::vector<std::shared_ptr<NetSector>>& sectors) {
    // A GPT is judged as a whole first, so that a table for a larger disk is refused for
    // that reason rather than for its last sector.
    if (!sectors.empty() && sectors.size() <= kMaxRestoreSectors)
        prepareGptRestore(sectors, getSize() / Sector::kBytes, getID());
    checkSectors(sectors);
    platform::FileHandle disk = open(platform::kGenericWrite, kRawFlags);
    if (!disk)
        ZENTRAD_THROW(DiskException, "Failed to open disk: " + path_);
    for (const auto& sector : sectors)
        sector->writeToDisk(disk);
    sectors.clear();
    // What was collected before describes the old table.
    tableLoaded_ = false;
    sectors_.clear();
    partitions_.clear();
}

bool Disk::updatePartitionTable() {
    platform::FileHandle disk = open(platform::kGenericRead | platform::kGenericWrite, 0);
    if (!disk)
        ZENTRAD_THROW(DiskException, "Failed to open disk: " + path_);
    std::uint32_t returned = 0;
    return !platform::deviceIoControl(disk, platform::kIoctlDiskUpdateProperties, nullptr, 0,
                                      nullptr, 0, &returned);
}

}  // namespace disk
