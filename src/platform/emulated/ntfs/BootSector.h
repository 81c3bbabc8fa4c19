// The NTFS boot sector: the volume's geometry and where $MFT lies.
#pragma once

#include <cstdint>
#include <span>

namespace platform::emulated::ntfs {

constexpr std::size_t kBootSectorSize = 512;
// Larger file records or index buffers than this are refused (Windows writes 1 KiB or 4 KiB).
constexpr std::uint32_t kMaxRecordSize = 64 * 1024;
// Windows supports clusters up to 2 MiB.
constexpr std::uint32_t kMaxClusterSize = 2 * 1024 * 1024;

struct BootSector {
    std::uint32_t bytesPerSector = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t bytesPerCluster = 0;
    std::uint32_t clusterShift = 0;  // log2(bytesPerCluster)
    std::uint64_t totalSectors = 0;
    std::uint64_t totalClusters = 0;
    std::uint64_t mftLcn = 0;
    std::uint64_t mftMirrorLcn = 0;
    std::uint32_t bytesPerFileRecord = 0;
    std::uint32_t bytesPerIndexRecord = 0;
    std::uint64_t serialNumber = 0;
};

// Checks every value it takes against the volume's length. kErrorInvalidFunction when the
// sector is not an NTFS boot sector at all, kErrorUnrecognizedVolume when its values are
// impossible.
BootSector parseBootSector(std::span<const std::uint8_t> sector, std::uint64_t volumeLength);

}  // namespace platform::emulated::ntfs
