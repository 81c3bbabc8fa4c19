// Files, directories, times and attributes through the Windows side of the seam, on the
// real file system of the machine (or Wine's emulation of it).
#include <gtest/gtest.h>

#include <string>

#include "common/TempDir.h"
#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/FileAccess.h"
#include "platform/FileAttributes.h"
#include "platform/FileSystem.h"
#include "platform/System.h"

namespace {

using namespace platform;

class FileSeamTest : public ::testing::Test {
  protected:
    std::wstring path(const std::wstring& name) const { return (dir_.path() / name).wstring(); }

    FileHandle create(const std::wstring& file, std::uint32_t disposition = kCreateAlways) {
        return createFile(file, kGenericRead | kGenericWrite, kFileShareRead, disposition,
                          kFileAttributeNormal);
    }

    test::TempDir dir_;
};

TEST_F(FileSeamTest, WritesSeeksAndReadsBack) {
    const std::wstring file = path(L"data.bin");
    FileHandle handle = create(file);
    ASSERT_TRUE(handle) << getLastError();
    const std::string text = "0123456789abcdef";
    std::uint32_t written = 0;
    ASSERT_TRUE(writeFile(handle, text.data(), static_cast<std::uint32_t>(text.size()), &written));
    EXPECT_EQ(written, text.size());

    std::uint64_t position = 0;
    ASSERT_TRUE(setFilePointerEx(handle, 4, &position, kFileBegin));
    EXPECT_EQ(position, 4u);
    char buffer[8] = {};
    std::uint32_t read = 0;
    ASSERT_TRUE(readFile(handle, buffer, sizeof buffer, &read));
    EXPECT_EQ(std::string(buffer, read), "456789ab");

    ASSERT_TRUE(setFilePointerEx(handle, -2, &position, kFileEnd));
    EXPECT_EQ(position, text.size() - 2);
    std::int32_t high = 0;
    EXPECT_EQ(setFilePointer(handle, 3, &high, kFileBegin), 3u);
    EXPECT_EQ(high, 0);
    // Past 4 GiB the high part carries the rest; success clears the last error, which is
    // how a caller tells a low part of all ones from a failure.
    setLastError(kErrorInvalidParameter);
    high = 1;
    EXPECT_EQ(setFilePointer(handle, -1, &high, kFileBegin), kInvalidSetFilePointer);
    EXPECT_EQ(high, 1);
    EXPECT_EQ(getLastError(), kErrorSuccess);
    EXPECT_EQ(setFilePointer(handle, -1, nullptr, kFileBegin), kInvalidSetFilePointer);
    EXPECT_EQ(getLastError(), kErrorNegativeSeek);
    // Reading at the end succeeds with nothing read, as ReadFile does.
    ASSERT_TRUE(setFilePointerEx(handle, 0, nullptr, kFileEnd));
    ASSERT_TRUE(readFile(handle, buffer, sizeof buffer, &read));
    EXPECT_EQ(read, 0u);
}

TEST_F(FileSeamTest, ReportsWindowsErrorNumbers) {
    EXPECT_FALSE(createFile(path(L"missing"), kGenericRead, kFileShareRead, kOpenExisting,
                            kFileAttributeNormal));
    EXPECT_EQ(getLastError(), kErrorFileNotFound);
    EXPECT_FALSE(createFile(path(L"no\\such\\folder.txt"), kGenericRead, kFileShareRead,
                            kOpenExisting, kFileAttributeNormal));
    EXPECT_EQ(getLastError(), kErrorPathNotFound);

    const std::wstring file = path(L"again.txt");
    ASSERT_TRUE(create(file));
    // Replacing an existing file succeeds and says so through the last error.
    ASSERT_TRUE(create(file));
    EXPECT_EQ(getLastError(), kErrorAlreadyExists);
    EXPECT_FALSE(create(file, kCreateNew));
    EXPECT_EQ(getLastError(), kErrorFileExists);

    FileHandle empty;
    char byte = 0;
    EXPECT_FALSE(readFile(empty, &byte, 1, nullptr));
    EXPECT_EQ(getLastError(), kErrorInvalidHandle);
    EXPECT_FALSE(deleteFile(path(L"missing")));
    EXPECT_EQ(getLastError(), kErrorFileNotFound);
}

TEST_F(FileSeamTest, DirectoriesAndAttributes) {
    const std::wstring folder = path(L"sub");
    ASSERT_TRUE(createDirectory(folder));
    EXPECT_FALSE(createDirectory(folder));
    EXPECT_EQ(getLastError(), kErrorAlreadyExists);
    EXPECT_NE(getFileAttributes(folder) & kFileAttributeDirectory, 0u);

    const std::wstring file = folder + L"\\inner.txt";
    ASSERT_TRUE(create(file));
    EXPECT_FALSE(removeDirectory(folder));
    EXPECT_EQ(getLastError(), kErrorDirNotEmpty);

    ASSERT_TRUE(setFileAttributes(file, kFileAttributeReadOnly | kFileAttributeHidden));
    const std::uint32_t attributes = getFileAttributes(file);
    EXPECT_NE(attributes & kFileAttributeReadOnly, 0u);
    EXPECT_NE(attributes & kFileAttributeHidden, 0u);
    // A read-only file refuses deletion until the attribute is cleared.
    EXPECT_FALSE(deleteFile(file));
    EXPECT_EQ(getLastError(), kErrorAccessDenied);
    ASSERT_TRUE(setFileAttributes(file, kFileAttributeNormal));
    EXPECT_TRUE(deleteFile(file));
    EXPECT_EQ(getFileAttributes(file), kInvalidFileAttributes);
    EXPECT_EQ(getLastError(), kErrorFileNotFound);
    EXPECT_TRUE(removeDirectory(folder));
}

TEST_F(FileSeamTest, FileTimesRoundTrip) {
    const std::wstring file = path(L"times.txt");
    ASSERT_TRUE(create(file));
    // 2001-02-03 and 2011-12-13 in FILETIME units; whole seconds, which every file system
    // Wine may sit on keeps exactly.
    const FileTime creation = FileTime::fromValue(126257148000000000ull);
    const FileTime written = FileTime::fromValue(129681504000000000ull);
    {
        FileHandle handle = createFile(file, kFileWriteAttributes, kFileShareRead, kOpenExisting,
                                       kFileAttributeNormal);
        ASSERT_TRUE(handle);
        ASSERT_TRUE(setFileTime(handle, &creation, nullptr, &written));
    }
    FileHandle handle =
        createFile(file, kFileReadAttributes, kFileShareRead, kOpenExisting, kFileAttributeNormal);
    ASSERT_TRUE(handle);
    FileTime readCreation, readAccess, readWrite;
    ASSERT_TRUE(getFileTime(handle, &readCreation, &readAccess, &readWrite));
    EXPECT_EQ(readWrite.value(), written.value());
    if (readCreation.value() != creation.value())
        GTEST_SKIP() << "the host file system keeps no creation time (Wine on Linux)";
}

TEST_F(FileSeamTest, DirectoryOpensWithBackupSemantics) {
    FileHandle handle = createFile(dir_.path().wstring(), kGenericRead, kFileShareRead,
                                   kOpenExisting, kFileFlagBackupSemantics);
    ASSERT_TRUE(handle) << getLastError();
    FileTime written;
    EXPECT_TRUE(getFileTime(handle, nullptr, nullptr, &written));
    EXPECT_NE(written.value(), 0u);
}

}  // namespace
