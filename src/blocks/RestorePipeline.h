// Runs the stages of a volume restore over one connection: NetProducer receives the block
// stream, DecryptionStage deciphers (only when the blocks are enciphered), InflateStage
// inflates, DiskConsumer writes through the RestorePartition. The calling thread builds,
// starts and joins the stages' threads.
#pragma once

#include <cstdint>
#include <optional>

#include "blocks/NetProducer.h"
#include "blocks/RestorePartition.h"
#include "crypto/KeyMsg.h"
#include "net/EncryptedMessage.h"
#include "net/ProtocolStream.h"

namespace blocks {

struct RestoreStreamResult {
    // Every block of the stream was received, deciphered, inflated and written, and the
    // stream's end was seen.
    bool succeeded = false;
    std::uint64_t blocksReceived = 0;
    std::uint64_t batchesReceived = 0;
    std::uint64_t blocksWritten = 0;
};

// key is used when format.encrypted is set (and must then be given). Lines the stages log
// go to the calling thread's network logger as well. Throws only when the pipeline cannot
// be built (runtime::AgentException); a stage's failure is logged by that stage and
// reported through the result. Deciphering and inflating have workerThreads workers
// each (0: one per core); the blocks reach the disk writer in the order they came.
RestoreStreamResult receiveBlockStream(net::ProtocolStream& connection,
                                       net::EncryptedMessage& message,
                                       const BlockStreamFormat& format,
                                       const std::optional<crypto::KeyMsg>& key,
                                       RestorePartition& partition,
                                       std::uint32_t workerThreads = 0);

}  // namespace blocks
