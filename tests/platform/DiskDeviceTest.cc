// Physical drives of the emulated host against sfdisk's view of the same images.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>

#include "HostFixture.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/System.h"

namespace testing_host {
namespace {

using namespace platform;

struct SfdiskEntry {
    std::uint64_t start;
    std::uint64_t size;
    unsigned type;
    bool operator==(const SfdiskEntry&) const = default;
};

std::vector<SfdiskEntry> sfdiskEntries(const std::filesystem::path& image) {
    std::vector<SfdiskEntry> entries;
    std::istringstream dump(test::runCommand("sfdisk -d '" + image.string() + "'"));
    std::regex line(R"(start=\s*(\d+), size=\s*(\d+), type=([0-9a-f]+))");
    std::string text;
    while (std::getline(dump, text)) {
        std::smatch match;
        if (std::regex_search(text, match, line)) {
            entries.push_back({std::stoull(match[1]), std::stoull(match[2]),
                               static_cast<unsigned>(std::stoul(match[3], nullptr, 16))});
        }
    }
    return entries;
}

class DiskDeviceTest : public HostTest {
  protected:
    void SetUp() override {
        sim("add-disk --size 96M --signature 0x5eed0001 --part size=16M,type=7 --part type=5 "
            "--part size=24M,type=7 --part size=24M,type=7");
    }
};

TEST_F(DiskDeviceTest, LayoutMatchesSfdiskIncludingLogicalDrives) {
    FileHandle disk = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    ASSERT_TRUE(disk);
    Reply reply = control(disk, kIoctlDiskGetDriveLayout, 1928);
    ASSERT_TRUE(reply.ok) << reply.error;
    DriveLayoutInformationHeader header{};
    std::memcpy(&header, reply.bytes.data(), sizeof header);
    EXPECT_EQ(header.signature, 0x5eed0001u);
    ASSERT_EQ(header.partitionCount, 12u);  // the MBR and two extended boot records
    std::vector<PartitionInformation> entries(header.partitionCount);
    std::memcpy(entries.data(), reply.bytes.data() + kDriveLayoutEntryOffset,
                entries.size() * sizeof(PartitionInformation));
    std::vector<SfdiskEntry> seen;
    std::uint32_t expectedNumber = 1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PartitionInformation& entry = entries[i];
        // sfdisk lists partitions and the container, not the links between EBRs.
        if (entry.partitionType == 0 || (i >= 4 && entry.partitionType == 5))
            continue;
        seen.push_back({static_cast<std::uint64_t>(entry.startingOffset) / 512,
                        static_cast<std::uint64_t>(entry.partitionLength) / 512,
                        entry.partitionType});
        bool container = entry.partitionType == 5;
        EXPECT_EQ(entry.partitionNumber, container ? 0u : expectedNumber++);
    }
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen, sfdiskEntries(diskImage(0)));
}

TEST_F(DiskDeviceTest, GeometryLengthAndBufferSizes) {
    FileHandle disk = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    Reply reply = control(disk, kIoctlDiskGetDriveGeometry, 24);
    ASSERT_TRUE(reply.ok);
    DiskGeometry geometry{};
    std::memcpy(&geometry, reply.bytes.data(), sizeof geometry);
    EXPECT_EQ(geometry.mediaType, kMediaTypeFixed);
    EXPECT_EQ(geometry.bytesPerSector, 512u);
    EXPECT_EQ(geometry.cylinders, (96LL << 20) / (255 * 63 * 512));

    reply = control(disk, kIoctlDiskGetDriveGeometryEx, 40);
    ASSERT_TRUE(reply.ok);
    DiskGeometryEx ex{};
    std::memcpy(&ex, reply.bytes.data(), reply.bytes.size());
    EXPECT_EQ(ex.diskSize, 96LL << 20);
    reply = control(disk, kIoctlDiskGetLengthInfo, 8);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(*reinterpret_cast<const std::int64_t*>(reply.bytes.data()), 96LL << 20);

    EXPECT_EQ(control(disk, kIoctlDiskGetDriveLayout, 8 + 11 * 32).error, kErrorInsufficientBuffer);
    EXPECT_EQ(control(disk, kIoctlDiskGetDriveGeometry, 23).error, kErrorInsufficientBuffer);
    EXPECT_TRUE(control(disk, kIoctlDiskUpdateProperties, 0).ok);
}

