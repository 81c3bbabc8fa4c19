#include "platform/emulated/ntfs/BootSector.h"

#include <bit>
#include <cstring>
#include <string>

#include "platform/emulated/ntfs/ByteView.h"

namespace platform::emulated::ntfs {

namespace {

[[noreturn]] void unrecognized(const std::string& message) {
    fail(kErrorUnrecognizedVolume, "NTFS boot sector: " + message);
}

// Clusters per file record or index buffer: a positive count of clusters, or, as a signed
// byte below zero, a size of 2^-value bytes.
std::uint32_t structureSize(std::int8_t encoded, std::uint32_t bytesPerCluster, const char* what) {
    std::uint64_t size = 0;
    if (encoded > 0) {
        size = std::uint64_t{static_cast<std::uint8_t>(encoded)} * bytesPerCluster;
    } else if (encoded < 0 && encoded >= -31) {
        size = std::uint64_t{1} << -encoded;
    }
    if (size < 256 || size > kMaxRecordSize || !std::has_single_bit(size)) {
        unrecognized(std::string(what) + " size " + std::to_string(size) +
                     " is not a power of two between 256 and 65536");
    }
    return static_cast<std::uint32_t>(size);
}

std::uint32_t sectorsPerCluster(std::uint8_t encoded) {
    // Above 128 the byte is a negative exponent: 0xF4 means 2^12 sectors.
    if (encoded <= 0x80) {
        return encoded;
    }
    std::uint32_t shift = 256u - encoded;
    return shift < 32 ? 1u << shift : 0;
}

// Sector and cluster sizes: powers of two, 256 to 4096-byte sectors, clusters up to 2 MiB.
void parseClusterSize(const ByteView& view, BootSector& boot) {
    boot.bytesPerSector = view.u16(0x0B);
    if (boot.bytesPerSector < 256 || boot.bytesPerSector > 4096 ||
        !std::has_single_bit(boot.bytesPerSector)) {
        unrecognized("bytes per sector " + std::to_string(boot.bytesPerSector));
    }
    boot.sectorsPerCluster = sectorsPerCluster(view.u8(0x0D));
    std::uint64_t cluster = std::uint64_t{boot.bytesPerSector} * boot.sectorsPerCluster;
    if (cluster == 0 || cluster > kMaxClusterSize || !std::has_single_bit(boot.sectorsPerCluster)) {
        unrecognized("cluster size " + std::to_string(cluster));
    }
    boot.bytesPerCluster = static_cast<std::uint32_t>(cluster);
    boot.clusterShift = static_cast<std::uint32_t>(std::countr_zero(boot.bytesPerCluster));
}

void checkGeometry(const BootSector& boot, std::uint64_t volumeLength) {
    if (boot.totalClusters == 0) {
        unrecognized("no clusters");
    }
    if (boot.totalSectors > volumeLength / boot.bytesPerSector) {
        unrecognized(std::to_string(boot.totalSectors) + " sectors do not fit a volume of " +
                     std::to_string(volumeLength) + " bytes");
    }
    if (boot.mftLcn >= boot.totalClusters || boot.mftMirrorLcn >= boot.totalClusters) {
        unrecognized("$MFT or its mirror lies past the last cluster");
    }
}

}  // namespace

BootSector parseBootSector(std::span<const std::uint8_t> sector, std::uint64_t volumeLength) {
    ByteView view(sector, "boot sector");
    if (sector.size() < kBootSectorSize || std::memcmp(sector.data() + 3, "NTFS    ", 8) != 0) {
        fail(kErrorInvalidFunction, "the volume holds no NTFS file system");
    }
    if (view.u16(510) != 0xAA55) {
        unrecognized("missing 55 AA signature");
    }
    BootSector boot;
    parseClusterSize(view, boot);
    boot.totalSectors = view.u64(0x28);
    boot.totalClusters = boot.totalSectors / boot.sectorsPerCluster;
    boot.mftLcn = view.u64(0x30);
    boot.mftMirrorLcn = view.u64(0x38);
    boot.bytesPerFileRecord =
        structureSize(static_cast<std::int8_t>(view.u8(0x40)), boot.bytesPerCluster, "file record");
    boot.bytesPerIndexRecord = structureSize(static_cast<std::int8_t>(view.u8(0x44)),
                                             boot.bytesPerCluster, "index record");
    boot.serialNumber = view.u64(0x48);
    checkGeometry(boot, volumeLength);
    return boot;
}

}  // namespace platform::emulated::ntfs
