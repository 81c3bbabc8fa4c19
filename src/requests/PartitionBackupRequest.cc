#include "requests/PartitionBackupRequest.h"

#include "disk/Disk.h"
#include "logging/Logger.h"
#include "runtime/RunState.h"

namespace requests {

void PartitionBackupRequest::execute() {
    message().read32();
    message().read32();
    std::string deviceID = message().readString();
    logging::logInfo() << "Starting partition table backup for device (" << deviceID << ")";
    // Collected before anything is sent, so a missing disk or an unreadable table fails
    // the request ahead of the first reply.
    auto disk = disk::Disk::getDiskWithID(deviceID);
    auto sectors = disk->getSectors();

    message().clear();
    message().write32(net::PROT_ACK);
    message().send();
    message().clear();
    message().write32(net::PROT_PARTITION_TABLE);
    message().write32(disk->getBytesPerSector());
    message().write32(static_cast<std::uint32_t>(sectors.size()));
    message().send();

    for (const auto& sector : sectors) {
        ZENTRAD_CHECK_RUNNING();
        auto unit = connection().sendCode(net::PROT_SECTOR);
        unit.write64(sector->getOffset());
        unit.write(sector->getData(), sector->getSize());
        unit.flush();
    }
    connection().sendCode(net::PROT_PARTITION_BACKUP_END).flush();
    logging::logInfo() << "Sent " << sectors.size() << " sectors of the partition table of "
                       << disk->getID();
}

}  // namespace requests
