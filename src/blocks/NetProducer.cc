#include "blocks/NetProducer.h"

#include <array>
#include <cstring>

#include <algorithm>
#include <string>

#include "blocks/BlockRecord.h"
#include "logging/Logger.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"
#include "yin/Exceptions.h"
#include "yin/StageGuard.h"

namespace blocks {
namespace {

constexpr yin::FailureTexts kReadFailure{"Error while reading blocks from network: ",
                                         "Unknown exception in net producer"};

// The most a record's data may exceed the block: cipher padding (version 1) or the
// channel's tag (version 2).
constexpr std::uint64_t kRecordOverhead =
    std::max<std::uint64_t>(Block::kCipherOverhead, crypto::kChannelTagBytes);

std::uint32_t batchLimitFor(const BlockStreamFormat& format) {
    std::uint64_t perBlock = format.blockSize + kRecordOverhead;
    std::uint64_t byMemory = NetProducer::kMaxBatchBytes / perBlock;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(format.maxBlocks, byMemory));
}

// Room for the longest record (a whole block, enciphered) and what is read with it.
std::size_t recordCapacityFor(const BlockStreamFormat& format) {
    return static_cast<std::size_t>(std::min(format.blockSize, Block::kMaxSize) + kRecordOverhead +
                                    kBlockRecordHeaderBytes);
}

}  // namespace

NetProducer::NetProducer(std::shared_ptr<BlockChannel> output, yin::Latch& latch,
                         std::shared_ptr<logging::NetLogger> netLogger,
                         net::ProtocolStream& connection, net::EncryptedMessage& message,
                         const BlockStreamFormat& format, const ReceiverInterrupt& interrupt)
    : yin::RequestThread(std::move(netLogger)),
      yin::Producer<BlockPtr>(std::move(output), latch),
      connection_(connection),
      message_(message),
      format_(format),
      batchLimit_(batchLimitFor(format)),
      interrupt_(interrupt),
      sealer_(connection.channel() != nullptr
                  ? std::optional(connection.channel()->blockSealer(false))
                  : std::nullopt),
      // The stages' channels may hold thousands of small blocks besides a batch: keep as
      // many idle buffers as a batch's memory allows, so a pipeline at its peak still
      // reuses every buffer it frees.
      buffers_(BlockBufferPool::create(
          recordCapacityFor(format),
          std::max<std::size_t>(kMaxBatchBytes / recordCapacityFor(format), 64))) {}

template <typename Body>
void NetProducer::guarded(Body&& body) {
    yin::guardStage(
        kReadFailure, failed_,
        [&] {
            ZENTRAD_CHECK_RUNNING();
            body();
        },
        {}, [this] { return interrupt_.triggered(); });
}

void NetProducer::produce(BlockPtr& item) {
    guarded([&] {
        if (next_ == batch_.size())
            receiveNext();
        item = std::move(batch_[next_++]);
    });
}

void NetProducer::produceSome(std::vector<BlockPtr>& items) {
    guarded([&] {
        if (next_ == batch_.size())
            receiveNext();
        for (; next_ < batch_.size(); ++next_)
            items.push_back(std::move(batch_[next_]));
    });
}

void NetProducer::receiveNext() {
    message_.receiveExpected();
    net::Code code = message_.read32();
    if (code == net::PROT_BLOCKS) {
        receiveBlockPipeline();
        return;
    }
    if (code == net::PROT_RESTORE_END) {
        message_.read32();
        finished_ = true;
        throw yin::EndOfStreamException("producer reading from network is finished");
    }
    ZENTRAD_THROW(runtime::AgentException,
                  "Unexpected code (0x" + net::hexCode(code) + ") during restore");
}

