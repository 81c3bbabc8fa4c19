// Several agents in one store, through the backup-server tool as an operator runs it: each
// agent's points, journal keys, digests, retention and partition tables stay its own, an
// agent is pinned to its key, and one agent's point reaches another only when asked for.
// Also what the tool makes only when asked: stores (init) and key pairs (init-keys).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "AgentProcess.h"
#include "common/RunCommand.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kTargetOffset = 33 * kMiB;
constexpr std::uint64_t kPartitionBytes = 32 * kMiB;
const char* const kSource = "'Disk 0 Partition 0'";

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++found;
    return found;
}

unsigned modeOf(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

class StoreAgentsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::prepareServerSide(30); }

    void SetUp() override {
        keys_.emplace(backup_server::ServerKeys::create(work_.path() / "keys"));
        test::ToolRun init = tool(0, "init --no-encryption " + store());
        ASSERT_EQ(init.status, 0) << init.output;
    }

    // An agent whose disk 0 holds an NTFS source and a target partition, with a random file
    // of its own (content), and a blank disk 1.
    std::unique_ptr<test::AgentProcess> startAgent(const std::string& content) {
        auto agent = test::agentOnHost(
            {}, {"add-disk --size 72M --part 'size=32M,type=7' --part 'size=32M,type=7'",
                 "mkfs 0:0 --cluster-size 4096", "add-disk --size 72M"});
        agent->put("0:0", "/random.bin", content);
        agent->allowServer(*keys_, "cli");
        agent->start();
        agent->put("0:0", "/after-start.bin", "the driver knows the volume now");
        return agent;
    }

    test::ToolRun tool(std::uint16_t port, const std::string& arguments) const {
        return test::runBackupServer(work_.path() / "keys", port != 0 ? port : test::freePort(),
                                     arguments, work_.path());
    }
    std::string store() const { return "'" + (work_.path() / "store").string() + "'"; }
    std::string backup(const test::AgentProcess& agent, const std::string& name) {
        test::ToolRun run =
            tool(agent.port(), "backup " + std::string(kSource) + " " + store() + " agent=" + name);
        EXPECT_EQ(run.status, 0) << run.output;
        return run.output;
    }

    test::TempDir work_;
    std::optional<backup_server::ServerKeys> keys_;
};

