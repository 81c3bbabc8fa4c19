#include "blocks/BlockMap.h"

#include <gtest/gtest.h>

#include <vector>

#include "BlocksTestSupport.h"
#include "blocks/IndexedBlockMap.h"

namespace {

using blocks::BlockMap;
using blocks::IndexedBlockMap;

TEST(BlockMapTest, BitsAreCheckedAgainstCapacityNotSize) {
    BlockMap map(100);
    EXPECT_FALSE(map.bit(99));
    EXPECT_THROW_MESSAGE(map.bit(100), "Bit number out of range of bitmap (100/100)");
    map.setBit(9);
    EXPECT_TRUE(map.bit(9));
    EXPECT_EQ(0x02, map.bytes()[1]);
    map.clearBit(9);
    EXPECT_FALSE(map.bit(9));
}

TEST(BlockMapTest, AppendsWholeBytesThenOneUnalignedTailWithinCapacity) {
    BlockMap map(262149);
    std::vector<unsigned char> source(262144 / 8 + 1, 0xFF);
    map.appendBits(source.data(), 262144);
    map.appendBits(source.data(), 5);
    EXPECT_EQ(262149u, map.size());
    EXPECT_TRUE(map.bit(262148));
    // The spare bits of the last byte lie beyond the map and stay clear.
    EXPECT_EQ(0x1F, map.bytes()[map.byteCount() - 1]);
    EXPECT_THROW_MESSAGE(map.appendBits(source.data(), 1),
                         "Appending bits to a blockmap that is unaligned");

    BlockMap small(16);
    EXPECT_THROW_MESSAGE(small.appendBits(source.data(), 17),
                         "Appending (17) to (0) bits would surpass capacity of bitmap (16)");
    small.appendBits(source.data(), 16);
    EXPECT_EQ(16u, small.size());
}

TEST(IndexedBlockMapTest, RanksCountSetBitsBelow) {
    IndexedBlockMap map(200);
    for (std::uint64_t i : {3, 64, 130})
        map.sequentiallySetBit(i);
    EXPECT_EQ(0u, map.getUsedBlockIndex(3));
    EXPECT_EQ(1u, map.getUsedBlockIndex(64));
    EXPECT_EQ(2u, map.getUsedBlockIndex(130));
    test::LogCapture log;
    EXPECT_EQ(2u, map.getUsedBlockIndex(65));
    EXPECT_TRUE(
        log.contains("requested used block index for a block that is not set! (block #65)"));
    // Words without set bits, before and after the last one written.
    EXPECT_EQ(2u, map.getUsedBlockIndex(100));
    EXPECT_EQ(3u, map.getUsedBlockIndex(199));
}

TEST(IndexedBlockMapTest, RanksStayRightAcrossLongGaps) {
    IndexedBlockMap map(100000);
    for (std::uint64_t i = 5; i < 100000; i += 997)
        map.sequentiallySetBit(i);
    std::uint64_t rank = 0;
    for (std::uint64_t i = 5; i < 100000; i += 997)
        ASSERT_EQ(rank++, map.getUsedBlockIndex(i));
    EXPECT_EQ(rank, map.setCount());
}

TEST(IndexedBlockMapTest, RefusesBitsOutOfOrderOrBeyondCapacity) {
    IndexedBlockMap map(128);
    map.sequentiallySetBit(70);
    EXPECT_THROW_MESSAGE(map.sequentiallySetBit(70), "Setting bit (70) out of order");
    EXPECT_THROW_MESSAGE(map.sequentiallySetBit(3), "Setting bit (3) out of order");
    EXPECT_THROW_MESSAGE(map.sequentiallySetBit(128),
                         "Setting bit (128 would surpass capacity of bitmap (128)");
    EXPECT_EQ(1u, map.setCount());
}

}  // namespace
