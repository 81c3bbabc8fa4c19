// Volumes of the emulated host: enumeration, names, letters, spanned volumes and the NTFS
// control requests, checked against hostsim in another process and against ntfs-3g's tools.
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

namespace testing_host {
namespace {

using namespace platform;

std::vector<std::wstring> enumerateVolumes() {
    std::vector<std::wstring> names;
    std::wstring name;
    auto enumeration = findFirstVolume(name);
    if (!enumeration)
        return names;
    do {
        names.push_back(name);
    } while (enumeration->next(name));
    EXPECT_EQ(getLastError(), kErrorNoMoreFiles);
    EXPECT_TRUE(enumeration->close());
    EXPECT_FALSE(enumeration->close());
    return names;
}

std::wstring device(const std::wstring& name) {
    return name.substr(0, name.size() - 1);
}

// The extents a reply of size bytes holds; reply says how the request went.
std::vector<DiskExtent> extentsOf(const std::wstring& name, std::uint32_t size, Reply& reply) {
    FileHandle volume = openForRead(device(name));
    reply = control(volume, kIoctlVolumeGetVolumeDiskExtents, size);
    std::vector<DiskExtent> extents;
    for (std::size_t at = 8; at + sizeof(DiskExtent) <= reply.bytes.size();
         at += sizeof(DiskExtent)) {
        DiskExtent extent{};
        std::memcpy(&extent, reply.bytes.data() + at, sizeof extent);
        extents.push_back(extent);
    }
    return extents;
}

class VolumeTest : public HostTest {
  protected:
    void SetUp() override {
        sim("add-disk --size 64M --signature 0xabcd0001 --part size=16M,type=7 --part type=5 "
            "--part size=16M,type=7 --part size=16M,type=7");
        sim("add-disk --size 16M --signature 0xabcd0002 --part type=7");
        names_ = enumerateVolumes();
    }
    std::vector<std::wstring> names_;
};

TEST_F(VolumeTest, OneVolumePerPartitionWithNamesStableAcrossProcesses) {
    ASSERT_EQ(names_.size(), 4u);
    std::vector<std::wstring> shown;
    std::istringstream output(sim("show"));
    std::regex line(R"(^volume (\S+))");
    std::string text;
    while (std::getline(output, text)) {
        std::smatch match;
        if (std::regex_search(text, match, line))
            shown.push_back(toWide(match[1]));
    }
    EXPECT_EQ(shown, names_);
    EXPECT_EQ(names_[0], L"\\\\?\\Volume{abcd0001-0000-0000-0000-000000000800}\\");
    // The logical drives lie where sfdisk put them.
    Reply reply;
    auto extents = extentsOf(names_[2], 1448, reply);
    ASSERT_TRUE(reply.ok);
    ASSERT_EQ(extents.size(), 1u);
    std::string dump = test::runCommand("sfdisk -d '" + diskImage(0).string() + "'");
    std::smatch match;
    ASSERT_TRUE(
        std::regex_search(dump, match, std::regex(R"(img6 : start=\s*(\d+), size=\s*(\d+))")));
    EXPECT_EQ(extents[0].startingOffset, std::stoll(match[1]) * 512);
    EXPECT_EQ(extents[0].extentLength, std::stoll(match[2]) * 512);
}

TEST_F(VolumeTest, DriveLettersAndTheirDevices) {
    sim("letter C 0:1");
    std::wstring name;
    ASSERT_TRUE(getVolumeNameForVolumeMountPoint(L"C:\\", name));
    EXPECT_EQ(name, names_[1]);
    EXPECT_FALSE(getVolumeNameForVolumeMountPoint(L"C:", name));
    EXPECT_FALSE(getVolumeNameForVolumeMountPoint(L"E:\\", name));
    EXPECT_EQ(getDriveType(L"C:\\"), kDriveFixed);
    EXPECT_EQ(getDriveType(names_[1]), kDriveFixed);
    EXPECT_EQ(getDriveType(device(names_[1])), kDriveNoRootDir);
    std::wstring root;
    ASSERT_TRUE(getVolumePathName(L"C:\\dir\\file.txt", root));
    EXPECT_EQ(root, L"C:\\");

    FileHandle letter = openForRead(L"\\\\.\\C:");
    Reply length = control(letter, kIoctlDiskGetLengthInfo, 8);
    ASSERT_TRUE(length.ok);
    EXPECT_EQ(*reinterpret_cast<const std::int64_t*>(length.bytes.data()), 16LL << 20);
}

TEST_F(VolumeTest, RemovableOpticalAndNotReadyVolumes) {
    sim("media 1 removable");
    sim("optical dvd");
    auto names = enumerateVolumes();
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(getDriveType(names[3]), kDriveRemovable);
    EXPECT_EQ(getDriveType(names[4]), kDriveCdrom);
    EXPECT_FALSE(openForRead(device(names[4])));
    EXPECT_EQ(getLastError(), kErrorNotReady);
    sim("media 1 not-ready");
    EXPECT_FALSE(openForRead(device(names[3])));
    EXPECT_EQ(getLastError(), kErrorNotReady);
}

TEST_F(VolumeTest, SpannedVolumeReadsAcrossItsExtents) {
    sim("span big --extent 0:50M:8M --extent 1:1M:8M");
    auto names = enumerateVolumes();
    ASSERT_EQ(names.size(), 5u);
    Reply reply;
    extentsOf(names[4], 32, reply);
    EXPECT_EQ(reply.error, kErrorMoreData);
    auto extents = extentsOf(names[4], 1448, reply);
    ASSERT_EQ(extents.size(), 2u);
    EXPECT_EQ(extents[1].diskNumber, 1u);
    EXPECT_EQ(extents[1].startingOffset, 1 << 20);

    // Write across the boundary through the volume; each half lands on its own disk.
    FileHandle volume = openForWrite(device(names[4]));
    std::vector<std::uint8_t> data(8192);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    std::uint32_t done = 0;
    ASSERT_TRUE(setFilePointerEx(volume, (8 << 20) - 4096, nullptr, kFileBegin));
    ASSERT_TRUE(writeFile(volume, data.data(), 8192, &done));
    EXPECT_EQ(readBytes(diskImage(0), (58 << 20) - 4096, 4096),
              std::vector<std::uint8_t>(data.begin(), data.begin() + 4096));
    EXPECT_EQ(readBytes(diskImage(1), 1 << 20, 4096),
              std::vector<std::uint8_t>(data.begin() + 4096, data.end()));
    // A write past the end of the volume changes nothing.
    ASSERT_TRUE(setFilePointerEx(volume, (16 << 20) - 4096, nullptr, kFileBegin));
    EXPECT_FALSE(writeFile(volume, data.data(), 8192, &done));
    EXPECT_EQ(getLastError(), kErrorSectorNotFound);
    EXPECT_EQ(readBytes(diskImage(1), (9 << 20) - 4096, 4096), std::vector<std::uint8_t>(4096, 0));
}

}  // namespace
}  // namespace testing_host
