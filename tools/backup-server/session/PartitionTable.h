// Partition-table backups and restores from the server's side: the sectors of one disk's
// partition information as the agent sends them, and sending them back.
#pragma once

#include <cstdint>
#include <string>

#include "backup-server/session/AgentSession.h"
#include "backup-server/store/PartitionTableImage.h"

namespace backup_server {

// PROT_REQ_PARTITION_BACKUP for a disk ("Disk N"); reads the agent's sectors. Throws
// runtime::AgentException, also when the agent reports a failure.
PartitionTableImage backupPartitionTable(AgentSession& session, const std::string& diskID);

// The steps of a restore, for callers that need to send something unusual:
// startPartitionRestore sends the request announcing sectorSize and count and waits for
// the agent's PROT_ACK and PROT_PARTITION_RESTORE_READY; sendTableSector sends one sector;
// finishPartitionRestore waits for PROT_PARTITION_RESTORE_END.
void startPartitionRestore(AgentSession& session, const std::string& diskID,
                           std::uint32_t sectorSize, std::uint32_t count);
void sendTableSector(AgentSession& session, const TableSector& sector);
void finishPartitionRestore(AgentSession& session);

// All three steps with an image.
void restorePartitionTable(AgentSession& session, const std::string& diskID,
                           const PartitionTableImage& image);

}  // namespace backup_server
