#include "requests/FileRestorePath.h"

#include <gtest/gtest.h>

#include "common/ExpectThrow.h"

namespace {

// Targets are in the extended-length form, so a path beyond 260 characters still works.
TEST(FileRestorePathTest, TargetsAreExtendedLengthPaths) {
    EXPECT_EQ(requests::restoreTargetPath(L"C:\\restore", "dir/./file.txt"),
              L"\\\\?\\C:\\restore\\dir\\file.txt");
    EXPECT_EQ(requests::restoreTargetPath(L"C:\\restore\\", ""), L"\\\\?\\C:\\restore\\");
    EXPECT_EQ(requests::restoreTargetPath(L"\\\\server\\share", "a"),
              L"\\\\?\\UNC\\server\\share\\a");
    EXPECT_EQ(requests::restoreTargetPath(L"\\\\?\\D:\\r", "a"), L"\\\\?\\D:\\r\\a");
    const std::string deep = std::string(40, 'd') + "/" + std::string(250, 'f');
    EXPECT_EQ(requests::restoreTargetPath(L"C:\\r", deep).size(), 4 + 4 + 1 + 40 + 1 + 250u);
}

// Device names and names Windows would change are refused, naming the component.
TEST(FileRestorePathTest, ReservedNamesAreRefusedNamingTheItem) {
    for (const char* path : {"CON", "dir/nul.txt", "Aux", "com1", "LPT9.log", "dir/prn/x",
                             "trailing.", "space ", "CONOUT$"}) {
        EXPECT_THROW_MESSAGE(requests::restoreTargetPath(L"C:\\r", path),
                             "Refusing to restore the reserved name");
    }
    EXPECT_THROW_MESSAGE(requests::restoreTargetPath(L"C:\\r", "dir/nul.txt"),
                         "Refusing to restore the reserved name \"nul.txt\" (dir/nul.txt)");
    for (const char* path : {"CONSOLE", "com10", "COM0", "lpt", "a.b", ".hidden", "con-fig"})
        EXPECT_NO_THROW(requests::restoreTargetPath(L"C:\\r", path)) << path;
}

}  // namespace
