// Downloads the server's block digests for a volume into a BlockSumManager, on the
// connection's thread before the backup pipeline starts:
//   agent:  encrypted PROT_BLOCKSUMS_REQUEST
//   server: PROT_ACK, then encrypted (u32, u64, u32 batch size)
//   server, per batch (plain): PROT_BLOCKSUMS | u32 n | n × (u32 block | 16-byte MD5)
//                              | PROT_BLOCKSUMS_DIGEST | 16 bytes;   agent: PROT_BLOCKSUMS_ACK
//   server: PROT_BLOCKSUMS_END
// A batch may hold at most the announced batch size; block numbers must rise strictly
// across all batches and stay below the volume's block count (a wrong order would give
// every later block the wrong digest). Only a bounded piece of a batch is held in memory.
#pragma once

#include "blocks/BlockSumManager.h"
#include "net/ServerConnection.h"

namespace blocks {

// Throws runtime::ShutdownException when the agent stops, runtime::AgentException for a
// remote error, a protocol error or a malformed batch, net::SocketException for the wire.
void downloadBlockSums(net::ServerConnection& socket, BlockSumManager& manager);

}  // namespace blocks
