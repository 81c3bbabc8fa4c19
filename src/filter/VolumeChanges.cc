#include "filter/VolumeChanges.h"

#include <iostream>

#include "filter/DriverText.h"

namespace filter {

VolumeChanges::VolumeChanges(std::uint32_t volumeNumber, std::vector<std::wstring> names,
                             std::uint32_t sectorsPerBlock)
    : volumeNumber_(volumeNumber),
      changes_(std::make_unique<MapBitmap>()),
      sectorsPerBlock_(sectorsPerBlock == 0 ? kDefaultSectorsPerBlock : sectorsPerBlock),
      journalKey_(newJournalKey()),
      names_(std::move(names)) {}

std::wstring VolumeChanges::name() const {
    if (names_.empty()) {
        std::cout << "Bad news.  asking for a volumneName when we don't have one\n";
        return {};
    }
    return withTrailingBackslash(names_.front());
}

void VolumeChanges::addSectors(std::uint64_t firstSector, std::uint64_t sectorCount) {
    if (sectorCount == 0)
        return;
    // The last sector, kept inside 64 bits for records at the very end of the range.
    std::uint64_t lastSector =
        sectorCount - 1 > UINT64_MAX - firstSector ? UINT64_MAX : firstSector + sectorCount - 1;
    std::uint64_t firstBlock = firstSector / sectorsPerBlock_;
    std::uint64_t lastBlock = lastSector / sectorsPerBlock_;
    changes_->setRange(firstBlock, lastBlock - firstBlock + 1);
}

VolumeChanges::Period VolumeChanges::endPeriod() {
    Period old{journalKey_, std::move(changes_)};
    changes_ = std::make_unique<MapBitmap>();
    journalKey_ = newJournalKey();
    return old;
}

void VolumeChanges::continuePeriod(const JournalKey& journalKey, const MapBitmap& changes) {
    journalKey_ = journalKey;
    changes_->merge(changes);
}

}  // namespace filter
