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

}  // namespace
