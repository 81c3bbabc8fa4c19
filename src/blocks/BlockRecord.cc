#include "blocks/BlockRecord.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace blocks {
namespace {}  // namespace

BlockRecordHeaderBytes encodeBlockRecordHeader(const Block& block) {
    BlockRecordHeaderBytes bytes{};
    platform::storeBigEndian(bytes.data(), block.index(), 8);
    bytes[8] = block.compressed() ? 1 : 0;
    std::copy(block.getDigest().begin(), block.getDigest().end(), bytes.begin() + 9);
    platform::storeBigEndian(bytes.data() + 25, block.length(), 4);
    return bytes;
}

namespace {

BlockRecordHeader parseHeader(const BlockRecordHeaderBytes& bytes, std::uint64_t blockSize,
                              std::uint64_t overhead) {
    BlockRecordHeader header;
    header.index = platform::loadBigEndian(bytes.data(), 8);
    if (bytes[8] > 1) {
        ZENTRAD_THROW(runtime::AgentException, "Block stream error: invalid compressed flag (" +
                                                   std::to_string(bytes[8]) + ")");
    }
    header.compressed = bytes[8] == 1;
    std::copy(bytes.begin() + 9, bytes.begin() + 25, header.digest.begin());
    header.length = static_cast<std::uint32_t>(platform::loadBigEndian(bytes.data() + 25, 4));
    std::uint64_t limit = blockSize + overhead;
    if (header.length > limit) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Block stream error: block #" + std::to_string(header.index) + " length (" +
                          std::to_string(header.length) + ") exceeds the block size (" +
                          std::to_string(blockSize) + ")");
    }
    return header;
}

}  // namespace

BlockRecordHeader parseBlockRecordHeader(const BlockRecordHeaderBytes& bytes,
                                         std::uint64_t blockSize, bool encrypted) {
    return parseHeader(bytes, blockSize, encrypted ? Block::kCipherOverhead : 0);
}

BlockRecordHeader parseSealedRecordHeader(const BlockRecordHeaderBytes& bytes,
                                          std::uint64_t blockSize) {
    BlockRecordHeader header = parseHeader(bytes, blockSize, crypto::kChannelTagBytes);
    if (header.length < crypto::kChannelTagBytes) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Block stream error: block #" + std::to_string(header.index) +
                          " sealed length (" + std::to_string(header.length) +
                          ") is shorter than its tag");
    }
    return header;
}

BlockRecordHeaderBytes encodeSealedRecordHeader(const Block& block) {
    BlockRecordHeaderBytes bytes = encodeBlockRecordHeader(block);
    platform::storeBigEndian(bytes.data() + 25, block.length() + crypto::kChannelTagBytes, 4);
    return bytes;
}

crypto::BlockPlace sealedPlace(const BlockRecordHeader& header, std::uint64_t batch,
                               std::uint32_t position) {
    crypto::BlockPlace place;
    place.batch = batch;
    place.position = position;
    place.index = header.index;
    place.compressed = header.compressed;
    place.plainLength = header.length - static_cast<std::uint32_t>(crypto::kChannelTagBytes);
    static_assert(sizeof(place.digest) == kDigestBytes);
    std::copy(header.digest.begin(), header.digest.end(), place.digest.begin());
    return place;
}

std::shared_ptr<Block> blockFromRecord(const BlockRecordHeader& header, std::uint64_t blockSize,
                                       bool encrypted, const unsigned char* data) {
    BlockBuffer buffer =
        std::make_shared<unsigned char[]>(std::max<std::uint64_t>(header.length, 1));
    if (header.length != 0)
        std::memcpy(buffer.get(), data, header.length);
    auto block = std::make_shared<Block>(header.index, blockSize, std::move(buffer), header.length,
                                         header.compressed, encrypted);
    block->setDigest(header.digest);
    return block;
}

}  // namespace blocks
