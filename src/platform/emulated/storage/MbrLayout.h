// The classic MBR partition table of a disk image: the four slots of the MBR and the four
// slots of every extended boot record in chain order. Disk images are untrusted: a chain
// that loops, points outside the disk or outside its extended partition, or a truncated
// image gives an invalid layout with a reason, never a hang or a read outside the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform::emulated {

constexpr std::uint32_t kSectorSize = 512;

struct MbrSlot {
    std::uint64_t tableSector = 0;  // the sector (MBR or EBR) that holds the slot
    std::uint8_t bootIndicator = 0;
    std::uint8_t type = 0;             // 0 for an empty slot
    std::uint32_t relativeSector = 0;  // as stored: relative to its table or to the container
    std::uint32_t sectorCount = 0;
    std::uint64_t startingOffset = 0;  // absolute bytes on the disk
    std::uint64_t length = 0;          // bytes

    bool empty() const { return type == 0; }
    // 0x05 and 0x0F link extended boot records; 0x85 is a Linux container.
    bool extended() const { return type == 0x05 || type == 0x0F; }
    bool container() const { return extended() || type == 0x85; }
};

struct MbrLayout {
    bool valid = false;     // false: error says why
    bool hasTable = false;  // the MBR carries 0x55 0xAA
    std::uint32_t signature = 0;
    std::vector<MbrSlot> slots;  // 4 per table; empty when there is no table
    std::string error;

    // Slots that are neither empty nor containers, in slot order: the disk's partitions.
    std::vector<MbrSlot> partitions() const;
};

// Reads count bytes at a disk byte offset; false when they cannot be read.
using SectorReader = std::function<bool(std::uint64_t offset, void* buffer, std::size_t count)>;

// At most this many extended boot records are followed; a longer chain is refused.
constexpr std::size_t kMaxExtendedBootRecords = 256;

MbrLayout readMbrLayout(const SectorReader& read, std::uint64_t diskSize);

}  // namespace platform::emulated
