// The drive layout that the system reports for a physical disk, and the one rule by which
// its entries are numbered in device IDs: "Disk N Partition M" is, on an MBR disk, the M-th
// entry (from 0) of the classic layout that is neither empty nor a container (0x05, 0x0F,
// 0x85); on a GPT disk the M-th used entry of the entry array, in array order (the reserved
// partition counts though it holds no volume). Volume enumeration and the search for a
// restore's target partition both use this rule, so a restore always lands on the
// partition the server backed up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/DeviceControl.h"
#include "platform/File.h"

namespace disk {

// Asks for the layout with room for 60 entries and grows the buffer (up to 4096 entries)
// while the system reports that it is too small. Empty, with the last error kept, when the
// layout cannot be read or the reply is malformed.
std::optional<std::vector<platform::PartitionInformation>> readDriveLayout(
    platform::FileHandle& disk);

bool countsAsPartition(std::uint32_t partitionType);

// A partition as "Disk N Partition M" counts it: M is its position in the list.
struct CountedPartition {
    std::uint64_t startingOffset = 0;
    std::uint64_t length = 0;
};
struct CountedLayout {
    std::uint32_t style = platform::kPartitionStyleMbr;
    std::vector<CountedPartition> partitions;
};

// The counted partitions of a disk: from the extended layout when the disk is a GPT disk,
// else from the classic layout exactly as readDriveLayout reads it. Empty, with the last
// error kept, when the layout cannot be read.
std::optional<CountedLayout> readCountedLayout(platform::FileHandle& disk);
std::vector<CountedPartition> countedPartitions(
    const std::vector<platform::PartitionInformation>& layout);
// The used GPT entries of an extended layout's reply, in reply (entry-array) order.
std::vector<CountedPartition> countedGptPartitions(
    const std::vector<platform::PartitionInformationEx>& entries);
std::optional<std::uint32_t> partitionIndexOf(const std::vector<CountedPartition>& partitions,
                                              std::uint64_t offset, std::uint64_t length);

// The position of the counted entry that starts at offset and is length bytes long.
std::optional<std::uint32_t> partitionIndexOf(
    const std::vector<platform::PartitionInformation>& layout, std::uint64_t offset,
    std::uint64_t length);

// The counted entry at position index.
std::optional<platform::PartitionInformation> partitionAtIndex(
    const std::vector<platform::PartitionInformation>& layout, std::uint32_t index);

struct PartitionDeviceID {
    std::uint32_t diskNumber = 0;
    std::uint32_t partitionIndex = 0;
};

// "Disk N Partition M".
std::string partitionDeviceID(std::uint32_t diskNumber, std::uint32_t partitionIndex);
// Parses exactly "Disk N Partition M" (decimal numbers that fit 32 bits); empty otherwise.
std::optional<PartitionDeviceID> parsePartitionDeviceID(const std::string& id);

}  // namespace disk
