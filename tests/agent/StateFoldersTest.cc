#include "agent/StateFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "common/TempDir.h"
#include "platform/FileSecurity.h"

namespace {

namespace fs = std::filesystem;

unsigned mode(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(0, ::stat(path.c_str(), &status)) << path;
    return status.st_mode & 0777;
}

bool onlyAdministrators(const fs::path& path) {
    platform::AccessList list;
    EXPECT_TRUE(platform::readAccessList(path, &list)) << path;
    return list.inheritanceBlocked &&
           list.allowed ==
               std::vector<std::wstring>{platform::kSidLocalSystem, platform::kSidAdministrators};
}

class StateFoldersTest : public ::testing::Test {
  protected:
    void SetUp() override { old_ = std::cout.rdbuf(output_.rdbuf()); }
    void TearDown() override { std::cout.rdbuf(old_); }
    std::string output() const { return output_.str(); }

    test::TempDir install_;
    std::ostringstream output_;
    std::streambuf* old_ = nullptr;
};

// An installation whose folders were made by someone else, open to every user: the folders
// and everything in them are closed to all but SYSTEM and Administrators, each with a
// WARN; a missing folder is created closed; a second start finds nothing to repair.
TEST_F(StateFoldersTest, OpenFoldersAndFilesAreClosedAndMissingOnesCreatedClosed) {
    const fs::path config = install_.path() / "config";
    const fs::path allow = install_.path() / "db" / "backup.allow";
    fs::create_directories(config);
    fs::create_directories(allow);
    std::ofstream(config / "rsa.key") << "key";
    std::ofstream(allow / "10.0.0.1") << "server key";
    for (const fs::path& path : {config, allow.parent_path(), allow})
        fs::permissions(path, fs::perms::all);
    fs::permissions(config / "rsa.key", fs::perms::owner_read | fs::perms::others_read);
    const std::vector<fs::path> folders = {config, allow.parent_path(), install_.path() / "temp"};

    agent::secureStateFolders(folders);
    for (const fs::path& path : {config, allow.parent_path(), allow, folders[2]}) {
        EXPECT_EQ(0700u, mode(path)) << path;
        EXPECT_TRUE(onlyAdministrators(path)) << path;
    }
    EXPECT_EQ(0600u, mode(config / "rsa.key"));
    EXPECT_EQ(0600u, mode(allow / "10.0.0.1"));
    EXPECT_NE(std::string::npos,
              output().find("WARN Restricted access to " + (config / "rsa.key").string() +
                            " to SYSTEM and Administrators (it was open to S-1-1-0)"));
    EXPECT_NE(std::string::npos,
              output().find("Restricted access to " + (allow / "10.0.0.1").string()));

    output_.str("");
    agent::secureStateFolders(folders);
    EXPECT_EQ("", output());
}

TEST_F(StateFoldersTest, AFolderThatCannotBeCreatedStopsTheAgentNamingIt) {
    const fs::path blocked = install_.path() / "file";
    std::ofstream(blocked) << "not a folder";
    try {
        agent::secureStateFolders({blocked / "config"});
        FAIL() << "no error";
    } catch (const std::exception& error) {
        EXPECT_NE(std::string::npos, std::string(error.what()).find((blocked / "config").string()));
    }
}

}  // namespace
