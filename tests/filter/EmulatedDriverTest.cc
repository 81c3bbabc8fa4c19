// The emulated driver behind the seam: its queue and state files, its control device and
// the mapping of disk writes onto volumes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DriverHost.h"
#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/System.h"
#include "platform/emulated/driver/ChangeRecorder.h"
#include "platform/emulated/storage/DiskImage.h"

namespace {

using platform::emulated::DriverRecord;
using platform::emulated::TrackedVolume;
using platform::emulated::VolumeWrite;
namespace emulated = platform::emulated;

platform::FileHandle openControlDevice() {
    return platform::createFile(L"\\\\.\\VardexControlDevice",
                                platform::kGenericRead | platform::kGenericWrite, 0,
                                platform::kOpenExisting, 0);
}

std::uint32_t word(const std::uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24;
}

TEST(DriverStore, RecordsOnlyWhileTrackingHandsThemOverInOrderAndDropsAFullQueue) {
    test::DriverHost host;
    auto& store = host.store();
    EXPECT_EQ(store.state(), 0u);
    EXPECT_FALSE(store.record({{1, 0, 1}}));
    EXPECT_EQ(store.pendingCount(), 0u);
    store.setState(1);
    ASSERT_TRUE(store.record({{1, 10, 2}, {2, 20, 3}}));
    ASSERT_TRUE(store.record({{1, 30, 4}}));
    EXPECT_EQ(store.peek(10).size(), 3u);
    EXPECT_EQ(store.take(2), (std::vector<DriverRecord>{{1, 10, 2}, {2, 20, 3}}));
    EXPECT_EQ(store.pendingCount(), 1u);
    EXPECT_EQ(store.take(5), (std::vector<DriverRecord>{{1, 30, 4}}));
    EXPECT_TRUE(store.take(5).empty());
    // A full queue is dropped and reported as lost state.
    ASSERT_TRUE(store.record({{1, 0, 1}, {1, 1, 1}}, 3));
    EXPECT_FALSE(store.record({{1, 2, 1}, {1, 3, 1}}, 3));
    EXPECT_EQ(store.state(), 0u);
    EXPECT_EQ(store.pendingCount(), 0u);
}

TEST(DriverStore, ResetForgetsQueueAndStateButKeepsVolumeNumbers) {
    test::DriverHost host;
    auto& store = host.store();
    std::uint32_t first = store.volumeNumber(L"\\\\?\\Volume{a}\\");
    std::uint32_t second = store.volumeNumber(L"\\\\?\\Volume{b}\\");
    EXPECT_NE(first, second);
    EXPECT_EQ(store.volumeNumber(L"\\\\?\\Volume{a}\\"), first);
    store.setState(1);
    store.record({{first, 0, 1}});
    store.reset();
    EXPECT_EQ(store.state(), 0u);
    EXPECT_EQ(store.pendingCount(), 0u);
    EXPECT_EQ(store.volumeGuidPath(second), std::wstring(L"\\\\?\\Volume{b}\\"));
    EXPECT_EQ(store.volumeGuidPath(99), std::nullopt);
}

TEST(DriverControlDevice, ExistsOnlyWithTheDriverFolder) {
    test::DriverHost host;
    EXPECT_TRUE(openControlDevice().valid());
    std::filesystem::remove_all(host.root() / "driver");
    EXPECT_FALSE(openControlDevice().valid());
    EXPECT_EQ(platform::getLastError(), platform::kErrorFileNotFound);
}

TEST(DriverControlDevice, AnswersTheFiveRequestsInTheirLayouts) {
    test::DriverHost host;
    std::uint32_t volume = host.store().volumeNumber(L"\\\\?\\Volume{a}\\");
    platform::FileHandle device = openControlDevice();
    std::uint8_t in[4] = {1, 0, 0, 0};
    std::uint8_t out[72] = {};
    std::uint32_t returned = 0;
    ASSERT_TRUE(platform::deviceIoControl(device, 0x221E30, in, 4, nullptr, 0, &returned));
    ASSERT_TRUE(platform::deviceIoControl(device, 0x221E34, nullptr, 0, out, 4, &returned));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(word(out), 1u);
    host.store().record({{volume, 0x1122334455, 9}, {volume, 1, 1}, {volume, 2, 1}});
    ASSERT_TRUE(platform::deviceIoControl(device, 0x221E24, nullptr, 0, out, 4, &returned));
    EXPECT_EQ(word(out), 3u);
    // A buffer for two and a half records delivers two.
    ASSERT_TRUE(platform::deviceIoControl(device, 0x221E22, nullptr, 0, out, 60, &returned));
    ASSERT_EQ(returned, 48u);
    // Volume number, first sector and sector count, eight bytes each, little-endian.
    std::string expected("?\0\0\0\0\0\0\0\x55\x44\x33\x22\x11\0\0\0\x09\0\0\0\0\0\0\0", 24);
    expected[0] = static_cast<char>(volume);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), 24), expected);
    EXPECT_EQ(host.store().pendingCount(), 1u);
}

