// Damaged volumes: a real image with chosen bytes changed gives errors, never a crash or a
// read outside the volume (the sanitizer builds and the fuzz target check the latter).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "NtfsTools.h"
#include "common/TestBytes.h"

namespace ntfstest {
namespace {

constexpr std::uint32_t kCluster = 4096;

class CorruptImageTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!toolsAvailable()) {
            return;
        }
        scratch_ = new ScratchDir;
        NtfsImage image(scratch_->path() / "c.img", 8 << 20, kCluster);
        image.put("/file.bin", test::randomBytes(300000, 11));
        for (int i = 0; i < 120; ++i) {
            image.put("/name" + std::to_string(i), "x");
        }
        pristine_ = new std::vector<std::uint8_t>(image.bytes());
    }
    static void TearDownTestSuite() {
        delete pristine_;
        delete scratch_;
        pristine_ = nullptr;
        scratch_ = nullptr;
    }
    void SetUp() override {
        if (pristine_ == nullptr) {
            GTEST_SKIP() << "ntfs-3g tools (mkntfs, ntfscp, ntfsinfo, ntfscat) are not installed";
        }
        bytes_ = *pristine_;
        auto volume = openBytes(bytes_);
        ASSERT_TRUE(volume);
        mftOffset_ = volume.value().geometry().mftStartLcn * kCluster;
        fileLcn_ = static_cast<std::uint64_t>(
            volume.value().fileExtents(L"\\file.bin").value().front().lcn);
    }
    void put16(std::size_t offset, std::uint16_t value) { std::memcpy(&bytes_[offset], &value, 2); }
    void put64(std::size_t offset, std::uint64_t value) { std::memcpy(&bytes_[offset], &value, 8); }
    std::uint32_t openError() {
        auto volume = openBytes(bytes_);
        return volume ? platform::kErrorSuccess : volume.error().code;
    }

    static inline ScratchDir* scratch_ = nullptr;
    static inline std::vector<std::uint8_t>* pristine_ = nullptr;
    std::vector<std::uint8_t> bytes_;
    std::uint64_t mftOffset_ = 0;
    std::uint64_t fileLcn_ = 0;
};

TEST_F(CorruptImageTest, ImpossibleBootSectorValues) {
    struct Damage {
        std::size_t offset;
        std::uint64_t value;
        std::size_t size;
        std::uint32_t error;
    };
    for (Damage damage :
         {Damage{0x0D, 3, 1, ntfs::kErrorUnrecognizedVolume},           // 3 sectors per cluster
          Damage{0x40, 0, 1, ntfs::kErrorUnrecognizedVolume},           // no file record size
          Damage{0x40, 0xEF, 1, ntfs::kErrorUnrecognizedVolume},        // 128 KiB records
          Damage{0x30, ~0ull / 2, 8, ntfs::kErrorUnrecognizedVolume},   // $MFT far away
          Damage{0x03, 0x4154, 2, platform::kErrorInvalidFunction}}) {  // not "NTFS"
        bytes_ = *pristine_;
        std::memcpy(&bytes_[damage.offset], &damage.value, damage.size);
        EXPECT_EQ(openError(), damage.error) << "offset " << damage.offset;
    }
}

TEST_F(CorruptImageTest, TruncatedOrUnreadableImage) {
    bytes_.resize(1 << 20);
    EXPECT_EQ(openError(), ntfs::kErrorUnrecognizedVolume);
    bytes_.resize(100);
    EXPECT_EQ(openError(), platform::kErrorInvalidFunction);

    auto unreadableMft = ntfs::Volume::open(
        [this](std::uint64_t offset, void* buffer, std::size_t length) {
            std::memcpy(buffer, pristine_->data() + offset, length);
            return offset < mftOffset_;
        },
        pristine_->size());
    ASSERT_FALSE(unreadableMft);
    EXPECT_EQ(unreadableMft.error().code, platform::kErrorIoDevice);
}

