// The emulated snapshot service's point-in-time views: copy-on-write against writes from
// this process and from others, release, stale owners, and the same answers as the volume.
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "SnapshotHost.h"
#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/emulated/snapshot/EventLogFile.h"
#include "platform/emulated/snapshot/SnapshotRegistry.h"
#include "platform/emulated/storage/HostLayout.h"
#include "vssclient/VssClient.h"

namespace snapshot_test {
namespace {

constexpr std::uint64_t kVolumeSize = 8 * 1024 * 1024;

class SnapshotStore : public SnapshotHost {
  protected:
    // A client with a snapshot of C; the device name of the snapshot.
    std::wstring snapshotOfC(vssclient::VssClient& client) {
        client.initialize(0);
        client.createSnapshotSet({volumeC()}, L"", {}, {});
        EXPECT_EQ(client.getSnapshotIds().size(), 1u);
        platform::VssSnapshotProperties prop;
        client.getSnapshotProperties(client.getSnapshotIds().at(0), &prop);
        EXPECT_EQ(prop.originalVolumeName, volumeC());
        return prop.snapshotDeviceObject;
    }
};

TEST_F(SnapshotStore, EachViewKeepsItsPointInTimeWhileTheVolumeChanges) {
    writeDevice(devicePath(volumeC()), 0, pattern(kVolumeSize, 1));
    vssclient::VssClient client(timeoutSeconds());
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

    // A second snapshot of the changed volume, then another process changes it again.
    vssclient::VssClient second(timeoutSeconds());
    std::wstring secondDevice = snapshotOfC(second);
    EXPECT_NE(secondDevice, device);
    std::vector<std::uint8_t> atSecond = readDevice(devicePath(volumeC()), kVolumeSize);
    sim("write C --cluster 100 --count 16 --random --seed 9 --cluster-size 4096");
    writeDevice(devicePath(volumeC()), 0, pattern(8192, 6));

    std::vector<std::uint8_t> live = readDevice(devicePath(volumeC()), kVolumeSize);
    EXPECT_NE(live, atSnapshot);
    EXPECT_NE(live, atSecond);
    std::vector<std::uint8_t> view = readDevice(device, kVolumeSize);
    ASSERT_EQ(view.size(), atSnapshot.size());
    EXPECT_TRUE(view == atSnapshot) << "the snapshot changed with the live volume";
    EXPECT_TRUE(readDevice(secondDevice, kVolumeSize) == atSecond);
}

// Reads through one handle that stays open while another process rewrites the volume:
// every read, in pieces that straddle chunks, sees the point in time; once the snapshot is
// released, the open handle fails instead of showing the live bytes.
TEST_F(SnapshotStore, OpenViewStaysExactWhileAnotherProcessWrites) {
    writeDevice(devicePath(volumeC()), 0, pattern(kVolumeSize, 1));
    std::optional<vssclient::VssClient> client(std::in_place, timeoutSeconds());
    std::wstring device = snapshotOfC(*client);
    std::vector<std::uint8_t> atSnapshot = readDevice(devicePath(volumeC()), kVolumeSize);
    platform::FileHandle view = openDevice(device);
    ASSERT_TRUE(view.valid());

    pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        for (std::uint8_t round = 0; round < 24; ++round) {
            std::uint64_t offset = (round * 1187 * 512) % (kVolumeSize - 3 * 65536);
            writeDevice(devicePath(volumeC()), offset, pattern(3 * 65536 - 1024, round));
        }
        ::_exit(0);
    }
    constexpr std::uint32_t kPiece = 3 * 4096 + 1024;
    std::vector<std::uint8_t> buffer(kPiece);
    int mismatches = 0;
    for (int pass = 0; pass < 6; ++pass) {
        ASSERT_TRUE(platform::setFilePointerEx(view, 0, nullptr, platform::kFileBegin));
        for (std::uint64_t offset = 0; offset + kPiece <= kVolumeSize; offset += kPiece) {
            std::uint32_t got = 0;
            ASSERT_TRUE(platform::readFile(view, buffer.data(), kPiece, &got));
            ASSERT_EQ(got, kPiece);
            if (!std::equal(buffer.begin(), buffer.end(), atSnapshot.begin() + offset))
                ++mismatches;
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(mismatches, 0);
    EXPECT_FALSE(readDevice(devicePath(volumeC()), kVolumeSize) == atSnapshot);

    client.reset();
    ASSERT_TRUE(platform::setFilePointerEx(view, 0, nullptr, platform::kFileBegin));
    std::uint32_t got = 0;
    EXPECT_FALSE(platform::readFile(view, buffer.data(), 4096, &got));
    EXPECT_EQ(platform::getLastError(), platform::kErrorNotReady);
}

TEST_F(SnapshotStore, ViewIsReadOnlyAndGoesWithItsClient) {
    std::wstring device;
    {
        vssclient::VssClient client(timeoutSeconds());
        device = snapshotOfC(client);
        platform::FileHandle writable = openDevice(device, true);
        if (writable.valid()) {
            std::vector<std::uint8_t> bytes(512);
            std::uint32_t written = 0;
            EXPECT_FALSE(platform::writeFile(writable, bytes.data(), 512, &written));
        }
        client.backupComplete(true);
    }
    platform::FileHandle gone = openDevice(device);
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
        vssclient::VssClient client(timeoutSeconds());
        client.initialize(0);
        client.createSnapshotSet({volumeC()}, L"", {}, {});
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
    vssclient::VssClient client(timeoutSeconds());
    std::wstring device = snapshotOfC(client);
    EXPECT_EQ(device.substr(device.size() - 1), L"2");
}

TEST_F(SnapshotStore, ViewAnswersTheVolumeControlRequests) {
    sim("mkfs C");
    vssclient::VssClient client(timeoutSeconds());
    std::wstring device = snapshotOfC(client);
    auto volumeData = [](const std::wstring& path) {
        platform::FileHandle file = openDevice(path);
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

TEST_F(SnapshotStore, SpannedVolumeIsFrozenOnEveryDisk) {
    sim("add-disk --size 8M");
    sim("span big --extent 0:17825792:4194304 --extent 1:1048576:4194304");
    auto layout = platform::emulated::HostLayout::load(platform::emulated::Host::current());
    const platform::emulated::VolumeInfo* big = nullptr;
    for (const auto& volume : layout.volumes()) {
        if (volume.extents.size() == 2)
            big = &volume;
    }
    ASSERT_NE(big, nullptr);
    std::wstring name = big->guidPath;
    writeDevice(devicePath(name), 0, pattern(kVolumeSize, 7));
    std::vector<std::uint8_t> copy = readDevice(devicePath(name), kVolumeSize);

    vssclient::VssClient client(timeoutSeconds());
    client.initialize(0);
    client.createSnapshotSet({name}, L"", {}, {});
    platform::VssSnapshotProperties prop;
    client.getSnapshotProperties(client.getSnapshotIds().at(0), &prop);
    // Across the extents' seam, then on each disk directly.
    writeDevice(devicePath(name), 4194304 - 2048, pattern(8192, 8));
    writeDevice(L"\\\\.\\PHYSICALDRIVE0", 17825792 + 512, pattern(4096, 9));
    writeDevice(L"\\\\.\\PHYSICALDRIVE1", 1048576 + 4194304 - 4096, pattern(4096, 10));
    EXPECT_FALSE(readDevice(devicePath(name), kVolumeSize) == copy);
    EXPECT_TRUE(readDevice(prop.snapshotDeviceObject, kVolumeSize) == copy);
}

TEST_F(SnapshotStore, SnapshotThatCannotSaveIsAbandonedAndTheWriteGoesOn) {
    vssclient::VssClient client(timeoutSeconds());
    std::wstring device = snapshotOfC(client);
    std::string number = platform::toNarrow(device.substr(device.rfind(L'y') + 1));
    // Make the store unwritable: its data file becomes a directory.
    std::filesystem::remove(snapshotDir() / number / "data");
    std::filesystem::create_directory(snapshotDir() / number / "data");

    std::vector<std::uint8_t> bytes = pattern(4096, 11);
    writeDevice(devicePath(volumeC()), 0, bytes);
    EXPECT_TRUE(readDevice(devicePath(volumeC()), 4096) == bytes);
    platform::FileHandle view = openDevice(device);
    EXPECT_FALSE(view.valid()) << "a snapshot that lost its point in time must not be readable";
    auto records =
        platform::emulated::EventLogFile(platform::emulated::Host::current(), L"Application")
            .readAll();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().sourceName, L"VOLSNAP");
    EXPECT_NE(records.back().strings.at(0).find(volumeC()), std::wstring::npos);
}

}  // namespace
}  // namespace snapshot_test
