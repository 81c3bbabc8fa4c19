#include "platform/GptFormat.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "platform/ByteOrder.h"

namespace platform::gpt {
namespace {

constexpr char kSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr std::size_t kCrcField = 16;

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) != 0 ? 0xEDB88320u ^ (value >> 1) : value >> 1;
        table[i] = value;
    }
    return table;
}
constexpr auto kCrcTable = makeCrcTable();

// The on-disk GUID has the Windows memory layout (little-endian first three fields).
Guid loadGuid(const std::uint8_t* bytes) {
    Guid guid;
    guid.data1 = loadLittleU32(bytes);
    guid.data2 = loadLittleU16(bytes + 4);
    guid.data3 = loadLittleU16(bytes + 6);
    std::memcpy(guid.data4.data(), bytes + 8, 8);
    return guid;
}
void storeGuid(std::uint8_t* bytes, const Guid& guid) {
    storeLittleEndian(bytes, guid.data1, 4);
    storeLittleEndian(bytes + 4, guid.data2, 2);
    storeLittleEndian(bytes + 6, guid.data3, 2);
    std::memcpy(bytes + 8, guid.data4.data(), 8);
}

std::uint32_t headerCrc(const std::uint8_t* sector, std::uint32_t headerBytes) {
    std::array<std::uint8_t, kSectorBytes> copy{};
    std::memcpy(copy.data(), sector, headerBytes);
    std::memset(copy.data() + kCrcField, 0, 4);
    return crc32(copy.data(), headerBytes);
}

bool fail(std::string& error, const std::string& reason) {
    error = reason;
    return false;
}

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

bool checkFields(const Header& h, std::uint64_t diskSectors, std::string& error) {
    if (h.firstUsableLba > h.lastUsableLba || h.lastUsableLba >= diskSectors ||
        h.firstUsableLba < 2) {
        return fail(error, "usable sectors " + number(h.firstUsableLba) + " to " +
                               number(h.lastUsableLba) + " do not fit a disk of " +
                               number(diskSectors) + " sectors");
    }
    if (h.alternateLba >= diskSectors || h.alternateLba == h.myLba ||
        (h.alternateLba >= h.firstUsableLba && h.alternateLba <= h.lastUsableLba) ||
        (h.myLba >= h.firstUsableLba && h.myLba <= h.lastUsableLba)) {
        return fail(error, "header sectors " + number(h.myLba) + " and " + number(h.alternateLba) +
                               " clash with the disk or its usable sectors");
    }
    if (h.entryBytes < kMinEntryBytes || h.entryBytes > kMaxEntryBytes ||
        (h.entryBytes & (h.entryBytes - 1)) != 0) {
        return fail(error, "entry size " + number(h.entryBytes) + " is not 128 times a power of 2");
    }
    if (h.arrayBytes() > kMaxEntryArrayBytes) {
        return fail(error, number(h.entryCount) + " entries of " + number(h.entryBytes) +
                               " bytes exceed " + number(kMaxEntryArrayBytes) + " bytes");
    }
    std::uint64_t first = h.entryLba;
    std::uint64_t sectors = h.arraySectors();
    bool insideDisk = first < diskSectors && sectors <= diskSectors - first;
    std::uint64_t end = first + sectors;  // cannot overflow when insideDisk
    bool clear = insideDisk && (end <= h.firstUsableLba || first > h.lastUsableLba) &&
                 !(h.myLba >= first && h.myLba < end) &&
                 !(h.alternateLba >= first && h.alternateLba < end) && first >= 1;
    if (!clear) {
        return fail(error, "the entry array at sector " + number(first) + " (" + number(sectors) +
                               " sectors) leaves the disk or overlaps a header or the usable "
                               "sectors");
    }
    return true;
}

}  // namespace

std::uint32_t crc32(const void* data, std::size_t length, std::uint32_t crc) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i)
        crc = kCrcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