TEST(DriverControlDevice, RejectsShortBuffersAndBadArguments) {
    test::DriverHost host;
    std::uint32_t volume =
        host.store().volumeNumber(L"\\\\?\\Volume{00000000-1111-2222-3333-444444444444}\\");
    platform::FileHandle device = openControlDevice();
    std::uint8_t in[4] = {static_cast<std::uint8_t>(volume), 0, 0, 0};
    std::vector<std::uint8_t> out(200);
    std::uint32_t returned = 0;
    EXPECT_FALSE(platform::deviceIoControl(device, 0x221E54, in, 4, out.data(), 16, &returned));
    EXPECT_EQ(platform::getLastError(), platform::kErrorInsufficientBuffer);
    ASSERT_TRUE(platform::deviceIoControl(device, 0x221E54, in, 4, out.data(), 200, &returned));
    EXPECT_EQ(returned, (49u + 1u) * 2u);
    in[0] = 77;  // a number the driver never gave out
    EXPECT_FALSE(platform::deviceIoControl(device, 0x221E54, in, 4, out.data(), 200, &returned));
    std::uint8_t two[4] = {2, 0, 0, 0};
    EXPECT_FALSE(platform::deviceIoControl(device, 0x221E30, two, 4, nullptr, 0, &returned));
    EXPECT_EQ(platform::getLastError(), platform::kErrorInvalidParameter);
    EXPECT_FALSE(platform::deviceIoControl(device, 0x221E34, nullptr, 0, out.data(), 2, &returned));
    EXPECT_EQ(platform::getLastError(), platform::kErrorInsufficientBuffer);
    EXPECT_FALSE(platform::readFile(device, out.data(), 4, &returned));
}

TEST(DriverFilter, DiskWritesBecomeVolumeRelativeSectors) {
    // A spanned volume over two extents on disk 1, and a partition on disk 0.
    std::vector<TrackedVolume> volumes = {
        {L"span", {{1, 1000 * 512, 100 * 512}, {1, 5000 * 512, 50 * 512}}},
        {L"part", {{0, 2048 * 512, 4096 * 512}}},
    };
    // Inside the second extent: 100 sectors of the first extent come before it.
    EXPECT_EQ(emulated::volumeWritesFor(volumes, 1, 5010 * 512, 512),
              (std::vector<VolumeWrite>{{L"span", 110, 1}}));
    // Across both extents' ends: the tail of the first and all of the second; unaligned
    // bytes mark the sectors they touch.
    EXPECT_EQ(emulated::volumeWritesFor(volumes, 1, 1099 * 512 + 100, 4100 * 512),
              (std::vector<VolumeWrite>{{L"span", 99, 1}, {L"span", 100, 50}}));
    // The partition's first sectors, from a write that starts in front of it.
    EXPECT_EQ(emulated::volumeWritesFor(volumes, 0, 0, 2050 * 512),
              (std::vector<VolumeWrite>{{L"part", 0, 2}}));
    EXPECT_TRUE(emulated::volumeWritesFor(volumes, 0, 0, 2048 * 512).empty());
    EXPECT_TRUE(emulated::volumeWritesFor(volumes, 2, 0, 1u << 30).empty());
    EXPECT_TRUE(emulated::volumeWritesFor(volumes, 0, UINT64_MAX - 10, 20).empty());
}

TEST(DriverFilter, ANewPartitionTableIsSeenByTheNextWrite) {
    test::DriverHost host;
    std::wstring before = host.addDiskWithPartition();
    host.store().setState(1);
    auto disk = emulated::DiskImage::open(host.host(), 0, true);
    ASSERT_TRUE(disk);
    std::vector<std::uint8_t> sector(512, 0);
    ASSERT_TRUE(disk->write(2048 * 512, sector.data(), 512));
    // Move the partition to sector 4096, as a partition-table restore would.
    ASSERT_TRUE(disk->read(0, sector.data(), 512));
    sector[446 + 9] = 0x10;  // relative sector 0x1000
    ASSERT_TRUE(disk->write(0, sector.data(), 512));
    ASSERT_TRUE(disk->write(4096 * 512, sector.data(), 512));
    std::wstring after =
        emulated::HostLayout::partitionGuidPath(test::DriverHost::kSignature, 4096 * 512);
    std::uint32_t first = host.store().volumeNumber(before);
    std::uint32_t second = host.store().volumeNumber(after);
    EXPECT_EQ(host.store().take(10), (std::vector<DriverRecord>{{first, 0, 1}, {second, 0, 1}}));
}

}  // namespace
