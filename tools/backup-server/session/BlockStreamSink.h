// A null target for the backup block stream, for measuring the agent alone: every batch is
// read and checked as the store's receiver checks it (framing, record lengths, the
// batch's MD5, block numbers strictly ascending over the whole stream and naming used
// blocks of the volume), then dropped. Nothing is deciphered, inflated or stored, so the
// blocks' own digests are not checked; in protocol version 2 every record is opened
// (authenticated) as the store's receiver opens it.
#pragma once

#include <cstdint>
#include <vector>

#include "backup-server/session/AgentSession.h"
#include "blocks/BlockMap.h"

namespace backup_server {

class BlockStreamSink {
  public:
    static constexpr std::uint32_t kMaxBatch = 256;

    // used must outlive the sink.
    BlockStreamSink(AgentSession& session, const blocks::BlockMap& used, std::uint32_t blockSize,
                    bool encrypted);

    // Reads the rest of a batch of count blocks (after its PROT_BLOCKS announcement).
    // Throws runtime::AgentException for anything malformed or out of order.
    void receiveBatch(std::uint32_t count);

    std::uint64_t blocksSent() const { return blocksSent_; }
    std::uint64_t compressedBlocks() const { return compressedBlocks_; }
    std::uint64_t wireBytes() const { return wireBytes_; }
    std::uint64_t batches() const { return batches_; }
    // The block index after the last one received (0 before any), for progress.
    std::uint64_t position() const { return anyBlock_ ? lastIndex_ + 1 : 0; }

  private:
    AgentSession& session_;
    const blocks::BlockMap& used_;
    std::uint32_t blockSize_;
    bool encrypted_;
    bool anyBlock_ = false;
    std::uint64_t lastIndex_ = 0;
    std::vector<unsigned char> data_;
    std::uint64_t blocksSent_ = 0;
    std::uint64_t compressedBlocks_ = 0;
    std::uint64_t wireBytes_ = 0;
    std::uint64_t batches_ = 0;
};

}  // namespace backup_server
