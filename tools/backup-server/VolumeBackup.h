// The server's side of a volume backup: sends the request (with the journal key of the
// store's last complete backup), serves the stored digests when the agent asks for them,
// receives the volume description, the used-block map, the block stream, the new journal
// key and the map of skipped blocks, verifies every digest, applies the blocks to the
// store and records the backup there. The backup is recorded only when every used block
// is accounted for: sent now, or held by the store from before.
#pragma once

#include <cstdint>
#include <string>

#include "backup-server/AgentSession.h"
#include "backup-server/VolumeStore.h"
#include "blocks/BlockMap.h"

namespace backup_server {

struct BackupOptions {
    std::string deviceID;
    std::uint32_t compressionType = 1;
    std::uint32_t compressionLevel = 6;
    std::uint32_t encryptionType = 0;
    bool checksums = true;
    // Present this key instead of the stored one (56 bytes), e.g. to force a mismatch.
    std::string journalKeyOverride;
    // Check the block stream and drop it (BlockStreamSink.h): the store is not touched.
    bool sink = false;
};

struct BackupSummary {
    bool busy = false;  // the agent answered PROT_BUSY; nothing else happened
    std::uint32_t blockSize = 0;
    std::uint64_t blockCount = 0;
    std::string driveLetter;
    bool presentedKey = false;  // a stored journal key was presented
    bool digestsRequested = false;
    std::uint64_t digestsServed = 0;
    std::uint64_t usedBlocks = 0;
    std::uint64_t blocksSent = 0;
    std::uint64_t skippedBlocks = 0;  // set in the agent's skipped-block map
    std::uint64_t compressedBlocks = 0;
    std::uint64_t wireBytes = 0;
    std::uint64_t batches = 0;
    std::uint64_t keepAlives = 0;
    double seconds = 0;
    blocks::BlockMap sent{0};
    blocks::BlockMap used{0};
};

// Throws winutil::AgentException when the agent fails or anything received does not check.
BackupSummary runVolumeBackup(AgentSession& session, VolumeStore& store,
                              const BackupOptions& options);

// Sends the used blocks' digests of the store as the agent's digest download expects
// them: PROT_ACK, the encrypted announcement, batches of at most batchSize records in
// ascending block order (each acknowledged), PROT_BLOCKSUMS_END. Returns the count sent.
std::uint64_t serveBlockSums(AgentSession& session, VolumeStore& store,
                             std::uint32_t batchSize = 4096);

// A backup into BlockStreamSink: a full backup (no stored key or digests are offered),
// every batch checked, nothing stored. Throws as runVolumeBackup.
BackupSummary runSinkBackup(AgentSession& session, const BackupOptions& options);

// One line describing the backup (what was sent and skipped, and how fast).
std::string describeBackup(const BackupSummary& summary);

}  // namespace backup_server
