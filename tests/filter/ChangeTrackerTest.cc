// The agent's interface to the driver, against the emulated driver behind the seam.
#include "filter/ChangeTracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "DriverHost.h"
#include "platform/File.h"
#include "platform/emulated/storage/DiskImage.h"

namespace {

using filter::ChangeTracker;
using filter::JournalKey;
using filter::MapBitmap;
using Runs = std::map<std::uint64_t, std::uint64_t>;

const std::wstring kVolume = L"\\\\?\\Volume{0000000a-0000-0000-0000-000000000800}\\";

class TrackerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tracker.open());
        tracker.startMonitor();
        number = host.store().volumeNumber(kVolume);
        track(kVolume);
    }

    void track(const std::wstring& volume) {
        ChangeTracker::Flush flush(tracker);
        tracker.startChangeTracking(volume);
    }
    void write(std::uint64_t sector, std::uint64_t count) {
        ASSERT_TRUE(host.store().record({{number, sector, count}}));
    }
    std::optional<JournalKey> key(const std::wstring& volume = kVolume) {
        ChangeTracker::Flush flush(tracker);
        JournalKey key;
        if (!tracker.getJournalKey(volume, key))
            return std::nullopt;
        return key;
    }
    std::unique_ptr<MapBitmap> copy(const std::wstring& volume = kVolume) {
        ChangeTracker::Flush flush(tracker);
        return tracker.copyChanges(volume);
    }
    std::unique_ptr<MapBitmap> take(const JournalKey& key) {
        ChangeTracker::Flush flush(tracker);
        return tracker.takeChanges(kVolume, key);
    }

    test::DriverHost host;
    ChangeTracker tracker;
    std::uint32_t number = 0;
};

TEST_F(TrackerTest, AQueryAfterWritesSeesExactlyThoseWrites) {
    write(15, 1);
    write(16, 9);
    auto changes = copy();
    ASSERT_TRUE(changes);
    EXPECT_EQ(changes->runs(), (Runs{{1, 3}}));
    auto current = key();
    ASSERT_TRUE(current);
    auto taken = take(*current);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->runs(), (Runs{{1, 3}}));
    write(800, 8);
    EXPECT_EQ(copy()->runs(), (Runs{{100, 1}}));
    // A name without its trailing backslash is the same volume.
    EXPECT_EQ(copy(kVolume.substr(0, kVolume.size() - 1))->runs(), (Runs{{100, 1}}));
}

TEST_F(TrackerTest, OnlyTheCurrentJournalKeyHandsOverTheChanges) {
    write(0, 1);
    auto first = key();
    ASSERT_TRUE(first);
    JournalKey wrong = *first;
    wrong[55] ^= 1;
    EXPECT_FALSE(take(wrong));
    auto second = key();
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);  // the failed take still started a new period
    EXPECT_FALSE(take(*first));
    auto third = key();
    write(8, 8);
    auto changes = take(*third);
    ASSERT_TRUE(changes);
    EXPECT_EQ(changes->runs(), (Runs{{1, 1}}));  // what came before the failed takes is gone
}

TEST_F(TrackerTest, ADriverResetClearsEverythingUntilTrackingStartsAgain) {
    write(0, 1);
    ASSERT_TRUE(key());
    host.store().reset();  // a reboot: the driver starts over
    JournalKey zeros{};
    EXPECT_FALSE(key());
    EXPECT_FALSE(copy());
    EXPECT_FALSE(take(zeros));
    EXPECT_EQ(host.store().state(), 1u);  // the agent switched it on again
    write(16, 8);                         // recorded by the driver, dropped by the agent
    EXPECT_FALSE(copy());
    track(kVolume);
    write(24, 8);
    auto changes = copy();
    ASSERT_TRUE(changes);
    EXPECT_EQ(changes->runs(), (Runs{{3, 1}}));
}

TEST_F(TrackerTest, QueriesAnswerNothingOutsideAHandshakeOrForUnknownVolumes) {
    write(0, 1);
    ASSERT_TRUE(copy());
    EXPECT_FALSE(tracker.copyChanges(kVolume));
    JournalKey key;
    key.fill(0xFF);
    EXPECT_FALSE(tracker.getJournalKey(kVolume, key));
    EXPECT_EQ(key, JournalKey{});  // always fully set: zeros never match a real key
    EXPECT_FALSE(copy(L"\\\\?\\Volume{unknown}\\"));
}

