// What the agent knows about one volume the driver reported: its names, its cluster size
// in sectors, and the changes and journal key of the current tracking period.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filter/JournalKey.h"
#include "filter/MapBitmap.h"

namespace filter {

class VolumeChanges {
  public:
    static constexpr std::uint32_t kDefaultSectorsPerBlock = 8;

    // A new tracking period with no changes and a fresh journal key. sectorsPerBlock 0
    // is taken as the default.
    VolumeChanges(std::uint32_t volumeNumber, std::vector<std::wstring> names,
                  std::uint32_t sectorsPerBlock = kDefaultSectorsPerBlock);
    virtual ~VolumeChanges() = default;
    VolumeChanges(const VolumeChanges&) = delete;
    VolumeChanges& operator=(const VolumeChanges&) = delete;

    std::uint32_t volumeNumber() const { return volumeNumber_; }
    std::uint32_t sectorsPerBlock() const { return sectorsPerBlock_; }
    const std::vector<std::wstring>& names() const { return names_; }
    // The first name with a trailing backslash; empty (with a note on standard output)
    // for a volume whose names the driver did not tell.
    std::wstring name() const;
    const JournalKey& journalKey() const { return journalKey_; }
    const MapBitmap& changes() const { return *changes_; }

    // Marks every block that the sectors first .. first + count - 1 touch. A record of
    // zero sectors changed nothing and is ignored.
    void addSectors(std::uint64_t firstSector, std::uint64_t sectorCount);

    // Ends the current period and starts the next one with no changes and a new key.
    struct Period {
        JournalKey journalKey;
        std::unique_ptr<MapBitmap> changes;
    };
    Period endPeriod();
    // Carries on a period that began elsewhere (before an agent restart, or before the
    // driver numbered the volume): its key, and the changes recorded in it so far.
    void continuePeriod(const JournalKey& journalKey, const MapBitmap& changes);

  private:
    std::uint32_t volumeNumber_;
    std::unique_ptr<MapBitmap> changes_;
    std::uint32_t sectorsPerBlock_;
    JournalKey journalKey_;
    std::vector<std::wstring> names_;
};

}  // namespace filter
