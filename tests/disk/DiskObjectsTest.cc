// Partition entries, sectors, IDs and the partition numbering rule, on bytes made here.
#include <gtest/gtest.h>

#include <array>

#include "disk/Disk.h"
#include "disk/DiskLayout.h"
#include "disk/Partition.h"
#include "platform/DeviceControl.h"

namespace {

std::array<std::uint8_t, 16> entryBytes(std::uint8_t type, std::uint32_t relative,
                                        std::uint32_t count) {
    std::array<std::uint8_t, 16> entry{0x80, 1, 2, 3, type, 5, 6, 7};
    for (int i = 0; i < 4; ++i) {
        entry[8 + i] = static_cast<std::uint8_t>(relative >> (8 * i));
        entry[12 + i] = static_cast<std::uint8_t>(count >> (8 * i));
    }
    return entry;
}

TEST(PartitionTest, EntryFieldsAndOffsetsCountFromTheRightOrigin) {
    auto entry = entryBytes(0x07, 2048, 4096);
    auto primary = disk::Partition::fromEntry(entry.data(), 512, 0, 0);
    EXPECT_EQ(primary->bootInd, 0x80u);
    EXPECT_EQ(primary->startCylinder, 3u);
    EXPECT_EQ(primary->endCylinder, 7u);
    EXPECT_EQ(primary->sysInd, 7u);
    EXPECT_EQ(primary->startingOffsetBytes, 2048u * 512);
    EXPECT_EQ(primary->lengthBytes, 4096u * 512);
    EXPECT_FALSE(primary->isExtended());

    // In an extended boot record at sector 1000 + 500: a logical drive counts from the
    // record itself, a link from the start of the outermost extended partition.
    auto logical = disk::Partition::fromEntry(entry.data(), 512, 1000, 500);
    EXPECT_EQ(logical->startingOffsetBytes, (2048u + 1500) * 512);
    auto linkBytes = entryBytes(0x05, 2048, 4096);
    auto link = disk::Partition::fromEntry(linkBytes.data(), 512, 1000, 500);
    EXPECT_TRUE(link->isExtended());
    EXPECT_EQ(link->startingOffsetBytes, (2048u + 1000) * 512);

    // Sector numbers past 2^31 keep their true offset and length in 64 bits.
    auto far = entryBytes(0x07, 0x80000000u, 0xFFFFFFFFu);
    auto beyond = disk::Partition::fromEntry(far.data(), 512, 0, 0);
    EXPECT_EQ(beyond->relativeSector, 0x80000000u);
    EXPECT_EQ(beyond->startingOffsetBytes, 0x80000000ull * 512);
    EXPECT_EQ(beyond->lengthBytes, 0xFFFFFFFFull * 512);
}

TEST(DiskIDTest, IdsKeepPlainCharactersAndParseOnlyWhenWellFormed) {
    EXPECT_EQ(disk::Disk::filterID("a#b:c\\d/e_f-g h.\xC3\xA9"), "abcd/e_f-g h");
    EXPECT_EQ(disk::partitionDeviceID(2, 7), "Disk 2 Partition 7");
    auto id = disk::parsePartitionDeviceID("Disk 4294967295 Partition 12");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->diskNumber, 4294967295u);
    EXPECT_EQ(id->partitionIndex, 12u);
    for (const char* bad :
         {"Disk 4294967296 Partition 0", "Disk 1 Partition", "Disk -1 Partition 0",
          "Disk 1 Partition 2x", "disk 1 Partition 2", "Disk 1  Partition 2", "\\\\?\\Volume{x}"}) {
        EXPECT_FALSE(disk::parsePartitionDeviceID(bad)) << bad;
    }
}

platform::PartitionInformation layoutEntry(std::uint8_t type, std::int64_t offset,
                                           std::int64_t length) {
    platform::PartitionInformation entry{};
    entry.partitionType = type;
    entry.startingOffset = offset;
    entry.partitionLength = length;
    return entry;
}

// A primary, an extended container, a Linux container and two logical drives (with the
// empty and link slots of their records): the logical drives are partitions 1 and 2.
TEST(DiskLayoutTest, ContainersAndEmptySlotsAreNotCounted) {
    std::vector<platform::PartitionInformation> layout = {
        layoutEntry(0x07, 1000, 10), layoutEntry(0x05, 2000, 90), layoutEntry(0x85, 5000, 9),
        layoutEntry(0x00, 0, 0),     layoutEntry(0x07, 2100, 20), layoutEntry(0x0F, 3000, 50),
        layoutEntry(0x00, 0, 0),     layoutEntry(0x00, 0, 0),     layoutEntry(0x07, 3100, 30)};
    EXPECT_EQ(disk::partitionIndexOf(layout, 1000, 10), 0u);
    EXPECT_EQ(disk::partitionIndexOf(layout, 2100, 20), 1u);
    EXPECT_EQ(disk::partitionIndexOf(layout, 3100, 30), 2u);
    EXPECT_FALSE(disk::partitionIndexOf(layout, 3100, 31));
    EXPECT_FALSE(disk::partitionIndexOf(layout, 5000, 9));
    EXPECT_EQ(disk::partitionAtIndex(layout, 2)->startingOffset, 3100);
    EXPECT_FALSE(disk::partitionAtIndex(layout, 3));
}

}  // namespace
