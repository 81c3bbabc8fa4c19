#include "backup-server/RestoreUnit.h"

#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "net/Codes.h"

namespace backup_server {
namespace {

void appendCode(std::string& out, net::Code code) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((code >> shift) & 0xFF));
}

}  // namespace

std::uint64_t frameRestoreUnit(const std::vector<blocks::BlockPtr>& blocks, bool corrupt,
                               std::string& unit) {
    unit.clear();
    std::size_t bytes = 4 + 4 + blocks::kDigestBytes;
    for (const auto& block : blocks)
        bytes += blocks::kBlockRecordHeaderBytes + block->length();
    // Reserved in one step: grown by doubling, the buffer would be copied on the way and
    // its fresh pages faulted in each time.
    unit.reserve(bytes);
    appendCode(unit, net::PROT_BLOCK_STREAM);
    blocks::Md5Stream digest;
    for (const auto& block : blocks) {
        auto header = blocks::encodeBlockRecordHeader(*block);
        digest.update(header.data(), header.size());
        digest.update(block->getData(), block->length());
        unit.append(reinterpret_cast<const char*>(header.data()), header.size());
        unit.append(reinterpret_cast<const char*>(block->getData()), block->length());
    }
    std::uint64_t recordBytes = unit.size() - 4;
    if (corrupt && recordBytes > 0)
        unit.back() = static_cast<char>(unit.back() ^ 0x01);
    appendCode(unit, net::PROT_BLOCK_STREAM_DIGEST);
    auto sum = digest.finish();
    unit.append(reinterpret_cast<const char*>(sum.data()), sum.size());
    return recordBytes;
}

}  // namespace backup_server
