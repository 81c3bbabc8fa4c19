#include "disk/Partition.h"

#include <sstream>

#include "platform/ByteOrder.h"

namespace disk {

std::shared_ptr<Partition> Partition::fromEntry(const std::uint8_t* entry, std::uint64_t sectorSize,
                                                std::uint64_t base, std::uint64_t relative) {
    auto partition = std::make_shared<Partition>();
    partition->bootInd = entry[0];
    partition->startHead = entry[1];
    partition->startSector = entry[2];
    partition->startCylinder = entry[3];
    partition->sysInd = entry[4];
    partition->endHead = entry[5];
    partition->endSector = entry[6];
    partition->endCylinder = entry[7];
    partition->relativeSector = platform::loadLittleEndian(entry + 8, 4);
    partition->numberSectors = platform::loadLittleEndian(entry + 12, 4);
    partition->sectorSize = sectorSize;
    // All terms are below 2^33 sectors, so the sum times a sector size cannot overflow.
    std::uint64_t origin = partition->isExtended() ? base : base + relative;
    partition->startingOffsetBytes = (partition->relativeSector + origin) * sectorSize;
    partition->lengthBytes = partition->numberSectors * sectorSize;
    return partition;
}

std::string Partition::toString() const {
    std::ostringstream text;
    text << "\n\tbootInd (" << bootInd << ")"
         << "\n\tsysInd (" << sysInd << ")"
         << "\n\trelativeSector (" << relativeSector << ")"
         << "\n\tnumberSectors (" << numberSectors << ")"
         << "\n\tstartingOffsetBytes (" << startingOffsetBytes << ")"
         << "\n\tisextended (" << (isExtended() ? 1 : 0) << ")";
    return text.str();
}

}  // namespace disk
