// The server's side of a volume backup: takes the store's shared write lock and the lock of
// the agent's volume (backups of other volumes may run beside it), sends the request
// (with the journal key of the volume's latest restore point, unless chunks of that point
// are missing from the store: then the agent compares digests and sends their blocks
// again), serves that point's digests
// when the agent asks for them, receives the volume description, the used-block map, the
// block stream, the new journal key and the map of skipped blocks, verifies every digest,
// builds a new restore point from the blocks and adds it to the store. The point appears
// only after PROT_BACKUP_COMPLETE, when every used block is accounted for: sent now, or
// held by the latest point from before.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backup-server/session/AgentSession.h"
#include "backup-server/store/PointReader.h"
#include "backup-server/store/Progress.h"
#include "backup-server/store/VolumeStore.h"
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
    // Check the block stream and drop it (BlockStreamReceiver.h without a sink): the store
    // is not touched.
    bool sink = false;
    // Shows how far the block stream has come (none when null).
    Progress* progress = nullptr;
    KeySource keys;  // unlocks (or, for a new store, encrypts) the store
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
    std::string kind;               // full, incremental or digest-compared
    std::int64_t point = 0;         // the restore point added
    std::uint64_t storedBytes = 0;  // chunk bytes the point added to the store
    std::vector<std::string> warnings;
    blocks::BlockMap sent{0};
    blocks::BlockMap used{0};
};

// Throws runtime::AgentException when the agent fails or anything received does not check,
// StoreInUse when gc holds the store or another backup the agent's volume. The volume store is
// refreshed.
BackupSummary runVolumeBackup(AgentSession& session, VolumeStore& store,
                              const BackupOptions& options);

// Sends the used blocks' digests of a point (none without one) as the agent's digest
// download expects them: PROT_ACK, the encrypted announcement, batches of at most
// batchSize records in ascending block order (each acknowledged), PROT_BLOCKSUMS_END.
// Blocks of a chunk that cannot be read get no digest, so the agent sends them again.
// Returns the count sent.
std::uint64_t serveBlockSums(AgentSession& session, PointReader* point,
                             std::uint32_t batchSize = 4096);

// The same exchange into the null target: a full backup (no stored key or digests are
// offered), every batch checked, nothing stored. Throws as runVolumeBackup.
BackupSummary runSinkBackup(AgentSession& session, const BackupOptions& options);

// One line describing the backup (what was sent and skipped, and how fast).
std::string describeBackup(const BackupSummary& summary);

}  // namespace backup_server
