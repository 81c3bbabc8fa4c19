// Partition-table backups in a store: every partition-backup is a generation, kept per
// agent and disk in the catalogue (table partition_tables) with its file in STORE/tables.
// A file holds the sector size, the sectors with their offsets and an MD5 of everything
// before it, so a damaged or foreign file is refused instead of written to a disk.
// Generations are forgotten by forget's rules and their files removed by gc, like points.
//
// A store of the earlier layout kept one file per disk, STORE/Disk_N.ptable, overwritten by
// each backup: a writer adopts those files as generations of kLegacyAgent, and a reader
// of such a store reads them there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "backup-server/store/PartitionTable.h"
#include "backup-server/store/Store.h"

namespace backup_server {

// A new generation of the disk's table for agent; the store must be open for writing.
PartitionTableRecord savePartitionTable(Store& store, const std::string& agent,
                                        const std::string& diskID,
                                        const PartitionTableImage& image);
// The generations in ascending id, of one agent and disk, of either, or all (those of the
// earlier layout first, with id 0).
std::vector<PartitionTableRecord> listPartitionTables(
    Store& store, const std::optional<std::string>& agent = std::nullopt,
    const std::optional<std::string>& diskID = std::nullopt);
// Generation id of agent and disk, or its latest when id is 0. Throws
// runtime::AgentException when there is none, UsageError when id is of another agent or disk.
PartitionTableRecord choosePartitionTable(Store& store, const std::string& agent,
                                          const std::string& diskID, std::int64_t id);
std::filesystem::path partitionTableFile(const Store& store, const PartitionTableRecord& table);
// Throws runtime::AgentException when the file is missing, damaged or out of bounds.
PartitionTableImage loadPartitionTable(const Store& store, const PartitionTableRecord& table);
// Moves a store's STORE/Disk_N.ptable files of the earlier layout into the catalogue.
void adoptLegacyPartitionTables(Store& store);

}  // namespace backup_server
