// Device faults met by backups and restores, declared in host.conf: transient write errors
// during a restore are retried; a block that cannot be read fails the backup and is sent by
// the next one.
#include <gtest/gtest.h>

#include "AgentHost.h"
#include "backup-server/VolumeStore.h"
#include "runtime/Exceptions.h"

namespace {

using test::AgentHost;

class DeviceFaultTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::prepareServerSide(60); }
};

TEST_F(DeviceFaultTest, TransientWriteErrorsDuringARestoreAreRetried) {
    AgentHost host;
    auto backup = host.backup();
    std::uint64_t cluster = host.randomFileCluster();
    host.sim("write 0:0 --cluster " + std::to_string(cluster) + " --count 4 --random --seed 8");
    host.sim("fault flaky kind=write-error volume=C clusters=" + std::to_string(cluster) +
             " error=121 attempts=2");
    host.restore();
    EXPECT_TRUE(host.agent().waitForLog(" after 3 tries.  Earlier writes failed with error: "));
    host.sim("fault flaky --remove");
    EXPECT_TRUE(host.storeMismatches(backup.used).empty());

    // A write error that does not pass fails the restore.
    host.sim("fault broken kind=write-error volume=C clusters=" + std::to_string(cluster) +
             " error=1117");
    EXPECT_THROW(host.restore(), runtime::AgentException);
    EXPECT_TRUE(host.agent().waitForLog("Failed to write block to disk."));
}

}  // namespace
