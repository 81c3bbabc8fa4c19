#include "backup-server/commands/PartitionTableSummary.h"

#include <algorithm>
#include <cstring>

#include "platform/GptFormat.h"

namespace backup_server {
namespace {

namespace gpt = platform::gpt;

const TableSector* sectorAt(const PartitionTableImage& image, std::uint64_t lba) {
    auto found = std::find_if(image.sectors.begin(), image.sectors.end(), [lba](const auto& s) {
        return s.offset == lba * gpt::kSectorBytes && s.data.size() == gpt::kSectorBytes;
    });
    return found == image.sectors.end() ? nullptr : &*found;
}

const std::uint8_t* bytesOf(const TableSector& sector) {
    return reinterpret_cast<const std::uint8_t*>(sector.data.data());
}

// The primary header and its entries, checked as the agent checks them before a restore.
std::string describeGpt(const PartitionTableImage& image) {
    const TableSector* primary = sectorAt(image, 1);
    if (primary == nullptr)
        return "GPT, damaged: no header at sector 1";
    std::uint64_t alternate = 0;
    std::memcpy(&alternate, bytesOf(*primary) + 32, sizeof alternate);
    std::uint64_t diskSectors = alternate + 1;
    std::string error;
    auto header = gpt::parseHeader(bytesOf(*primary), 1, diskSectors, error);
    if (!header)
        return "GPT, damaged: " + error;
    std::string array;
    for (std::uint64_t i = 0; i < header->arraySectors(); ++i) {
        const TableSector* sector = sectorAt(image, header->entryLba + i);
        if (sector == nullptr)
            return "GPT, damaged: entry array sector " + std::to_string(header->entryLba + i) +
                   " missing";
        array += sector->data;
    }
    auto entries =
        gpt::parseEntries(*header, reinterpret_cast<const std::uint8_t*>(array.data()), error);
    if (!entries)
        return "GPT, damaged: " + error;
    return "GPT, disk " + gpt::guidText(header->diskGuid) + ", " + std::to_string(entries->size()) +
           " partitions, made for a disk of " + std::to_string(diskSectors) + " sectors";
}

}  // namespace

std::string describePartitionTable(const PartitionTableImage& image) {
    const TableSector* mbr = sectorAt(image, 0);
    if (mbr == nullptr)
        return "no partition table";
    if (gpt::isProtectiveMbr(bytesOf(*mbr)))
        return describeGpt(image);
    return "MBR";
}

}  // namespace backup_server
