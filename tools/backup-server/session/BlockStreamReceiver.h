// The server's side of the backup block stream: reads one batch of block records at a
// time, checks the batch's MD5 before using any of it, then deciphers and inflates each
// block, checks that it is a whole block of the volume, in use, sent once and after every
// block before it (the agent sends blocks in ascending order), and that its data has the
// MD5 its record names, and hands it to the sink.
#pragma once

#include <cstdint>

#include "backup-server/session/AgentSession.h"
#include "backup-server/store/BlockSink.h"
#include "blocks/BlockMap.h"
#include "blocks/ZlibStreams.h"
#include "crypto/CipherContext.h"
#include "crypto/KeyMsg.h"

namespace backup_server {

class BlockStreamReceiver {
  public:
    static constexpr std::uint32_t kMaxBatch = 256;

    // sessionKey is null when blocks are not enciphered. All must outlive the receiver.
    BlockStreamReceiver(AgentSession& session, BlockSink& sink, const blocks::BlockMap& used,
                        const crypto::KeyMsg* sessionKey);

    // Reads the rest of a batch of count blocks (after its PROT_BLOCKS announcement).
    // Throws runtime::AgentException for anything malformed or inconsistent.
    void receiveBatch(std::uint32_t count);

    const blocks::BlockMap& sent() const { return sent_; }
    std::uint64_t blocksSent() const { return blocksSent_; }
    std::uint64_t compressedBlocks() const { return compressedBlocks_; }
    std::uint64_t wireBytes() const { return wireBytes_; }
    std::uint64_t batches() const { return batches_; }
    // One past the highest block received (0 before the first).
    std::uint64_t position() const { return position_; }

  private:
    void apply(blocks::Block& block);

    AgentSession& session_;
    BlockSink& sink_;
    const blocks::BlockMap& used_;
    const crypto::KeyMsg* sessionKey_;
    crypto::CipherContext cipher_;
    blocks::InflateStream inflater_;
    blocks::BlockMap sent_;
    std::uint64_t blocksSent_ = 0;
    std::uint64_t compressedBlocks_ = 0;
    std::uint64_t wireBytes_ = 0;
    std::uint64_t batches_ = 0;
    std::uint64_t position_ = 0;
};

}  // namespace backup_server