TEST_F(TrackerTest, NoRecordIsLostWhileWritesRaceWithPeriodChanges) {
    constexpr std::uint64_t kWrites = 200;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint64_t i = 0; i < kWrites; ++i)
            write(i * 16, 1);  // every other block
        done = true;
    });
    MapBitmap seen;
    auto takePeriod = [&] {
        auto current = key();
        ASSERT_TRUE(current || seen.empty());
        if (!current)
            return;
        auto changes = take(*current);
        ASSERT_TRUE(changes);
        seen.merge(*changes);
    };
    while (!done)
        takePeriod();
    writer.join();
    takePeriod();
    EXPECT_EQ(seen.blockCount(), kWrites);
    EXPECT_EQ(seen.runs().size(), kWrites);
}

TEST(ChangeTrackerDevice, WithoutTheDriverEverythingAnswersNothing) {
    test::DriverHost host;
    std::filesystem::remove_all(host.root() / "driver");
    ChangeTracker tracker;
    EXPECT_FALSE(tracker.open());
    tracker.startMonitor();
    ChangeTracker::Flush flush(tracker);  // returns at once: no monitor
    tracker.startChangeTracking(kVolume);
    JournalKey key;
    EXPECT_FALSE(tracker.getJournalKey(kVolume, key));
    EXPECT_FALSE(tracker.copyChanges(kVolume));
}

TEST(ChangeTrackerDevice, BackupLockIsOnlyTried) {
    ChangeTracker tracker;
    auto first = tracker.tryBackupLock();
    EXPECT_TRUE(first.owns_lock());
    bool second = true;
    std::thread([&] { second = tracker.tryBackupLock().owns_lock(); }).join();
    EXPECT_FALSE(second);
    first.unlock();
    EXPECT_TRUE(tracker.tryBackupLock().owns_lock());
}

// Writes to the volume's bytes on its disk image are what the agent reports.
TEST_F(TrackerTest, WritesToAVolumeOnADiskAreTheBlocksReported) {
    std::wstring guid = host.addDiskWithPartition('F');
    track(guid);
    auto disk = platform::emulated::DiskImage::open(host.host(), 0, true);
    ASSERT_TRUE(disk);
    std::vector<std::uint8_t> data(64 * 1024, 0x5A);
    std::uint64_t volumeStart = test::DriverHost::kPartitionSector * 512;
    ASSERT_TRUE(disk->write(volumeStart + 15 * 512, data.data(), 512));      // block 1
    ASSERT_TRUE(disk->write(volumeStart + 100 * 4096, data.data(), 40000));  // blocks 100..109
    ASSERT_TRUE(disk->write(volumeStart - 4096, data.data(), 8192));         // block 0, and outside
    EXPECT_TRUE(key(guid));
    auto changes = copy(guid);
    ASSERT_TRUE(changes);
    EXPECT_EQ(changes->runs(), (Runs{{0, 2}, {100, 10}}));
}

// The same through the seam, as the agent's own restores write: the volume device of an
// NTFS with 64 KiB clusters, so a block is 128 sectors.
TEST_F(TrackerTest, WritesThroughTheVolumeDeviceUseTheVolumesClusterSize) {
    std::wstring guid = host.addDiskWithPartition();
    ASSERT_TRUE(host.formatPartitionNtfs(65536));
    track(guid);
    platform::FileHandle volume = platform::createFile(
        guid.substr(0, guid.size() - 1), platform::kGenericRead | platform::kGenericWrite,
        platform::kFileShareRead | platform::kFileShareWrite, platform::kOpenExisting, 0);
    ASSERT_TRUE(volume.valid());
    // Rewrite what is there, so the file system stays intact.
    auto rewrite = [&volume](std::uint64_t offset, std::uint32_t length) {
        std::vector<std::uint8_t> bytes(length);
        std::uint32_t done = 0;
        ASSERT_TRUE(platform::setFilePointerEx(volume, static_cast<std::int64_t>(offset), nullptr,
                                               platform::kFileBegin));
        ASSERT_TRUE(platform::readFile(volume, bytes.data(), length, &done));
        ASSERT_TRUE(platform::setFilePointerEx(volume, static_cast<std::int64_t>(offset), nullptr,
                                               platform::kFileBegin));
        ASSERT_TRUE(platform::writeFile(volume, bytes.data(), length, &done));
        ASSERT_EQ(done, length);
    };
    rewrite(127 * 512, 1024);  // the last sector of cluster 0 and the first of cluster 1
    rewrite(100 * 65536, 512);
    auto changes = copy(guid);
    ASSERT_TRUE(changes);
    EXPECT_EQ(changes->runs(), (Runs{{0, 2}, {100, 1}}));
}

}  // namespace
