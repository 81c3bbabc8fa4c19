// A volume restore locks the target volume while it writes: with nothing else open the lock
// is taken at once; with another handle of the volume open for writing the volume is
// dismounted first (a WARN in the log), that handle stops working, and the restore still
// lands. Both cases unlock at the end, so the volume can be locked again afterwards.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <iostream>
#include <thread>

#include "AgentProcess.h"
#include "backup-server/session/ImageBlockSource.h"
#include "backup-server/session/VolumeRestore.h"
#include "blocks/DiskVolume.h"
#include "common/RunCommand.h"
#include "common/TestBytes.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/System.h"

namespace {

namespace fs = std::filesystem;

const char* const kTarget = "Disk 0 Partition 1";
constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint32_t kCluster = 4096;

class VolumeLockTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide(30);
        agent = test::agentOnHost(
            test::patientAgentSettings(),
            {"add-disk --size 40M --part 'size=16M,type=7' --part 'size=16M,type=7'",
             "mkfs 0:0 --cluster-size 4096", "mkfs 0:1 --cluster-size 4096"});
        agent->allowServer(test::serverKeys("locks"));
        agent->start();
        // This process opens the host's volumes as a second program on the machine would.
        setenv("ZENTRAD_HOST_ROOT", agent->hostRoot().c_str(), 1);
    }
    static void TearDownTestSuite() {
        unsetenv("ZENTRAD_HOST_ROOT");
        agent->stop();
        agent.reset();
    }

    static std::string sim(const std::string& arguments) { return agent->sim(arguments); }

    static std::wstring targetVolume() {
        return platform::toWide(blocks::DiskVolume::getDiskVolumesWithID(kTarget)->getDevicePath());
    }
    static platform::FileHandle openForWriting() {
        return platform::createFile(
            targetVolume(), platform::kGenericRead | platform::kGenericWrite,
            platform::kFileShareRead | platform::kFileShareWrite, platform::kOpenExisting, 0);
    }
    static bool control(platform::FileHandle& volume, std::uint32_t code) {
        return platform::deviceIoControl(volume, code, nullptr, 0, nullptr, 0, nullptr);
    }

    // Restores the first partition's bytes onto the target; true when the server saw the
    // restore complete.
    static bool restore(std::uint32_t blockSize = kCluster) {
        fs::path image = agent->hostRoot() / "source.img";
        std::ofstream(image, std::ios::binary) << test::readAt(agent->diskImage(), kMiB, 16 * kMiB);
        backup_server::ImageBlockSource source(image, blockSize);
        backup_server::RestoreOptions options;
        options.deviceID = kTarget;
        options.blockSize = blockSize;
        auto connection = agent->openSession(test::serverKeys("locks"));
        auto summary = backup_server::runVolumeRestore(*connection, options, source);
        connection->finish();
        return summary.blocksSent == 16 * kMiB / blockSize;
    }

    static inline std::unique_ptr<test::AgentProcess> agent;
};

