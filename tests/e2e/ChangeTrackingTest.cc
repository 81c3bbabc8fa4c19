// Change tracking end to end: which backups are incremental (the second one, the first
// after an agent restart, a quiet volume's), a cluster that becomes used without being
// written, the driver losing its state while a backup takes its snapshot, and a snapshot
// taken at the moment between the driver's record of a write and the write. Every point
// is checked block for block: against the volume, or against the digests the emulated
// snapshot service recorded when it created the point's snapshot.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <thread>

#include "AgentHost.h"
#include "backup-server/store/VolumeStore.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/snapshot/SnapshotRegistry.h"
#include "platform/emulated/storage/DiskImage.h"

namespace {

namespace fs = std::filesystem;
using test::AgentHost;

constexpr std::uint64_t kVolumeOffset = 1 << 20;  // the partition starts at 1 MiB
constexpr std::uint64_t kClusters = 8192;         // 32 MiB of 4 KiB clusters

class ChangeTrackingTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::prepareServerSide(30); }

    void addToConfig(const std::string& lines) {
        std::ofstream(host.agent().hostRoot() / "host.conf", std::ios::app) << lines;
    }

    // The latest point holds every used block as the volume has it now.
    void expectPointMatchesVolume(const backup_server::BackupSummary& summary) {
        auto wrong = host.storeMismatches(summary.used);
        EXPECT_TRUE(wrong.empty()) << wrong.size() << " stale blocks, the first #" << wrong[0];
    }

    std::string allocationBitmap() {
        fs::path volume = host.agent().hostRoot() / "volume.img";
        fs::path bitmap = host.agent().hostRoot() / "bitmap";
        std::string command = "dd if='" + host.agent().diskImage().string() + "' of='" +
                              volume.string() +
                              "' bs=1M skip=1 count=32 status=none && PATH=$PATH:/usr/sbin:/sbin "
                              "ntfscat -f '" +
                              volume.string() + "' '$Bitmap' > '" + bitmap.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return test::readAt(bitmap, 0, kClusters / 8);
    }

    // Stops the agent in order and starts it again, waiting until the new process listens
    // (the log still holds the old one's line).
    void restartAgent(const std::function<void()>& whileStopped = {}) {
        const std::string listening = "Listening for backup servers on port";
        ASSERT_EQ(host.agent().stop(), 0);
        std::size_t before = test::occurrences(host.agent().log(), listening);
        if (whileStopped)
            whileStopped();
        host.agent().start();
        for (int i = 0; i < 300 && test::occurrences(host.agent().log(), listening) == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    AgentHost host;
};

// Second backup, first backup after a restart, quiet volume: incremental, and with nothing
// written, nothing sent. A write made while the agent is down is in the next incremental.
TEST_F(ChangeTrackingTest, TheSecondBackupAndTheFirstAfterARestartAreIncremental) {
    auto full = host.backup();
    EXPECT_EQ(full.kind, "full");
    auto second = host.backup();
    EXPECT_EQ(second.kind, "incremental");
    EXPECT_FALSE(second.digestsRequested);
    EXPECT_EQ(second.blocksSent, 0u);
    expectPointMatchesVolume(second);

    restartAgent();
    auto quiet = host.backup();
    EXPECT_EQ(quiet.kind, "incremental");
    EXPECT_EQ(quiet.blocksSent, 0u);

    std::uint64_t at = host.randomFileCluster() + 3;
    restartAgent([&] {
        host.sim("write 0:0 --cluster " + std::to_string(at) + " --count 2 --random --seed 5");
    });
    auto changed = host.backup();
    EXPECT_EQ(changed.kind, "incremental");
    EXPECT_EQ(changed.blocksSent, 2u);
    EXPECT_TRUE(changed.sent.bit(at) && changed.sent.bit(at + 1));
    expectPointMatchesVolume(changed);
    // Only the very first backup found the volume untracked.
    std::string log = host.agent().log();
    std::size_t first = log.find("Forcing checksum verification");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("Forcing checksum verification", first + 1), std::string::npos);
}

