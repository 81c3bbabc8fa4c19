#include "backup-server/PartitionStore.h"

#include "crypto/Digest.h"
#include "runtime/Exceptions.h"
#include "util/BigEndian.h"
#include "util/ByteReader.h"
#include "util/FileUtil.h"

namespace backup_server {
namespace {

constexpr char kMagic[] = "ZPTB";
constexpr std::size_t kMagicBytes = 4;
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::size_t kMaxFileBytes =
    64 + std::size_t{kMaxTableSectors} * (8 + kMaxTableSectorSize) + crypto::kMd5Bytes;

std::string digestOf(const std::string& bytes) {
    auto digest = crypto::md5(bytes);
    if (!digest)
        ZENTRAD_THROW(runtime::AgentException, "MD5 is not available");
    return std::string(digest->begin(), digest->end());
}

[[noreturn]] void refuse(const std::filesystem::path& file, const std::string& why) {
    ZENTRAD_THROW(runtime::AgentException,
                  "Partition table file " + file.string() + " is unusable: " + why);
}

}  // namespace

std::filesystem::path partitionTableFile(const std::filesystem::path& store,
                                         const std::string& diskID) {
    std::string name;
    for (char c : diskID)
        name.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
    return store / (name + ".ptable");
}

void savePartitionTable(const std::filesystem::path& store, const std::string& diskID,
                        const PartitionTableImage& image) {
    std::string bytes(kMagic, kMagicBytes);
    util::appendU32(bytes, kFormatVersion);
    util::appendU32(bytes, image.sectorSize);
    util::appendU32(bytes, static_cast<std::uint32_t>(image.sectors.size()));
    for (const auto& sector : image.sectors) {
        util::appendU64(bytes, sector.offset);
        bytes += sector.data;
    }
    bytes += digestOf(bytes);
    std::filesystem::create_directories(store);
    util::FileUtil::writeFileAtomically(partitionTableFile(store, diskID), bytes);
}

PartitionTableImage loadPartitionTable(const std::filesystem::path& store,
                                       const std::string& diskID) {
    auto file = partitionTableFile(store, diskID);
    std::string bytes = util::FileUtil::readFile(file, kMaxFileBytes);
    if (bytes.size() < kMagicBytes + 12 + crypto::kMd5Bytes)
        refuse(file, "missing or too short");
    std::string body = bytes.substr(0, bytes.size() - crypto::kMd5Bytes);
    if (bytes.compare(0, kMagicBytes, kMagic) != 0 || digestOf(body) != bytes.substr(body.size())) {
        refuse(file, "not a partition table file, or damaged");
    }
    util::ByteReader reader(body);
    reader.readBytes(kMagicBytes);
    if (reader.readU32() != kFormatVersion)
        refuse(file, "unknown format version");
    PartitionTableImage image;
    image.sectorSize = reader.readU32();
    std::uint32_t count = reader.readU32();
    if (image.sectorSize == 0 || image.sectorSize > kMaxTableSectorSize ||
        reader.remaining() != std::uint64_t{count} * (8 + image.sectorSize)) {
        refuse(file, "sector size or count does not match its length");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        TableSector sector;
        sector.offset = reader.readU64();
        sector.data = reader.readBytes(image.sectorSize);
        image.sectors.push_back(std::move(sector));
    }
    return image;
}

}  // namespace backup_server
