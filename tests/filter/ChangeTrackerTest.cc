// The agent's interface to the driver, against the emulated driver behind the seam.
#include "filter/ChangeTracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "DriverHost.h"
#include "common/TempDir.h"
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

// A volume the driver has not numbered yet (nothing written to it since the driver
// started) gets its period and key when tracking starts: its next backup is incremental
// and, with nothing written, carries no changes. The period goes on once writes come.
TEST_F(TrackerTest, AQuietVolumeHasAPeriodFromTheMomentTrackingStarts) {
    const std::wstring quiet = L"\\\\?\\Volume{0000000b-0000-0000-0000-000000000800}\\";
    track(quiet);
    auto first = key(quiet);
    ASSERT_TRUE(first);
    std::unique_ptr<MapBitmap> none;
    {
        ChangeTracker::Flush flush(tracker);
        none = tracker.takeChanges(quiet, *first);
    }
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    auto second = key(quiet);
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    // The driver numbers the volume at its first write; the period and key stay.
    std::uint32_t quietNumber = host.store().volumeNumber(quiet);
    ASSERT_TRUE(host.store().record({{quietNumber, 8, 8}}));
    EXPECT_EQ(key(quiet), second);
    std::unique_ptr<MapBitmap> changes;
    {
        ChangeTracker::Flush flush(tracker);
        changes = tracker.takeChanges(quiet, *second);
    }
    ASSERT_TRUE(changes);
    EXPECT_EQ(changes->runs(), (Runs{{1, 1}}));
}

// The late-change copy of a backup names the period it expects: a period lost to a driver
// reset, or one that has ended, yields nothing rather than an empty change set.
TEST_F(TrackerTest, ALateCopyKnowsWhetherItsPeriodIsStillTheCurrentOne) {
    write(0, 1);
    auto current = key();
    ASSERT_TRUE(current);
    auto copyOf = [this](const JournalKey& period) {
        ChangeTracker::Flush flush(tracker);
        return tracker.copyChanges(kVolume, period);
    };
    auto late = copyOf(*current);
    ASSERT_TRUE(late);
    EXPECT_EQ(late->runs(), (Runs{{0, 1}}));
    ASSERT_TRUE(take(*current));
    EXPECT_FALSE(copyOf(*current));  // ended
    auto next = key();
    ASSERT_TRUE(next);
    ASSERT_TRUE(copyOf(*next));
    EXPECT_TRUE(copyOf(*next)->empty());
    host.store().reset();
    EXPECT_FALSE(copyOf(*next));  // lost
    // A queue that overflows loses the period too.
    track(kVolume);
    auto after = key();
    ASSERT_TRUE(after);
    ASSERT_TRUE(host.store().record({{number, 0, 1}, {number, 8, 1}}, 1) == false);
    EXPECT_FALSE(copyOf(*after));
}

// The tracking state outlives the agent when the driver kept tracking meanwhile: the next
// run continues the periods (changes recorded before the stop, while stopped and after).
// It is read once: a run that ends without writing it (a crash) leaves nothing behind.
TEST(ChangeTrackerRestart, PeriodsContinueAcrossARestartTheDriverSurvived) {
    test::DriverHost host;
    test::TempDir state;
    const std::wstring quiet = L"\\\\?\\Volume{0000000c-0000-0000-0000-000000000800}\\";
    std::uint32_t number = host.store().volumeNumber(kVolume);
    auto keyOf = [](ChangeTracker& tracker, const std::wstring& volume) {
        ChangeTracker::Flush flush(tracker);
        JournalKey key{};
        EXPECT_TRUE(tracker.getJournalKey(volume, key));
        return key;
    };
    auto start = [&](ChangeTracker& tracker) {
        ASSERT_TRUE(tracker.open());
        tracker.keepStateIn(state.path());
        tracker.startMonitor();
    };
    JournalKey before{}, quietBefore{};
    {
        ChangeTracker tracker;
        start(tracker);
        {
            ChangeTracker::Flush flush(tracker);
            tracker.startChangeTracking(kVolume);
            tracker.startChangeTracking(quiet);
        }
        ASSERT_TRUE(host.store().record({{number, 0, 8}}));
        before = keyOf(tracker, kVolume);
        quietBefore = keyOf(tracker, quiet);
        tracker.stopMonitor();
    }
    ASSERT_TRUE(host.store().record({{number, 16, 8}}));  // while the agent is stopped
    {
        ChangeTracker tracker;
        start(tracker);
        EXPECT_FALSE(std::filesystem::exists(state.path() / "periods"));
        ASSERT_TRUE(host.store().record({{number, 32, 8}}));
        EXPECT_EQ(keyOf(tracker, kVolume), before);
        EXPECT_EQ(keyOf(tracker, quiet), quietBefore);
        {
            ChangeTracker::Flush flush(tracker);
            auto changes = tracker.takeChanges(kVolume, before);
            ASSERT_TRUE(changes);
            EXPECT_EQ(changes->runs(), (Runs{{0, 1}, {2, 1}, {4, 1}}));
            auto quietChanges = tracker.takeChanges(quiet, quietBefore);
            ASSERT_TRUE(quietChanges);
            EXPECT_TRUE(quietChanges->empty());
        }
        before = keyOf(tracker, kVolume);
    }                      // stops the monitor and keeps the state
    host.store().reset();  // a reboot while the agent is down
    {
        ChangeTracker tracker;
        start(tracker);
        ChangeTracker::Flush flush(tracker);
        JournalKey key{};
        EXPECT_FALSE(tracker.getJournalKey(kVolume, key));
        tracker.startChangeTracking(kVolume);
        EXPECT_TRUE(tracker.getJournalKey(kVolume, key));
        EXPECT_NE(key, before);
    }
    // A run that ends without writing its state (simulated by removing it) leaves none.
    std::filesystem::remove(state.path() / "periods");
    {
        ChangeTracker tracker;
        start(tracker);
        ChangeTracker::Flush flush(tracker);
        JournalKey key{};
        EXPECT_FALSE(tracker.getJournalKey(kVolume, key));
    }
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
