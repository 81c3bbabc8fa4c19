// Volumes and their device IDs, bitmaps and blocks, and the partition list, on one host:
//   disk 0: an NTFS primary (C:), an extended partition with two NTFS logical drives (the
//           second with 128 KiB clusters, E:);
//   disk 1: NTFS with 512-byte clusters (more than one bitmap piece) and a raw partition;
//   a volume spanned over both disks, and an optical drive.
#include <gtest/gtest.h>

#include "DiskHost.h"
#include "backup-server/commands/PartitionList.h"
#include "blocks/BlockMap.h"
#include "blocks/DiskVolume.h"
#include "blocks/RestorePartition.h"
#include "crypto/CryptoLibrary.h"
#include "crypto/Digest.h"
#include "disk/Disk.h"
#include "net/EncryptedMessage.h"
#include "platform/Volumes.h"
#include "requests/PartitionListEntry.h"
#include "runtime/Exceptions.h"

namespace {

using disks_test::DiskHost;
using disks_test::messageOf;

constexpr std::uint64_t kMiB = 1 << 20;

class VolumeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        crypto::CryptoLibrary::initialise();
        host = new DiskHost();
        host->sim(
            "add-disk --size 64M --part 'size=16M,type=7' --part 'type=5' "
            "--part 'size=16M,type=7' --part 'size=16M,type=7'");
        host->sim("add-disk --size 160M --part 'size=140M,type=7' --part 'size=8M,type=7'");
        host->sim("mkfs 0:0");
        host->sim("mkfs 0:1");
        host->sim("mkfs 0:2 --cluster-size 128K");
        host->sim("mkfs 1:0 --cluster-size 512");
        host->sim("letter C 0:0");
        host->sim("letter E 0:2");
        host->sim("span span0 --extent 0:" + std::to_string(56 * kMiB) + ":" +
                  std::to_string(4 * kMiB) + " --extent 1:" + std::to_string(150 * kMiB) + ":" +
                  std::to_string(4 * kMiB));
        host->sim("optical cd");
    }
    static void TearDownTestSuite() {
        delete host;
        host = nullptr;
    }
    void SetUp() override { ::setenv("ZENTRAD_HOST_ROOT", host->root().c_str(), 1); }

    static std::shared_ptr<blocks::DiskVolume> volume(const std::string& id) {
        return blocks::DiskVolume::getDiskVolumesWithID(id);
    }

    static inline DiskHost* host = nullptr;
};

TEST_F(VolumeTest, DeviceIDsCountPartitionsWithoutContainers) {
    std::vector<std::string> ids;
    for (const auto& volume : blocks::DiskVolume::getAllDiskVolumes())
        ids.push_back(volume->getDeviceID());
    ASSERT_EQ(ids.size(), 6u);  // the optical drive is skipped
    std::vector<std::string> onDisks(ids.begin(), ids.begin() + 5);
    EXPECT_EQ(onDisks, (std::vector<std::string>{"Disk 0 Partition 0", "Disk 0 Partition 1",
                                                 "Disk 0 Partition 2", "Disk 1 Partition 0",
                                                 "Disk 1 Partition 1"}));
    auto logical = volume("Disk 0 Partition 2");
    EXPECT_EQ(logical->getDiskNumber(), 0u);
    EXPECT_EQ(logical->getPartitionIndex(), 2u);
    EXPECT_EQ(logical->getDriveLetterPath(), "E:\\");
    EXPECT_EQ(volume("Disk 0 Partition 1")->getDriveLetterPath(), "");
    EXPECT_EQ(blocks::DiskVolume::getDiskVolumesOnDisk(1).size(), 2u);
    EXPECT_EQ(blocks::DiskVolume::getDiskVolumesOnDisk(disk::Disk(0, 512)).size(), 3u);
}

