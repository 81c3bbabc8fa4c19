#include "filter/MapBitmap.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "filter/VolumeChanges.h"

namespace {

using filter::MapBitmap;
using Runs = std::map<std::uint64_t, std::uint64_t>;

std::vector<std::uint64_t> blocksOf(const MapBitmap& map) {
    std::vector<std::uint64_t> blocks;
    std::uint64_t block = 0;
    for (bool more = map.first(block); more; more = map.next(block))
        blocks.push_back(block);
    return blocks;
}

TEST(MapBitmap, MergesOverlappingAndTouchingRuns) {
    MapBitmap map;
    map.setRange(10, 5);  // 10..14
    map.setRange(20, 5);  // 20..24
    map.setRange(30, 2);  // 30..31
    map.setRange(15, 1);  // touches the first run on its right
    map.setRange(9, 1);   // touches it on its left
    EXPECT_EQ(map.runs(), (Runs{{9, 7}, {20, 5}, {30, 2}}));
    map.setRange(12, 19);  // 12..30 swallows the second and reaches into the third
    EXPECT_EQ(map.runs(), (Runs{{9, 23}}));
    map.setRange(0, 0);
    map.setRange(10, 3);  // inside a run: nothing changes
    EXPECT_EQ(map.runs(), (Runs{{9, 23}}));
    EXPECT_EQ(map.blockCount(), 23u);
}

TEST(MapBitmap, NextWalksRunsAndStopsAfterTheLastBlock) {
    MapBitmap map;
    std::uint64_t block = 0;
    EXPECT_FALSE(map.first(block));  // an empty map has no first block
    EXPECT_EQ(block, MapBitmap::kNoBlock);
    EXPECT_FALSE(map.contains(0));
    map.setRange(3, 2);
    map.setRange(8, 1);
    EXPECT_EQ(blocksOf(map), (std::vector<std::uint64_t>{3, 4, 8}));
    block = 8;  // the last block of the last run
    EXPECT_FALSE(map.next(block));
    EXPECT_EQ(block, MapBitmap::kNoBlock);
    EXPECT_FALSE(map.next(block));  // and stays there instead of wrapping to 0
    block = 0;
    EXPECT_TRUE(map.next(block));
    EXPECT_EQ(block, 3u);
}

TEST(MapBitmap, RunAtTheTopOfTheRangeIsCutInsteadOfWrapping) {
    MapBitmap map;
    map.setRange(MapBitmap::kNoBlock - 2, 10);
    EXPECT_EQ(map.runs(), (Runs{{MapBitmap::kNoBlock - 2, 2}}));
    map.setRange(0, 1);
    EXPECT_TRUE(map.contains(0));
    EXPECT_FALSE(map.contains(1));
}

TEST(MapBitmap, MergeAddsTheOtherMapsRunsAndCopiesAreIndependent) {
    MapBitmap a;
    a.setRange(0, 2);
    MapBitmap b;
    b.setRange(2, 2);
    b.setRange(10, 1);
    MapBitmap copy = a;
    a.merge(b);
    EXPECT_EQ(a.runs(), (Runs{{0, 4}, {10, 1}}));
    EXPECT_EQ(copy.runs(), (Runs{{0, 2}}));
}

TEST(VolumeChanges, SectorsBecomeTheBlocksTheyTouchInTheVolumesClusters) {
    filter::VolumeChanges volume(1, {L"\\\\?\\Volume{a}\\"});
    volume.addSectors(15, 1);  // the last sector of block 1
    EXPECT_EQ(volume.changes().runs(), (Runs{{1, 1}}));
    volume.addSectors(16, 9);  // block 2 and the first sector of block 3
    EXPECT_EQ(blocksOf(volume.changes()), (std::vector<std::uint64_t>{1, 2, 3}));
    volume.addSectors(100, 0);  // nothing written, nothing changed
    EXPECT_EQ(volume.changes().blockCount(), 3u);

    // The volume's cluster size sets the block size: 64 KiB clusters.
    filter::VolumeChanges large(1, {L"x"}, 128);
    large.addSectors(127, 2);
    EXPECT_EQ(large.changes().runs(), (Runs{{0, 2}}));
    EXPECT_EQ(large.name(), L"x\\");
}

TEST(VolumeChanges, EndingAPeriodHandsOverChangesAndDrawsANewKey) {
    filter::VolumeChanges volume(7, {L"v"});
    volume.addSectors(0, 8);
    filter::JournalKey first = volume.journalKey();
    filter::VolumeChanges::Period period = volume.endPeriod();
    EXPECT_EQ(period.journalKey, first);
    EXPECT_EQ(period.changes->runs(), (Runs{{0, 1}}));
    EXPECT_TRUE(volume.changes().empty());
    EXPECT_NE(volume.journalKey(), first);
    EXPECT_NE(volume.journalKey(), filter::JournalKey{});
}

}  // namespace