bool isProtectiveMbr(const std::uint8_t* sector) {
    if (sector[510] != 0x55 || sector[511] != 0xAA)
        return false;
    for (int slot = 0; slot < 4; ++slot) {
        if (sector[446 + 16 * slot + 4] == kProtectiveType)
            return true;
    }
    return false;
}

std::optional<Header> parseHeader(const std::uint8_t* sector, std::uint64_t myLba,
                                  std::uint64_t diskSectors, std::string& error) {
    std::string reason;
    Header h;
    h.revision = loadLittleU32(sector + 8);
    h.headerBytes = loadLittleU32(sector + 12);
    if (std::memcmp(sector, kSignature, sizeof kSignature) != 0) {
        reason = "no \"EFI PART\" signature";
    } else if ((h.revision >> 16) != 1) {
        reason = "revision " + number(h.revision) + " is not 1.x";
    } else if (h.headerBytes < kMinHeaderBytes || h.headerBytes > kSectorBytes) {
        reason = "header size " + number(h.headerBytes) + " is not 92 to 512 bytes";
    } else if (headerCrc(sector, h.headerBytes) != loadLittleU32(sector + kCrcField)) {
        reason = "header CRC does not match";
    }
    h.myLba = loadLittleU64(sector + 24);
    h.alternateLba = loadLittleU64(sector + 32);
    h.firstUsableLba = loadLittleU64(sector + 40);
    h.lastUsableLba = loadLittleU64(sector + 48);
    h.diskGuid = loadGuid(sector + 56);
    h.entryLba = loadLittleU64(sector + 72);
    h.entryCount = loadLittleU32(sector + 80);
    h.entryBytes = loadLittleU32(sector + 84);
    h.entryArrayCrc = loadLittleU32(sector + 88);
    if (reason.empty() && h.myLba != myLba)
        reason = "it names sector " + number(h.myLba) + " as its own";
    if (reason.empty())
        checkFields(h, diskSectors, reason);
    if (!reason.empty()) {
        error = "GPT header at sector " + number(myLba) + ": " + reason;
        return std::nullopt;
    }
    return h;
}

std::optional<std::vector<Entry>> parseEntries(const Header& header, const std::uint8_t* array,
                                               std::string& error) {
    std::string where = "GPT entry array at sector " + number(header.entryLba) + ": ";
    if (crc32(array, header.arrayBytes()) != header.entryArrayCrc) {
        error = where + "CRC does not match";
        return std::nullopt;
    }
    std::vector<Entry> entries;
    for (std::uint32_t i = 0; i < header.entryCount; ++i) {
        const std::uint8_t* raw = array + std::size_t{i} * header.entryBytes;
        Entry entry;
        entry.index = i;
        entry.type = loadGuid(raw);
        if (entry.type.isNull())
            continue;
        entry.unique = loadGuid(raw + 16);
        entry.firstLba = loadLittleU64(raw + 32);
        entry.lastLba = loadLittleU64(raw + 40);
        entry.attributes = loadLittleU64(raw + 48);
        for (int c = 0; c < 36; ++c)
            entry.name[c] = loadLittleU16(raw + 56 + 2 * c);
        if (entry.firstLba > entry.lastLba || entry.firstLba < header.firstUsableLba ||
            entry.lastLba > header.lastUsableLba) {
            error = where + "entry " + number(i) + " (sectors " + number(entry.firstLba) + " to " +
                    number(entry.lastLba) + ") lies outside the usable sectors " +
                    number(header.firstUsableLba) + " to " + number(header.lastUsableLba);
            return std::nullopt;
        }
        entries.push_back(entry);
    }
    std::vector<const Entry*> sorted;
    for (const auto& entry : entries)
        sorted.push_back(&entry);
    std::sort(sorted.begin(), sorted.end(),
              [](const Entry* a, const Entry* b) { return a->firstLba < b->firstLba; });
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i]->firstLba <= sorted[i - 1]->lastLba) {
            error = where + "entries " + number(sorted[i - 1]->index) + " and " +
                    number(sorted[i]->index) + " overlap";
            return std::nullopt;
        }
    }
    return entries;
}

