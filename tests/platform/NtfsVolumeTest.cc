// The NTFS control requests of emulated volumes against ntfsinfo and ntfscat on the same
// bytes, and fault injection on volume reads and writes.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "HostFixture.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/FileAccess.h"
#include "platform/System.h"
#include "platform/Volumes.h"
#include "platform/emulated/storage/HostLayout.h"

namespace testing_host {
namespace {

using namespace platform;

constexpr std::uint64_t kPartitionOffset = 1 << 20;
constexpr std::uint64_t kPartitionLength = 32ULL << 20;

std::uint64_t field(const std::string& text, const std::string& name) {
    std::smatch match;
    EXPECT_TRUE(std::regex_search(text, match, std::regex(name + R"(:\s*(\d+))"))) << name;
    return match.empty() ? 0 : std::stoull(match[1]);
}

void writeRandomFile(const std::filesystem::path& file, std::size_t size, unsigned seed) {
    std::ofstream out(file, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i)
        out.put(static_cast<char>((i * 2654435761u + seed) >> 13));
}

class NtfsVolumeTest : public HostTest {
  protected:
    void SetUp() override {
        sim("add-disk --size 48M --signature 0x7e570001 --part size=32M,type=7");
        // 512-byte clusters: a cluster is a sector, and the bitmap is longer than a short reply.
        sim("mkfs 0:0 --cluster-size 512");
        sim("letter C 0:0");
        name_ = emulated::HostLayout::partitionGuidPath(0x7e570001, kPartitionOffset);
        device_ = name_.substr(0, name_.size() - 1);
    }
    std::filesystem::path image() {
        return extract(0, kPartitionOffset, kPartitionLength, "volume.img");
    }
    std::string ntfsinfo() { return test::runCommand("ntfsinfo -m -f '" + image().string() + "'"); }
    std::wstring name_;
    std::wstring device_;
};

TEST_F(NtfsVolumeTest, VolumeDataMatchesNtfsinfo) {
    std::string info = ntfsinfo();
    FileHandle volume = openForRead(device_);
    Reply reply = control(volume, kFsctlGetNtfsVolumeData, 96);
    ASSERT_TRUE(reply.ok) << reply.error;
    NtfsVolumeDataBuffer data{};
    std::memcpy(&data, reply.bytes.data(), sizeof data);
    EXPECT_EQ(static_cast<std::uint64_t>(data.bytesPerCluster), field(info, "Cluster Size"));
    EXPECT_EQ(static_cast<std::uint64_t>(data.totalClusters),
              field(info, "Volume Size in Clusters"));
    EXPECT_EQ(control(volume, kFsctlGetNtfsVolumeData, 95).error, kErrorInsufficientBuffer);

    VolumeInformation information;
    ASSERT_TRUE(getVolumeInformation(L"C:\\", information));
    EXPECT_EQ(information.fileSystemName, L"NTFS");
    EXPECT_EQ(information.serialNumber, static_cast<std::uint32_t>(data.volumeSerialNumber));
}

// The whole bitmap, in pieces, is compared with ntfscat's where the agent collects it; here,
// where a piece may start and end.
TEST_F(NtfsVolumeTest, BitmapStartsOnAByteAndEndsWithTheVolume) {
    FileHandle volume = openForRead(device_);
    auto total = static_cast<std::int64_t>(field(ntfsinfo(), "Volume Size in Clusters"));
    StartingLcnInputBuffer unaligned{13};
    Reply reply = control(volume, kFsctlGetVolumeBitmap, 1024, &unaligned, 8);
    EXPECT_EQ(reply.error, kErrorMoreData);
    EXPECT_EQ(reinterpret_cast<const std::int64_t*>(reply.bytes.data())[0], 8);
    EXPECT_EQ(reinterpret_cast<const std::int64_t*>(reply.bytes.data())[1], total - 8);
    EXPECT_EQ(reply.bytes.size(), 1024u);
    // The last piece is a success, from the byte that holds the last cluster.
    StartingLcnInputBuffer last{total - 1};
    reply = control(volume, kFsctlGetVolumeBitmap, 1024, &last, 8);
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(reinterpret_cast<const std::int64_t*>(reply.bytes.data())[0], (total - 1) / 8 * 8);
    StartingLcnInputBuffer beyond{total};
    EXPECT_EQ(control(volume, kFsctlGetVolumeBitmap, 1024, &beyond, 8).error,
              kErrorInvalidParameter);
}

TEST_F(NtfsVolumeTest, RetrievalPointersOfAFragmentedFileMatchNtfsinfo) {
    std::filesystem::path small = root_ / "small.bin";
    std::filesystem::path other = root_ / "other.bin";
    std::filesystem::path large = root_ / "large.bin";
    writeRandomFile(small, 20000, 1);
    writeRandomFile(other, 300000, 2);
    writeRandomFile(large, 900000, 3);
    // Growing the first file after another one was placed behind it fragments it.
    sim("put C '" + small.string() + "' /frag.bin");
    sim("put C '" + other.string() + "' /other.bin");
    sim("put C '" + large.string() + "' /frag.bin");
    std::string info = test::runCommand("ntfsinfo -v -f '" + image().string() + "' -F /frag.bin");
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;  // (next vcn, lcn)
    std::regex line(R"(\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+))");
    for (auto it = std::sregex_iterator(info.begin(), info.end(), line);
         it != std::sregex_iterator(); ++it) {
        std::int64_t vcn = std::stoll((*it)[1], nullptr, 16);
        runs.emplace_back(vcn + std::stoll((*it)[3], nullptr, 16),
                          std::stoll((*it)[2], nullptr, 16));
    }
    ASSERT_GE(runs.size(), 2u) << info;

    FileHandle file =
        createFile(name_ + L"frag.bin", kFileReadAttributes, kFileShareRead, kOpenExisting, 0);
    ASSERT_TRUE(file) << getLastError();
    StartingVcnInputBuffer input{0};
    Reply reply = control(file, kFsctlGetRetrievalPointers, 4096, &input, 8);
    ASSERT_TRUE(reply.ok) << reply.error;
    RetrievalPointersHeader header{};
    std::memcpy(&header, reply.bytes.data(), sizeof header);
    ASSERT_EQ(header.extentCount, runs.size());
    EXPECT_EQ(header.startingVcn, 0);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        RetrievalPointerExtent extent{};
        std::memcpy(&extent, reply.bytes.data() + 16 + i * 16, sizeof extent);
        EXPECT_EQ(extent.nextVcn, runs[i].first) << i;
        EXPECT_EQ(extent.lcn, runs[i].second) << i;
    }
    reply = control(file, kFsctlGetRetrievalPointers, 32, &input, 8);
    EXPECT_EQ(reply.error, kErrorMoreData);
    EXPECT_EQ(reply.bytes.size(), 32u);

