// Physical drives of the emulated host against sfdisk's view of the same images.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>

#include "HostFixture.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/storage/HostLayout.h"

namespace testing_host {
namespace {

using namespace platform;

struct SfdiskEntry {
    std::uint64_t start;
    std::uint64_t size;
    unsigned type;
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

std::vector<PartitionInformation> layoutOf(FileHandle& disk, std::uint32_t& signature) {
    bool ok = false;
    std::uint32_t error = 0;
    auto bytes = control(disk, kIoctlDiskGetDriveLayout, nullptr, 0, 1928, ok, error);
    EXPECT_TRUE(ok) << error;
    std::vector<PartitionInformation> entries;
    if (!ok)
        return entries;
    DriveLayoutInformationHeader header{};
    std::memcpy(&header, bytes.data(), sizeof header);
    signature = header.signature;
    entries.resize(header.partitionCount);
    std::memcpy(entries.data(), bytes.data() + kDriveLayoutEntryOffset,
                entries.size() * sizeof(PartitionInformation));
    return entries;
}

class DiskDeviceTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        sim("add-disk --size 96M --signature 0x5eed0001 --part size=16M,type=7 --part type=5 "
            "--part size=24M,type=7 --part size=24M,type=7");
    }
};

TEST_F(DiskDeviceTest, LayoutMatchesSfdiskIncludingLogicalDrives) {
    FileHandle disk = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    ASSERT_TRUE(disk);
    std::uint32_t signature = 0;
    auto entries = layoutOf(disk, signature);
    EXPECT_EQ(signature, 0x5eed0001u);
    ASSERT_EQ(entries.size(), 12u);  // the MBR and two extended boot records
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
    auto expected = sfdiskEntries(diskImage(0));
    ASSERT_EQ(expected.size(), 4u);
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(seen[i].start, expected[i].start) << i;
        EXPECT_EQ(seen[i].size, expected[i].size) << i;
        EXPECT_EQ(seen[i].type, expected[i].type) << i;
    }
}

TEST_F(DiskDeviceTest, GeometryLengthAndBufferSizes) {
    FileHandle disk = openForRead(L"\\\\.\\PHYSICALDRIVE0");
    bool ok = false;
    std::uint32_t error = 0;
    auto bytes = control(disk, kIoctlDiskGetDriveGeometry, nullptr, 0, 24, ok, error);
    ASSERT_TRUE(ok);
    DiskGeometry geometry{};
    std::memcpy(&geometry, bytes.data(), sizeof geometry);
    EXPECT_EQ(geometry.mediaType, kMediaTypeFixed);
    EXPECT_EQ(geometry.bytesPerSector, 512u);
    EXPECT_EQ(geometry.cylinders, (96LL << 20) / (255 * 63 * 512));

    bytes = control(disk, kIoctlDiskGetDriveGeometryEx, nullptr, 0, 40, ok, error);
    ASSERT_TRUE(ok);
    DiskGeometryEx ex{};
    std::memcpy(&ex, bytes.data(), bytes.size());
    EXPECT_EQ(ex.diskSize, 96LL << 20);
    bytes = control(disk, kIoctlDiskGetLengthInfo, nullptr, 0, 8, ok, error);
    ASSERT_TRUE(ok);
    EXPECT_EQ(*reinterpret_cast<const std::int64_t*>(bytes.data()), 96LL << 20);

    control(disk, kIoctlDiskGetDriveLayout, nullptr, 0, 8 + 11 * 32, ok, error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, kErrorInsufficientBuffer);
    control(disk, kIoctlDiskGetDriveGeometry, nullptr, 0, 23, ok, error);
    EXPECT_EQ(error, kErrorInsufficientBuffer);
    control(disk, kIoctlDiskUpdateProperties, nullptr, 0, 0, ok, error);
    EXPECT_TRUE(ok);
}

TEST_F(DiskDeviceTest, RemovableAndNotReadyDisksAsDeclared) {
    sim("add-disk --size 8M --part type=7");
    sim("add-disk --size 8M --part type=7");
    sim("media 1 removable");
    sim("media 2 not-ready");
    bool ok = false;
    std::uint32_t error = 0;
    FileHandle removable = openForRead(L"\\\\.\\PHYSICALDRIVE1");
    auto bytes = control(removable, kIoctlDiskGetDriveGeometry, nullptr, 0, 24, ok, error);
    ASSERT_TRUE(ok);
    EXPECT_EQ(reinterpret_cast<const DiskGeometry*>(bytes.data())->mediaType, kMediaTypeRemovable);

    FileHandle notReady = openForRead(L"\\\\.\\PHYSICALDRIVE2");
    ASSERT_TRUE(notReady);  // opening works; the medium does not answer
    control(notReady, kIoctlDiskGetDriveGeometry, nullptr, 0, 24, ok, error);
    EXPECT_EQ(error, kErrorNotReady);
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

class RecordingObserver : public emulated::DiskWriteObserver {
  public:
    void beforeDiskWrite(std::uint32_t disk, std::uint64_t offset, std::uint64_t length) override {
        calls.push_back({"before", disk, offset, length});
    }
    void afterDiskWrite(std::uint32_t disk, std::uint64_t offset, std::uint64_t length) override {
        calls.push_back({"after", disk, offset, length});
    }
    struct Call {
        std::string when;
        std::uint32_t disk;
        std::uint64_t offset;
        std::uint64_t length;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls;
};

TEST_F(DiskDeviceTest, VolumeWritesReachObserversAsDiskOffsets) {
    auto observer = std::make_shared<RecordingObserver>();
    emulated::Host::current().addWriteObserver(observer);
    std::wstring name = emulated::HostLayout::partitionGuidPath(0x5eed0001, 1 << 20);
    FileHandle volume = openForWrite(name.substr(0, name.size() - 1));
    ASSERT_TRUE(volume);
    std::vector<std::uint8_t> data(4096, 0x5A);
    std::uint32_t done = 0;
    ASSERT_TRUE(setFilePointerEx(volume, 8192, nullptr, kFileBegin));
    ASSERT_TRUE(writeFile(volume, data.data(), 4096, &done));
    std::uint64_t onDisk = (1 << 20) + 8192;
    using Call = RecordingObserver::Call;
    std::vector<Call> expected = {{"before", 0, onDisk, 4096}, {"after", 0, onDisk, 4096}};
    EXPECT_EQ(observer->calls, expected);
    EXPECT_EQ(readBytes(diskImage(0), onDisk, 4096), data);
}

TEST_F(DiskDeviceTest, LoopingExtendedChainIsAnErrorNotAHang) {
    // Point the first EBR's link back at itself.
    FileHandle drive = openForWrite(L"\\\\.\\PHYSICALDRIVE0");
    auto entries = sfdiskEntries(diskImage(0));
    std::uint64_t ebr = entries[1].start;
    std::vector<std::uint8_t> sector = readBytes(diskImage(0), ebr * 512, 512);
    sector[446 + 16 + 4] = 0x05;
    std::memset(sector.data() + 446 + 16 + 8, 0, 4);
    std::uint32_t done = 0;
    ASSERT_TRUE(setFilePointerEx(drive, static_cast<std::int64_t>(ebr * 512), nullptr, kFileBegin));
    ASSERT_TRUE(writeFile(drive, sector.data(), 512, &done));
    bool ok = true;
    std::uint32_t error = 0;
    control(drive, kIoctlDiskGetDriveLayout, nullptr, 0, 1928, ok, error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, kErrorDiskCorrupt);
}

}  // namespace
}  // namespace testing_host
