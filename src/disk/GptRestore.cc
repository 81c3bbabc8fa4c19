#include "disk/GptRestore.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

#include "logging/Logger.h"
#include "platform/ByteOrder.h"
#include "platform/GptFormat.h"
#include "runtime/Exceptions.h"

namespace disk {

using logging::logInfo;
using runtime::DiskException;
namespace {

namespace gpt = platform::gpt;

constexpr std::size_t kProtectiveEntries = 446;

[[noreturn]] void refuse(const std::string& reason) {
    ZENTRAD_THROW(DiskException, "Refusing partition table restore: " + reason);
}

// The received sectors by sector number.
class SectorMap {
  public:
    explicit SectorMap(const std::vector<std::shared_ptr<NetSector>>& sectors) {
        for (const auto& sector : sectors) {
            if (sector->getSize() == gpt::kSectorBytes && sector->getOffset() % Sector::kBytes == 0)
                bySector_[sector->getOffset() / Sector::kBytes] = sector.get();
        }
    }
    NetSector* find(std::uint64_t lba) const {
        auto found = bySector_.find(lba);
        return found == bySector_.end() ? nullptr : found->second;
    }
    // The entry array of a header, from its sectors; empty with error set when one is
    // missing.
    std::optional<std::vector<std::uint8_t>> array(const gpt::Header& header,
                                                   const std::string& which,
                                                   std::string& error) const {
        std::vector<std::uint8_t> bytes(header.arraySectors() * gpt::kSectorBytes);
        for (std::uint64_t i = 0; i < header.arraySectors(); ++i) {
            NetSector* sector = find(header.entryLba + i);
            if (sector == nullptr) {
                error = "the backup lacks sector " + std::to_string(header.entryLba + i) +
                        " of the " + which + " GPT entry array";
                return std::nullopt;
            }
            std::memcpy(bytes.data() + i * gpt::kSectorBytes, sector->getData(), gpt::kSectorBytes);
        }
        return bytes;
    }
    // A header with its array, both checked; empty with error set otherwise.
    std::optional<gpt::Header> checkedCopy(std::uint64_t lba, std::uint64_t diskSectors,
                                           const std::string& which, std::string& error) const {
        NetSector* sector = find(lba);
        if (sector == nullptr) {
            error = "the backup lacks the " + which + " GPT header (sector " + std::to_string(lba) +
                    ")";
            return std::nullopt;
        }
        auto header = gpt::parseHeader(sector->getData(), lba, diskSectors, error);
        if (!header)
            return std::nullopt;
        auto bytes = array(*header, which, error);
        if (!bytes || !gpt::parseEntries(*header, bytes->data(), error))
            return std::nullopt;
        return header;
    }
    const std::map<std::uint64_t, NetSector*>& all() const { return bySector_; }

