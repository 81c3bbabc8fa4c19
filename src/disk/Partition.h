// One entry of an MBR-style partition table (the master boot record or an extended boot
// record), parsed from its 16 bytes. Offsets on the disk are absolute bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace disk {

class Partition {
  public:
    static constexpr std::size_t kEntryBytes = 16;

    // Parses one table entry held by the sector (base + relative) of a disk with
    // sectorSize-byte sectors. A normal entry counts from its own table sector; an extended
    // (link) entry counts from base, the start of the outermost extended partition.
    static std::shared_ptr<Partition> fromEntry(const std::uint8_t* entry, std::uint64_t sectorSize,
                                                std::uint64_t base, std::uint64_t relative);

    // 0x05 and 0x0F link extended boot records.
    static bool isExtendedType(std::uint32_t sysInd) { return sysInd == 0x05 || sysInd == 0x0F; }
    bool isExtended() const { return isExtendedType(sysInd); }
    bool isUsed() const { return sysInd != 0; }

    std::string toString() const;

    bool fromTable = true;
    std::uint32_t bootInd = 0;
    std::uint32_t startHead = 0;
    std::uint32_t startSector = 0;
    std::uint32_t startCylinder = 0;
    std::uint32_t sysInd = 0;
    std::uint32_t endHead = 0;
    std::uint32_t endSector = 0;
    std::uint32_t endCylinder = 0;
    std::uint64_t relativeSector = 0;
    std::uint64_t numberSectors = 0;
    std::uint64_t sectorSize = 0;
    std::uint64_t startingOffsetBytes = 0;
    std::uint64_t lengthBytes = 0;
};

}  // namespace disk
