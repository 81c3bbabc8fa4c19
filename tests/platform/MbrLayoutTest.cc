// The MBR and extended boot record reader on hand-made images, including damaged ones.
#include "platform/emulated/storage/MbrLayout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace platform::emulated {
namespace {

class Image {
  public:
    explicit Image(std::uint64_t sectors) : bytes_(sectors * kSectorSize, 0) {}

    void table(std::uint64_t sector) {
        bytes_[sector * kSectorSize + 510] = 0x55;
        bytes_[sector * kSectorSize + 511] = 0xAA;
    }
    void entry(std::uint64_t sector, int slot, std::uint8_t type, std::uint32_t relative,
               std::uint32_t count) {
        std::uint8_t* e = bytes_.data() + sector * kSectorSize + 446 + slot * 16;
        e[4] = type;
        std::memcpy(e + 8, &relative, 4);
        std::memcpy(e + 12, &count, 4);
    }
    MbrLayout layout(std::uint64_t claimedSize = 0) const {
        return readMbrLayout(
            [this](std::uint64_t offset, void* buffer, std::size_t count) {
                if (offset > bytes_.size() || count > bytes_.size() - offset)
                    return false;
                std::memcpy(buffer, bytes_.data() + offset, count);
                return true;
            },
            claimedSize != 0 ? claimedSize : bytes_.size());
    }

  private:
    std::vector<std::uint8_t> bytes_;
};

// A primary partition, an extended container at sector 1000 and two logical drives.
Image extendedDisk() {
    Image image(4000);
    image.table(0);
    image.entry(0, 0, 0x07, 63, 937);
    image.entry(0, 1, 0x05, 1000, 3000);
    image.table(1000);
    image.entry(1000, 0, 0x07, 63, 937);
    image.entry(1000, 1, 0x05, 1000, 1000);
    image.table(2000);
    image.entry(2000, 0, 0x07, 63, 1937);
    return image;
}

TEST(MbrLayout, ExtendedChainGivesLogicalDrivesWithAbsoluteOffsets) {
    MbrLayout layout = extendedDisk().layout();
    ASSERT_TRUE(layout.valid) << layout.error;
    ASSERT_EQ(layout.slots.size(), 12u);
    auto partitions = layout.partitions();
    ASSERT_EQ(partitions.size(), 3u);
    EXPECT_EQ(partitions[0].startingOffset, 63u * 512);
    // Logical drives count from their own EBR; links count from the container's start.
    EXPECT_EQ(partitions[1].startingOffset, (1000u + 63) * 512);
    EXPECT_EQ(partitions[2].startingOffset, (2000u + 63) * 512);
    EXPECT_EQ(partitions[2].length, 1937u * 512);
    EXPECT_EQ(layout.slots[5].startingOffset, 2000u * 512);
    EXPECT_TRUE(layout.slots[5].extended());

    // A start beyond 2^31 sectors keeps its true offset.
    Image far(1);
    far.table(0);
    far.entry(0, 0, 0x07, 0x80000000u, 16);
    MbrLayout beyond = far.layout();
    ASSERT_TRUE(beyond.valid);
    EXPECT_EQ(beyond.slots[0].startingOffset, 0x80000000ULL * 512);
}

TEST(MbrLayout, DamagedImagesAreRefusedWithAReason) {
    Image looping = extendedDisk();
    looping.entry(2000, 1, 0x05, 0, 1000);  // the second EBR links back to the first
    MbrLayout loop = looping.layout();
    EXPECT_FALSE(loop.valid);
    EXPECT_NE(loop.error.find("loops"), std::string::npos) << loop.error;
    EXPECT_TRUE(loop.slots.empty());

    Image self = extendedDisk();
    self.entry(1000, 1, 0x05, 0, 1000);  // links to itself
    EXPECT_FALSE(self.layout().valid);

    Image outside = extendedDisk();
    outside.entry(0, 1, 0x05, 1000, 0x7FFFFFFF);  // container and link far past the disk
    outside.entry(1000, 1, 0x05, 0x70000000, 1000);
    MbrLayout far = outside.layout();
    EXPECT_FALSE(far.valid);
    EXPECT_NE(far.error.find("outside"), std::string::npos) << far.error;

    Image unsigned_ebr = extendedDisk();
    unsigned_ebr.entry(1000, 1, 0x05, 500, 1000);  // points at a sector without 0x55 0xAA
    EXPECT_FALSE(unsigned_ebr.layout().valid);

    Image truncated(1);
    EXPECT_FALSE(truncated.layout(100).valid);
}

TEST(MbrLayout, DiskWithoutSignatureHasNoTable) {
    Image blank(8);
    blank.entry(0, 0, 0x07, 1, 7);
    MbrLayout layout = blank.layout();
    EXPECT_TRUE(layout.valid);
    EXPECT_FALSE(layout.hasTable);
    EXPECT_TRUE(layout.slots.empty());
}

}  // namespace
}  // namespace platform::emulated
