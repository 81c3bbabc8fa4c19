// One batch of a volume restore as it goes on the wire after its PROT_BLOCKS announcement:
// PROT_BLOCK_STREAM, the block records, PROT_BLOCK_STREAM_DIGEST and the MD5 of the
// records (headers and data, as sent).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "blocks/BlockChannel.h"
#include "crypto/SecureChannel.h"

namespace backup_server {

struct RestoreUnit {
    std::uint64_t batch = 0;               // counted from 0, in the order of the source
    std::vector<blocks::BlockPtr> blocks;  // as read; emptied once the unit is framed
    std::uint16_t blockCount = 0;
    std::string bytes;              // the framed unit
    std::uint64_t plainBytes = 0;   // block data before deflating and enciphering
    std::uint64_t recordBytes = 0;  // the block records in bytes
    std::uint64_t compressedBlocks = 0;
    bool corrupted = false;  // a byte of the records was flipped after the digest (tests)
    bool sealed = false;     // version 2: framed by frameSealedRestoreUnit
};

// Frames blocks (already deflated or enciphered as announced) into unit, replacing what it
// held but keeping its capacity. corrupt flips the last byte of the records after the
// digest was taken. Returns the bytes of the records.
std::uint64_t frameRestoreUnit(const std::vector<blocks::BlockPtr>& blocks, bool corrupt,
                               std::string& unit);

// Protocol version 2: frames blocks as frameRestoreUnit does, each record's data sealed for
// its place in batch `batch` (from 1) and the digest taken over the headers and tags
// (blocks::digestedData). Returns the bytes of the sealed records.
std::uint64_t frameSealedRestoreUnit(const std::vector<blocks::BlockPtr>& blocks,
                                     crypto::BlockSealer& sealer, std::uint64_t batch, bool corrupt,
                                     std::string& unit);

// Protocol version 2: unit (as framed above, from this server) with every record's data
// sealed for its place in batch `batch` (from 1), each header's length counting the tag and
// the digest taken over the headers and tags (blocks::digestedData); written to sealed. corrupt
// flips the last byte of the sealed records after the digest, as frameRestoreUnit does.
void sealRestoreUnit(const std::string& unit, crypto::BlockSealer& sealer, std::uint64_t batch,
                     bool corrupt, std::string& sealed);

}  // namespace backup_server
