#include "requests/PartitionRestoreRequest.h"

#include "disk/Disk.h"
#include "disk/Sector.h"
#include "logging/Logger.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"

namespace requests {

void PartitionRestoreRequest::execute() {
    readHeader();
    logging::logInfo() << "Starting partition table restore for device (" << header_.deviceID
                       << ")";
    checkHeader();
    message().clear();
    message().write32(net::PROT_ACK);
    message().send();
    connection().sendCode(net::PROT_PARTITION_RESTORE_READY).flush();

    auto disk = disk::Disk::getDiskWithID(header_.deviceID);
    auto sectors = receiveSectors();
    std::size_t count = sectors.size();
    disk->writeSectors(sectors);
    logging::logInfo() << "Wrote " << count << " sectors to the partition table of "
                       << disk->getID();
    if (disk->updatePartitionTable()) {
        logging::logWarn() << "Asking the Operating System to re-read the partition table "
                              "failed.  You will need to reboot the machine in order to see the "
                              "new partition table.";
    }
    connection().sendCode(net::PROT_PARTITION_RESTORE_END).flush();
}

void PartitionRestoreRequest::readHeader() {
    header_ = RestoreHeader::read(message());
    sectorSize_ = message().read32();
    sectorCount_ = message().read32();
}

void PartitionRestoreRequest::checkHeader() const {
    if (sectorSize_ != disk::Sector::kBytes) {
        ZENTRAD_THROW(runtime::DiskException, "Refusing partition table restore: sectors of " +
                                                  std::to_string(sectorSize_) +
                                                  " bytes (only 512-byte sectors)");
    }
    if (sectorCount_ > disk::Disk::kMaxRestoreSectors) {
        ZENTRAD_THROW(runtime::DiskException,
                      "Refusing partition table restore: " + std::to_string(sectorCount_) +
                          " sectors (at most " + std::to_string(disk::Disk::kMaxRestoreSectors) +
                          ")");
    }
}

std::vector<std::shared_ptr<disk::NetSector>> PartitionRestoreRequest::receiveSectors() {
    std::vector<std::shared_ptr<disk::NetSector>> sectors;
    sectors.reserve(sectorCount_);
    for (std::uint32_t i = 0; i < sectorCount_; ++i) {
        ZENTRAD_CHECK_RUNNING();
        connection().readCodeExpect(net::PROT_SECTOR);
        std::uint64_t offset = connection().read64();
        auto sector = std::make_shared<disk::NetSector>(sectorSize_, offset);
        connection().readBytes(sector->getData(), sectorSize_);
        sectors.push_back(sector);
    }
    return sectors;
}

}  // namespace requests
