// Device IDs, restore targets and the partition list on a host with an MBR disk and GPT
// disks (sfdisk and sgdisk tables), counted by one rule on every path.
#include <gtest/gtest.h>

#include "DiskHost.h"
#include "backup-server/commands/PartitionList.h"
#include "blocks/DiskVolume.h"
#include "crypto/CryptoLibrary.h"
#include "disk/Disk.h"
#include "net/EncryptedMessage.h"
#include "requests/PartitionListEntry.h"
#include "runtime/Exceptions.h"

namespace {

using disks_test::DiskHost;

constexpr std::uint64_t kMiB = 1 << 20;

class GptVolumeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        crypto::CryptoLibrary::initialise();
        host = new DiskHost();
        host->sim("add-disk --size 16M --part 'size=8M,type=7'");
        host->sim(
            "add-disk --size 64M --label gpt "
            "--part 'size=8M,type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B' "
            "--part 'size=8M,type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE' "
            "--part 'size=20M,type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7' "
            "--part 'size=8M,type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7'");
        host->sim("mkfs 1:2");
        // A data disk beyond 4 TiB, as only GPT can describe: a sparse image, laid out by
        // sgdisk directly.
        auto big = host->image(2);
        test::runCommand("truncate -s 5T '" + big.string() + "' && sgdisk -n 1:2048:0 -t 1:0700 '" +
                         big.string() + "'");
    }
    static void TearDownTestSuite() {
        delete host;
        host = nullptr;
    }
    void SetUp() override { ::setenv("ZENTRAD_HOST_ROOT", host->root().c_str(), 1); }

    static inline DiskHost* host = nullptr;
};

TEST_F(GptVolumeTest, EntriesAreCountedInArrayOrderWithTheReservedPartition) {
    std::vector<std::string> ids;
    for (const auto& volume : blocks::DiskVolume::getAllDiskVolumes())
        ids.push_back(volume->getDeviceID());
    EXPECT_EQ(ids, (std::vector<std::string>{"Disk 0 Partition 0", "Disk 1 Partition 0",
                                             "Disk 1 Partition 2", "Disk 1 Partition 3",
                                             "Disk 2 Partition 0"}));
    auto data = blocks::DiskVolume::getDiskVolumesWithID("Disk 1 Partition 2");
    EXPECT_EQ(data->getPartitionStyle(), platform::kPartitionStyleGpt);
    EXPECT_EQ(data->getFileSystemType(), blocks::Volume::kFileSystemNtfs);
    EXPECT_EQ(blocks::DiskVolume::getDiskVolumesWithID("Disk 0 Partition 0")->getPartitionStyle(),
              platform::kPartitionStyleMbr);
}

TEST_F(GptVolumeTest, RestoreTargetUsesTheSameNumbers) {
    std::string path;
    std::uint64_t offset = 1;
    std::uint64_t length = 0;
    disk::Disk::getPhysicalPartitionForDeviceIDWithDisk("Disk 1 Partition 3", path, offset, length);
    EXPECT_EQ(path,
              blocks::DiskVolume::getDiskVolumesWithID("Disk 1 Partition 3")->getDevicePath());
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(length, 8 * kMiB);
    // The reserved partition has a number but no volume to write into.
    EXPECT_EQ(disks_test::messageOf([&] {
                  disk::Disk::getPhysicalPartitionForDeviceIDWithDisk("Disk 1 Partition 1", path,
                                                                      offset, length);
              }),
              "Could not find partition: Disk 1 Partition 1");
}

using disks_test::listAs;

TEST_F(GptVolumeTest, PartitionListShowsBothStylesAndSaturatesHugeSizes) {
    auto items = listAs(0x1000D);
    std::vector<std::string> names;
    for (const auto& item : items)
        names.push_back(item.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"Disk 0", "Disk 0 Partition 0", "Disk 1",
                                        "Disk 1 Partition 0", "Disk 1 Partition 2",
                                        "Disk 1 Partition 3", "Disk 2", "Disk 2 Partition 0"}));
    EXPECT_EQ(items[2].sizeKiB, 64u * 1024);
    EXPECT_EQ(items[4].parentName, "Disk 1");
    EXPECT_EQ(items[4].sizeKiB, 20u * 1024);
    EXPECT_TRUE(items[4].isNtfs);
    EXPECT_EQ(items[4].kind, blocks::Volume::kFileSystemNtfs);
    EXPECT_EQ(items[4].reserved1, 0u);
    EXPECT_FALSE(items[5].isNtfs);
    // 5 TiB does not fit 32 bits of KiB: the largest value, not the size modulo 4 TiB.
    EXPECT_EQ(items[6].sizeKiB, 0xFFFFFFFFu);
    EXPECT_EQ(items[7].sizeKiB, 0xFFFFFFFFu);
}

}  // namespace
