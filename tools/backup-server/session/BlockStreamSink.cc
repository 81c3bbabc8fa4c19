#include "backup-server/session/BlockStreamSink.h"

#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

[[noreturn]] void refuse(const std::string& what) {
    ZENTRAD_THROW(runtime::AgentException, "Block stream error: " + what);
}

}  // namespace

BlockStreamSink::BlockStreamSink(AgentSession& session, const blocks::BlockMap& used,
                                 std::uint32_t blockSize, bool encrypted)
    : session_(session), used_(used), blockSize_(blockSize), encrypted_(encrypted) {}

void BlockStreamSink::receiveBatch(std::uint32_t count) {
    if (count == 0 || count > kMaxBatch)
        refuse("batch of " + std::to_string(count) + " blocks");
    session_.readCodeExpect(net::PROT_BLOCK_STREAM);
    blocks::Md5Stream md5;
    crypto::BlockSealer* sealer = session_.blockSealer();
    for (std::uint32_t i = 0; i < count; ++i) {
        blocks::BlockRecordHeaderBytes bytes;
        session_.readRawBytes(bytes.data(), bytes.size());
        blocks::BlockRecordHeader header =
            sealer != nullptr ? blocks::parseSealedRecordHeader(bytes, blockSize_)
                              : blocks::parseBlockRecordHeader(bytes, blockSize_, encrypted_);
        data_.resize(header.length);
        session_.readRawBytes(data_.data(), header.length);
        md5.update(bytes.data(), bytes.size());
        auto [digested, length] =
            blocks::digestedData(data_.data(), data_.size(), sealer != nullptr);
        md5.update(digested, length);
        // Version 2: every record is opened, as the store's receiver opens it.
        if (sealer != nullptr && !sealer->open(blocks::sealedPlace(header, batches_ + 1, i),
                                               data_.data(), data_.size())) {
            refuse("record " + std::to_string(i + 1) + " of batch " + std::to_string(batches_ + 1) +
                   " is not the record sealed for its place");
        }
        if (header.index >= used_.capacity() || !used_.bit(header.index))
            refuse("block #" + std::to_string(header.index) + " is not a used block of the volume");
        if (anyBlock_ && header.index <= lastIndex_)
            refuse("block #" + std::to_string(header.index) + " after block #" +
                   std::to_string(lastIndex_));
        anyBlock_ = true;
        lastIndex_ = header.index;
        wireBytes_ += bytes.size() + header.length;
        compressedBlocks_ += header.compressed ? 1 : 0;
        ++blocksSent_;
    }
    session_.readCodeExpect(net::PROT_BLOCK_STREAM_DIGEST);
    blocks::BlockDigest expected;
    session_.readRawBytes(expected.data(), expected.size());
    if (md5.finish() != expected)
        refuse("batch digest mismatch");
    ++batches_;
}

}  // namespace backup_server
