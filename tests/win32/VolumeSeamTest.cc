// Volume naming and enumeration through the Windows side of the seam. Wine implements the
// drive-letter calls on its own drives; calls that reach its mount manager stubs are
// reported as skipped with the reason.
#include <gtest/gtest.h>

#include <string>

#include "platform/DeviceControl.h"
#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/System.h"
#include "platform/Volumes.h"

namespace {

using namespace platform;

TEST(VolumeSeamTest, SystemDriveIsAFixedVolume) {
    EXPECT_EQ(getDriveType(L"C:\\"), kDriveFixed);
    // No root directory: a letter nothing is mounted on.
    EXPECT_EQ(getDriveType(L"Q:\\"), kDriveNoRootDir);

    VolumeInformation information;
    ASSERT_TRUE(getVolumeInformation(L"C:\\", information)) << getLastError();
    EXPECT_FALSE(information.fileSystemName.empty());
    EXPECT_GT(information.maximumComponentLength, 0u);
}

TEST(VolumeSeamTest, PathsBelongToTheirMountPoint) {
    std::wstring root;
    ASSERT_TRUE(getVolumePathName(L"C:\\windows\\system32\\kernel32.dll", root)) << getLastError();
    EXPECT_EQ(root, L"C:\\");
}

TEST(VolumeSeamTest, MountPointsNameTheirVolume) {
    std::wstring volume;
    if (!getVolumeNameForVolumeMountPoint(L"C:\\", volume))
        GTEST_SKIP() << "no volume name for C:\\ (error " << getLastError()
                     << "): Wine's mount manager does not name this drive";
    EXPECT_EQ(volume.rfind(L"\\\\?\\Volume{", 0), 0u);
    EXPECT_EQ(volume.back(), L'\\');
}

TEST(VolumeSeamTest, EnumerationEndsWithNoMoreFiles) {
    std::wstring volume;
    auto enumeration = findFirstVolume(volume);
    if (!enumeration)
        GTEST_SKIP() << "volume enumeration unavailable (error " << getLastError()
                     << "): Wine's mount manager lists no volumes here";
    EXPECT_EQ(volume.rfind(L"\\\\?\\", 0), 0u);
    int count = 1;
    while (enumeration->next(volume) && count < 1000)
        ++count;
    EXPECT_EQ(getLastError(), kErrorNoMoreFiles);
    EXPECT_TRUE(enumeration->close());
}

// Control requests on a volume device. Wine answers few of them; what it refuses is
// reported as skipped with its error.
TEST(VolumeSeamTest, VolumeDeviceControlRequests) {
    FileHandle volume = createFile(L"\\\\.\\C:", kGenericRead | kGenericWrite,
                                   kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    if (!volume)
        GTEST_SKIP() << "\\\\.\\C: does not open here (error " << getLastError() << ")";
    GetLengthInformation length{};
    std::uint32_t returned = 0;
    if (!deviceIoControl(volume, kIoctlDiskGetLengthInfo, nullptr, 0, &length, sizeof length,
                         &returned)) {
        GTEST_SKIP() << "IOCTL_DISK_GET_LENGTH_INFO is not implemented here (error "
                     << getLastError() << ")";
    }
    EXPECT_EQ(returned, sizeof length);
    EXPECT_GT(length.length, 0);
    if (!deviceIoControl(volume, kFsctlLockVolume, nullptr, 0, nullptr, 0, nullptr))
        GTEST_SKIP() << "FSCTL_LOCK_VOLUME is not implemented here (error " << getLastError()
                     << ")";
    EXPECT_TRUE(deviceIoControl(volume, kFsctlUnlockVolume, nullptr, 0, nullptr, 0, nullptr));
}

// The alignment a restore gives its write buffers comes from this request (the geometry's
// sector size when a device does not answer it).
TEST(VolumeSeamTest, VolumeReportsItsAccessAlignment) {
    FileHandle volume =
        createFile(L"\\\\.\\C:", kGenericRead, kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    if (!volume)
        GTEST_SKIP() << "\\\\.\\C: does not open here (error " << getLastError() << ")";
    StoragePropertyQuery query{kStorageAccessAlignmentProperty, kPropertyStandardQuery, {}};
    StorageAccessAlignmentDescriptor reply{};
    std::uint32_t returned = 0;
    if (!deviceIoControl(volume, kIoctlStorageQueryProperty, &query, sizeof query, &reply,
                         sizeof reply, &returned)) {
        GTEST_SKIP() << "IOCTL_STORAGE_QUERY_PROPERTY (access alignment) is not implemented "
                        "here (error "
                     << getLastError() << ")";
    }
    EXPECT_EQ(returned, sizeof reply);
    EXPECT_GE(reply.bytesPerLogicalSector, 512u);
    EXPECT_EQ(reply.bytesPerPhysicalSector % reply.bytesPerLogicalSector, 0u);
}

}  // namespace
