// The reader against volumes that mkntfs and ntfscp made, compared with what ntfsinfo and
// ntfscat report about the same images.
#include <gtest/gtest.h>

#include <bit>

#include "NtfsTools.h"
#include "common/RunCommand.h"
#include "common/TestBytes.h"

namespace ntfstest {
namespace {

class VolumeImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!toolsAvailable()) {
            GTEST_SKIP() << "ntfs-3g tools (mkntfs, ntfscp, ntfsinfo, ntfscat) are not installed";
        }
    }
    std::filesystem::path image(const std::string& name) const { return scratch_.path() / name; }

    ScratchDir scratch_;
};

std::uint64_t usedClusters(const std::vector<std::uint8_t>& bitmap, std::uint64_t clusters) {
    std::uint64_t used = 0;
    for (std::uint64_t i = 0; i < clusters; ++i) {
        used += (bitmap[i / 8] >> (i % 8)) & 1;
    }
    return used;
}

TEST_F(VolumeImageTest, VolumeDataMatchesTheTools) {
    NtfsImage image(this->image("v.img"), 48 << 20, 4096);
    image.put("/data.bin", test::randomBytes(100000, 1));
    auto volume = image.open();
    ASSERT_TRUE(volume) << volume.error().message;
    auto data = volume.value().volumeData();
    ASSERT_TRUE(data) << data.error().message;
    const ntfs::VolumeData& d = data.value();
    EXPECT_EQ(d.bytesPerCluster, image.toolNumber("Cluster Size"));
    EXPECT_EQ(d.totalClusters, image.toolNumber("Volume Size in Clusters"));
    EXPECT_EQ(d.bytesPerSector, 512u);
    EXPECT_EQ(d.totalClusters, d.numberSectors / 8);
    EXPECT_EQ(d.bytesPerFileRecordSegment, 1024u);
    EXPECT_EQ(d.clustersPerFileRecordSegment, 0u);
    EXPECT_EQ(d.freeClusters, d.totalClusters - usedClusters(image.toolBitmap(), d.totalClusters));
    std::string mft = test::runCommand("ntfsinfo -f '" + image.file().string() + "' -i 0",
                                       test::ErrorOutput::discarded);
    std::size_t initialized = mft.find("Initialized size:", mft.find("$DATA (0x80)"));
    ASSERT_NE(initialized, std::string::npos);
    EXPECT_EQ(d.mftValidDataLength, std::stoull(mft.substr(initialized + 17)));
    EXPECT_EQ(d.mftStartLcn, image.toolNumber("LCN of Data Attribute for FILE_MFT"));
    EXPECT_EQ(d.mft2StartLcn, image.toolNumber("LCN of Data Attribute for File_MFTMirr"));

    auto buffer = ntfs::encodeVolumeDataBuffer(d);
    EXPECT_EQ(buffer[0x2C] | buffer[0x2D] << 8, 4096);                  // BytesPerCluster
    EXPECT_EQ(buffer[0x40], static_cast<std::uint8_t>(d.mftStartLcn));  // MftStartLcn
}

// Enough names in the root that its index spills into index buffers; every one is found
// in any case, including names outside ASCII, which only the volume's $UpCase folds.
TEST_F(VolumeImageTest, LooksNamesUpCaseInsensitivelyThroughIndexBuffers) {
    NtfsImage image(this->image("names.img"), 24 << 20, 4096);
    for (int i = 0; i < 250; ++i) {
        image.put("/File-" + std::to_string(i * 7919 % 1000) + ".Dat", std::string(10, 'x'));
    }
    image.put("/\xC3\x84rger-\xCE\xA3\xCF\x89.txt", test::randomBytes(20000, 5));  // "Ärger-Σω.txt"
    auto volume = image.open();
    ASSERT_TRUE(volume);
    const ntfs::Volume& v = volume.value();
    for (int i = 0; i < 250; ++i) {
        std::wstring name = L"\\FILE-" + std::to_wstring(i * 7919 % 1000) + L".dAT";
        auto found = v.exists(name);
        ASSERT_TRUE(found && found.value()) << i;
    }
    auto runs = v.fileExtents(L"\\\u00E4RGER-\u03C3\u03A9.TXT");
    ASSERT_TRUE(runs) << runs.error().message;
    EXPECT_EQ(runs.value(), image.toolRuns("/\xC3\x84rger-\xCE\xA3\xCF\x89.txt"));

    EXPECT_FALSE(v.exists(L"\\File-1.Dat2").value());
    EXPECT_FALSE(v.exists(L"\\File-").value());
    EXPECT_TRUE(v.exists(L"\\").value());
    auto missing = v.fileExtents(L"\\nothing.bin");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, platform::kErrorFileNotFound);
    auto throughFile = v.fileExtents(L"\\File-0.Dat\\x");
    ASSERT_FALSE(throughFile);
    EXPECT_EQ(throughFile.error().code, platform::kErrorPathNotFound);
}

TEST_F(VolumeImageTest, SmallFilesAndSystemFiles) {
    NtfsImage image(this->image("small.img"), 8 << 20, 4096);
    image.put("/tiny.txt", "resident data");
    image.put("/empty.txt", "");
    auto volume = image.open();
    ASSERT_TRUE(volume);
    for (const wchar_t* path : {L"\\tiny.txt", L"\\empty.txt"}) {
        auto runs = volume.value().fileExtents(path);
        ASSERT_FALSE(runs);
        EXPECT_EQ(runs.error().code, platform::kErrorHandleEof);
    }
    auto mft = volume.value().fileExtents(L"\\$MFT");
    ASSERT_TRUE(mft) << mft.error().message;
    EXPECT_EQ(mft.value().front().lcn,
              static_cast<std::int64_t>(volume.value().geometry().mftStartLcn));
    auto badPath = volume.value().exists(L"\\a\\\\b");
    ASSERT_FALSE(badPath);
    EXPECT_EQ(badPath.error().code, platform::kErrorInvalidName);

    // The bitmap's bytes match ntfscat's through the platform's volume requests (disk suite,
    // VolumeTest); here, a read that runs past the last byte.
    std::uint64_t bitmapBytes = (volume.value().geometry().totalClusters + 7) / 8;
    auto pastEnd = volume.value().readBitmap(bitmapBytes - 1, 2);
    ASSERT_FALSE(pastEnd);
    EXPECT_EQ(pastEnd.error().code, platform::kErrorInvalidParameter);
}

}  // namespace
}  // namespace ntfstest
