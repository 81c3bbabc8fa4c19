// The sectors of one disk's partition information, as an agent sends them and a store keeps
// them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace backup_server {

struct TableSector {
    std::uint64_t offset = 0;  // bytes on the disk
    std::string data;
    bool operator==(const TableSector&) const = default;
};

struct PartitionTableImage {
    std::uint32_t sectorSize = 512;
    std::vector<TableSector> sectors;
};

// Largest sector and count the server accepts from an agent.
constexpr std::uint32_t kMaxTableSectorSize = 4096;
constexpr std::uint32_t kMaxTableSectors = 65536;

}  // namespace backup_server
