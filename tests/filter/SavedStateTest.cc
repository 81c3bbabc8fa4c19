// The files the agent keeps about change tracking read back exactly, and any damage reads
// as "not known", never as a smaller or different set of changes.
#include "filter/SavedState.h"

#include <gtest/gtest.h>

namespace {

using filter::BackedUpMap;
using filter::SavedVolume;

filter::JournalKey keyOf(std::uint8_t seed) {
    filter::JournalKey key{};
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(seed + i);
    return key;
}

TEST(SavedState, VolumesReadBackAndDamageIsRefused) {
    std::vector<SavedVolume> volumes(2);
    volumes[0].name = L"\\\\?\\Volume{0000000a-0000-0000-0000-000000000800}\\";
    volumes[0].volumeNumber = 3;
    volumes[0].sectorsPerBlock = 128;
    volumes[0].journalKey = keyOf(1);
    volumes[0].changes.setRange(5, 10);
    volumes[0].changes.setRange(UINT64_MAX - 2, 2);
    volumes[1].name = L"\\\\?\\Volume{caf\u00e9}\\";
    volumes[1].journalKey = keyOf(9);
    std::string bytes = filter::encodeSavedVolumes(volumes);
    auto back = filter::decodeSavedVolumes(bytes);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 2u);
    EXPECT_EQ((*back)[0].name, volumes[0].name);
    EXPECT_EQ((*back)[0].volumeNumber, 3u);
    EXPECT_EQ((*back)[0].sectorsPerBlock, 128u);
    EXPECT_EQ((*back)[0].journalKey, keyOf(1));
    EXPECT_EQ((*back)[0].changes.runs(), volumes[0].changes.runs());
    EXPECT_EQ((*back)[1].name, volumes[1].name);
    EXPECT_FALSE((*back)[1].volumeNumber);
    EXPECT_TRUE((*back)[1].changes.empty());
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        EXPECT_FALSE(filter::decodeSavedVolumes(damaged)) << "byte " << at;
    }
    for (std::size_t size = 0; size < bytes.size(); ++size)
        EXPECT_FALSE(filter::decodeSavedVolumes(bytes.substr(0, size))) << size;
    EXPECT_FALSE(filter::decodeSavedVolumes(bytes + "x"));
    EXPECT_TRUE(filter::decodeSavedVolumes(filter::encodeSavedVolumes({})));
}

TEST(SavedState, BackedUpMapsReadBackAndDamageIsRefused) {
    BackedUpMap map;
    map.journalKey = keyOf(7);
    map.blockCount = 13;
    map.bits = std::string("\xA5\x1F", 2);
    std::string bytes = filter::encodeBackedUpMap(map);
    auto back = filter::decodeBackedUpMap(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->journalKey, keyOf(7));
    EXPECT_EQ(back->blockCount, 13u);
    EXPECT_EQ(back->bits, map.bits);
    EXPECT_FALSE(filter::decodeBackedUpMap(bytes.substr(0, bytes.size() - 1)));
    std::string flipped = bytes;
    flipped[70] = static_cast<char>(flipped[70] ^ 1);
    EXPECT_FALSE(filter::decodeBackedUpMap(flipped));
    map.blockCount = 17;  // needs three bytes, has two
    EXPECT_FALSE(filter::decodeBackedUpMap(filter::encodeBackedUpMap(map)));
    EXPECT_FALSE(filter::decodeSavedVolumes(bytes));  // one kind is never read as the other
}

TEST(SavedState, EachVolumeHasItsOwnMapFileInsideTheFolder) {
    auto a = filter::backedUpMapPath("/db/tracking", L"\\\\?\\Volume{a}\\");
    auto b = filter::backedUpMapPath("/db/tracking", L"\\\\?\\Volume{b}\\");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.parent_path(), "/db/tracking");
    EXPECT_EQ(filter::backedUpMapPath("/db/tracking", L"..\\..").parent_path(), "/db/tracking");
}

}  // namespace
