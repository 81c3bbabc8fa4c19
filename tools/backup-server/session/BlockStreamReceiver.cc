#include "backup-server/session/BlockStreamReceiver.h"

#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

[[noreturn]] void refuse(const std::string& what) {
    ZENTRAD_THROW(runtime::AgentException, "Block stream error: " + what);
}

}  // namespace

BlockStreamReceiver::BlockStreamReceiver(AgentSession& session, BlockSink& sink,
                                         const blocks::BlockMap& used,
                                         const crypto::KeyMsg* sessionKey)
    : session_(session),
      sink_(&sink),
      used_(used),
      blockSize_(sink.blockSize()),
      enciphered_(sessionKey != nullptr),
      sessionKey_(sessionKey),
      sent_(used.capacity()) {}

BlockStreamReceiver::BlockStreamReceiver(AgentSession& session, const blocks::BlockMap& used,
                                         std::uint32_t blockSize, bool enciphered)
    : session_(session),
      sink_(nullptr),
      used_(used),
      blockSize_(blockSize),
      enciphered_(enciphered),
      sessionKey_(nullptr),
      sent_(used.capacity()) {}

void BlockStreamReceiver::receiveBatch(std::uint32_t count) {
    if (count == 0 || count > kMaxBatch)
        refuse("batch of " + std::to_string(count) + " blocks");
    session_.readCodeExpect(net::PROT_BLOCK_STREAM);
    headers_.clear();
    blocks_.clear();  // what a refused batch left
    blocks::Md5Stream md5;
    for (std::uint32_t i = 0; i < count; ++i)
        readRecord(i, md5);
    session_.readCodeExpect(net::PROT_BLOCK_STREAM_DIGEST);
    blocks::BlockDigest expected;
    session_.readRawBytes(expected.data(), expected.size());
    if (md5.finish() != expected)
        refuse("batch digest mismatch");
    for (std::size_t i = 0; i < headers_.size(); ++i)
        apply(headers_[i], sink_ != nullptr ? blocks_[i].get() : nullptr);
    blocks_.clear();  // their buffers go back now, not with the next batch
    ++batches_;
}

void BlockStreamReceiver::readRecord(std::uint32_t position, blocks::Md5Stream& md5) {
    crypto::BlockSealer* sealer = session_.blockSealer();
    blocks::BlockRecordHeaderBytes bytes;
    session_.readRawBytes(bytes.data(), bytes.size());
    blocks::BlockRecordHeader header =
        sealer != nullptr ? blocks::parseSealedRecordHeader(bytes, blockSize_)
                          : blocks::parseBlockRecordHeader(bytes, blockSize_, enciphered_);
    data_.resize(header.length);
    session_.readRawBytes(data_.data(), header.length);
    md5.update(bytes.data(), bytes.size());
    auto [digested, length] = blocks::digestedData(data_.data(), data_.size(), sealer != nullptr);
    md5.update(digested, length);
    wireBytes_ += bytes.size() + header.length;
    if (sealer != nullptr) {
        crypto::BlockPlace place = blocks::sealedPlace(header, batches_ + 1, position);
        if (!sealer->open(place, data_.data(), header.length)) {
            refuse("record " + std::to_string(position + 1) + " of batch " +
                   std::to_string(batches_ + 1) + " (block #" + std::to_string(header.index) +
                   ") is not the record sealed for this place in this session");
        }
        header.length = place.plainLength;
    }
    if (sink_ != nullptr)
        blocks_.push_back(blocks::blockFromRecord(header, blockSize_, enciphered_, data_.data()));
    headers_.push_back(header);
}

void BlockStreamReceiver::apply(const blocks::BlockRecordHeader& header, blocks::Block* block) {
    std::uint64_t index = header.index;
    if (index >= used_.capacity() || !used_.bit(index))
        refuse("block #" + std::to_string(index) + " is not a used block of the volume");
    if (sent_.bit(index))
        refuse("block #" + std::to_string(index) + " sent twice");
    if (index < position_) {
        refuse("block #" + std::to_string(index) + " after block #" +
               std::to_string(position_ - 1) + " (blocks must come in ascending order)");
    }
    if (header.compressed)
        ++compressedBlocks_;
    if (block != nullptr) {
        if (sessionKey_ != nullptr)
            block->decrypt(*sessionKey_, cipher_);
        block->inflate(inflater_);
        if (block->length() != blockSize_)
            refuse("block #" + std::to_string(index) + " is not a whole block");
        block->computeDigest();
        if (block->getDigest() != header.digest)
            refuse("block #" + std::to_string(index) + " does not match its MD5");
        sink_->writeBlock(index, block->getData(), header.digest);
    }
    sent_.setBit(index);
    position_ = index + 1;
    ++blocksSent_;
}

}  // namespace backup_server
