// Volume naming and enumeration through the Windows side of the seam. Wine implements the
// drive-letter calls on its own drives; calls that reach its mount manager stubs are
// reported as skipped with the reason.
#include <gtest/gtest.h>

#include <string>

#include "platform/Errors.h"
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

}  // namespace
