// Runs the block pipeline of one backup: disk reader, optional compressor, optional
// encryptor and network sender, joined by bounded channels. The reader and the sender
// have a thread each; compression and encryption have several workers each, whose
// blocks still leave in ascending order, exactly as one worker would send them.
// In protocol version 2 (the stream has a channel) blocks are not enciphered with the
// session key whatever the settings say: the sender seals every record instead.
// Everything that can be refused is checked before any stage thread starts (the
// transformation types, the zlib stream, the key), so a refused backup reads no block.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "blocks/BlockMap.h"
#include "blocks/BlockReader.h"
#include "blocks/BlockSumManager.h"
#include "blocks/NetConsumer.h"
#include "crypto/KeyMsg.h"
#include "logging/NetLogger.h"
#include "net/ProtocolStream.h"

namespace blocks {

struct BackupPipelineSettings {
    std::uint32_t compressionType = 0;  // 0 raw, 1 deflate
    std::uint32_t compressionLevel = 6;
    std::uint32_t encryptionType = 0;  // 0 none, 1 Blowfish with sessionKey
    const crypto::KeyMsg* sessionKey = nullptr;
    std::chrono::milliseconds keepAliveInterval = NetConsumer::kKeepAliveInterval;
    // Threads per transforming stage (compression, encryption); 0: one per core.
    std::uint32_t workers = 0;
};

// What to send: every used block, or the used ones among changes; skipped (optional)
// loses the bit of every block sent; blockSums (optional) leaves out blocks the server
// holds (ignored when changes is given). All must outlive the call.
struct BackupPipelineInput {
    BlockReader* reader = nullptr;
    const BlockMap* usedBlocks = nullptr;
    BlockMap* skipped = nullptr;
    BlockSumManager* blockSums = nullptr;
    const ChangedBlocks* changes = nullptr;
};

struct BackupPipelineResult {
    std::uint64_t blocksSent = 0;
    std::uint64_t blocksRead = 0;
    std::uint64_t duplicatesSkipped = 0;
};

// Returns when every chosen block has been sent. Throws runtime::AgentException for an
// unknown compression or encryption type (before any block is read) and when a stage
// failed, runtime::ShutdownException when the agent stops. Every exception is first logged
// at ERROR with its text.
BackupPipelineResult runBackupPipeline(const BackupPipelineInput& input,
                                       const BackupPipelineSettings& settings,
                                       net::ProtocolStream& stream,
                                       const crypto::KeyMsg& protocolKey);

}  // namespace blocks
