// Change-tracking soak: a writer overwrites used clusters and creates files without a
// pause while incrementals run back to back. Every point is checked cluster by cluster
// against what its snapshot held (the digests the emulated snapshot service recorded when
// it created the snapshot): a point that misses a write holds a stale block there. A
// backup the server refuses (a used block neither sent nor held) is counted as a refusal.
//
// Bounded for the test suite; ZENTRAD_TRACKING_POINTS makes it longer
// (scripts/reliability.sh). Prints its figures as "FIGURE name value" lines.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include "AgentHost.h"
#include "backup-server/store/VolumeStore.h"
#include "common/TestBytes.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/snapshot/SnapshotRegistry.h"
#include "platform/emulated/storage/DiskImage.h"
#include "runtime/Exceptions.h"

namespace {

namespace fs = std::filesystem;
using platform::emulated::SnapshotRegistry;
using test::AgentHost;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDefaultPoints = 4;
#else
constexpr int kDefaultPoints = 12;
#endif
constexpr std::uint64_t kVolumeOffset = 1 << 20;  // the partition starts at 1 MiB

int points() {
    const char* value = std::getenv("ZENTRAD_TRACKING_POINTS");
    int parsed = value != nullptr ? std::atoi(value) : 0;
    return parsed > 0 ? parsed : kDefaultPoints;
}

void figure(const std::string& name, std::uint64_t value) {
    std::cout << "FIGURE " << name << " " << value << std::endl;
}

// The newest snapshot's digests (they are kept after the snapshot is gone), then removed.
std::vector<std::uint64_t> takeNewestDigests(const fs::path& hostRoot, SnapshotRegistry& registry) {
    fs::path folder = hostRoot / "snapshots" / "digests";
    std::uint32_t newest = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        newest = std::max<std::uint32_t>(newest, std::stoul(entry.path().filename().string()));
    std::vector<std::uint64_t> digests = registry.creationDigests(newest);
    fs::remove_all(folder);
    return digests;
}

TEST(TrackingSoakTest, IncrementalsBesideABusyWriterNeverMissAWriteNorGetRefused) {
    test::prepareServerSide(60);
    AgentHost host;
    std::ofstream(host.agent().hostRoot() / "host.conf", std::ios::app)
        << "\n[snapshot]\ncluster-digests = yes\n";
    auto& emulated = platform::emulated::Host::at(host.agent().hostRoot());
    SnapshotRegistry registry(emulated);
    host.backup();
    takeNewestDigests(host.agent().hostRoot(), registry);

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> clustersWritten{0}, filesCreated{0};
    std::thread writer([&] {
        std::mt19937 random(29);
        auto disk = platform::emulated::DiskImage::open(emulated, 0, true);
        ASSERT_TRUE(disk);
        for (std::uint64_t round = 0; !stop; ++round) {
            std::uint64_t count = 1 + random() % 8;
            std::uint64_t at =
                host.randomFileCluster() + random() % (host.randomFileClusters() - count);
            std::string bytes = test::randomBytes(count * AgentHost::kCluster, random());
            ASSERT_TRUE(
                disk->write(kVolumeOffset + at * AgentHost::kCluster, bytes.data(), bytes.size()));
            clustersWritten += count;
            // New files grow the MFT and mark clusters used, some without writing them.
            if (round % 16 == 15) {
                host.agent().put("0:0", "/soak-" + std::to_string(round) + ".bin",
                                 test::randomBytes(4096 * (1 + random() % 4), random()));
                ++filesCreated;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
        }
    });

    const int wanted = points();
    std::uint64_t checked = 0, stale = 0, refusals = 0, sent = 0, incrementals = 0;
    for (int point = 0; point < wanted; ++point) {
        backup_server::BackupSummary summary;
        try {
            summary = host.backup();
        } catch (const runtime::AgentException& error) {
            ADD_FAILURE() << "point " << point << ": " << error.what();
            ++refusals;
            continue;
        }
        ++checked;
        sent += summary.blocksSent;
        incrementals += summary.kind == "incremental";
        std::vector<std::uint64_t> digests = takeNewestDigests(host.agent().hostRoot(), registry);
        ASSERT_GE(digests.size(), summary.blockCount);
        backup_server::VolumeStore store(host.storeRoot(), AgentHost::kDeviceID);
        std::uint64_t wrong = 0;
        for (std::uint64_t i = 0; i < summary.blockCount; ++i) {
            if (!summary.used.bit(i))
                continue;
            std::string block = store.readBlock(i);
            wrong +=
                SnapshotRegistry::chunkDigest(reinterpret_cast<const std::uint8_t*>(block.data()),
                                              block.size()) != digests[i];
        }
        EXPECT_EQ(wrong, 0u) << "point " << point;
        stale += wrong;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(incrementals, checked);
    figure("tracking.points_checked", checked);
    figure("tracking.incrementals", incrementals);
    figure("tracking.stale_blocks", stale);
    figure("tracking.refusals", refusals);
    figure("tracking.blocks_sent", sent);
    figure("tracking.clusters_written", clustersWritten);
    figure("tracking.files_created", filesCreated);
}

}  // namespace
