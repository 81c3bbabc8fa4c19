// A server that stops reading in the middle of a backup, and stop requests during a backup:
// the agent gives up after its time-out or on the stop request, never waits for ever. Each
// agent ends with a stop request, so the stop cases close the tests.
#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <thread>

#include "AgentHost.h"
#include "backup-server/commands/StatusReader.h"
#include "backup-server/store/VolumeStore.h"
#include "runtime/Exceptions.h"

namespace {

using test::AgentHost;

// A volume with more incompressible data than the socket buffers on both sides can hold
// (the stalled server's receive buffer is small; the agent's may grow to a few MiB).
test::HostLayout largeVolume() {
    test::HostLayout layout;
    layout.randomFileKiB = 12 << 10;
    return layout;
}

bool statusShowsIdle(std::uint16_t port) {
    backup_server::StatusReader status(port, test::serverTimeout());
    for (int i = 0; i < 10; ++i) {
        if (status.next().running == 0)
            return true;
    }
    return false;
}

class StalledServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::prepareServerSide(60); }
};

TEST_F(StalledServerTest, ServerThatStopsReadingIsDroppedAfterTheTimeOutAndAStopEndsABackup) {
    test::AgentSettings settings;
    settings.timeoutSeconds = 3;
    AgentHost host(settings, largeVolume());
    auto stalled = host.stalledBackup();
    EXPECT_TRUE(
        host.agent().waitForLog("Timed out while sending data to remote host after (3) "
                                "seconds.",
                                std::chrono::seconds(60)));
    EXPECT_TRUE(statusShowsIdle(host.agent().statusPort()));
    stalled.reset();
    // Nothing of the stalled backup is left behind: the next one runs to the end.
    auto summary = host.backup();
    EXPECT_EQ(summary.blocksSent, summary.usedBlocks);
    EXPECT_TRUE(host.storeMismatches(summary.used).empty());

    // A stop request during a backup whose server reads (the whole random file changed, so
    // it has 12 MiB to send).
    host.sim("write 0:0 --cluster " + std::to_string(host.randomFileCluster()) + " --count " +
             std::to_string(host.randomFileClusters()) + " --random --seed 5");
    const std::size_t mark = host.agent().log().size();
    auto backup = std::async(std::launch::async, [&host] { return host.backup(); });
    ASSERT_TRUE(host.agent().waitForLog("Created volume shadow copy snapshot",
                                        std::chrono::seconds(20), mark));
    EXPECT_EQ(host.agent().stopWithin(std::chrono::seconds(10)), 0);
    // The backup may have finished before the stop; either way the server is not left
    // waiting.
    EXPECT_EQ(backup.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(StalledServerTest, SecondBackupOfAVolumeStillBeingSentIsBusyOtherVolumesAreNot) {
    test::HostLayout layout = largeVolume();
    layout.secondDisk = true;
    AgentHost host({}, layout);
    auto stalled = host.stalledBackup();
    ASSERT_TRUE(host.agent().waitForLog("Created volume shadow copy snapshot"));

    // Until the first backup has released the process-wide lock, a second is refused for
    // that reason; after, for the volume.
    std::string reason;
    for (int attempt = 0; attempt < 50; ++attempt) {
        auto session = host.agent().openSession(test::serverKeys("backup"));
        if (!std::filesystem::exists(host.storeRoot() / "second"))
            backup_server::createStore(host.storeRoot() / "second");
        backup_server::VolumeStore store(host.storeRoot() / "second", AgentHost::kDeviceID);
        backup_server::BackupOptions options;
        options.deviceID = AgentHost::kDeviceID;
        EXPECT_TRUE(backup_server::runVolumeBackup(*session, store, options).busy);
        reason = test::closingReason(*session);
        if (reason.find("another backup is in progress") == std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_NE(reason.find("A backup of this volume is still being sent; a new one can start when "
                          "it has ended."),
              std::string::npos)
        << reason;

    backup_server::BackupOptions other;
    other.deviceID = "Disk 1 Partition 0";
    auto summary = host.backup(other);
    EXPECT_EQ(summary.blocksSent, summary.usedBlocks);

    // Once the first backup has ended, the volume can be backed up again.
    stalled.reset();
    std::optional<backup_server::BackupSummary> again;
    for (int attempt = 0; attempt < 50 && !again; ++attempt) {
        try {
            again = host.backup();
        } catch (const runtime::AgentException&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    ASSERT_TRUE(again);
    EXPECT_TRUE(host.storeMismatches(again->used).empty());

    // A stop request ends a backup whose server stopped reading: the agent is blocked in
    // its send by then.
    const std::size_t mark = host.agent().log().size();
    stalled = host.stalledBackup();
    ASSERT_TRUE(host.agent().waitForLog("Created volume shadow copy snapshot",
                                        std::chrono::seconds(20), mark));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(host.agent().stopWithin(std::chrono::seconds(10)), 0);
}

}  // namespace
