// The server's side of a volume restore: asks the agent to restore a partition, streams
// the blocks of a source back in batches (optionally deflated, optionally enciphered with
// the agent's backup session key or with a key sent in the request), ends the stream and
// checks the agent's answers.
//
// The steps are also offered one by one, so that tests can send streams an honest server
// would not.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "backup-server/session/AgentSession.h"
#include "blocks/BlockChannel.h"
#include "crypto/KeyMsg.h"
#include "crypto/SecureChannel.h"

namespace backup_server {

struct RestoreOptions {
    std::string deviceID;  // the partition to write, "Disk N Partition M"
    std::uint32_t blockSize = 0;
    std::uint32_t maxBlocks = 256;    // the largest batch the agent must accept
    std::uint32_t batchBlocks = 256;  // blocks per batch sent
    // Threads that deflate, encipher and frame batches; 0: one per core. The bytes sent do
    // not depend on it.
    unsigned workers = 0;
    std::uint32_t compressionType = 0;
    std::uint32_t compressionLevel = 6;
    std::uint32_t encryptionType = 0;
    // With encryption: the key sent in the request and used to encipher; without one the
    // blocks are enciphered with sessionKey, the agent's own backup session key.
    std::optional<crypto::KeyMsg> requestKey;
    std::optional<crypto::KeyMsg> sessionKey;
    // For tests of the agent's checks: one byte of this batch's data (counted from 0) is
    // flipped after the batch's digest was computed.
    std::optional<std::uint64_t> corruptBatch;
    // Protocol version 2: the keys the records are sealed under, so that the packing
    // threads seal them (set by runVolumeRestore from the session).
    struct Sealing {
        crypto::DirectionKeys keys;
        std::uint64_t request = 0;  // the sequence number the restore request will have
    };
    std::optional<Sealing> sealing;
};

// Where the blocks come from.
class BlockSource {
  public:
    virtual ~BlockSource() = default;
    // The next plain block (data of the block size, digest set), or null at the end.
    // Called from one thread at a time, not necessarily the one that made the source.
    virtual blocks::BlockPtr next() = 0;
};

struct RestoreSummary {
    std::uint64_t blocksSent = 0;
    std::uint64_t batches = 0;
    std::uint64_t compressedBlocks = 0;
    std::uint64_t plainBytes = 0;  // block data before deflating and enciphering
    std::uint64_t wireBytes = 0;   // block records as sent
    double seconds = 0;
};

// Sends the request and waits for PROT_ACK and PROT_RESTORE_READY.
void startVolumeRestore(AgentSession& session, const RestoreOptions& options);
// Sends one batch of blocks as they are (already deflated or enciphered as announced);
// corrupt flips a data byte after the digest. Returns the bytes of the records.
std::uint64_t sendRestoreBatch(AgentSession& session, const std::vector<blocks::BlockPtr>& batch,
                               bool corrupt = false);
// The encrypted PROT_RESTORE_END that ends the block stream.
void endRestoreStream(AgentSession& session);
// Waits for the agent's PROT_ACK and PROT_RESTORE_DONE.
void finishVolumeRestore(AgentSession& session);

// All steps with the blocks of source, read on a thread of their own and packed on
// options.workers threads (see BatchPipeline); a source's error ends the restore with that
// error. Throws runtime::AgentException with the agent's reason (its last ERROR record)
// when the agent ends the connection.
RestoreSummary runVolumeRestore(AgentSession& session, const RestoreOptions& options,
                                BlockSource& source);

class PackedRestoreReader;
// All steps with the units of a packed restore; options as the reader gives them, with the
// device to write.
RestoreSummary runPackedRestore(AgentSession& session, const RestoreOptions& options,
                                PackedRestoreReader& packed);

// One line: blocks, batches, bytes and throughput.
std::string describeRestore(const RestoreSummary& summary);

}  // namespace backup_server
