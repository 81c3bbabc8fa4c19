// The form in which one block travels in the block stream: a 29-byte header, then the
// data. All integers big-endian.
//   0   8  index
//   8   1  compressed (1: the data is a zlib stream, 0: raw data)
//   9  16  digest (MD5 of the raw data)
//  25   4  length of the data that follows
// Whether the data is enciphered is not in the record: both ends know it from the request.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "blocks/Block.h"
#include "crypto/SecureChannel.h"

namespace blocks {

constexpr std::size_t kBlockRecordHeaderBytes = 29;
using BlockRecordHeaderBytes = std::array<unsigned char, kBlockRecordHeaderBytes>;

struct BlockRecordHeader {
    std::uint64_t index = 0;
    bool compressed = false;
    BlockDigest digest{};
    std::uint32_t length = 0;
};

// The header for a block as it currently stands (its length and compressed flag).
BlockRecordHeaderBytes encodeBlockRecordHeader(const Block& block);

// Parses a header received from a peer. The data length is bounded before anything is
// allocated: at most blockSize, plus 8 when blocks are enciphered. Throws
// runtime::AgentException for a longer length or a compressed byte other than 0 and 1.
BlockRecordHeader parseBlockRecordHeader(const BlockRecordHeaderBytes& bytes,
                                         std::uint64_t blockSize, bool encrypted);

// Protocol version 2: the record's data is the block's data sealed by the channel (its
// length plus crypto::kChannelTagBytes), and its header's length field says so. Parses as
// parseBlockRecordHeader does, allowing the tag's room (and no cipher padding).
BlockRecordHeader parseSealedRecordHeader(const BlockRecordHeaderBytes& bytes,
                                          std::uint64_t blockSize);
// The header of a sealed record: the block's own header with the sealed length.
BlockRecordHeaderBytes encodeSealedRecordHeader(const Block& block);
// What a sealed record is bound to: its batch (from 1), its position in the batch and
// the header's fields, with the length of the data once opened.
crypto::BlockPlace sealedPlace(const BlockRecordHeader& header, std::uint64_t batch,
                               std::uint32_t position);

// The part of a record's data that its batch's digest covers (with the whole header): all
// of it in version 1; in version 2 only the tag at its end, since the seal already covers
// the data and the tag stands for it (one MD5 pass over every block less on each side).
inline std::pair<const unsigned char*, std::size_t> digestedData(const unsigned char* data,
                                                                 std::size_t length, bool sealed) {
    if (!sealed || length < crypto::kChannelTagBytes)
        return {data, length};
    return {data + length - crypto::kChannelTagBytes, crypto::kChannelTagBytes};
}

// A block built from a parsed header and its header.length data bytes (copied).
std::shared_ptr<Block> blockFromRecord(const BlockRecordHeader& header, std::uint64_t blockSize,
                                       bool encrypted, const unsigned char* data);

}  // namespace blocks
