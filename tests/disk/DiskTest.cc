// Disk enumeration, the collection of partition information and writing it back, through
// the seam on emulated hosts.
#include <gtest/gtest.h>

#include "DiskHost.h"
#include "disk/Disk.h"
#include "disk/DiskLayout.h"
#include "platform/DeviceControl.h"
#include "platform/File.h"
#include "platform/FileAccess.h"
#include "runtime/Exceptions.h"

namespace {

using disks_test::DiskHost;
using disks_test::tableSector;

std::vector<std::uint32_t> diskNumbers() {
    std::vector<std::uint32_t> numbers;
    for (const auto& disk : disk::Disk::getAllDisks())
        numbers.push_back(disk->getDiskNumber());
    return numbers;
}

std::vector<std::uint64_t> sectorOffsets(disk::Disk& disk) {
    std::vector<std::uint64_t> offsets;
    for (const auto& sector : disk.getSectors())
        offsets.push_back(sector->getOffset());
    return offsets;
}

std::vector<std::uint64_t> sectorRange(std::uint64_t first, std::uint64_t end) {
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t sector = first; sector < end; ++sector)
        offsets.push_back(sector * 512);
    return offsets;
}

using disks_test::messageOf;

TEST(DiskEnumerationTest, SkipsUnusableDisksAndToleratesSevenMissingNumbers) {
    DiskHost host;
    for (int number : {0, 1, 3, 9, 17})
        host.sim("add-disk --size 1M --number " + std::to_string(number));
    host.sim("media 1 removable");
    host.sim("media 3 not-ready");
    // 2, 4, 5, 6, 7, 8 and 10 to 16 are missing: the eighth miss (11) ends the search.
    EXPECT_EQ(diskNumbers(), (std::vector<std::uint32_t>{0, 9}));
    EXPECT_EQ(disk::Disk::getDiskWithID("Disk 9")->getSize(), 1u << 20);
    EXPECT_EQ(messageOf([] { disk::Disk::getDiskWithID("Disk 17"); }),
              "Unable to find disk: Disk 17");
    EXPECT_EQ(messageOf([] { disk::Disk::getDiskWithID("Disk 1"); }),
              "Unable to find disk: Disk 1");
}

class CollectionTest : public ::testing::Test {
  protected:
    // A blank 8 MiB disk 0 whose first sectors are filled so that each is recognisable.
    void SetUp() override {
        host_.sim("add-disk --size 8M");
        for (std::uint64_t sector = 1; sector < 4096; ++sector)
            host_.write(0, sector * 512, std::string(512, static_cast<char>(sector)));
    }
    std::shared_ptr<disk::Disk> disk() { return disk::Disk::getDiskWithID("Disk 0"); }

    DiskHost host_;
};

TEST_F(CollectionTest, BootGapEndsAtTheFirstPartitionOrAtSector2047) {
    host_.write(0, 0, tableSector({{0x07, 4096, 100}, {0x07, 63, 100}}));
    auto expected = sectorRange(0, 63);
    EXPECT_EQ(sectorOffsets(*disk()), expected);
    EXPECT_EQ(disk()->getSectors()[5]->getData()[0], 5);

    host_.write(0, 0, tableSector({{0x07, 4096, 100}}));
    EXPECT_EQ(sectorOffsets(*disk()), sectorRange(0, 2048));
    EXPECT_EQ(disk()->getPartitions().size(), 1u);
}

TEST_F(CollectionTest, DiskWithoutSignatureHasNothingToCollect) {
    auto blank = disk();
    EXPECT_TRUE(blank->getSectors().empty());
    EXPECT_FALSE(blank->isTableLoaded());
}

// A primary partition and an extended one whose first record holds a logical drive and a
// link to a second record with another logical drive.
TEST_F(CollectionTest, ExtendedBootRecordsFollowTheGapInChainOrder) {
    host_.write(0, 0, tableSector({{0x07, 2048, 2048}, {0x05, 4096, 8192}}));
    host_.write(0, 4096 * 512, tableSector({{0x07, 63, 1000}, {0x05, 2048, 2048}}));
    host_.write(0, 6144 * 512, tableSector({{0x07, 63, 1000}}));
    auto expected = sectorRange(0, 2048);
    expected.push_back(4096 * 512);
    expected.push_back(6144 * 512);
    auto collected = disk();
    EXPECT_EQ(sectorOffsets(*collected), expected);
    std::vector<std::uint64_t> starts;
    for (const auto& partition : collected->getPartitions())
        starts.push_back(partition->startingOffsetBytes);
    EXPECT_EQ(starts, (std::vector<std::uint64_t>{2048 * 512, 4159 * 512, 6207 * 512}));
}