void storeHeader(const Header& h, std::uint8_t* sector) {
    std::memcpy(sector, kSignature, sizeof kSignature);
    storeLittleEndian(sector + 8, h.revision, 4);
    storeLittleEndian(sector + 12, h.headerBytes, 4);
    storeLittleEndian(sector + 20, 0, 4);
    storeLittleEndian(sector + 24, h.myLba, 8);
    storeLittleEndian(sector + 32, h.alternateLba, 8);
    storeLittleEndian(sector + 40, h.firstUsableLba, 8);
    storeLittleEndian(sector + 48, h.lastUsableLba, 8);
    storeGuid(sector + 56, h.diskGuid);
    storeLittleEndian(sector + 72, h.entryLba, 8);
    storeLittleEndian(sector + 80, h.entryCount, 4);
    storeLittleEndian(sector + 84, h.entryBytes, 4);
    storeLittleEndian(sector + 88, h.entryArrayCrc, 4);
    storeLittleEndian(sector + kCrcField, headerCrc(sector, h.headerBytes), 4);
}

bool matches(const Header& primary, const Header& backup, std::string& error) {
    if (backup.myLba != primary.alternateLba || backup.alternateLba != primary.myLba ||
        backup.firstUsableLba != primary.firstUsableLba ||
        backup.lastUsableLba != primary.lastUsableLba || backup.diskGuid != primary.diskGuid ||
        backup.entryCount != primary.entryCount || backup.entryBytes != primary.entryBytes ||
        backup.entryArrayCrc != primary.entryArrayCrc) {
        error = "the backup GPT header at sector " + number(backup.myLba) +
                " does not describe the same table as the primary";
        return false;
    }
    return true;
}

namespace {

// One header and its entries, read from the disk.
bool readCopy(const Reader& read, std::uint64_t lba, std::uint64_t diskSectors, Header& header,
              std::vector<Entry>& entries, std::string& error) {
    std::array<std::uint8_t, kSectorBytes> sector{};
    if (lba >= diskSectors || !read(lba * kSectorBytes, sector.data(), sector.size()))
        return fail(error, "cannot read the GPT header at sector " + number(lba));
    auto parsed = parseHeader(sector.data(), lba, diskSectors, error);
    if (!parsed)
        return false;
    header = *parsed;
    std::vector<std::uint8_t> array(header.arraySectors() * kSectorBytes);
    if (!array.empty() && !read(header.entryLba * kSectorBytes, array.data(), array.size()))
        return fail(error, "cannot read the GPT entry array at sector " + number(header.entryLba));
    auto parsedEntries = parseEntries(header, array.data(), error);
    if (!parsedEntries)
        return false;
    entries = std::move(*parsedEntries);
    return true;
}

}  // namespace

Table readTable(const Reader& read, std::uint64_t diskSectors) {
    Table table;
    std::string error;
    if (!readCopy(read, 1, diskSectors, table.primary, table.entries, error)) {
        Header backup;
        std::vector<Entry> ignored;
        std::string backupError;
        table.backupIntact = diskSectors > 2 && readCopy(read, diskSectors - 1, diskSectors, backup,
                                                         ignored, backupError);
        table.error =
            "the primary " + error +
            (table.backupIntact ? "; the backup header at sector " + number(diskSectors - 1) +
                                      " is intact (repair the primary from it first)"
                                : "; the backup header is damaged too");
        table.entries.clear();
        return table;
    }
    std::vector<Entry> backupEntries;
    if (!readCopy(read, table.primary.alternateLba, diskSectors, table.backup, backupEntries,
                  error) ||
        !matches(table.primary, table.backup, error)) {
        table.error = "the backup of the table is unusable: " + error;
        table.entries.clear();
        return table;
    }
    table.valid = true;
    return table;
}

std::string guidText(const Guid& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.data1,
                  guid.data2, guid.data3, guid.data4[0], guid.data4[1], guid.data4[2],
                  guid.data4[3], guid.data4[4], guid.data4[5], guid.data4[6], guid.data4[7]);
    return text;
}

}  // namespace platform::gpt
