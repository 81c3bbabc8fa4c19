// First stage of a volume restore: receives the server's block stream and hands its
// blocks out one at a time. A batch is announced in an encrypted message (PROT_BLOCKS and
// a 16-bit count n), followed by PROT_BLOCK_STREAM, n block records and
// PROT_BLOCK_STREAM_DIGEST with the MD5 of those records; an encrypted PROT_RESTORE_END
// with a 32-bit value ends the stream.
//
// A whole batch is received and its digest checked before any block of it is handed out,
// so a damaged batch never reaches the disk. In protocol version 2 (the connection has a
// channel) every record's data is sealed: once the batch digest held, each is opened,
// bound to its batch, its position and its header, and one that does not open fails the
// restore. Every length is checked before anything is
// allocated: at most maxBlocks blocks (and at most kMaxBatchBytes of data) per batch, each
// record at most blockSize bytes (plus the cipher's padding when enciphered).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "blocks/BlockBufferPool.h"
#include "blocks/BlockChannel.h"
#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "blocks/ReceiverInterrupt.h"
#include "net/EncryptedMessage.h"
#include "net/ProtocolStream.h"
#include "yin/Producer.h"
#include "yin/Stage.h"

namespace blocks {

struct BlockStreamFormat {
    std::uint32_t maxBlocks = 0;  // the most blocks one batch may hold
    std::uint64_t blockSize = 0;  // bytes of every block once plain
    bool encrypted = false;       // the records' data are enciphered
};

class NetProducer : public yin::RequestThread, public yin::Producer<BlockPtr> {
  public:
    // The receiver never holds more than this much block data in one batch.
    static constexpr std::uint64_t kMaxBatchBytes = 64u << 20;

    // The connection and message must outlive the stage; while it runs, no other thread
    // reads from the connection. interrupt tells it that another stage failed.
    NetProducer(std::shared_ptr<BlockChannel> output, yin::Latch& latch,
                std::shared_ptr<logging::NetLogger> netLogger, net::ProtocolStream& connection,
                net::EncryptedMessage& message, const BlockStreamFormat& format,
                const ReceiverInterrupt& interrupt);

    bool isDone() override { return failed_; }
    void started() override { installNetLogger(); }

    // True once the end of the stream was received.
    bool finished() const { return finished_; }
    bool failed() const { return failed_; }
    std::uint64_t blocksReceived() const { return blocksReceived_; }
    std::uint64_t batchesReceived() const { return batchesReceived_; }
    // The pool the received records' buffers come from; its buffers hold a whole block, so
    // later stages may take their output buffers from it too.
    const std::shared_ptr<BlockBufferPool>& buffers() const { return buffers_; }

  protected:
    void produce(BlockPtr& item) override;
    // The rest of the batch received last, or the whole next batch.
    void produceSome(std::vector<BlockPtr>& items) override;

  private:
    template <typename Body>
    void guarded(Body&& body);
    void receiveNext();
    void receiveBlockPipeline();
    // A batch ends with the digest's code and the digest itself.
    static constexpr std::size_t kTrailerBytes = 4 + kDigestBytes;
    // Reads a record's data and the followingSize bytes after it (into following).
    // Version 2 keeps the sealed record for openRecord and returns null.
    BlockPtr receiveRecord(const BlockRecordHeaderBytes& header, unsigned char* following,
                           std::size_t followingSize);
    struct SealedRecord {
        BlockRecordHeader header;
        BlockBuffer data;
    };
    BlockPtr openRecord(SealedRecord& record, std::uint32_t position);
    void checkDigest(const std::array<unsigned char, kTrailerBytes>& trailer);

    net::ProtocolStream& connection_;
    net::EncryptedMessage& message_;
    BlockStreamFormat format_;
    std::uint32_t batchLimit_;
    const ReceiverInterrupt& interrupt_;
    std::optional<crypto::BlockSealer> sealer_;  // version 2: opens every record
    std::shared_ptr<BlockBufferPool> buffers_;
    Md5Stream digest_;
    std::vector<BlockPtr> batch_;
    std::vector<BlockPtr> incoming_;    // the batch being received
    std::vector<SealedRecord> sealed_;  // version 2: its records until the digest held
    std::size_t next_ = 0;
    bool finished_ = false;
    bool failed_ = false;
    std::uint64_t blocksReceived_ = 0;
    std::uint64_t batchesReceived_ = 0;
};

}  // namespace blocks