TEST_F(CollectionTest, HostileChainsEndTheCollectionWithAnError) {
    host_.write(0, 0, tableSector({{0x07, 2048, 2048}, {0x05, 4096, 8192}}));
    // The record links back to itself.
    host_.write(0, 4096 * 512, tableSector({{0x07, 63, 1000}, {0x05, 0, 2048}}));
    EXPECT_EQ(messageOf([&] { disk()->getSectors(); }),
              "The extended boot record chain of Disk 0 loops at sector 4096");
    // The record links past the end of the 16384-sector disk.
    host_.write(0, 4096 * 512, tableSector({{0x07, 63, 1000}, {0x05, 4000000000u, 2048}}));
    EXPECT_EQ(messageOf([&] { disk()->getSectors(); }),
              "Extended boot record at sector 4000004096 lies outside Disk 0 (16384 sectors)");
    // The extended partition itself starts past the end.
    host_.write(0, 0, tableSector({{0x07, 2048, 2048}, {0x0F, 20000, 10}}));
    EXPECT_EQ(messageOf([&] { disk()->getSectors(); }),
              "Extended boot record at sector 20000 lies outside Disk 0 (16384 sectors)");
}

TEST(DynamicDiskTest, DatabaseSectorsFollowTheBootGap) {
    DiskHost host;
    host.sim("add-disk --size 8M --dynamic");
    auto disk = disk::Disk::getDiskWithID("Disk 0");
    auto sectors = disk->getSectors();
    ASSERT_EQ(sectors.size(), 1u + 62 + 2048);
    std::uint64_t database = (16384 - 2048) * 512;
    EXPECT_EQ(sectors[62]->getOffset(), 62u * 512);
    EXPECT_EQ(sectors[63]->getOffset(), database);
    EXPECT_EQ(sectors.back()->getOffset(), database + 2047 * 512);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sectors[63]->getData())), "VMDB 0");

    // A header that places the database past the end of the disk is refused.
    host.write(0, 6 * 512 + 299, std::string("\0\0\0\0\0\0\x40\0", 8));
    EXPECT_EQ(messageOf([&] { disk::Disk::getDiskWithID("Disk 0")->getSectors(); }),
              "The logical disk manager database of Disk 0 lies outside the disk (sector 16384)");
}

std::shared_ptr<disk::NetSector> netSector(std::uint64_t offset, char fill,
                                           std::uint32_t size = 512) {
    auto sector = std::make_shared<disk::NetSector>(size, offset);
    std::fill(sector->getData(), sector->getData() + size, fill);
    return sector;
}

TEST(WriteSectorsTest, EverySectorIsCheckedBeforeAnyIsWritten) {
    DiskHost host;
    host.sim("add-disk --size 1M");
    auto disk = disk::Disk::getDiskWithID("Disk 0");
    const std::uint64_t end = 1 << 20;
    std::vector<std::vector<std::shared_ptr<disk::NetSector>>> refused = {
        {netSector(0, 'a'), netSector(end, 'b')},
        {netSector(0, 'a'), netSector(end - 256, 'b')},
        {netSector(0, 'a'), netSector(1024, 'b', 4096)},
        {netSector(0, 'a'), netSector(100, 'b')},
        {netSector(0, 'a'), netSector(~0ull - 100, 'b')},
        std::vector<std::shared_ptr<disk::NetSector>>(disk::Disk::kMaxRestoreSectors + 1,
                                                      netSector(0, 'a')),
    };
    for (auto& sectors : refused) {
        EXPECT_THROW(disk->writeSectors(sectors), runtime::DiskException);
        EXPECT_EQ(host.read(0, 0, 512), std::string(512, '\0'));
    }

    std::vector<std::shared_ptr<disk::NetSector>> good = {netSector(end - 512, 'z'),
                                                          netSector(512, 'y')};
    disk->writeSectors(good);
    EXPECT_TRUE(good.empty());
    EXPECT_EQ(host.read(0, end - 512, 512), std::string(512, 'z'));
    EXPECT_EQ(host.read(0, 512, 512), std::string(512, 'y'));
    EXPECT_FALSE(disk->updatePartitionTable());
}

TEST(WriteSectorsTest, ShortWriteNamesTheSectorAndTheCounts) {
    DiskHost host;
    host.sim("add-disk --size 1M");
    host.sim("fault torn kind=short-write disk=0 sectors=2 bytes=0");
    auto disk = disk::Disk::getDiskWithID("Disk 0");
    std::vector<std::shared_ptr<disk::NetSector>> sectors = {netSector(512, 'a'),
                                                             netSector(1024, 'b')};
    EXPECT_EQ(messageOf([&] { disk->writeSectors(sectors); }),
              "Error writing partition table for Disk (sector 1024). Meant to write (512 bytes, "
              "but wrote (0) bytes.");
    EXPECT_EQ(host.read(0, 512, 512), std::string(512, 'a'));
}

}  // namespace
