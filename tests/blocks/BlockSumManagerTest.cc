#include "blocks/BlockSumManager.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "BlocksTestSupport.h"

namespace {

using blocks::Block;
using blocks::BlockDigest;
using blocks::BlockSumManager;

std::shared_ptr<Block> blockWithDigest(std::uint64_t index, unsigned char seed) {
    auto block = std::make_shared<Block>(index, 512);
    block->setDigest(BlockDigest{seed, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, seed});
    return block;
}

TEST(BlockSumManagerTest, SanitisedNamesKeepTheirLength) {
    EXPECT_EQ("Disk_0_Partition_1", BlockSumManager::sanitizeName("Disk 0 Partition 1"));
    EXPECT_EQ("____GLOBALROOT_Volume_ab-c_",
              BlockSumManager::sanitizeName("\\\\?\\GLOBALROOT\\Volume{ab-c}"));
    EXPECT_EQ("_____", BlockSumManager::sanitizeName("../:\xC3"));
}

TEST(BlockSumManagerTest, OnlyListedBlocksWithEqualDigestsAreDuplicates) {
    BlockSumManager manager(test::blockSumDir(), "Disk 0 Partition 1", 1000);
    for (std::uint64_t index : {2, 64, 65})
        manager.addDigest(index, blockWithDigest(index, index)->getDigest());
    EXPECT_TRUE(manager.isBlockDuplicate(*blockWithDigest(65, 65)));
    EXPECT_TRUE(manager.isBlockDuplicate(*blockWithDigest(2, 2)));
    EXPECT_FALSE(manager.isBlockDuplicate(*blockWithDigest(64, 65)));   // listed, data differ
    EXPECT_FALSE(manager.isBlockDuplicate(*blockWithDigest(3, 3)));     // not listed
    EXPECT_FALSE(manager.isBlockDuplicate(*blockWithDigest(5000, 0)));  // beyond the volume
    // Appends after reads still land at the end of the file.
    manager.addDigest(999, blockWithDigest(999, 99)->getDigest());
    EXPECT_TRUE(manager.isBlockDuplicate(*blockWithDigest(999, 99)));
    EXPECT_TRUE(manager.isBlockDuplicate(*blockWithDigest(64, 64)));
    EXPECT_EQ(4u, manager.digestCount());
    EXPECT_THROW_MESSAGE(manager.addDigest(998, BlockDigest{}), "Setting bit (998) out of order");
    EXPECT_EQ(4u * 16, std::filesystem::file_size(manager.path()));
}

// More records than one read window holds: every record is found in either direction,
// across window edges, and records appended after a window was read are found too.
TEST(BlockSumManagerTest, RecordsAcrossReadWindowsAreFound) {
    const std::uint64_t count = 2 * BlockSumManager::kWindowRecords + 100;
    BlockSumManager manager(test::blockSumDir(), "Disk 0 Partition 1", 3 * count + 1);
    auto seedOf = [](std::uint64_t index) { return static_cast<unsigned char>(index * 7 / 3); };
    for (std::uint64_t i = 0; i < count; ++i)
        manager.addDigest(3 * i, blockWithDigest(3 * i, seedOf(3 * i))->getDigest());
    for (std::uint64_t i = 0; i < count; ++i) {
        ASSERT_TRUE(manager.isBlockDuplicate(*blockWithDigest(3 * i, seedOf(3 * i)))) << i;
        ASSERT_FALSE(manager.isBlockDuplicate(*blockWithDigest(3 * i, seedOf(3 * i) + 1))) << i;
    }
    for (std::uint64_t i = count; i-- > 0;)
        ASSERT_TRUE(manager.isBlockDuplicate(*blockWithDigest(3 * i, seedOf(3 * i)))) << i;
    // The last window ends at the last record; an appended one lies beyond it.
    std::uint64_t extra = 3 * count;
    manager.addDigest(extra, blockWithDigest(extra, 5)->getDigest());
    EXPECT_TRUE(manager.isBlockDuplicate(*blockWithDigest(extra, 5)));
    EXPECT_TRUE(
        manager.isBlockDuplicate(*blockWithDigest(3 * (count - 1), seedOf(3 * (count - 1)))));
    EXPECT_EQ((count + 1) * 16, std::filesystem::file_size(manager.path()));
}

TEST(BlockSumManagerTest, EachManagerHasItsOwnFileRemovedWhenDone) {
    std::filesystem::path first, second;
    {
        BlockSumManager one(test::blockSumDir(), "Disk 0 Partition 1", 10);
        BlockSumManager two(test::blockSumDir(), "Disk 0 Partition 1", 10);
        first = one.path();
        second = two.path();
        EXPECT_NE(first, second);
        EXPECT_EQ(0u, first.filename().string().rfind("Disk_0_Partition_1", 0));
        one.addDigest(1, BlockDigest{});
        Block zeroDigest(1, 512);  // digest all zeros, like the one recorded
        EXPECT_TRUE(one.isBlockDuplicate(zeroDigest));
        EXPECT_FALSE(two.isBlockDuplicate(zeroDigest));
        EXPECT_TRUE(std::filesystem::exists(first) && std::filesystem::exists(second));
    }
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_FALSE(std::filesystem::exists(second));
}

TEST(BlockSumManagerTest, AListedDigestThatCannotBeReadIsAnError) {
    BlockSumManager manager(test::blockSumDir(), "Disk 0 Partition 1", 100);
    manager.addDigest(7, blockWithDigest(7, 7)->getDigest());
    manager.addDigest(8, blockWithDigest(8, 8)->getDigest());
    // Looking up block 8 writes both records out and keeps a window from block 8 onwards.
    ASSERT_TRUE(manager.isBlockDuplicate(*blockWithDigest(8, 8)));
    // The file loses its second record behind the manager's back: the window that block 7
    // needs cannot be read whole, which must not pass for "not a duplicate", neither the
    // first time nor when asked again.
    std::error_code error;
    std::filesystem::resize_file(manager.path(), 16, error);
    if (error)
        GTEST_SKIP() << "the open blocksum file cannot be shortened here: " << error.message();
    EXPECT_THROW_MESSAGE(manager.isBlockDuplicate(*blockWithDigest(7, 7)),
                         "Failed to read blocksum from file for block #7");
    EXPECT_THROW_MESSAGE(manager.isBlockDuplicate(*blockWithDigest(7, 7)),
                         "Failed to read blocksum from file for block #7");
}

}  // namespace
