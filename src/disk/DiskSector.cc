#include "disk/DiskSector.h"

#include <string>

#include "runtime/Exceptions.h"

namespace disk {

using runtime::DiskException;
namespace {

constexpr std::size_t kTableOffset = 446;
constexpr std::size_t kTableEntries = 4;

}  // namespace

DiskSector::DiskSector(platform::FileHandle& disk, std::uint32_t size, std::uint64_t base,
                       std::uint64_t relative, bool holdsTable)
    : Sector(size, (base + relative) * kBytes),
      base_(base),
      relative_(relative),
      holdsTable_(holdsTable) {
    loadFromDisk(disk);
}

void DiskSector::loadFromDisk(platform::FileHandle& disk) {
    std::uint32_t read = 0;
    bool positioned = platform::setFilePointerEx(disk, static_cast<std::int64_t>(getOffset()),
                                                 nullptr, platform::kFileBegin);
    if (!positioned || !platform::readFile(disk, getData(), getSize(), &read)) {
        read = 0;
    }
    if (read != getSize()) {
        ZENTRAD_THROW(DiskException, "Error reading partition table for Disk (sector " +
                                         std::to_string(getOffset()) + ").  (Expected,Read)=(" +
                                         std::to_string(getSize()) + "," + std::to_string(read) +
                                         ")");
    }
    entries_.clear();
    if (holdsTable_ && hasBootSignature())
        parseEntries();
}

void DiskSector::parseEntries() {
    for (std::size_t i = 0; i < kTableEntries; ++i) {
        auto entry = Partition::fromEntry(getData() + kTableOffset + i * Partition::kEntryBytes,
                                          kBytes, base_, relative_);
        if (entry->isUsed())
            entries_.push_back(entry);
    }
}

std::string DiskSector::toString() const {
    std::string text = "Partition: ";
    for (const auto& entry : entries_)
        text += entry->toString();
    return text;
}

}  // namespace disk