void NetProducer::receiveBlockPipeline() {
    std::uint16_t count = message_.read16();
    if (count == 0 || count > batchLimit_) {
        ZENTRAD_THROW(runtime::AgentException, "Block stream error: (" + std::to_string(count) +
                                                   ") invalid number of blocks in stream");
    }
    batch_.clear();
    next_ = 0;
    connection_.readCodeExpect(net::PROT_BLOCK_STREAM);
    // The vector of the batch before last is refilled: its room is already there.
    std::vector<BlockPtr>& received = incoming_;
    received.clear();
    received.reserve(count);
    // Each socket read takes a record's data together with what must follow it: the next
    // record's header, or after the last record the digest's code and bytes. One read per
    // record, and never a byte beyond the batch.
    BlockRecordHeaderBytes header{};
    connection_.readRawBytes(header.data(), static_cast<std::int64_t>(header.size()));
    std::array<unsigned char, kTrailerBytes> trailer{};
    sealed_.clear();
    for (std::uint16_t i = 0; i < count; ++i) {
        bool last = i + 1 == count;
        BlockPtr block = receiveRecord(header, last ? trailer.data() : header.data(),
                                       last ? trailer.size() : header.size());
        if (block) {
            block->setPlace({batchesReceived_ + 1, i, count});
            received.push_back(std::move(block));
        }
    }
    checkDigest(trailer);
    // Version 2: opened once the batch digest held, so a damaged batch is reported as such.
    for (std::uint16_t i = 0; i < sealed_.size(); ++i) {
        received.push_back(openRecord(sealed_[i], i));
        received.back()->setPlace({batchesReceived_ + 1, i, count});
    }
    sealed_.clear();
    std::swap(batch_, received);
    blocksReceived_ += count;
    ++batchesReceived_;
}

BlockPtr NetProducer::receiveRecord(const BlockRecordHeaderBytes& bytes, unsigned char* following,
                                    std::size_t followingSize) {
    BlockRecordHeader header =
        sealer_ ? parseSealedRecordHeader(bytes, format_.blockSize)
                : parseBlockRecordHeader(bytes, format_.blockSize, format_.encrypted);
    digest_.update(bytes.data(), bytes.size());
    static_assert(kTrailerBytes <= kBlockRecordHeaderBytes);
    std::size_t wanted = header.length + followingSize;
    BlockBuffer data = wanted <= buffers_->capacity()
                           ? buffers_->take()
                           : std::make_shared_for_overwrite<unsigned char[]>(wanted);
    connection_.readRawBytes(data.get(), static_cast<std::int64_t>(header.length + followingSize));
    auto [digested, length] = digestedData(data.get(), header.length, sealer_.has_value());
    digest_.update(digested, length);
    std::memcpy(following, data.get() + header.length, followingSize);
    if (sealer_) {
        sealed_.push_back({header, std::move(data)});
        return nullptr;
    }
    BlockPtr block = buffers_->makeBlock(header.index, format_.blockSize, std::move(data),
                                         header.length, header.compressed, format_.encrypted);
    block->setDigest(header.digest);
    return block;
}

BlockPtr NetProducer::openRecord(SealedRecord& record, std::uint32_t position) {
    crypto::BlockPlace place = sealedPlace(record.header, batchesReceived_ + 1, position);
    if (!sealer_->open(place, record.data.get(), record.header.length)) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Block stream error: record " + std::to_string(position + 1) + " of batch " +
                          std::to_string(batchesReceived_ + 1) + " (block " +
                          std::to_string(record.header.index) +
                          ") is not the record sealed for this place in this session");
    }
    BlockPtr block =
        buffers_->makeBlock(record.header.index, format_.blockSize, std::move(record.data),
                            place.plainLength, record.header.compressed, false);
    block->setDigest(record.header.digest);
    return block;
}

// The digest the server sent must match the records as received; a mismatch fails the
// restore before any block of the batch is handed on.
void NetProducer::checkDigest(const std::array<unsigned char, kTrailerBytes>& trailer) {
    auto code = static_cast<net::Code>(platform::loadBigEndian(trailer.data(), 4));
    if (code == net::PROT_ERROR) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Remote host has reported an error and closed the connection.");
    }
    net::ProtocolStream::verifyCode(net::PROT_BLOCK_STREAM_DIGEST, code);
    BlockDigest sent{};
    std::memcpy(sent.data(), trailer.data() + 4, sent.size());
    if (digest_.finish() != sent) {
        ZENTRAD_THROW(runtime::AgentException, "Block stream error: the digest of batch " +
                                                   std::to_string(batchesReceived_ + 1) +
                                                   " does not match its blocks");
    }
}

}  // namespace blocks
