// Partition-table backups in a store: every partition-backup is a generation, kept per
// agent and disk in the catalogue (table partition_tables) with its file in STORE/tables.
// A file holds the sector size, the sectors with their offsets and an MD5 of everything
// before it, so a damaged or foreign file is refused instead of written to a disk; an
// encrypted store seals it (SealedFile.h) under its file name, like a point index.
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

#include "backup-server/store/PartitionTableImage.h"
#include "backup-server/store/Store.h"

namespace backup_server {

// A table file's bytes: the sector size, the sectors with their offsets and an MD5 of
// everything before it, sealed under fileName in an encrypted store.
std::string partitionTableBytes(const StoreCipher& cipher, const std::string& fileName,
                                const PartitionTableImage& image);
// The image in a table file's bytes (sealed, or plain as every store kept them before
// encrypted stores sealed them). Throws StoreError naming file when they are damaged,
// sealed under another name or out of bounds.
PartitionTableImage partitionTableFromBytes(const StoreCipher& cipher, const std::string& fileName,
                                            const std::string& stored,
                                            const std::filesystem::path& file);
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
// StoreError when there is none, UsageError when id is of another agent or disk.
PartitionTableRecord choosePartitionTable(Store& store, const std::string& agent,
                                          const std::string& diskID, std::int64_t id);
std::filesystem::path partitionTableFile(const Store& store, const PartitionTableRecord& table);
// Throws StoreError when the file is missing, damaged or out of bounds.
PartitionTableImage loadPartitionTable(const Store& store, const PartitionTableRecord& table);
// Moves a store's STORE/Disk_N.ptable files of the earlier layout into the catalogue.
void adoptLegacyPartitionTables(Store& store);

}  // namespace backup_server