TEST_F(StoreAgentsTest, TwoAgentsKeepTheirPointsKeysDigestsRetentionAndTablesApart) {
    const std::string alphaData = test::randomBytes(2 * kMiB, 1);
    const std::string betaData = test::randomBytes(2 * kMiB, 2);
    auto alpha = startAgent(alphaData);
    auto beta = startAgent(betaData);
    std::string first = backup(*alpha, "alpha");
    EXPECT_NE(first.find("full:"), std::string::npos) << first;
    // The same device of another agent builds on nothing of the first's: no digests of
    // alpha's volume are served to beta.
    std::string second = backup(*beta, "beta");
    EXPECT_NE(second.find("full:"), std::string::npos) << second;
    // Each agent's next backup presents its own journal key, which beta's backup did not
    // take over.
    alpha->put("0:0", "/more.bin", test::randomBytes(100000, 3));
    beta->put("0:0", "/more.bin", test::randomBytes(100000, 4));
    std::string third = backup(*alpha, "alpha");
    EXPECT_NE(third.find("incremental:"), std::string::npos) << third;
    std::string fourth = backup(*beta, "beta");
    EXPECT_NE(fourth.find("incremental:"), std::string::npos) << fourth;

    test::ToolRun points = tool(0, "--json points " + store());
    ASSERT_EQ(points.status, 0) << points.output;
    EXPECT_EQ(count(points.output, "\"agent\":\"alpha\""), 2u) << points.output;
    EXPECT_EQ(count(points.output, "\"agent\":\"beta\""), 2u) << points.output;
    test::ToolRun betaPoints = tool(0, "points " + store() + " agent=beta");
    EXPECT_EQ(count(betaPoints.output, " beta "), 2u) << betaPoints.output;

    // A restore for alpha writes alpha's volume.
    std::string restoreAlpha =
        "restore 'Disk 0 Partition 1' " + store() + " 'from=Disk 0 Partition 0'";
    test::ToolRun own = tool(alpha->port(), restoreAlpha + " agent=alpha");
    ASSERT_EQ(own.status, 0) << own.output;
    std::string target = test::readAt(alpha->diskImage(), kTargetOffset, kPartitionBytes);
    EXPECT_NE(target.find(alphaData.substr(0, 4096)), std::string::npos);
    EXPECT_EQ(target.find(betaData.substr(0, 4096)), std::string::npos);

    // Beta, reached as alpha, is refused before anything is written; alpha's point goes to
    // beta only when asked for by name.
    std::string before = test::readAt(beta->diskImage(), kTargetOffset, kPartitionBytes);
    test::ToolRun impostor = tool(beta->port(), restoreAlpha + " agent=alpha");
    EXPECT_EQ(impostor.status, 1) << impostor.output;
    EXPECT_NE(impostor.output.find("trust " + (work_.path() / "store").string() + " agent=alpha"),
              std::string::npos)
        << impostor.output;
    test::ToolRun byPoint =
        tool(beta->port(), "restore 'Disk 0 Partition 1' " + store() + " point=1 agent=beta");
    EXPECT_EQ(byPoint.status, 2) << byPoint.output;
    EXPECT_NE(byPoint.output.find("from-agent=alpha"), std::string::npos) << byPoint.output;
    EXPECT_TRUE(test::readAt(beta->diskImage(), kTargetOffset, kPartitionBytes) == before);
    test::ToolRun asked = tool(beta->port(), restoreAlpha + " agent=beta from-agent=alpha");
    ASSERT_EQ(asked.status, 0) << asked.output;
    EXPECT_NE(test::readAt(beta->diskImage(), kTargetOffset, kPartitionBytes)
                  .find(alphaData.substr(0, 4096)),
              std::string::npos);

    // So does a restore packed ahead of time from alpha's point: the file names the point's
    // agent and key, and the agent it is replayed to must be that one unless named.
    const std::string packed = (work_.path() / "alpha.pack").string();
    test::ToolRun pack = tool(0, restoreAlpha + " agent=alpha pack='" + packed + "'");
    ASSERT_EQ(pack.status, 0) << pack.output;
    const std::string replay = "restore 'Disk 0 Partition 1' 'packed=" + packed + "'";
    test::ToolRun unnamed = tool(beta->port(), replay);
    EXPECT_EQ(unnamed.status, 2) << unnamed.output;
    EXPECT_NE(unnamed.output.find("from-agent=alpha"), std::string::npos) << unnamed.output;
    test::ToolRun posing = tool(beta->port(), replay + " agent=alpha");
    EXPECT_EQ(posing.status, 1) << posing.output;
    EXPECT_NE(posing.output.find("is not alpha"), std::string::npos) << posing.output;
    EXPECT_EQ(tool(beta->port(), replay + " from-agent=beta").status, 2);
    test::ToolRun named = tool(beta->port(), replay + " from-agent=alpha");
    EXPECT_EQ(named.status, 0) << named.output;
    test::ToolRun home = tool(alpha->port(), replay + " agent=alpha");
    EXPECT_EQ(home.status, 0) << home.output;

    // Partition tables are generations per agent and disk; one restores by its number.
    for (const auto* agent : {alpha.get(), alpha.get(), beta.get()}) {
        test::ToolRun saved = tool(agent->port(), "partition-backup 0 " + store() + " agent=" +
                                                      (agent == beta.get() ? "beta" : "alpha"));
        ASSERT_EQ(saved.status, 0) << saved.output;
    }
    test::ToolRun tables = tool(0, "--json partition-tables " + store());
    EXPECT_EQ(count(tables.output, "\"agent\":\"alpha\""), 2u) << tables.output;
    EXPECT_EQ(count(tables.output, "\"agent\":\"beta\""), 1u) << tables.output;
    test::ToolRun table =
        tool(alpha->port(), "partition-restore 1 " + store() + " 0 agent=alpha point=1");
    ASSERT_EQ(table.status, 0) << table.output;
    EXPECT_NE(table.output.find("generation 1 of the agent alpha"), std::string::npos)
        << table.output;
    EXPECT_TRUE(test::readAt(alpha->diskImage(1), 0, 512) ==
                test::readAt(alpha->diskImage(0), 0, 512));

    // Retention counts each agent's volume (and disk) alone.
    test::ToolRun forget = tool(0, "forget " + store() + " keep-last=1");
    ASSERT_EQ(forget.status, 0) << forget.output;
    EXPECT_NE(forget.output.find("kept 2 points, forgot 2; kept 2 partition tables, forgot 1"),
              std::string::npos)
        << forget.output;
    ASSERT_EQ(tool(0, "gc " + store()).status, 0);
    std::size_t tableFiles = 0;
    for ([[maybe_unused]] const auto& file :
         fs::directory_iterator(work_.path() / "store" / "tables"))
        ++tableFiles;
    EXPECT_EQ(tableFiles, 2u);
    test::ToolRun gone =
        tool(alpha->port(), "partition-restore 1 " + store() + " 0 agent=alpha point=1");
    EXPECT_EQ(gone.status, 1) << gone.output;

    // Another machine presenting itself as alpha is refused, and saying how to accept its key;
    // once the operator trusts it, it is alpha.
    auto gamma = startAgent(test::randomBytes(kMiB, 5));
    test::ToolRun stranger =
        tool(gamma->port(), "backup " + std::string(kSource) + " " + store() + " agent=alpha");
    EXPECT_EQ(stranger.status, 1) << stranger.output;
    EXPECT_NE(stranger.output.find("trust " + (work_.path() / "store").string() + " agent=alpha"),
              std::string::npos)
        << stranger.output;
    EXPECT_EQ(count(tool(0, "--json points " + store()).output, "\"id\""), 2u);
    test::ToolRun trust = tool(gamma->port(), "trust " + store() + " agent=alpha");
    ASSERT_EQ(trust.status, 0) << trust.output;
    backup(*gamma, "alpha");
    EXPECT_EQ(tool(alpha->port(), "backup " + std::string(kSource) + " " + store() + " agent=alpha")
                  .status,
              1);
}

