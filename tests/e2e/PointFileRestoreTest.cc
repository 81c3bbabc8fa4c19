// A file taken from a restore point back onto the emulated host's volume through the
// agent's file restore, as an operator whose user lost one file would do it: the file
// comes back byte for byte with its times. (The emulated host's file restore writes to the
// folder of the volume's drive letter, not into the NTFS image the backups read.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "AgentProcess.h"
#include "backup-server/pointfiles/PointFiles.h"
#include "backup-server/store/Store.h"
#include "common/RunCommand.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"

namespace {

namespace fs = std::filesystem;
using namespace backup_server;

constexpr std::uint64_t kMiB = 1 << 20;
const char* const kSource = "'Disk 0 Partition 0'";

class PointFileRestoreTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::prepareServerSide(30); }

    void SetUp() override {
        agent_ = test::agentOnHost({}, {"add-disk --size 40M --part 'size=32M,type=7'",
                                        "mkfs 0:0 --cluster-size 4096", "letter F 0:0"});
        agent_->put("0:0", "/sheet.xlsx", test::randomBytes(1536 * 1024, 1));
        agent_->put("0:0", "/notes.txt", std::string(5000, 'n'));
        agent_->allowServer(ServerKeys::create(work_.path() / "keys"), "cli");
        createStore(work_.path() / "store");
        agent_->start();
    }

    test::ToolRun tool(const std::string& arguments) const {
        return test::runBackupServer(work_.path() / "keys", agent_->port(), arguments,
                                     work_.path());
    }
    std::string store() const { return "'" + (work_.path() / "store").string() + "'"; }
    void backup() {
        test::ToolRun run = tool("backup " + std::string(kSource) + " " + store());
        ASSERT_EQ(run.status, 0) << run.output;
    }
    // The file as a point holds it: its bytes (through the cat command) and its details.
    std::pair<std::string, PointEntry> inPoint(std::int64_t id, const std::string& path) {
        test::ToolRun cat =
            tool("cat " + store() + " " + kSource + " point=" + std::to_string(id) + " " + path);
        EXPECT_EQ(cat.status, 0) << cat.output;
        Store look(work_.path() / "store", Store::Access::look);
        PointVolume volume(look, *look.catalogue().point(id));
        PointFiles files(volume);
        return {cat.output, files.entry(path)};
    }
    fs::path onDrive(const std::string& path) const {
        return agent_->hostRoot() / "drives" / "F" / path;
    }

    test::TempDir work_;
    std::unique_ptr<test::AgentProcess> agent_;
};

TEST_F(PointFileRestoreTest, AFileFromAnOlderPointGoesBackWithItsBytesAndTimes) {
    backup();
    std::string original = test::randomBytes(1536 * 1024, 1);
    agent_->put("0:0", "/sheet.xlsx", test::randomBytes(700 * 1024, 2));  // overwritten
    backup();
    auto [then, thenEntry] = inPoint(1, "/sheet.xlsx");
    ASSERT_TRUE(then == original);

    test::ToolRun run = tool("restore-files " + store() + " " + kSource + " point=1 /sheet.xlsx");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("restored 1 items (1572864 bytes), 0 failed"), std::string::npos)
        << run.output;
    EXPECT_TRUE(test::readWholeFile(onDrive("sheet.xlsx")) == original);
    EXPECT_FALSE(fs::exists(onDrive("notes.txt")));  // only what was asked for
    struct stat status {};
    ASSERT_EQ(::stat(onDrive("sheet.xlsx").c_str(), &status), 0);
    std::uint64_t modified = 116444736000000000ull +
                             static_cast<std::uint64_t>(status.st_mtim.tv_sec) * 10000000 +
                             static_cast<std::uint64_t>(status.st_mtim.tv_nsec) / 100;
    EXPECT_EQ(modified / 10000000, thenEntry.modified / 10000000);

    // Somewhere else, and a path the point does not hold.
    run = tool("restore-files " + store() + " " + kSource + " point=1 /notes.txt 'target=F:\\old'");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(test::readWholeFile(onDrive("old/notes.txt")) == std::string(5000, 'n'));
    run = tool("restore-files " + store() + " " + kSource + " /missing.txt");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("/missing.txt: not found"), std::string::npos) << run.output;
}

}  // namespace
