// The emulated snapshot service's point-in-time views: copy-on-write against writes from
// this process and from others, release, stale owners, and the same answers as the volume.
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "SnapshotHost.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/emulated/snapshot/SnapshotRegistry.h"
#include "winutil/vssclient/VssClient.h"

namespace snapshot_test {
namespace {

constexpr std::uint64_t kVolumeSize = 8 * 1024 * 1024;

class SnapshotStore : public SnapshotHost {
  protected:
    // A client with a snapshot of C; the device name of the snapshot.
    std::wstring snapshotOfC(vssclient::VssClient& client) {
        client.Initialize(0);
        client.CreateSnapshotSet({volumeC()}, L"", {}, {});
        EXPECT_EQ(client.getSnapshotIds().size(), 1u);
        platform::VssSnapshotProperties prop;
        client.GetSnapshotProperties(client.getSnapshotIds().at(0), &prop);
        EXPECT_EQ(prop.originalVolumeName, volumeC());
        return prop.snapshotDeviceObject;
    }
};

TEST_F(SnapshotStore, ViewKeepsItsPointInTimeWhileTheVolumeChanges) {
    writeDevice(devicePath(volumeC()), 0, pattern(kVolumeSize, 1));
    vssclient::VssClient client;
    std::wstring device = snapshotOfC(client);
    EXPECT_EQ(device.rfind(L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy", 0), 0u);
    std::vector<std::uint8_t> atSnapshot = readDevice(devicePath(volumeC()), kVolumeSize);
    // Creating the snapshot copied nothing.
    EXPECT_LT(std::filesystem::file_size(snapshotDir() / device.substr(device.size() - 1) / "map"),
              512u);

    // Writes through the volume, unaligned to chunks and straddling them, then through the disk.
    writeDevice(devicePath(volumeC()), 4096 * 3 - 512, pattern(4096 * 5, 2));
    writeDevice(devicePath(volumeC()), kVolumeSize - 1024, pattern(1024, 3));
    writeDevice(L"\\\\.\\PHYSICALDRIVE0", volumeOffsetC_ + 65536, pattern(3 * 65536, 4));
    // A write to the other volume on the same disk leaves the snapshot of C alone.
    writeDevice(devicePath(volumeD()), 0, pattern(65536, 5));
    // Another process changes the volume too.
    sim("write C --cluster 100 --count 16 --random --seed 9 --cluster-size 4096");

    std::vector<std::uint8_t> live = readDevice(devicePath(volumeC()), kVolumeSize);
    EXPECT_NE(live, atSnapshot);
    std::vector<std::uint8_t> view = readDevice(device, kVolumeSize);
    ASSERT_EQ(view.size(), atSnapshot.size());
    EXPECT_TRUE(view == atSnapshot) << "the snapshot changed with the live volume";
}

TEST_F(SnapshotStore, ViewIsReadOnlyAndGoesWithItsClient) {
    std::wstring device;
    {
        vssclient::VssClient client;
        device = snapshotOfC(client);
        platform::FileHandle writable = platform::createFile(
            device, platform::kGenericRead | platform::kGenericWrite,
            platform::kFileShareRead | platform::kFileShareWrite, platform::kOpenExisting, 0);
        if (writable.valid()) {
            std::vector<std::uint8_t> bytes(512);
            std::uint32_t written = 0;
            EXPECT_FALSE(platform::writeFile(writable, bytes.data(), 512, &written));
        }
        client.BackupComplete(true);
    }
    platform::FileHandle gone = platform::createFile(
        device, platform::kGenericRead, platform::kFileShareRead, platform::kOpenExisting, 0);
    EXPECT_FALSE(gone.valid());
    EXPECT_EQ(platform::getLastError(), platform::kErrorFileNotFound);
    EXPECT_FALSE(std::filesystem::exists(snapshotDir() / "registry"));
}

TEST_F(SnapshotStore, SnapshotsOfDeadProcessesAreCleanedUp) {
    // A child process takes a snapshot and dies without releasing it.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        platform::ComInitialization com;
        vssclient::VssClient client;
        client.Initialize(0);
        client.CreateSnapshotSet({volumeC()}, L"", {}, {});
        ::_exit(client.getSnapshotIds().size() == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(std::filesystem::exists(snapshotDir() / "1"));
    platform::emulated::SnapshotRegistry registry(platform::emulated::Host::current());
    EXPECT_TRUE(registry.live().empty());

    // The next write prunes it: nothing is saved for a snapshot nobody can read.
    writeDevice(devicePath(volumeC()), 0, pattern(4096, 6));
    EXPECT_FALSE(std::filesystem::exists(snapshotDir() / "1"));
    vssclient::VssClient client;
    std::wstring device = snapshotOfC(client);
    EXPECT_EQ(device.substr(device.size() - 1), L"2");
}

TEST_F(SnapshotStore, ViewAnswersTheVolumeControlRequests) {
    sim("mkfs C");
    vssclient::VssClient client;
    std::wstring device = snapshotOfC(client);
    auto volumeData = [](const std::wstring& path) {
        platform::FileHandle file = platform::createFile(
            path, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
            platform::kOpenExisting, 0);
        std::vector<std::uint8_t> out(sizeof(platform::NtfsVolumeDataBuffer));
        std::uint32_t returned = 0;
        EXPECT_TRUE(platform::deviceIoControl(file, platform::kFsctlGetNtfsVolumeData, nullptr, 0,
                                              out.data(), static_cast<std::uint32_t>(out.size()),
                                              &returned))
            << platform::getLastError();
        out.resize(returned);
        return out;
    };
    std::vector<std::uint8_t> live = volumeData(devicePath(volumeC()));
    EXPECT_FALSE(live.empty());
    EXPECT_EQ(volumeData(device), live);
}

}  // namespace
}  // namespace snapshot_test
