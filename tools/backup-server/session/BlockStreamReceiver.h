// The server's side of the backup block stream: reads one batch of block records at a
// time and checks the batch's MD5 before using any of it, then checks that each block is
// of the volume, in use, sent once and after every block before it (the agent sends blocks
// in ascending order). In protocol version 2 every record is opened (authenticated).
//
// With a sink, each block is then deciphered and inflated, checked to be a whole block
// whose data has the MD5 its record names, and handed to the sink. Without one (the null
// target, for measuring the agent alone) the checked records are dropped: nothing is
// deciphered, inflated or stored, so the blocks' own digests are not checked.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "backup-server/session/AgentSession.h"
#include "backup-server/store/BlockSink.h"
#include "blocks/BlockMap.h"
#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "blocks/ZlibStreams.h"
#include "crypto/CipherContext.h"
#include "crypto/KeyMsg.h"

namespace backup_server {

class BlockStreamReceiver {
  public:
    static constexpr std::uint32_t kMaxBatch = 256;

    // Into sink. sessionKey is null when blocks are not enciphered. All must outlive the
    // receiver.
    BlockStreamReceiver(AgentSession& session, BlockSink& sink, const blocks::BlockMap& used,
                        const crypto::KeyMsg* sessionKey);
    // Checks and drops; enciphered says whether the request asked for enciphered blocks.
    // used must outlive the receiver.
    BlockStreamReceiver(AgentSession& session, const blocks::BlockMap& used,
                        std::uint32_t blockSize, bool enciphered);

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
    // Reads one record of the batch (its position from 0) and feeds the batch's digest.
    void readRecord(std::uint32_t position, blocks::Md5Stream& md5);
    // block is null without a sink.
    void apply(const blocks::BlockRecordHeader& header, blocks::Block* block);

    AgentSession& session_;
    BlockSink* sink_;
    const blocks::BlockMap& used_;
    std::uint32_t blockSize_;
    bool enciphered_;
    const crypto::KeyMsg* sessionKey_;
    crypto::CipherContext cipher_;
    blocks::InflateStream inflater_;
    // The batch being read, held until its digest has been checked.
    std::vector<blocks::BlockRecordHeader> headers_;
    std::vector<std::shared_ptr<blocks::Block>> blocks_;  // with a sink only
    std::vector<unsigned char> data_;
    blocks::BlockMap sent_;
    std::uint64_t blocksSent_ = 0;
    std::uint64_t compressedBlocks_ = 0;
    std::uint64_t wireBytes_ = 0;
    std::uint64_t batches_ = 0;
    std::uint64_t position_ = 0;
};

}  // namespace backup_server
