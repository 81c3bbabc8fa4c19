// The access lists of the agent's state folders and key files, set and read back through
// the Windows security API. Under Wine, which keeps no access lists (see
// common/AccessChecks.h), the checks are that nobody but SYSTEM and the administrator who
// owns the files is granted anything.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "agent/StateFolders.h"
#include "common/AccessChecks.h"
#include "common/TempDir.h"
#include "platform/FileSecurity.h"
#include "platform/System.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;

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
    if (test::runningUnderWine()) {
        GTEST_SKIP() << "Wine does not apply an access list set on an existing file or folder "
                        "(SetNamedSecurityInfoW leaves its Unix permissions), so the repair ran "
                        "but cannot be seen here";
    }
    for (const fs::path& path : {config, config / "rsa.key", allow.parent_path(), allow,
                                 allow / "10.0.0.1", dir.path() / "temp"}) {
        EXPECT_TRUE(test::onlyAdministratorsMayOpen(path));
    }
    std::ofstream(config / "server.allow") << "later";
    EXPECT_TRUE(test::onlyAdministratorsMayOpen(config / "server.allow"));
}

// Created with the protected list, as --install creates the folders and the agent its key
// files: Wine applies a list given at creation.
TEST(FileSecuritySeamTest, AProtectedFolderIsProtectedFromItsCreation) {
    test::TempDir dir;
    const fs::path folder = dir.path() / "keys";
    ASSERT_TRUE(createProtectedDirectory(folder)) << getLastError();
    EXPECT_TRUE(test::onlyAdministratorsMayOpen(folder));
    EXPECT_FALSE(createProtectedDirectory(folder));
}

}  // namespace