TEST_F(VolumeTest, SpannedVolumeIsNamedByItsDevicePath) {
    auto spanned = blocks::DiskVolume::getDiskVolumesOnDisk(blocks::DiskVolume::kNoDisk);
    ASSERT_EQ(spanned.size(), 1u);
    EXPECT_EQ(spanned[0]->getPartitionIndex(), 0u);
    EXPECT_EQ(spanned[0]->getDeviceID(), spanned[0]->getDevicePath());
    EXPECT_EQ(spanned[0]->getDevicePath().rfind("\\\\?\\Volume{", 0), 0u);
    EXPECT_EQ(spanned[0]->getDevicePathWithSlash(), spanned[0]->getDevicePath() + "\\");
    EXPECT_EQ(spanned[0]->getCapacityBytes(), 8 * kMiB);
    EXPECT_EQ(spanned[0]->getFileSystemType(), 0u);
    EXPECT_EQ(volume(spanned[0]->getDeviceID())->getDiskNumber(), blocks::DiskVolume::kNoDisk);

    EXPECT_EQ(messageOf([] { volume("Disk 9 Partition 0"); }),
              "Unable to find mounted logical disk: Disk 9 Partition 0");
}

TEST_F(VolumeTest, RestoreTargetIsTheVolumeOnTheNamedPartition) {
    std::string path;
    std::uint64_t offset = 1;
    std::uint64_t length = 0;
    disk::Disk::getPhysicalPartitionForDeviceIDWithDisk("Disk 0 Partition 2", path, offset, length);
    EXPECT_EQ(path, volume("Disk 0 Partition 2")->getDevicePath());
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(length, 16 * kMiB);
    EXPECT_THROW(disk::Disk::getPhysicalPartitionForDeviceIDWithDisk("Disk 0 Partition 3", path,
                                                                     offset, length),
                 runtime::DiskException);
    EXPECT_THROW(disk::Disk::getPhysicalPartitionForDeviceIDWithDisk("C:", path, offset, length),
                 runtime::DiskException);
}

// What a backup or restore is told, and passes on to the server, when a device cannot
// serve it.
TEST_F(VolumeTest, DevicesThatCannotServeSayWhy) {
    auto raw = volume("Disk 1 Partition 1");  // no file system
    EXPECT_EQ(messageOf([&] { raw->discoverVolumeData(); }), "Error getting device volume data");

    std::wstring name;
    std::wstring optical;
    auto volumes = platform::findFirstVolume(name);
    for (bool more = volumes != nullptr; more; more = volumes->next(name)) {
        if (platform::getDriveType(name) == platform::kDriveCdrom)
            optical = name;
    }
    ASSERT_FALSE(optical.empty());
    EXPECT_EQ(messageOf([&] { blocks::Volume cd(optical); }),
              "Drive type was not a fixed drive (5)");

    std::string missing =
        messageOf([] { blocks::RestorePartition partition("\\\\.\\PHYSICALDRIVE9", 0, 512); });
    EXPECT_EQ(missing.rfind("Could not open disk: \\\\.\\PHYSICALDRIVE9  Error = 0x", 0), 0u)
        << missing;
}

// The bitmap of a volume with more clusters than one request returns, against ntfs-3g's
// own reading of the $Bitmap file.
TEST_F(VolumeTest, AllocationBitmapArrivesInPiecesAndMatchesTheFileSystem) {
    auto large = volume("Disk 1 Partition 0");
    EXPECT_EQ(large->getBlockSize(), 512u);
    std::uint64_t count = large->getBlockCount();
    ASSERT_GT(count, blocks::Volume::kBitmapPieceBits);
    blocks::BlockMap map(count);
    large->getBlockMap(map);
    EXPECT_EQ(map.size(), count);

    std::filesystem::path copy = host->root() / "volume.img";
    test::runCommand("dd if='" + host->image(1).string() + "' of='" + copy.string() +
                     "' bs=1M skip=1 count=140 status=none");
    std::string bitmap = test::runCommand("ntfscat -f '" + copy.string() + "' '$Bitmap'");
    std::filesystem::remove(copy);
    ASSERT_GE(bitmap.size(), map.byteCount());
    std::string got(reinterpret_cast<const char*>(map.bytes()), count / 8);
    EXPECT_TRUE(got == bitmap.substr(0, count / 8));
    for (std::uint64_t bit = count / 8 * 8; bit < count; ++bit)
        EXPECT_EQ(map.bit(bit), ((bitmap[bit / 8] >> (bit % 8)) & 1) != 0) << bit;

    blocks::BlockMap used(count);
    used.appendBits(reinterpret_cast<const unsigned char*>("\x01"), 1);
    EXPECT_THROW(large->getBlockMap(used), runtime::DiskException);
}

