#include "backup-server/session/BlockStreamReceiver.h"

#include <memory>
#include <vector>

#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
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
      sink_(sink),
      used_(used),
      sessionKey_(sessionKey),
      sent_(used.capacity()) {}

void BlockStreamReceiver::receiveBatch(std::uint32_t count) {
    if (count == 0 || count > kMaxBatch)
        refuse("batch of " + std::to_string(count) + " blocks");
    session_.readCodeExpect(net::PROT_BLOCK_STREAM);
    blocks::Md5Stream md5;
    std::vector<std::shared_ptr<blocks::Block>> batch;
    std::vector<unsigned char> data;
    crypto::BlockSealer* sealer = session_.blockSealer();
    for (std::uint32_t i = 0; i < count; ++i) {
        blocks::BlockRecordHeaderBytes bytes;
        session_.readRawBytes(bytes.data(), bytes.size());
        blocks::BlockRecordHeader header =
            sealer != nullptr
                ? blocks::parseSealedRecordHeader(bytes, sink_.blockSize())
                : blocks::parseBlockRecordHeader(bytes, sink_.blockSize(), sessionKey_ != nullptr);
        data.resize(header.length);
        session_.readRawBytes(data.data(), header.length);
        md5.update(bytes.data(), bytes.size());
        auto [digested, length] = blocks::digestedData(data.data(), data.size(), sealer != nullptr);
        md5.update(digested, length);
        wireBytes_ += bytes.size() + header.length;
        if (sealer != nullptr) {
            crypto::BlockPlace place = blocks::sealedPlace(header, batches_ + 1, i);
            if (!sealer->open(place, data.data(), header.length)) {
                refuse("record " + std::to_string(i + 1) + " of batch " +
                       std::to_string(batches_ + 1) + " (block #" + std::to_string(header.index) +
                       ") is not the record sealed for this place in this session");
            }
            header.length = place.plainLength;
        }
        batch.push_back(blocks::blockFromRecord(header, sink_.blockSize(), sessionKey_ != nullptr,
                                                data.data()));
    }
    session_.readCodeExpect(net::PROT_BLOCK_STREAM_DIGEST);
    blocks::BlockDigest expected;
    session_.readRawBytes(expected.data(), expected.size());
    if (md5.finish() != expected)
        refuse("batch digest mismatch");
    for (auto& block : batch)
        apply(*block);
    ++batches_;
}

void BlockStreamReceiver::apply(blocks::Block& block) {
    std::uint64_t index = block.index();
    if (index >= used_.capacity() || !used_.bit(index))
        refuse("block #" + std::to_string(index) + " is not a used block of the volume");
    if (sent_.bit(index))
        refuse("block #" + std::to_string(index) + " sent twice");
    if (index < position_) {
        refuse("block #" + std::to_string(index) + " after block #" +
               std::to_string(position_ - 1) + " (blocks must come in ascending order)");
    }
    if (block.compressed())
        ++compressedBlocks_;
    blocks::BlockDigest named = block.getDigest();
    if (sessionKey_ != nullptr)
        block.decrypt(*sessionKey_, cipher_);
    block.inflate(inflater_);
    if (block.length() != sink_.blockSize())
        refuse("block #" + std::to_string(index) + " is not a whole block");
    block.computeDigest();
    if (block.getDigest() != named)
        refuse("block #" + std::to_string(index) + " does not match its MD5");
    sink_.writeBlock(index, block.getData(), named);
    sent_.setBit(index);
    position_ = index + 1;
    ++blocksSent_;
}

}  // namespace backup_server
