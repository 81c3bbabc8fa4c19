#include "backup-server/session/RestoreUnit.h"

#include <algorithm>
#include <cstring>

#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "net/Codes.h"

namespace backup_server {
namespace {

void appendCode(std::string& out, net::Code code) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((code >> shift) & 0xFF));
}

// Both framings: with a sealer every record's data is sealed for its place (and the
// digest takes only its tag), without one the data goes as it is.
std::uint64_t frameUnit(const std::vector<blocks::BlockPtr>& blocks, crypto::BlockSealer* sealer,
                        std::uint64_t batch, bool corrupt, std::string& unit) {
    const std::size_t tag = sealer ? crypto::kChannelTagBytes : 0;
    unit.clear();
    std::size_t bytes = 4 + 4 + blocks::kDigestBytes;
    for (const auto& block : blocks)
        bytes += blocks::kBlockRecordHeaderBytes + block->length() + tag;
    // Reserved in one step: grown by doubling, the buffer would be copied on the way and
    // its fresh pages faulted in each time.
    unit.reserve(bytes);
    appendCode(unit, net::PROT_BLOCK_STREAM);
    blocks::Md5Stream digest;
    std::uint32_t position = 0;
    for (const auto& block : blocks) {
        auto header = sealer ? blocks::encodeSealedRecordHeader(*block)
                             : blocks::encodeBlockRecordHeader(*block);
        unit.append(reinterpret_cast<const char*>(header.data()), header.size());
        std::size_t start = unit.size();
        std::size_t length = block->length() + tag;
        if (sealer) {
            unit.resize(start + length);
            sealer->seal(blocks::sealedPlace(blocks::parseSealedRecordHeader(header, block->size()),
                                             batch, position++),
                         block->getData(), block->length(),
                         reinterpret_cast<unsigned char*>(unit.data()) + start);
        } else {
            // Appended, not resized and copied: the copy would be zeroed first.
            unit.append(reinterpret_cast<const char*>(block->getData()), length);
        }
        auto [digested, digestedLength] = blocks::digestedData(
            reinterpret_cast<const unsigned char*>(unit.data()) + start, length, sealer != nullptr);
        digest.update(header.data(), header.size());
        digest.update(digested, digestedLength);
    }
    std::uint64_t recordBytes = unit.size() - 4;
    if (corrupt && recordBytes > 0)
        unit.back() = static_cast<char>(unit.back() ^ 0x01);
    appendCode(unit, net::PROT_BLOCK_STREAM_DIGEST);
    auto sum = digest.finish();
    unit.append(reinterpret_cast<const char*>(sum.data()), sum.size());
    return recordBytes;
}

}  // namespace

std::uint64_t frameRestoreUnit(const std::vector<blocks::BlockPtr>& blocks, bool corrupt,
                               std::string& unit) {
    return frameUnit(blocks, nullptr, 0, corrupt, unit);
}

std::uint64_t frameSealedRestoreUnit(const std::vector<blocks::BlockPtr>& blocks,
                                     crypto::BlockSealer& sealer, std::uint64_t batch, bool corrupt,
                                     std::string& unit) {
    return frameUnit(blocks, &sealer, batch, corrupt, unit);
}

void sealRestoreUnit(const std::string& unit, crypto::BlockSealer& sealer, std::uint64_t batch,
                     bool corrupt, std::string& sealed) {
    const std::size_t trailer = 4 + blocks::kDigestBytes;
    sealed.clear();
    sealed.reserve(unit.size() + 512 * crypto::kChannelTagBytes);
    sealed.append(unit, 0, 4);
    blocks::Md5Stream digest;
    std::size_t at = 4;
    for (std::uint32_t position = 0; at + trailer < unit.size(); ++position) {
        blocks::BlockRecordHeaderBytes header;
        std::memcpy(header.data(), unit.data() + at, header.size());
        std::uint32_t length = 0;
        for (int i = 25; i < 29; ++i)
            length = (length << 8) | header[static_cast<std::size_t>(i)];
        at += header.size();
        std::uint32_t sealedLength = length + static_cast<std::uint32_t>(crypto::kChannelTagBytes);
        for (int i = 28; i >= 25; --i) {
            header[static_cast<std::size_t>(i)] = static_cast<unsigned char>(sealedLength);
            sealedLength >>= 8;
        }
        blocks::BlockRecordHeader parsed;
        parsed.index = 0;
        for (int i = 0; i < 8; ++i)
            parsed.index = (parsed.index << 8) | header[static_cast<std::size_t>(i)];
        parsed.compressed = header[8] == 1;
        std::copy(header.begin() + 9, header.begin() + 25, parsed.digest.begin());
        parsed.length = length + static_cast<std::uint32_t>(crypto::kChannelTagBytes);
        sealed.append(reinterpret_cast<const char*>(header.data()), header.size());
        std::size_t start = sealed.size();
        sealed.resize(start + parsed.length);
        auto* out = reinterpret_cast<unsigned char*>(sealed.data()) + start;
        sealer.seal(blocks::sealedPlace(parsed, batch, position),
                    reinterpret_cast<const unsigned char*>(unit.data()) + at, length, out);
        digest.update(header.data(), header.size());
        auto [digested, digestedLength] = blocks::digestedData(out, parsed.length, true);
        digest.update(digested, digestedLength);
        at += length;
    }
    if (corrupt && sealed.size() > 4)
        sealed.back() = static_cast<char>(sealed.back() ^ 0x01);
    appendCode(sealed, net::PROT_BLOCK_STREAM_DIGEST);
    auto sum = digest.finish();
    sealed.append(reinterpret_cast<const char*>(sum.data()), sum.size());
}

}  // namespace backup_server