TEST_F(CorruptImageTest, TornFileRecordIsRefused) {
    // The end of the first sector of $Bitmap's record no longer matches its update sequence.
    bytes_[mftOffset_ + 6 * 1024 + 510] ^= 0xFF;
    auto volume = openBytes(bytes_);
    ASSERT_FALSE(volume);
    EXPECT_EQ(volume.error().code, ntfs::kErrorFileCorrupt);
    EXPECT_NE(volume.error().message.find("update sequence"), std::string::npos);
}

// The first run of file.bin's data is moved far past the last cluster.
TEST_F(CorruptImageTest, RunsPastTheVolume) {
    std::size_t record = mftOffset_ + 64 * 1024;  // the first file after the system files
    for (; std::memcmp(&bytes_[record], "FILE", 4) == 0; record += 1024) {
        std::u16string name(u"file.bin");
        if (std::search(&bytes_[record], &bytes_[record + 1024],
                        reinterpret_cast<const std::uint8_t*>(name.data()),
                        reinterpret_cast<const std::uint8_t*>(name.data() + name.size())) !=
            &bytes_[record + 1024]) {
            break;
        }
    }
    std::size_t attribute = record + (bytes_[record + 0x14] | bytes_[record + 0x15] << 8);
    while (bytes_[attribute] != 0x80) {
        attribute += bytes_[attribute + 4] | bytes_[attribute + 5] << 8;
        ASSERT_LT(attribute, record + 1024);
    }
    std::size_t pairs = attribute + (bytes_[attribute + 0x20] | bytes_[attribute + 0x21] << 8);
    std::size_t lengthSize = bytes_[pairs] & 0x0F;
    std::size_t offsetSize = bytes_[pairs] >> 4;
    bytes_[pairs + lengthSize + offsetSize] = 0x7F;  // the LCN's highest byte

    auto volume = openBytes(bytes_);
    ASSERT_TRUE(volume) << volume.error().message;
    auto runs = volume.value().fileExtents(L"\\file.bin");
    ASSERT_FALSE(runs);
    EXPECT_EQ(runs.error().code, ntfs::kErrorFileCorrupt);
    EXPECT_NE(runs.error().message.find("outside the volume"), std::string::npos);
    EXPECT_TRUE(volume.value().exists(L"\\name7").value());
}

// A root index buffer that points at itself as its own child.
TEST_F(CorruptImageTest, IndexBufferLoop) {
    auto volume = openBytes(bytes_);
    auto rootIndex = volume.value().fileExtents(L"\\");
    ASSERT_TRUE(rootIndex) << "the root index should have spilled into index buffers";
    std::size_t buffer = rootIndex.value().front().lcn * kCluster;
    ASSERT_EQ(std::memcmp(&bytes_[buffer], "INDX", 4), 0);
    // Turn the first entry of the buffer into a "last" entry with a child: buffer 0 itself.
    std::size_t header = buffer + 0x18;
    std::uint32_t firstEntry;
    std::memcpy(&firstEntry, &bytes_[header], 4);
    std::size_t entry = header + firstEntry;
    put16(entry + 8, 0x18);
    put16(entry + 12, 0x03);
    put64(entry + 0x10, 0);
    std::uint32_t end = firstEntry + 0x18;
    std::memcpy(&bytes_[header + 4], &end, 4);
    put16(buffer + 0x1000 - 2,
          bytes_[buffer + 0x28] | bytes_[buffer + 0x29] << 8);  // keep fixups valid

    auto damaged = openBytes(bytes_);
    ASSERT_TRUE(damaged);
    int loops = 0;
    for (const std::wstring& name :
         {std::wstring(L"$AttrDef"), std::wstring(L"$Bitmap"), std::wstring(L"name0")}) {
        auto found = damaged.value().exists(L"\\" + name);
        if (!found) {
            EXPECT_EQ(found.error().code, ntfs::kErrorFileCorrupt);
            loops += found.error().message.find("loop") != std::string::npos;
        }
    }
    EXPECT_GT(loops, 0);
}

}  // namespace
}  // namespace ntfstest
