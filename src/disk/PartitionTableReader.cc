#include "disk/PartitionTableReader.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "logging/Logger.h"
#include "platform/ByteOrder.h"
#include "platform/GptFormat.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"

namespace disk {

using logging::logInfo;
using logging::logWarn;
using runtime::DiskException;

PartitionTableReader::PartitionTableReader(platform::FileHandle& disk, std::string diskID,
                                           std::uint64_t diskSectors)
    : disk_(disk), diskID_(std::move(diskID)), diskSectors_(diskSectors) {}

bool PartitionTableReader::read() {
    auto mbr = readSector(0, 0, true);
    if (!mbr->hasBootSignature()) {
        logWarn() << "No partition table exists on " << diskID_;
        return false;
    }
    visited_.insert(0);
    sectors_.push_back(mbr);
    if (platform::gpt::isProtectiveMbr(mbr->getData())) {
        readGpt();
        partitions_ = mbr->getEntries();
        return true;
    }
    readBootGap(*mbr);
    const auto& entries = mbr->getEntries();
    bool dynamic = std::any_of(entries.begin(), entries.end(),
                               [](const auto& entry) { return entry->sysInd == kDynamicDiskType; });
    if (dynamic)
        readDatabase();
    for (const auto& entry : entries) {
        if (!entry->isExtended())
            partitions_.push_back(entry);
    }
    for (const auto& entry : entries) {
        if (entry->isExtended())
            readExtendedPartition(0, entry->relativeSector);
    }
    return true;
}

std::shared_ptr<DiskSector> PartitionTableReader::readSector(std::uint64_t base,
                                                             std::uint64_t relative,
                                                             bool holdsTable) {
    ZENTRAD_CHECK_RUNNING();
    return std::make_shared<DiskSector>(disk_, Sector::kBytes, base, relative, holdsTable);
}

// Keeps the boot code and hidden sectors in front of the first partition, which some boot
// loaders use; never more than up to sector 2047 and never past the end of the disk.
void PartitionTableReader::readBootGap(const DiskSector& mbr) {
    const auto& entries = mbr.getEntries();
    if (entries.empty())
        return;
    auto first = std::min_element(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a->startingOffsetBytes < b->startingOffsetBytes;
    });
    std::uint64_t end = std::min({(*first)->relativeSector, kMaxGapSectors, diskSectors_});
    for (std::uint64_t sector = 1; sector < end; ++sector)
        sectors_.push_back(readSector(0, sector, false));
}

void PartitionTableReader::readDatabase() {
    auto header = readSector(0, kDatabaseHeaderSector, false);
    std::uint64_t first = platform::loadU64(header->getData() + kDatabaseStartOffset);
    if (first == 0 || first > diskSectors_ || diskSectors_ - first < kDatabaseSectors) {
        ZENTRAD_THROW(DiskException, "The logical disk manager database of " + diskID_ +
                                         " lies outside the disk (sector " + std::to_string(first) +
                                         ")");
    }
    for (std::uint64_t i = 0; i < kDatabaseSectors; ++i)
        sectors_.push_back(readSector(0, first + i, false));
    logInfo() << "Backing up " << kDatabaseSectors << " sectors of the LDM database";
}

// Reads through DiskSector, the one path for raw sectors, and keeps what it read so each
// sector is read once.
void PartitionTableReader::readGpt() {
    std::map<std::uint64_t, std::shared_ptr<DiskSector>> read;
    auto reader = [&](std::uint64_t offset, void* buffer, std::size_t count) {
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        for (std::size_t done = 0; done < count; done += Sector::kBytes) {
            std::uint64_t lba = (offset + done) / Sector::kBytes;
            auto& sector = read[lba];
            if (!sector)
                sector = readSector(0, lba, false);
            std::memcpy(bytes + done, sector->getData(), Sector::kBytes);
        }
        return true;
    };
    platform::gpt::Table table = platform::gpt::readTable(reader, diskSectors_);
    if (!table.valid)
        ZENTRAD_THROW(DiskException,
                      "The GPT of " + diskID_ + " cannot be backed up: " + table.error);
    auto append = [&](std::uint64_t first, std::uint64_t count) {
        for (std::uint64_t lba = first; lba < first + count; ++lba)
            sectors_.push_back(read.at(lba));
    };
    std::uint64_t arraySectors = table.primary.arraySectors();
    append(1, 1);
    append(table.primary.entryLba, arraySectors);
    append(table.backup.entryLba, arraySectors);
    append(table.backup.myLba, 1);
    logInfo() << "Backing up the GPT of " << diskID_ << ": " << table.entries.size()
              << " partitions, " << sectors_.size() << " sectors with the backup header at sector "
              << table.backup.myLba;
}

// Links inside an extended boot record count from the start of the outermost extended
// partition (base). Followed depth-first with an explicit stack, so a hostile chain can
// neither recurse without bound nor revisit a sector.
void PartitionTableReader::readExtendedPartition(std::uint64_t relative, std::uint64_t base) {
    std::vector<std::uint64_t> pending{relative};
    while (!pending.empty()) {
        std::uint64_t link = pending.back();
        pending.pop_back();
        checkTableSector(base + link);
        auto record = readSector(base, link, true);
        sectors_.push_back(record);
        const auto& entries = record->getEntries();
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
            if ((*entry)->isExtended())
                pending.push_back((*entry)->relativeSector);
        }
        for (const auto& entry : entries) {
            if (!entry->isExtended())
                partitions_.push_back(entry);
        }
    }
}

void PartitionTableReader::checkTableSector(std::uint64_t sector) {
    if (sector >= diskSectors_) {
        ZENTRAD_THROW(DiskException, "Extended boot record at sector " + std::to_string(sector) +
                                         " lies outside " + diskID_ + " (" +
                                         std::to_string(diskSectors_) + " sectors)");
    }
    if (!visited_.insert(sector).second) {
        ZENTRAD_THROW(DiskException, "The extended boot record chain of " + diskID_ +
                                         " loops at sector " + std::to_string(sector));
    }
    if (visited_.size() > kMaxExtendedBootRecords) {
        ZENTRAD_THROW(DiskException, "The extended boot record chain of " + diskID_ +
                                         " is longer than " +
                                         std::to_string(kMaxExtendedBootRecords) + " records");
    }
}

}  // namespace disk