// A cluster that becomes used without being written (NTFS marks it in $Bitmap and nothing
// else): the incremental sends it, and the server's strict rule accepts the point.
TEST_F(ChangeTrackingTest, AClusterMarkedUsedWithoutBeingWrittenIsSent) {
    // A write once the agent runs, and a second backup: the next one is incremental on
    // any agent that tracks changes at all.
    host.sim("write 0:0 --cluster " + std::to_string(host.randomFileCluster()) + " --random");
    host.backup();
    host.backup();
    std::string bitmap = allocationBitmap();
    // The cluster holding $Bitmap's data, found by its content.
    std::uint64_t bitmapCluster = kClusters;
    for (std::uint64_t i = 0; i < kClusters && bitmapCluster == kClusters; ++i) {
        if (host.volumeCluster(i).compare(0, bitmap.size(), bitmap) == 0)
            bitmapCluster = i;
    }
    ASSERT_LT(bitmapCluster, kClusters);
    std::uint64_t free = kClusters / 2;
    while (free < kClusters && ((bitmap[free / 8] >> (free % 8)) & 1))
        ++free;
    ASSERT_LT(free, kClusters);
    std::string cluster = host.volumeCluster(bitmapCluster);
    cluster[free / 8] = static_cast<char>(cluster[free / 8] | (1 << (free % 8)));
    test::TempDir scratch;
    std::ofstream(scratch.path() / "cluster", std::ios::binary) << cluster;
    host.sim("write 0:0 --cluster " + std::to_string(bitmapCluster) + " --file '" +
             (scratch.path() / "cluster").string() + "'");

    auto summary = host.backup();
    EXPECT_EQ(summary.kind, "incremental");
    EXPECT_TRUE(summary.used.bit(free));
    EXPECT_TRUE(summary.sent.bit(free));
    EXPECT_TRUE(summary.sent.bit(bitmapCluster));
    EXPECT_EQ(summary.blocksSent, 2u);
    expectPointMatchesVolume(summary);
    // The map the agent kept is the new one: nothing more goes next time.
    EXPECT_EQ(host.backup().blocksSent, 0u);
}

// The driver loses its state when the snapshot is created, after the period ended: the
// writes of the moments in between are unknown, so the backup sends every used block.
TEST_F(ChangeTrackingTest, ADriverResetWhileTheSnapshotIsTakenSendsEveryUsedBlock) {
    host.sim("write 0:0 --cluster " + std::to_string(host.randomFileCluster()) + " --random");
    host.backup();
    host.backup();
    std::uint64_t at = host.randomFileCluster();
    host.sim("write 0:0 --cluster " + std::to_string(at) + " --random --seed 8");
    addToConfig("\n[snapshot]\ndriver-reset-at-creation = yes\n");
    auto summary = host.backup();
    EXPECT_EQ(summary.kind, "incremental");
    EXPECT_EQ(summary.blocksSent, summary.usedBlocks);
    EXPECT_NE(host.agent().log().find("Change tracking lost the changes made while the snapshot "
                                      "was taken"),
              std::string::npos);
    expectPointMatchesVolume(summary);
    // The key that backup returned names a period the driver lost: never incremental.
    auto next = host.backup();
    EXPECT_NE(next.kind, "incremental");
    expectPointMatchesVolume(next);
}

// A snapshot taken between the driver's record of a write and the write: the point holds
// exactly what the snapshot held (the cluster's old contents), as the digests recorded at
// its creation tell, and the next backup sends the write that landed after it.
TEST_F(ChangeTrackingTest, ASnapshotBetweenTheRecordOfAWriteAndTheWriteIsWhatThePointHolds) {
    addToConfig("\n[snapshot]\ncluster-digests = yes\n");
    host.backup();
    auto& emulated = platform::emulated::Host::at(host.agent().hostRoot());
    std::uint64_t at = host.randomFileCluster() + 7;
    backup_server::BackupSummary during;
    emulated.runBetweenRecordAndWrite([&] { during = host.backup(); });
    auto disk = platform::emulated::DiskImage::open(emulated, 0, true);
    ASSERT_TRUE(disk);
    std::string bytes = test::randomBytes(AgentHost::kCluster, 21);
    ASSERT_TRUE(disk->write(kVolumeOffset + at * AgentHost::kCluster, bytes.data(), bytes.size()));
    ASSERT_EQ(during.kind, "incremental");

    platform::emulated::SnapshotRegistry registry(emulated);
    std::uint32_t newest = 0;
    for (const auto& entry :
         fs::directory_iterator(host.agent().hostRoot() / "snapshots" / "digests"))
        newest = std::max<std::uint32_t>(newest, std::stoul(entry.path().filename().string()));
    std::vector<std::uint64_t> digests = registry.creationDigests(newest);
    ASSERT_GE(digests.size(), during.blockCount);
    backup_server::VolumeStore store(host.storeRoot(), AgentHost::kDeviceID);
    std::uint64_t stale = 0;
    for (std::uint64_t i = 0; i < during.blockCount; ++i) {
        if (!during.used.bit(i))
            continue;
        std::string block = store.readBlock(i);
        auto digest = platform::emulated::SnapshotRegistry::chunkDigest(
            reinterpret_cast<const std::uint8_t*>(block.data()), block.size());
        stale += digest != digests[i];
    }
    EXPECT_EQ(stale, 0u);
    EXPECT_TRUE(during.sent.bit(at));

    auto next = host.backup();
    EXPECT_EQ(next.kind, "incremental");
    EXPECT_TRUE(next.sent.bit(at)) << "the write that landed after the snapshot was missed";
    expectPointMatchesVolume(next);
}

}  // namespace
