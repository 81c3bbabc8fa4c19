// Files on mapped drives: where they land, what is refused, and file times.
#include <gtest/gtest.h>

#include <fstream>

#include "HostFixture.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "platform/System.h"

namespace testing_host {
namespace {

using namespace platform;

class DriveFilesTest : public HostTest {
  protected:
    void SetUp() override {
        sim("add-disk --size 16M --part type=7");
        sim("letter C 0:0");
    }
    FileHandle create(const std::wstring& path, std::uint32_t disposition = kCreateAlways) {
        return createFile(path, kGenericWrite, 0, disposition, kFileAttributeNormal);
    }
};

TEST_F(DriveFilesTest, FilesLandInTheDriveFolder) {
    ASSERT_TRUE(createDirectory(L"C:\\dir"));
    EXPECT_FALSE(createDirectory(L"C:\\dir"));
    EXPECT_EQ(getLastError(), kErrorAlreadyExists);
    EXPECT_FALSE(createDirectory(L"C:\\missing\\dir"));
    EXPECT_EQ(getLastError(), kErrorPathNotFound);
    FileHandle file = create(L"C:/dir/file.txt");
    ASSERT_TRUE(file);
    std::uint32_t written = 0;
    ASSERT_TRUE(writeFile(file, "hello", 5, &written));
    file.close();
    std::ifstream in(root_ / "drives" / "C" / "dir" / "file.txt");
    std::string text;
    in >> text;
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(getFileAttributes(L"C:\\dir"), kFileAttributeDirectory);
    EXPECT_EQ(getFileAttributes(L"C:\\dir\\file.txt"), kFileAttributeNormal);
    // Creating over an existing file succeeds and says so.
    EXPECT_TRUE(create(L"C:\\dir\\file.txt"));
    EXPECT_EQ(getLastError(), kErrorAlreadyExists);
    EXPECT_FALSE(create(L"C:\\dir\\file.txt", kCreateNew));
    EXPECT_EQ(getLastError(), kErrorFileExists);
    // A directory opens only with backup semantics.
    EXPECT_FALSE(createFile(L"C:\\dir", kFileWriteAttributes, 0, kOpenExisting, 0));
    EXPECT_TRUE(
        createFile(L"C:\\dir", kFileWriteAttributes, 0, kOpenExisting, kFileFlagBackupSemantics));
    EXPECT_TRUE(deleteFile(L"C:\\dir\\file.txt"));
    EXPECT_FALSE(deleteFile(L"C:\\dir"));
    EXPECT_TRUE(removeDirectory(L"C:\\dir"));
}

TEST_F(DriveFilesTest, PathsOutsideAMappedDriveAreRefused) {
    EXPECT_FALSE(create(L"C:\\..\\escape.txt"));
    EXPECT_EQ(getLastError(), kErrorInvalidName);
    EXPECT_FALSE(create(L"C:\\a\\..\\..\\escape.txt"));
    EXPECT_FALSE(create(L"C:\\file.txt:stream"));
    EXPECT_EQ(getLastError(), kErrorInvalidName);
    EXPECT_FALSE(create(L"E:\\file.txt"));
    EXPECT_EQ(getLastError(), kErrorPathNotFound);
    EXPECT_FALSE(createDirectory(L"relative\\dir"));
    EXPECT_FALSE(std::filesystem::exists(root_ / "drives" / "escape.txt"));
    EXPECT_FALSE(std::filesystem::exists(root_ / "escape.txt"));
    // "." and ".." inside the drive are fine.
    ASSERT_TRUE(createDirectory(L"C:\\a"));
    EXPECT_TRUE(create(L"C:\\a\\.\\..\\inside.txt"));
    EXPECT_TRUE(std::filesystem::exists(root_ / "drives" / "C" / "inside.txt"));
}

TEST_F(DriveFilesTest, FileTimesRoundTripIncludingCreation) {
    ASSERT_TRUE(create(L"C:\\times.bin"));
    FileHandle file = createFile(L"C:\\times.bin", kFileWriteAttributes, 0, kOpenExisting, 0);
    ASSERT_TRUE(file);
    // 1970-01-01 (the Unix epoch), a time before it, and one with 100-ns precision.
    FileTime creation = FileTime::fromValue(116444736000000000ULL);
    FileTime access = FileTime::fromValue(100000000000000000ULL);
    FileTime write = FileTime::fromValue(133000000001234567ULL);
    ASSERT_TRUE(setFileTime(file, &creation, &access, &write));
    FileTime readCreation, readAccess, readWrite;
    ASSERT_TRUE(getFileTime(file, &readCreation, &readAccess, &readWrite));
    EXPECT_EQ(readCreation.value(), creation.value());
    EXPECT_EQ(readAccess.value(), access.value());
    EXPECT_EQ(readWrite.value(), write.value());
    // A null time stays as it was.
    FileTime later = FileTime::fromValue(134000000000000000ULL);
    ASSERT_TRUE(setFileTime(file, nullptr, nullptr, &later));
    ASSERT_TRUE(getFileTime(file, &readCreation, &readAccess, &readWrite));
    EXPECT_EQ(readCreation.value(), creation.value());
    EXPECT_EQ(readWrite.value(), later.value());

    FileHandle readOnly = createFile(L"C:\\times.bin", kFileReadAttributes, 0, kOpenExisting, 0);
    EXPECT_FALSE(setFileTime(readOnly, nullptr, nullptr, &later));
    EXPECT_EQ(getLastError(), kErrorAccessDenied);
}

}  // namespace
}  // namespace testing_host
