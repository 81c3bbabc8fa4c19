#include "winutil/DiskLayout.h"

#include <charconv>
#include <cstring>

#include "platform/Errors.h"
#include "platform/System.h"

namespace winutil {
namespace {

constexpr std::uint32_t kFirstEntryRoom = 60;
constexpr std::uint32_t kMostEntries = 4096;

std::optional<std::vector<platform::PartitionInformation>> parseLayout(
    const std::vector<std::uint8_t>& reply, std::uint32_t returned) {
    platform::DriveLayoutInformationHeader header{};
    if (returned < sizeof(header) || returned > reply.size()) {
        platform::setLastError(platform::kErrorInvalidParameter);
        return std::nullopt;
    }
    std::memcpy(&header, reply.data(), sizeof(header));
    std::uint64_t room =
        (returned - platform::kDriveLayoutEntryOffset) / sizeof(platform::PartitionInformation);
    if (header.partitionCount > room) {
        platform::setLastError(platform::kErrorInvalidParameter);
        return std::nullopt;
    }
    std::vector<platform::PartitionInformation> entries(header.partitionCount);
    if (!entries.empty()) {
        std::memcpy(entries.data(), reply.data() + platform::kDriveLayoutEntryOffset,
                    entries.size() * sizeof(platform::PartitionInformation));
    }
    return entries;
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
    for (std::uint32_t entries = kFirstEntryRoom; entries <= kMostEntries; entries *= 2) {
        std::vector<std::uint8_t> reply(platform::kDriveLayoutEntryOffset +
                                        entries * sizeof(platform::PartitionInformation));
        std::uint32_t returned = 0;
        if (platform::deviceIoControl(disk, platform::kIoctlDiskGetDriveLayout, nullptr, 0,
                                      reply.data(), static_cast<std::uint32_t>(reply.size()),
                                      &returned)) {
            return parseLayout(reply, returned);
        }
        if (platform::getLastError() != platform::kErrorInsufficientBuffer)
            return std::nullopt;
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
    std::uint32_t counter = 0;
    for (const auto& entry : layout) {
        if (!countsAsPartition(entry.partitionType))
            continue;
        if (static_cast<std::uint64_t>(entry.startingOffset) == offset &&
            static_cast<std::uint64_t>(entry.partitionLength) == length) {
            return counter;
        }
        ++counter;
    }
    return std::nullopt;
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

}  // namespace winutil
