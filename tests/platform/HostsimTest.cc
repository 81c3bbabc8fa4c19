// hostsim's changes to a host, seen through the seam.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "HostFixture.h"
#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/Volumes.h"

namespace testing_host {
namespace {

using namespace platform;

constexpr std::uint64_t kPartitionOffset = 1 << 20;

class HostsimTest : public HostTest {
  protected:
    void SetUp() override {
        sim("add-disk --size 32M --part size=24M,type=7");
        sim("letter C 0:0");
    }
    int status(const std::string& arguments) {
        std::string command = test::hostsimCommand(root_, arguments) + " >/dev/null 2>&1";
        int result = std::system(command.c_str());
        return WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    }
};

TEST_F(HostsimTest, WriteChangesExactlyTheNamedClusters) {
    VolumeInformation information;
    EXPECT_FALSE(getVolumeInformation(L"C:\\", information));
    EXPECT_EQ(getLastError(), kErrorUnrecognizedVolume);
    sim("mkfs C");
    ASSERT_TRUE(getVolumeInformation(L"C:\\", information));
    auto before = readBytes(diskImage(0), kPartitionOffset + 9 * 4096, 4 * 4096);
    sim("write C --cluster 10 --count 2 --byte 0x77");
    auto after = readBytes(diskImage(0), kPartitionOffset + 9 * 4096, 4 * 4096);
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 4096, before.begin()));
    EXPECT_EQ(std::count(after.begin() + 4096, after.begin() + 3 * 4096, 0x77), 2 * 4096);
    EXPECT_TRUE(std::equal(after.begin() + 3 * 4096, after.end(), before.begin() + 3 * 4096));
    // Outside the volume, or without data, is a usage error that changes nothing.
    EXPECT_EQ(status("write C --cluster 6143 --count 2 --byte 1"), 2);
    EXPECT_EQ(status("write C --cluster 1"), 2);
    EXPECT_EQ(status("write Q --cluster 1 --byte 1"), 2);
    EXPECT_EQ(readBytes(diskImage(0), kPartitionOffset + 9 * 4096, 4 * 4096), after);
}

TEST_F(HostsimTest, WriteFromAFileFillsTheRestOfTheClustersWithZeros) {
    sim("mkfs C");
    std::filesystem::path data = root_ / "data.bin";
    { std::ofstream(data, std::ios::binary) << std::string(5000, 'z'); }
    sim("write C --cluster 20 --count 2 --file '" + data.string() + "'");
    auto written = readBytes(diskImage(0), kPartitionOffset + 20 * 4096, 2 * 4096);
    EXPECT_EQ(std::count(written.begin(), written.begin() + 5000, 'z'), 5000);
    EXPECT_EQ(std::count(written.begin() + 5000, written.end(), 0), 2 * 4096 - 5000);
    EXPECT_EQ(status("write C --cluster 20 --file '" + data.string() + "'"),
              2);  // longer than one cluster
    EXPECT_EQ(status("write C --cluster 20 --file '" + (root_ / "missing").string() + "'"), 2);
}

TEST_F(HostsimTest, DiskFaultsHitOnlyThePhysicalDrive) {
    sim("fault bad disk=0 sectors=4096 error=23");
    FileHandle drive = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    std::vector<std::uint8_t> sector(512);
    std::uint32_t done = 0;
    setFilePointerEx(drive, 4096 * 512, nullptr, kFileBegin);
    EXPECT_FALSE(readFile(drive, sector.data(), 512, &done));
    EXPECT_EQ(getLastError(), kErrorCrc);
    std::wstring name;
    ASSERT_TRUE(getVolumeNameForVolumeMountPoint(L"C:\\", name));
    FileHandle volume = openForRead(name.substr(0, name.size() - 1));
    setFilePointerEx(volume, 4096 * 512 - kPartitionOffset, nullptr, kFileBegin);
    EXPECT_TRUE(readFile(volume, sector.data(), 512, &done));
    sim("fault bad --remove");
    EXPECT_TRUE(readFile(drive, sector.data(), 512, &done));
}

}  // namespace
}  // namespace testing_host
