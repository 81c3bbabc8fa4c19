#include "backup-server/store/PartitionStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <random>
#include <vector>

#include "backup-server/store/StoreError.h"
#include "crypto/Digest.h"
#include "platform/ByteOrder.h"
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
        ZENTRAD_THROW(StoreError, "MD5 is not available");
    return std::string(digest->begin(), digest->end());
}

[[noreturn]] void refuse(const std::filesystem::path& file, const std::string& why) {
    ZENTRAD_THROW(StoreError, "Partition table file " + file.string() + " is unusable: " + why);
}

std::string fileNameOf(const std::string& diskID) {
    std::string name;
    for (char c : diskID)
        name.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
    return name;
}

// The generations of a store read as it is from before they were kept: the one file of
// each disk, attributed to the legacy agent.
std::vector<PartitionTableRecord> legacyTables(const std::filesystem::path& root) {
    std::vector<PartitionTableRecord> tables;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
        std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || entry.path().extension() != ".ptable" ||
            name.rfind("Disk_", 0) != 0)
            continue;
        std::string disk = "Disk " + name.substr(5, name.size() - 5 - 7);
        struct stat status {};
        std::int64_t written = ::stat(entry.path().c_str(), &status) == 0 ? status.st_mtime : 0;
        // A whole path, which partitionTableFile leaves as it is.
        tables.push_back({0, kLegacyAgent, disk, written, entry.path().string()});
    }
    return tables;
}

std::string newTableFile(const std::string& diskID, std::int64_t created) {
    return fileNameOf(diskID) + "-" + std::to_string(created) + "-" + std::to_string(::getpid()) +
           "-" + std::to_string(std::random_device{}() & 0xFFFFFF) + ".ptable";
}

}  // namespace

std::filesystem::path partitionTableFile(const Store& store, const PartitionTableRecord& table) {
    return store.tableFolder() / table.file;
}

std::string partitionTableBytes(const StoreCipher& cipher, const std::string& fileName,
                                const PartitionTableImage& image) {
    std::string bytes(kMagic, kMagicBytes);
    platform::appendU32(bytes, kFormatVersion);
    platform::appendU32(bytes, image.sectorSize);
    platform::appendU32(bytes, static_cast<std::uint32_t>(image.sectors.size()));
    for (const auto& sector : image.sectors) {
        platform::appendU64(bytes, sector.offset);
        bytes += sector.data;
    }
    bytes += digestOf(bytes);
    return cipher.seal(SealedKind::partitionTable, fileName, std::move(bytes));
}

PartitionTableRecord savePartitionTable(Store& store, const std::string& agent,
                                        const std::string& diskID,
                                        const PartitionTableImage& image) {
    PartitionTableRecord table;
    table.agent = agent;
    table.diskID = diskID;
    table.created = static_cast<std::int64_t>(std::time(nullptr));
    table.file = newTableFile(diskID, table.created);
    store.objects().put("tables/" + table.file,
                        partitionTableBytes(*store.cipher(), table.file, image));
    store.sync();
    table.id = store.catalogue().addPartitionTable(table);
    return table;
}

std::vector<PartitionTableRecord> listPartitionTables(Store& store,
                                                      const std::optional<std::string>& agent,
                                                      const std::optional<std::string>& diskID) {
    // Files of the earlier layout stay where they are until a writer adopts them.
    std::vector<PartitionTableRecord> tables;
    for (PartitionTableRecord& table :
         store.remote() ? std::vector<PartitionTableRecord>{} : legacyTables(store.root())) {
        if ((!agent || table.agent == *agent) && (!diskID || table.diskID == *diskID))
            tables.push_back(std::move(table));
    }
    for (PartitionTableRecord& table : store.catalogue().partitionTables(agent, diskID))
        tables.push_back(std::move(table));
    return tables;
}

PartitionTableRecord choosePartitionTable(Store& store, const std::string& agent,
                                          const std::string& diskID, std::int64_t id) {
    std::vector<PartitionTableRecord> tables = listPartitionTables(store);
    const PartitionTableRecord* chosen = nullptr;
    for (const PartitionTableRecord& table : tables) {
        if (id != 0 ? table.id == id : table.agent == agent && table.diskID == diskID)
            chosen = &table;
    }
    if (chosen == nullptr) {
        ZENTRAD_THROW(StoreError, id != 0
                                      ? "The store holds no partition table " + std::to_string(id)
                                      : "The store holds no partition table of " + diskID +
                                            " of agent " + agent);
    }
    if (chosen->agent != agent || chosen->diskID != diskID) {
        throw UsageError("partition table " + std::to_string(id) + " is of " + chosen->diskID +
                         " of agent " + chosen->agent + ", not of " + diskID + " of agent " +
                         agent);
    }
    return *chosen;
}

PartitionTableImage partitionTableFromBytes(const StoreCipher& cipher, const std::string& fileName,
                                            const std::string& stored,
                                            const std::filesystem::path& file) {
    // Tables were kept plain before encrypted stores sealed them; those stay readable.
    std::string bytes;
    std::string problem;
    if (!cipher.open(SealedKind::partitionTable, fileName, stored, true, bytes, problem))
        refuse(file, problem);
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

PartitionTableImage loadPartitionTable(const Store& store, const PartitionTableRecord& table) {
    auto file = partitionTableFile(store, table);
    const std::uint64_t most = sealedLength(kMaxFileBytes);
    std::string stored;
    if (std::filesystem::path(table.file).is_absolute()) {
        stored = util::files::readFile(file, most);  // of the earlier layout
    } else {
        try {
            std::optional<std::uint64_t> size = store.objects().head("tables/" + table.file);
            if (size && *size > most)
                refuse(file, "too long");
            if (size)
                stored = store.objects().get("tables/" + table.file);
        } catch (const objects::BlobError& error) {
            refuse(file, error.message());
        }
    }
    return partitionTableFromBytes(*store.cipher(), file.filename().string(), stored, file);
}

void adoptLegacyPartitionTables(Store& store) {
    // Copied, recorded, then removed: however this is cut short, the table is kept.
    for (PartitionTableRecord table : legacyTables(store.root())) {
        std::filesystem::path old = table.file;
        table.file = newTableFile(table.diskID, table.created);
        std::filesystem::copy_file(old, partitionTableFile(store, table));
        store.sync();
        store.catalogue().addPartitionTable(table);
        std::filesystem::remove(old);
    }
}

}  // namespace backup_server