  private:
    std::map<std::uint64_t, NetSector*> bySector_;
};

// A damaged primary is reported with whatever is known of an intact backup copy.
[[noreturn]] void refuseDamagedPrimary(const SectorMap& map, const std::string& error) {
    for (auto it = map.all().rbegin(); it != map.all().rend(); ++it) {
        std::string ignored;
        if (it->first > 1 && std::memcmp(it->second->getData(), "EFI PART", 8) == 0 &&
            map.checkedCopy(it->first, it->first + 1, "backup", ignored)) {
            refuse("the primary " + error + "; its backup copy at sector " +
                   std::to_string(it->first) +
                   " is intact, but a damaged primary is not replaced silently");
        }
    }
    refuse("the primary " + error);
}

// Moves the backup array and header to the end of a larger disk.
void relocate(std::vector<std::shared_ptr<NetSector>>& sectors, const SectorMap& map,
              gpt::Header primary, const gpt::Header& oldBackup, std::uint64_t diskSectors) {
    std::string error;
    std::vector<std::uint8_t> array = *map.array(primary, "primary", error);  // checked before
    std::uint64_t arraySectors = primary.arraySectors();
    primary.alternateLba = diskSectors - 1;
    primary.lastUsableLba = diskSectors - 1 - arraySectors - 1;
    gpt::Header backup = primary;
    backup.myLba = diskSectors - 1;
    backup.alternateLba = 1;
    backup.entryLba = diskSectors - 1 - arraySectors;

    // The new backup header starts as a copy of the received one (bytes beyond the fields
    // kept), taken before the received sectors at the old end are dropped.
    auto header = std::make_shared<NetSector>(Sector::kBytes, backup.myLba * Sector::kBytes);
    std::memcpy(header->getData(), map.find(oldBackup.myLba)->getData(), Sector::kBytes);
    gpt::storeHeader(backup, header->getData());

    std::uint64_t oldFirst = oldBackup.entryLba;
    std::uint64_t oldEnd = oldBackup.entryLba + arraySectors;
    // map's pointers to the dropped sectors dangle from here on; only sector 1 is used.
    std::erase_if(sectors, [&](const std::shared_ptr<NetSector>& sector) {
        std::uint64_t lba = sector->getOffset() / Sector::kBytes;
        return lba == oldBackup.myLba || (lba >= oldFirst && lba < oldEnd);
    });
    gpt::storeHeader(primary, map.find(1)->getData());
    for (std::uint64_t i = 0; i < arraySectors; ++i) {
        auto sector =
            std::make_shared<NetSector>(Sector::kBytes, (backup.entryLba + i) * Sector::kBytes);
        std::memcpy(sector->getData(), array.data() + i * gpt::kSectorBytes, gpt::kSectorBytes);
        sectors.push_back(sector);
    }
    sectors.push_back(header);
}

// A protective entry that covered the source disk covers the target disk.
void growProtectiveEntry(std::uint8_t* mbr, std::uint64_t sourceSectors,
                         std::uint64_t diskSectors) {
    auto cover = [](std::uint64_t sectors) {
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors - 1, 0xFFFFFFFFu));
    };
    for (int slot = 0; slot < 4; ++slot) {
        std::uint8_t* entry = mbr + kProtectiveEntries + 16 * slot;
        const std::uint64_t start = platform::loadLittleEndian(entry + 8, 4);
        const std::uint64_t count = platform::loadLittleEndian(entry + 12, 4);
        if (entry[4] != gpt::kProtectiveType || start != 1 || count != cover(sourceSectors))
            continue;
        std::uint32_t grown = cover(diskSectors);
        for (int i = 0; i < 4; ++i)
            entry[12 + i] = static_cast<std::uint8_t>(grown >> (8 * i));
    }
}

}  // namespace

void prepareGptRestore(std::vector<std::shared_ptr<NetSector>>& sectors, std::uint64_t diskSectors,
                       const std::string& diskID) {
    SectorMap map(sectors);
    NetSector* mbr = map.find(0);
    if (mbr == nullptr || !gpt::isProtectiveMbr(mbr->getData()))
        return;
    NetSector* primarySector = map.find(1);
    if (primarySector == nullptr)
        refuse("the backup holds a protective MBR but no GPT header (sector 1)");
    // The source disk's size is not sent: its last sector holds the backup header.
    std::uint64_t sourceSectors = platform::loadLittleEndian(primarySector->getData() + 32, 8) + 1;
    std::string error;
    auto primary = map.checkedCopy(1, sourceSectors, "primary", error);
    if (!primary)
        refuseDamagedPrimary(map, error);
    auto backup = map.checkedCopy(primary->alternateLba, sourceSectors, "backup", error);
    if (!backup || !gpt::matches(*primary, *backup, error))
        refuse("the backup " + error);
    if (diskSectors < sourceSectors) {
        refuse("the GPT was made for a disk of " + std::to_string(sourceSectors) + " sectors; " +
               diskID + " has only " + std::to_string(diskSectors));
    }
    if (diskSectors == sourceSectors)
        return;
    relocate(sectors, map, *primary, *backup, diskSectors);
    growProtectiveEntry(mbr->getData(), sourceSectors, diskSectors);
    // The rebuilt headers must pass the same checks as received ones.
    SectorMap rebuilt(sectors);
    if (!rebuilt.checkedCopy(1, diskSectors, "primary", error) ||
        !rebuilt.checkedCopy(diskSectors - 1, diskSectors, "backup", error)) {
        refuse("the GPT rebuilt for " + diskID + " does not check: " + error);
    }
    logInfo() << "The GPT was made for a disk of " << sourceSectors << " sectors; its backup "
              << "header and entries now end " << diskID << " at sector " << diskSectors - 1;
}

}  // namespace disk
