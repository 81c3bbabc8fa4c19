// An emulated host for driver tests: a temporary host root selected through
// ZENTRAD_HOST_ROOT, with the driver installed and, on request, a disk image holding one
// partition.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/TempDir.h"
#include "platform/System.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/driver/DriverStore.h"
#include "platform/emulated/storage/HostLayout.h"

namespace test {

class DriverHost {
  public:
    static constexpr std::uint32_t kSignature = 0x1234ABCD;
    static constexpr std::uint64_t kPartitionSector = 2048;
    static constexpr std::uint64_t kPartitionSectors = 16384;

    DriverHost() : store_(dir_.path()) {
        ::setenv("ZENTRAD_HOST_ROOT", dir_.path().c_str(), 1);
        store_.install();
    }
    ~DriverHost() { ::unsetenv("ZENTRAD_HOST_ROOT"); }

    const std::filesystem::path& root() const { return dir_.path(); }
    platform::emulated::DriverStore& store() { return store_; }
    platform::emulated::Host& host() { return platform::emulated::Host::at(dir_.path()); }

    // disks/0.img: 16 MiB with one NTFS-typed partition of 8 MiB at sector 2048; returns
    // the partition's GUID path. letter assigns it a drive letter in host.conf.
    std::wstring addDiskWithPartition(char letter = 0) {
        std::filesystem::create_directories(dir_.path() / "disks");
        std::vector<std::uint8_t> image(16u << 20, 0);
        putLittleEndian(image, 440, kSignature, 4);
        image[446 + 4] = 0x07;
        putLittleEndian(image, 446 + 8, kPartitionSector, 4);
        putLittleEndian(image, 446 + 12, kPartitionSectors, 4);
        image[510] = 0x55;
        image[511] = 0xAA;
        std::ofstream(dir_.path() / "disks" / "0.img", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
        std::wstring guid =
            platform::emulated::HostLayout::partitionGuidPath(kSignature, kPartitionSector * 512);
        if (letter != 0) {
            std::ofstream(dir_.path() / "host.conf")
                << "[letters]\n"
                << letter << " = " << platform::toNarrow(guid) << "\n";
        }
        return guid;
    }

    // Puts a fresh NTFS with the given cluster size (mkntfs) into the partition, before
    // anything tracks writes. False when mkntfs is missing or fails.
    bool formatPartitionNtfs(std::uint32_t clusterSize) {
        std::filesystem::path volume = dir_.path() / "volume.img";
        std::filesystem::path disk = dir_.path() / "disks" / "0.img";
        std::string command =
            "truncate -s " + std::to_string(kPartitionSectors * 512) + " " + volume.string() +
            " && mkntfs -F -Q -q -c " + std::to_string(clusterSize) + " -s 512 -p " +
            std::to_string(kPartitionSector) + " -H 255 -S 63 " + volume.string() +
            " >/dev/null 2>&1 && dd if=" + volume.string() + " of=" + disk.string() +
            " bs=512 seek=" + std::to_string(kPartitionSector) + " conv=notrunc status=none";
        return std::system(command.c_str()) == 0;
    }

  private:
    static void putLittleEndian(std::vector<std::uint8_t>& bytes, std::size_t at,
                                std::uint64_t value, int size) {
        for (int i = 0; i < size; ++i)
            bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }

    TempDir dir_;
    platform::emulated::DriverStore store_;
};

}  // namespace test