TEST_F(DiskDeviceTest, RemovableAndNotReadyDisksAsDeclared) {
    sim("add-disk --size 8M --part type=7");
    sim("add-disk --size 8M --part type=7");
    sim("media 1 removable");
    sim("media 2 not-ready");
    FileHandle removable = openForRead(L"\\\\.\\PHYSICALDRIVE1");
    Reply reply = control(removable, kIoctlDiskGetDriveGeometry, 24);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reinterpret_cast<const DiskGeometry*>(reply.bytes.data())->mediaType,
              kMediaTypeRemovable);

    FileHandle notReady = openForRead(L"\\\\.\\PHYSICALDRIVE2");
    ASSERT_TRUE(notReady);  // opening works; the medium does not answer
    EXPECT_EQ(control(notReady, kIoctlDiskGetDriveGeometry, 24).error, kErrorNotReady);
    std::vector<std::uint8_t> sector(512);
    std::uint32_t read = 0;
    EXPECT_FALSE(readFile(notReady, sector.data(), 512, &read));
    EXPECT_EQ(getLastError(), kErrorNotReady);

    EXPECT_FALSE(openForRead(L"\\\\.\\PHYSICALDRIVE3"));
    EXPECT_EQ(getLastError(), kErrorFileNotFound);
}

TEST_F(DiskDeviceTest, ReadsAndWritesStayInsideTheDisk) {
    FileHandle drive = openForWrite(L"\\\\.\\PHYSICALDRIVE0");
    std::uint64_t size = 96ULL << 20;
    std::vector<std::uint8_t> data(1024, 0xAB);
    std::uint32_t done = 0;
    ASSERT_TRUE(
        setFilePointerEx(drive, static_cast<std::int64_t>(size - 512), nullptr, kFileBegin));
    EXPECT_FALSE(writeFile(drive, data.data(), 1024, &done));
    EXPECT_EQ(getLastError(), kErrorSectorNotFound);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(readBytes(diskImage(0), size - 512, 512), std::vector<std::uint8_t>(512, 0));
    // A read that reaches past the end returns what there is; at the end, nothing.
    ASSERT_TRUE(readFile(drive, data.data(), 1024, &done));
    EXPECT_EQ(done, 512u);
    ASSERT_TRUE(readFile(drive, data.data(), 1024, &done));
    EXPECT_EQ(done, 0u);
    // Unaligned transfers are refused, as on Windows.
    setFilePointerEx(drive, 100, nullptr, kFileBegin);
    EXPECT_FALSE(readFile(drive, data.data(), 512, &done));
    EXPECT_EQ(getLastError(), kErrorInvalidParameter);
    EXPECT_EQ(setFilePointerEx(drive, -1, nullptr, kFileBegin), false);

    FileHandle readOnly = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    EXPECT_FALSE(writeFile(readOnly, data.data(), 512, &done));
    EXPECT_EQ(getLastError(), kErrorAccessDenied);
}

TEST_F(DiskDeviceTest, LoopingExtendedChainIsAnErrorNotAHang) {
    // Point the first EBR's link back at itself: type 5, relative sector 0.
    std::uint64_t link = sfdiskEntries(diskImage(0))[1].start * 512 + 446 + 16;
    test::writeAt(diskImage(0), link + 4, "\x05");
    test::writeAt(diskImage(0), link + 8, std::string(4, '\0'));
    FileHandle drive = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    Reply reply = control(drive, kIoctlDiskGetDriveLayout, 1928);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, kErrorDiskCorrupt);
}

}  // namespace
}  // namespace testing_host
