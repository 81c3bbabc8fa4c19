#include "util/FileUtil.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "common/AccessChecks.h"
#include "common/ExpectThrow.h"
#include "common/TempDir.h"

namespace {

namespace files = util::files;

void verifyMagic(const std::string& bytes) {
    std::istringstream in(bytes);
    files::verifyMagic(in, 0xE5EEE3E6);
}

TEST(FileUtilTest, VerifyMagic) {
    EXPECT_NO_THROW(verifyMagic("\xE5\xEE\xE3\xE6"));
    EXPECT_THROW_TEXT(verifyMagic(std::string(4, '\0')),
                      "Invalid magic number (0) expected (e5eee3e6)");
    EXPECT_THROW_TEXT(verifyMagic("\xE5\xEE\xE3\xE7"),
                      "Invalid magic number (e5eee3e7) expected (e5eee3e6)");
    EXPECT_THROW_TEXT(verifyMagic("\xE5\xEE"), "failed to read magic number");
}

TEST(FileUtilTest, ReadFile) {
    test::TempDir dir;
    const auto path = dir.path() / "data";
    EXPECT_EQ(files::readFile(path), "");
    const std::string content("line\r\n\0binary", 13);
    std::ofstream(path, std::ios::binary) << content;
    EXPECT_EQ(files::readFile(path), content);
    EXPECT_EQ(files::readFile(path, 12), "");  // larger than allowed counts as unreadable
    EXPECT_EQ(files::readFile(dir.path()), "");
}

TEST(FileUtilTest, AtomicReplaceLeavesOnlyWholeFiles) {
    test::TempDir dir;
    const auto path = dir.path() / "key";
    const std::string a(50000, 'a');
    const std::string b(70000, 'b');
    {
        std::vector<std::jthread> writers;
        for (int i = 0; i < 4; ++i) {
            writers.emplace_back([&, i] {
                for (int n = 0; n < 20; ++n)
                    files::writeFileAtomically(path, i % 2 ? a : b);
            });
        }
        for (int n = 0; n < 200; ++n) {
            const std::string seen = files::readFile(path);
            EXPECT_TRUE(seen.empty() || seen == a || seen == b) << seen.size();
        }
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(FileUtilTest, AtomicReplaceFailuresNameThePath) {
    test::TempDir dir;
    const auto missing = dir.path() / "missing" / "key";
    EXPECT_THROW_TEXT(files::writeFileAtomically(missing, "content"),
                      "failed to write to file (" + missing.string() + ")");
    // A non-empty directory in the way: the bytes are written, the rename is refused, and
    // no temporary file is left behind.
    const auto occupied = dir.path() / "occupied";
    std::filesystem::create_directories(occupied / "inner");
    EXPECT_THROW_MESSAGE(files::writeFileAtomically(occupied, "content"),
                         "failed to replace file (" + occupied.string() + "): ");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// A private key is readable by SYSTEM and Administrators only, whatever its folder allows,
// read back through the security API (permission bits on the emulated host; under Wine see
// common/AccessChecks.h).
TEST(FileUtilTest, AdministratorsOnlyFilesGrantNobodyElse) {
    test::TempDir dir;
    const auto key = dir.path() / "rsa.key";
    files::writeFileAtomically(key, "secret", files::Access::administratorsOnly);
    EXPECT_EQ(files::readFile(key), "secret");
    EXPECT_TRUE(test::onlyAdministratorsMayOpen(key));
}

}  // namespace