TEST_F(VolumeTest, BlocksCarryTheClusterAndItsDigest) {
    auto c = volume("Disk 0 Partition 0");
    EXPECT_EQ(c->getFileSystemType(), blocks::Volume::kFileSystemNtfs);
    EXPECT_EQ(c->getCapacityBytes(), 16 * kMiB);
    ASSERT_EQ(c->getBlockSize(), 4096u);
    for (std::uint64_t index : {0u, 3u, 4094u}) {
        auto block = c->getBlock(index);
        std::string expected = host->read(0, kMiB + index * 4096, 4096);
        ASSERT_EQ(block->length(), 4096u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(block->getData()), 4096), expected);
        auto digest = crypto::md5(expected);
        EXPECT_TRUE(std::equal(digest->begin(), digest->end(), block->getDigest().begin()));
    }
    EXPECT_EQ(messageOf([] { volume("Disk 0 Partition 2")->getBlock(0); }), "Block size too large");
    // A volume without NTFS answers no volume data.
    EXPECT_THROW(volume("Disk 1 Partition 1")->getBlockCount(), runtime::DiskException);
}

using disks_test::listAs;

// What each server version receives; the entries' contents are checked end to end.
TEST_F(VolumeTest, PartitionListForOldAndNewServers) {
    auto old = listAs(0x10005);
    ASSERT_EQ(old.size(), 7u);  // two disks, five volumes, no dynamic volumes
    EXPECT_EQ(old[3].name, "Disk 0 Partition 2");
    EXPECT_TRUE(old[3].hasDriveLetter);
    EXPECT_EQ(old[3].drivePath, "");  // not sent to this server
    EXPECT_FALSE(old[3].isNtfs);

    auto details = listAs(0x10006);
    ASSERT_EQ(details.size(), 7u);
    EXPECT_EQ(details[3].drivePath, "E:\\");
    EXPECT_EQ(details[3].parentName, "Disk 0");
    EXPECT_TRUE(details[3].isNtfs);
    EXPECT_EQ(details[6].name, "Disk 1 Partition 1");
    EXPECT_EQ(details[6].kind, 0u);  // no file system
    EXPECT_FALSE(details[6].isNtfs);

    EXPECT_EQ(listAs(0x1000C).size(), 7u);
    auto dynamic = listAs(0x1000D);
    ASSERT_EQ(dynamic.size(), 9u);
    EXPECT_EQ(dynamic[0].name, "Disk 0");
    EXPECT_TRUE(dynamic[0].isContainer);
    EXPECT_EQ(dynamic[0].kind, 2u);
    EXPECT_EQ(dynamic[0].sizeKiB, 65536u);
    // The logical drives are partitions 1 and 2: the extended container is not counted.
    const char* drives[] = {"C:\\", "", "E:\\"};
    for (int i = 0; i < 3; ++i) {
        const auto& volume = dynamic[1 + i];
        EXPECT_EQ(volume.name, "Disk 0 Partition " + std::to_string(i));
        EXPECT_TRUE(!volume.isContainer && volume.isNtfs && volume.kind == 4);
        EXPECT_EQ(volume.sizeKiB, 16384u);
        EXPECT_EQ(volume.drivePath, drives[i]);
        EXPECT_EQ(volume.hasDriveLetter, drives[i][0] != '\0');
    }
    EXPECT_EQ(dynamic[7].name, "Dynamic Volumes");
    EXPECT_EQ(dynamic[7].kind, 6u);
    EXPECT_EQ(dynamic[8].parentName, "Dynamic Volumes");
    EXPECT_EQ(dynamic[8].name.rfind("\\\\?\\Volume{", 0), 0u);
    EXPECT_EQ(dynamic[8].sizeKiB, 8192u);
    EXPECT_EQ(dynamic[8].kind, 0u);
}

}  // namespace
