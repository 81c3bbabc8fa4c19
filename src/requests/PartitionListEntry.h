// The entries of the partition list: one per fixed disk, one per volume on it, and, for
// servers that know them, a group entry followed by the volumes that lie on no single disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/EncryptedMessage.h"

namespace requests {

struct PartitionListEntry {
    static constexpr std::uint32_t kKindDisk = 2;
    static constexpr std::uint32_t kKindDynamicGroup = 6;

    std::string name;
    std::uint8_t isContainer = 0;
    std::uint8_t hasDriveLetter = 0;
    std::uint32_t reserved1 = 0;
    std::uint32_t reserved2 = 0;
    std::uint32_t sizeKiB = 0;
    std::uint32_t kind = 0;
    std::string drivePath;
    std::string parentName;
    std::uint8_t isNtfs = 0;
};

// Servers above this version receive drivePath, parentName and isNtfs.
constexpr std::uint32_t kPartitionListDetailsAbove = 0x10005;
// Servers from this version on receive the volumes that lie on no single disk.
constexpr std::uint32_t kDynamicVolumesFrom = 0x1000D;
constexpr const char* kDynamicVolumesName = "Dynamic Volumes";

// Scans disks and volumes. One device that fails to answer is logged at WARN and left
// out; a failing enumeration throws.
std::vector<PartitionListEntry> collectPartitionList(std::uint32_t serverVersion);

// PROT_PARTITION_LIST, the count and the entries, as the server's version expects them.
void writePartitionList(net::EncryptedMessage& message,
                        const std::vector<PartitionListEntry>& entries,
                        std::uint32_t serverVersion);

}  // namespace requests
