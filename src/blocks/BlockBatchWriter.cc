#include "blocks/BlockBatchWriter.h"

#include <mutex>
#include <string>

#include "blocks/BlockRecord.h"
#include "crypto/Envelope.h"
#include "logging/Logger.h"
#include "net/SealedUnits.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace blocks {

BlockBatchWriter::BlockBatchWriter(net::ProtocolStream& stream, const crypto::KeyMsg& protocolKey)
    : stream_(stream), protocolKey_(protocolKey) {
    gathered_.reserve(kWriteBytes + 64 * 1024);
}

void BlockBatchWriter::send(const std::vector<BlockPtr>& batch) {
    if (batch.empty() || batch.size() > kMaxBatch) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Invalid block batch size (" + std::to_string(batch.size()) + ")");
    }
    crypto::SecureChannel* channel = stream_.channel();
    // Version 2: nothing else may be sealed between this announcement and its batch.
    std::unique_lock<std::mutex> sending;
    if (channel != nullptr) {
        sending = std::unique_lock<std::mutex>(channel->sendLock());
        if (!sealer_)
            sealer_.emplace(channel->blockSealer(true));
    }
    ++batches_;
    appendAnnouncement(batch.size());
    appendCode(net::PROT_BLOCK_STREAM);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        appendRecord(*batch[i], static_cast<std::uint32_t>(i));
        if (gathered_.size() >= kWriteBytes)
            writeGathered();
    }
    BlockDigest digest = digest_.finish();
    appendCode(net::PROT_BLOCK_STREAM_DIGEST);
    gathered_.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    writeGathered();
}

void BlockBatchWriter::sendKeepAlive() {
    crypto::SecureChannel* channel = stream_.channel();
    if (channel == nullptr) {
        appendCode(net::PROT_KEEPALIVE);
        writeGathered();
        return;
    }
    std::lock_guard<std::mutex> sending(channel->sendLock());
    std::string plain;
    logging::Logger::get().drainNetLog(plain);
    platform::appendBigEndian(plain, net::PROT_KEEPALIVE, 4);
    net::appendSealedUnits(gathered_, *channel, plain);
    writeGathered();
}

void BlockBatchWriter::appendCode(net::Code code) {
    if (crypto::SecureChannel* channel = stream_.channel()) {
        // Version 2: the log records go sealed; the caller holds the send lock.
        std::string records;
        logging::Logger::get().drainNetLog(records);
        net::appendSealedUnits(gathered_, *channel, records);
    } else {
        logging::Logger::get().drainNetLog(gathered_);
    }
    platform::appendBigEndian(gathered_, code, 4);
}

void BlockBatchWriter::appendAnnouncement(std::size_t count) {
    std::string plain;
    platform::appendBigEndian(plain, net::PROT_BLOCKS, 4);
    platform::appendBigEndian(plain, count, 2);
    // The code first: in version 2 the log records ahead of it are sealed before the
    // announcement, as they go on the wire.
    appendCode(net::PROT_ENCRYPTED);
    std::uint64_t sequence = 0;
    std::string ciphertext =
        sealer_ ? stream_.channel()->sealMessage(plain, sequence)
                : crypto::encryption::encryptMessage(protocolKey_, context_, plain);
    platform::appendBigEndian(gathered_, ciphertext.size(), 4);
    gathered_ += ciphertext;
}

void BlockBatchWriter::appendRecord(const Block& block, std::uint32_t position) {
    if (sealer_) {
        BlockRecordHeaderBytes header = encodeSealedRecordHeader(block);
        std::size_t start = gathered_.size() + header.size();
        gathered_.append(reinterpret_cast<const char*>(header.data()), header.size());
        gathered_.resize(start + block.length() + crypto::kChannelTagBytes);
        auto* out = reinterpret_cast<unsigned char*>(gathered_.data()) + start;
        sealer_->seal(
            sealedPlace(parseSealedRecordHeader(header, block.size()), batches_, position),
            block.getData(), block.length(), out);
        digest_.update(header.data(), header.size());
        auto [digested, length] =
            digestedData(out, block.length() + crypto::kChannelTagBytes, true);
        digest_.update(digested, length);
        return;
    }
    BlockRecordHeaderBytes header = encodeBlockRecordHeader(block);
    digest_.update(header.data(), header.size());
    digest_.update(block.getData(), block.length());
    gathered_.append(reinterpret_cast<const char*>(header.data()), header.size());
    if (block.length() != 0)
        gathered_.append(reinterpret_cast<const char*>(block.getData()), block.length());
}

void BlockBatchWriter::writeGathered() {
    if (gathered_.empty())
        return;
    stream_.socket()->sendAll(gathered_.data(), static_cast<std::int64_t>(gathered_.size()));
    gathered_.clear();
}

}  // namespace blocks
