#include "disk/DiskLayout.h"

#include <charconv>
#include <cstring>

#include "platform/Errors.h"
#include "platform/System.h"

namespace disk {
namespace {

constexpr std::uint32_t kFirstEntryRoom = 60;
constexpr std::uint32_t kMostEntries = 4096;

// Both layouts: a header whose first fields are counted in countOffset, then entries.
template <typename Header, typename Entry>
std::optional<std::vector<Entry>> parseLayout(const std::vector<std::uint8_t>& reply,
                                              std::uint32_t returned, std::size_t entryOffset,
                                              Header& header, std::uint32_t Header::*count) {
    if (returned < entryOffset || returned > reply.size()) {
        platform::setLastError(platform::kErrorInvalidParameter);
        return std::nullopt;
    }
    std::memcpy(&header, reply.data(), sizeof(header));
    std::uint64_t room = (returned - entryOffset) / sizeof(Entry);
    if (header.*count > room) {
        platform::setLastError(platform::kErrorInvalidParameter);
        return std::nullopt;
    }
    std::vector<Entry> entries(header.*count);
    if (!entries.empty())
        std::memcpy(entries.data(), reply.data() + entryOffset, entries.size() * sizeof(Entry));
    return entries;
}

// Asks for a layout with room for 60 entries and grows the buffer (up to 4096 entries)
// while the system reports that it is too small.
template <typename Header, typename Entry>
std::optional<std::vector<Entry>> askLayout(platform::FileHandle& disk, std::uint32_t code,
                                            std::size_t entryOffset, Header& header,
                                            std::uint32_t Header::*count) {
    for (std::uint32_t entries = kFirstEntryRoom; entries <= kMostEntries; entries *= 2) {
        std::vector<std::uint8_t> reply(entryOffset + entries * sizeof(Entry));
        std::uint32_t returned = 0;
        if (platform::deviceIoControl(disk, code, nullptr, 0, reply.data(),
                                      static_cast<std::uint32_t>(reply.size()), &returned)) {
            return parseLayout<Header, Entry>(reply, returned, entryOffset, header, count);
        }
        if (platform::getLastError() != platform::kErrorInsufficientBuffer)
            return std::nullopt;
    }
    return std::nullopt;
}

// Parses an unsigned decimal number that fits 32 bits and fills the whole text.
std::optional<std::uint32_t> parseNumber(const std::string& text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    std::uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::vector<platform::PartitionInformation>> readDriveLayout(
    platform::FileHandle& disk) {
    platform::DriveLayoutInformationHeader header{};
    return askLayout<platform::DriveLayoutInformationHeader, platform::PartitionInformation>(
        disk, platform::kIoctlDiskGetDriveLayout, platform::kDriveLayoutEntryOffset, header,
        &platform::DriveLayoutInformationHeader::partitionCount);
}

std::optional<CountedLayout> readCountedLayout(platform::FileHandle& disk) {
    platform::DriveLayoutInformationExHeader header{};
    auto extended =
        askLayout<platform::DriveLayoutInformationExHeader, platform::PartitionInformationEx>(
            disk, platform::kIoctlDiskGetDriveLayoutEx, platform::kDriveLayoutExEntryOffset, header,
            &platform::DriveLayoutInformationExHeader::partitionCount);
    if (extended && header.partitionStyle == platform::kPartitionStyleGpt)
        return CountedLayout{platform::kPartitionStyleGpt, countedGptPartitions(*extended)};
    // MBR disks keep the classic layout and its numbering, whatever the extended one says.
    auto classic = readDriveLayout(disk);
    if (!classic)
        return std::nullopt;
    return CountedLayout{platform::kPartitionStyleMbr, countedPartitions(*classic)};
}

std::vector<CountedPartition> countedPartitions(
    const std::vector<platform::PartitionInformation>& layout) {
    std::vector<CountedPartition> counted;
    for (const auto& entry : layout) {
        if (countsAsPartition(entry.partitionType)) {
            counted.push_back({static_cast<std::uint64_t>(entry.startingOffset),
                               static_cast<std::uint64_t>(entry.partitionLength)});
        }
    }
    return counted;
}

std::vector<CountedPartition> countedGptPartitions(
    const std::vector<platform::PartitionInformationEx>& entries) {
    std::vector<CountedPartition> counted;
    for (const auto& entry : entries) {
        if (entry.partitionStyle == platform::kPartitionStyleGpt &&
            !entry.gpt().partitionType.isNull()) {
            counted.push_back({static_cast<std::uint64_t>(entry.startingOffset),
                               static_cast<std::uint64_t>(entry.partitionLength)});
        }
    }
    return counted;
}

std::optional<std::uint32_t> partitionIndexOf(const std::vector<CountedPartition>& partitions,
                                              std::uint64_t offset, std::uint64_t length) {
    for (std::size_t i = 0; i < partitions.size(); ++i) {
        if (partitions[i].startingOffset == offset && partitions[i].length == length)
            return static_cast<std::uint32_t>(i);
    }
    return std::nullopt;
}

bool countsAsPartition(std::uint32_t partitionType) {
    return partitionType != 0x00 && partitionType != 0x05 && partitionType != 0x0F &&
           partitionType != 0x85;
}

std::optional<std::uint32_t> partitionIndexOf(
    const std::vector<platform::PartitionInformation>& layout, std::uint64_t offset,
    std::uint64_t length) {
    return partitionIndexOf(countedPartitions(layout), offset, length);
}

std::optional<platform::PartitionInformation> partitionAtIndex(
    const std::vector<platform::PartitionInformation>& layout, std::uint32_t index) {
    std::uint32_t counter = 0;
    for (const auto& entry : layout) {
        if (!countsAsPartition(entry.partitionType))
            continue;
        if (counter == index)
            return entry;
        ++counter;
    }
    return std::nullopt;
}

std::string partitionDeviceID(std::uint32_t diskNumber, std::uint32_t partitionIndex) {
    return "Disk " + std::to_string(diskNumber) + " Partition " + std::to_string(partitionIndex);
}

std::optional<PartitionDeviceID> parsePartitionDeviceID(const std::string& id) {
    static const std::string kDisk = "Disk ";
    static const std::string kPartition = " Partition ";
    if (id.compare(0, kDisk.size(), kDisk) != 0)
        return std::nullopt;
    std::size_t middle = id.find(kPartition, kDisk.size());
    if (middle == std::string::npos)
        return std::nullopt;
    auto disk = parseNumber(id.substr(kDisk.size(), middle - kDisk.size()));
    auto partition = parseNumber(id.substr(middle + kPartition.size()));
    if (!disk || !partition)
        return std::nullopt;
    return PartitionDeviceID{*disk, *partition};
}

}  // namespace disk
