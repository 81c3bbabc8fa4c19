#include "platform/emulated/storage/MbrLayout.h"

#include <array>
#include <set>

#include "platform/ByteOrder.h"

namespace platform::emulated {
namespace {

constexpr std::size_t kTableOffset = 446;
constexpr std::size_t kSlotSize = 16;
constexpr std::size_t kSlotsPerTable = 4;

using Sector = std::array<std::uint8_t, kSectorSize>;

bool hasBootSignature(const Sector& sector) {
    return sector[510] == 0x55 && sector[511] == 0xAA;
}

// Parses the four slots of a table sector. Partition slots count from the table's own
// sector; link slots (in an EBR) count from the start of the outermost extended partition.
std::vector<MbrSlot> parseSlots(const Sector& sector, std::uint64_t tableSector,
                                std::uint64_t containerStart) {
    std::vector<MbrSlot> slots;
    for (std::size_t i = 0; i < kSlotsPerTable; ++i) {
        const std::uint8_t* entry = sector.data() + kTableOffset + i * kSlotSize;
        MbrSlot slot;
        slot.tableSector = tableSector;
        slot.bootIndicator = entry[0];
        slot.type = entry[4];
        slot.relativeSector = loadLittleU32(entry + 8);
        slot.sectorCount = loadLittleU32(entry + 12);
        bool link = slot.extended() && tableSector != 0;
        std::uint64_t base = link ? containerStart : tableSector;
        if (!slot.empty()) {
            slot.startingOffset = (base + slot.relativeSector) * kSectorSize;
            slot.length = static_cast<std::uint64_t>(slot.sectorCount) * kSectorSize;
        }
        slots.push_back(slot);
    }
    return slots;
}

class ChainReader {
  public:
    ChainReader(const SectorReader& read, std::uint64_t diskSize, MbrLayout& layout)
        : read_(read), diskSectors_(diskSize / kSectorSize), layout_(layout) {}

    // Follows the chain of one extended partition of the MBR, iteratively.
    bool follow(const MbrSlot& container) {
        std::uint64_t start = container.relativeSector;
        std::uint64_t end = start + container.sectorCount;
        std::uint64_t next = start;
        while (true) {
            if (!checkTableSector(next, start, end))
                return false;
            Sector sector{};
            if (!read_(next * kSectorSize, sector.data(), sector.size())) {
                return fail("cannot read the extended boot record at sector " +
                            std::to_string(next));
            }
            if (!hasBootSignature(sector)) {
                return fail("extended boot record at sector " + std::to_string(next) +
                            " has no 0x55 0xAA signature");
            }
            auto slots = parseSlots(sector, next, start);
            layout_.slots.insert(layout_.slots.end(), slots.begin(), slots.end());
            const MbrSlot* link = nullptr;
            for (const auto& slot : slots) {
                if (slot.extended() && link == nullptr)
                    link = &slot;
            }
            if (link == nullptr)
                return true;
            next = start + link->relativeSector;
        }
    }

  private:
    bool checkTableSector(std::uint64_t sector, std::uint64_t start, std::uint64_t end) {
        if (!visited_.insert(sector).second) {
            return fail("extended boot record chain loops at sector " + std::to_string(sector));
        }
        if (visited_.size() > kMaxExtendedBootRecords) {
            return fail("extended boot record chain is longer than " +
                        std::to_string(kMaxExtendedBootRecords) + " records");
        }
        if (sector < start || sector >= end || sector >= diskSectors_) {
            return fail("extended boot record at sector " + std::to_string(sector) +
                        " lies outside its extended partition or the disk");
        }
        return true;
    }

    bool fail(const std::string& reason) {
        layout_.error = reason;
        return false;
    }

    const SectorReader& read_;
    std::uint64_t diskSectors_;
    MbrLayout& layout_;
    std::set<std::uint64_t> visited_;
};

}  // namespace

std::vector<MbrSlot> MbrLayout::partitions() const {
    std::vector<MbrSlot> result;
    for (const auto& slot : slots) {
        if (!slot.empty() && !slot.container())
            result.push_back(slot);
    }
    return result;
}

MbrLayout readMbrLayout(const SectorReader& read, std::uint64_t diskSize) {
    MbrLayout layout;
    Sector mbr{};
    if (diskSize < kSectorSize || !read(0, mbr.data(), mbr.size())) {
        layout.error = "the disk is too short to hold a master boot record";
        return layout;
    }
    layout.valid = true;
    if (!hasBootSignature(mbr))
        return layout;
    layout.hasTable = true;
    layout.signature = loadLittleU32(mbr.data() + 440);
    layout.slots = parseSlots(mbr, 0, 0);
    ChainReader chain(read, diskSize, layout);
    // Only one extended partition per MBR is meaningful; each is followed on its own.
    const std::vector<MbrSlot> primary(layout.slots.begin(), layout.slots.end());
    for (const auto& slot : primary) {
        if (slot.extended() && !chain.follow(slot)) {
            layout.valid = false;
            layout.slots.clear();
            return layout;
        }
    }
    return layout;
}

}  // namespace platform::emulated