TEST_F(VolumeLockTest, LockRulesAndARestoreThatLocksOrDismountsAndUnlocks) {
    {
        // The volume device's rules, as a second program on the machine meets them.
        platform::FileHandle first = openForWriting();
        platform::FileHandle second = openForWriting();
        ASSERT_TRUE(first && second);
        // Another writer is open: no lock.
        EXPECT_FALSE(control(first, platform::kFsctlLockVolume));
        EXPECT_EQ(platform::getLastError(), platform::kErrorAccessDenied);
        EXPECT_FALSE(control(first, platform::kFsctlUnlockVolume));
        EXPECT_EQ(platform::getLastError(), platform::kErrorNotLocked);
        // Dismounting invalidates the other handle, after which the lock is granted and keeps
        // every other handle's writes out.
        ASSERT_TRUE(control(first, platform::kFsctlDismountVolume));
        char sector[512] = {};
        EXPECT_FALSE(platform::writeFile(second, sector, sizeof sector, nullptr));
        EXPECT_EQ(platform::getLastError(), platform::kErrorNotReady);
        ASSERT_TRUE(control(first, platform::kFsctlLockVolume));
        platform::FileHandle third = openForWriting();
        EXPECT_FALSE(platform::writeFile(third, sector, sizeof sector, nullptr));
        EXPECT_EQ(platform::getLastError(), platform::kErrorAccessDenied);
        EXPECT_FALSE(control(third, platform::kFsctlLockVolume));
        // Closing the locking handle releases the lock.
        first = platform::FileHandle();
        EXPECT_TRUE(platform::writeFile(third, sector, sizeof sector, nullptr));
    }

    ASSERT_TRUE(restore());
    EXPECT_TRUE(agent->waitForLog("Locked volume"));
    EXPECT_TRUE(agent->waitForLog("Unlocked volume"));
    EXPECT_EQ(agent->log().find("dismounting it for the restore"), std::string::npos);
    platform::FileHandle volume = openForWriting();
    EXPECT_TRUE(control(volume, platform::kFsctlLockVolume)) << platform::getLastError();
    volume = platform::FileHandle();

    // Another handle open for writing: the volume is dismounted and that handle stops working.
    platform::FileHandle user = openForWriting();
    ASSERT_TRUE(user);
    ASSERT_TRUE(restore());
    EXPECT_TRUE(agent->waitForLog("is in use; dismounting it for the restore"));
    char sector[512] = {};
    EXPECT_FALSE(platform::writeFile(user, sector, sizeof sector, nullptr));
    EXPECT_EQ(platform::getLastError(), platform::kErrorNotReady);
    EXPECT_TRUE(test::readAt(agent->diskImage(), kMiB, 16 * kMiB) ==
                test::readAt(agent->diskImage(), 17 * kMiB, 16 * kMiB));
}

// A block size that is not whole sectors of the target is refused before the volume is
// locked or dismounted, so another program's open handle keeps working.
TEST_F(VolumeLockTest, ABlockSizeOfPartSectorsIsRefusedBeforeTheVolumeIsTouched) {
    const std::string before = agent->log();
    platform::FileHandle user = openForWriting();
    ASSERT_TRUE(user);
    bool completed = false;
    try {
        completed = restore(256);
    } catch (const std::exception& error) {
        std::cerr << "restore: " << error.what() << "\n";
    }
    EXPECT_FALSE(completed);
    EXPECT_TRUE(
        agent->waitForLog("Block size (256) is not a multiple of the target's sector "
                          "size (512); nothing was written"));
    const std::string after = agent->log().substr(before.size());
    EXPECT_EQ(after.find("Locked volume"), std::string::npos) << after;
    EXPECT_EQ(after.find("dismounting"), std::string::npos) << after;
    char sector[512] = {};
    EXPECT_TRUE(platform::writeFile(user, sector, sizeof sector, nullptr));
}

// A handle that is closed a moment after the restore starts costs no dismount: the lock is
// tried again for about a second first.
TEST_F(VolumeLockTest, AHandleClosedShortlyAfterwardsIsWaitedFor) {
    const std::size_t before = agent->log().size();
    platform::FileHandle user = openForWriting();
    ASSERT_TRUE(user);
    // Closed 200 ms after the agent took the request, so its first lock attempt is refused.
    std::thread closer([&user, before] {
        for (int i = 0; i < 300; ++i) {
            if (agent->log().find("Restore request accepted", before) != std::string::npos)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        user = platform::FileHandle();
    });
    const bool completed = restore();
    closer.join();
    EXPECT_TRUE(completed);
    const std::string after = agent->log().substr(before);
    EXPECT_NE(after.find("Locked volume"), std::string::npos) << after;
    EXPECT_EQ(after.find("dismounting"), std::string::npos) << after;
}

}  // namespace
