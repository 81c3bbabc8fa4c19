// Partition-table backups in a store folder: one file per disk, "<Disk_N>.ptable", holding
// the sector size, the sectors with their offsets and an MD5 of everything before it, so
// a damaged or foreign file is refused instead of written to a disk.
#pragma once

#include <filesystem>
#include <string>

#include "backup-server/PartitionTable.h"

namespace backup_server {

std::filesystem::path partitionTableFile(const std::filesystem::path& store,
                                         const std::string& diskID);
// Creates the store folder when needed and replaces the disk's file atomically.
void savePartitionTable(const std::filesystem::path& store, const std::string& diskID,
                        const PartitionTableImage& image);
// Throws runtime::AgentException when the file is missing, damaged or out of bounds.
PartitionTableImage loadPartitionTable(const std::filesystem::path& store,
                                       const std::string& diskID);

}  // namespace backup_server
