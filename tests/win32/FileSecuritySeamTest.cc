// The access lists of the agent's state folders and key files, set and read back through
// the Windows security API (Wine keeps them in the files' extended attributes).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "agent/StateFolders.h"
#include "common/TempDir.h"
#include "platform/FileSecurity.h"
#include "platform/System.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;

const std::vector<std::wstring> kAdministratorsOnly = {kSidLocalSystem, kSidAdministrators};

AccessList accessOf(const fs::path& path) {
    AccessList list;
    EXPECT_TRUE(readAccessList(path, &list)) << path << ": error " << getLastError();
    return list;
}

// Folders made with the default security of their parent, holding a key and an allow-list
// entry, are closed at start-up: the folders, the files in them and a file created
// afterwards (which inherits the folder's entries) grant SYSTEM and Administrators only.
TEST(FileSecuritySeamTest, StateFoldersAndTheirFilesAreClosedToOtherUsers) {
    test::TempDir dir;
    const fs::path config = dir.path() / "config";
    const fs::path allow = dir.path() / "db" / "backup.allow";
    fs::create_directories(config);
    fs::create_directories(allow);
    std::ofstream(config / "rsa.key") << "key";
    std::ofstream(allow / "10.0.0.1") << "server key";

    agent::secureStateFolders({config, allow.parent_path(), dir.path() / "temp"});
    for (const fs::path& path : {config, config / "rsa.key", allow.parent_path(), allow,
                                 allow / "10.0.0.1", dir.path() / "temp"}) {
        AccessList list = accessOf(path);
        EXPECT_EQ(list.allowed, kAdministratorsOnly) << path;
        EXPECT_TRUE(list.inheritanceBlocked) << path;
    }
    std::ofstream(config / "server.allow") << "later";
    EXPECT_EQ(accessOf(config / "server.allow").allowed, kAdministratorsOnly);
}

TEST(FileSecuritySeamTest, AProtectedFolderIsProtectedFromItsCreation) {
    test::TempDir dir;
    const fs::path folder = dir.path() / "keys";
    ASSERT_TRUE(createProtectedDirectory(folder)) << getLastError();
    AccessList list = accessOf(folder);
    EXPECT_EQ(list.allowed, kAdministratorsOnly);
    EXPECT_TRUE(list.inheritanceBlocked);
    EXPECT_FALSE(createProtectedDirectory(folder));
}

}  // namespace