// What the tool makes only when asked for: a mistyped folder is never taken for a new
// store or a new key pair, and private things are kept from other users.
TEST_F(StoreAgentsTest, StoresAndKeysAreMadeOnlyByInitAndArePrivate) {
    fs::path missing = work_.path() / "nonexistent";
    test::ToolRun backup =
        tool(0, "backup " + std::string(kSource) + " '" + missing.string() + "'");
    EXPECT_EQ(backup.status, 1) << backup.output;
    EXPECT_NE(backup.output.find("backup-server init " + missing.string()), std::string::npos)
        << backup.output;
    test::ToolRun points = tool(0, "points '" + missing.string() + "'");
    EXPECT_EQ(points.status, 1) << points.output;
    fs::create_directories(missing);
    EXPECT_EQ(tool(0, "points '" + missing.string() + "'").status, 1);
    EXPECT_EQ(tool(0, "partition-backup 0 '" + missing.string() + "'").status, 1);
    EXPECT_TRUE(fs::is_empty(missing));

    EXPECT_EQ(modeOf(work_.path() / "store"), 0700u);
    test::ToolRun listed = tool(0, "points " + store());
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_EQ(listed.output.find("warning"), std::string::npos) << listed.output;

    fs::path typo = work_.path() / "kyes";
    test::ToolRun wrongKeys =
        test::runBackupServer(typo, test::freePort(), "public-key", work_.path());
    EXPECT_EQ(wrongKeys.status, 1) << wrongKeys.output;
    EXPECT_NE(wrongKeys.output.find("init-keys"), std::string::npos) << wrongKeys.output;
    EXPECT_FALSE(fs::exists(typo));
    test::ToolRun made = test::runBackupServer(typo, test::freePort(), "init-keys", work_.path());
    ASSERT_EQ(made.status, 0) << made.output;
    EXPECT_EQ(made.output.rfind("-----BEGIN PUBLIC KEY-----", 0), 0u) << made.output;
    EXPECT_EQ(modeOf(typo), 0700u);
    EXPECT_EQ(modeOf(typo / "server.key"), 0600u);
    EXPECT_EQ(test::runBackupServer(typo, test::freePort(), "init-keys", work_.path()).status, 1);

    fs::permissions(typo / "server.key", fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::add);
    test::ToolRun widened =
        test::runBackupServer(typo, test::freePort(), "public-key", work_.path());
    EXPECT_EQ(widened.status, 0) << widened.output;
    EXPECT_NE(widened.output.find("has mode 0644"), std::string::npos) << widened.output;
}

}  // namespace