    EXPECT_FALSE(
        createFile(name_ + L"missing.sys", kFileReadAttributes, kFileShareRead, kOpenExisting, 0));
    EXPECT_EQ(getLastError(), kErrorFileNotFound);
}

TEST_F(NtfsVolumeTest, DeclaredFaultsHitVolumeReadsAndWrites) {
    appendConfig(
        "[fault flaky]\nvolume = C\nclusters = 100-101\nerror = 121\nattempts = 2\n"
        "[fault dead]\nvolume = " +
        toNarrow(name_) +
        "\nsectors = 4000\nerror = 30\n"
        "[fault torn]\nkind = short-write\nvolume = C\nclusters = 200\nbytes = 256\n");
    FileHandle volume = openForWrite(device_);
    std::vector<std::uint8_t> block(512);
    std::uint32_t done = 0;
    auto readAt = [&](std::int64_t offset) {
        setFilePointerEx(volume, offset, nullptr, kFileBegin);
        bool ok = readFile(volume, block.data(), 512, &done);
        return ok ? 0u : getLastError();
    };
    // Transient: two failures, then the read succeeds, at each cluster of the range.
    EXPECT_EQ(readAt(100 * 512), kErrorSemTimeout);
    EXPECT_EQ(readAt(100 * 512), kErrorSemTimeout);
    EXPECT_EQ(readAt(100 * 512), 0u);
    EXPECT_EQ(readAt(101 * 512), kErrorSemTimeout);
    EXPECT_EQ(readAt(102 * 512), 0u);
    // Hard: every attempt fails.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(readAt(4000 * 512), kErrorReadFault);
    // Short write: success with fewer bytes, and only those bytes change.
    std::vector<std::uint8_t> data(512, 0xEE);
    setFilePointerEx(volume, 200 * 512, nullptr, kFileBegin);
    ASSERT_TRUE(writeFile(volume, data.data(), 512, &done));
    EXPECT_EQ(done, 256u);
    auto written = readBytes(diskImage(0), kPartitionOffset + 200 * 512, 512);
    EXPECT_EQ(std::count(written.begin(), written.end(), 0xEE), 256);
    // The physical drive is not the faulted volume.
    FileHandle drive = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    setFilePointerEx(drive, static_cast<std::int64_t>(kPartitionOffset + 4000 * 512), nullptr,
                     kFileBegin);
    EXPECT_TRUE(readFile(drive, block.data(), 512, &done));
}

}  // namespace
}  // namespace testing_host
