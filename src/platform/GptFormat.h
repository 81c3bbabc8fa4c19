// The on-disk GUID partition table: the protective MBR, the header (primary at sector 1,
// backup at the disk's last sector) and the entry array that each header describes, with
// their CRC32s. Shared by the emulated host, which answers the extended drive layout from
// it, and by the agent, which backs up and rebuilds these sectors itself.
//
// Everything parsed here comes from a disk or a peer and is untrusted: every count, size
// and position is checked against the disk before anything is allocated or read, and a
// table that fails a check is refused with a reason, never partly used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Com.h"

namespace platform::gpt {

constexpr std::uint32_t kSectorBytes = 512;
constexpr std::uint32_t kMinHeaderBytes = 92;
constexpr std::uint32_t kMinEntryBytes = 128;
constexpr std::uint32_t kMaxEntryBytes = 4096;
// Real tables hold 16 KiB of entries; anything beyond 1 MiB is refused as hostile.
constexpr std::uint64_t kMaxEntryArrayBytes = 1u << 20;
constexpr std::uint8_t kProtectiveType = 0xEE;

// The entry type that holds no volume of its own but is counted like any partition.
constexpr Guid kMicrosoftReservedType{
    0xE3C9E316, 0x0B5C, 0x4DB8, {0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE}};

// CRC-32 (IEEE 802.3, reflected), as the GPT uses it; crc continues an earlier value.
std::uint32_t crc32(const void* data, std::size_t length, std::uint32_t crc = 0);

struct Header {
    std::uint32_t revision = 0x00010000;
    std::uint32_t headerBytes = kMinHeaderBytes;
    std::uint64_t myLba = 0;
    std::uint64_t alternateLba = 0;
    std::uint64_t firstUsableLba = 0;
    std::uint64_t lastUsableLba = 0;
    Guid diskGuid;
    std::uint64_t entryLba = 0;
    std::uint32_t entryCount = 0;
    std::uint32_t entryBytes = kMinEntryBytes;
    std::uint32_t entryArrayCrc = 0;

    // Valid only for a header that parseHeader accepted.
    std::uint64_t arrayBytes() const { return std::uint64_t{entryCount} * entryBytes; }
    std::uint64_t arraySectors() const { return (arrayBytes() + kSectorBytes - 1) / kSectorBytes; }
};

struct Entry {
    std::uint32_t index = 0;  // position in the entry array
    Guid type;
    Guid unique;
    std::uint64_t firstLba = 0;
    std::uint64_t lastLba = 0;  // inclusive
    std::uint64_t attributes = 0;
    std::uint16_t name[36]{};

    std::uint64_t startingOffset() const { return firstLba * kSectorBytes; }
    std::uint64_t length() const { return (lastLba - firstLba + 1) * kSectorBytes; }
};

// Whether a boot sector carries 0x55 0xAA and an entry of type 0xEE.
bool isProtectiveMbr(const std::uint8_t* sector);

// Parses and checks one header sector (kSectorBytes) found at sector myLba of a disk of
// diskSectors sectors: signature, revision, size, CRC, its own position, the usable range
// and the entry array (size, count, inside the disk, clear of the usable range and of both
// headers). Empty with error set when any check fails.
std::optional<Header> parseHeader(const std::uint8_t* sector, std::uint64_t myLba,
                                  std::uint64_t diskSectors, std::string& error);

// Checks the array's CRC and its used entries (inside the usable range, first <= last, no
// two overlapping); the used entries in array order. array holds header.arrayBytes().
std::optional<std::vector<Entry>> parseEntries(const Header& header, const std::uint8_t* array,
                                               std::string& error);

// Writes the header's fields into sector (other bytes kept) and its CRC.
void storeHeader(const Header& header, std::uint8_t* sector);

// Whether a backup header describes the same table as the primary.
bool matches(const Header& primary, const Header& backup, std::string& error);

// Reads count bytes at a disk byte offset; false when they cannot be read.
using Reader = std::function<bool(std::uint64_t offset, void* buffer, std::size_t count)>;

// A disk's table as read from the disk: the primary header and its entries are used; the
// backup is checked against it. valid is false with error set when the primary is
// damaged (error then also says whether the backup at the disk's end is intact, which is
// never used in its place) or when the backup is damaged or does not match.
struct Table {
    bool valid = false;
    std::string error;
    bool backupIntact = false;  // primary damaged, backup at the last sector intact
    Header primary;
    Header backup;
    std::vector<Entry> entries;
};
Table readTable(const Reader& read, std::uint64_t diskSectors);

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower case.
std::string guidText(const Guid& guid);

}  // namespace platform::gpt
