// Restore points through the backup-server tool as an operator runs it, against the real
// agent on an emulated host: disk 0 holds two 32 MiB partitions, an NTFS source (Disk 0
// Partition 0) and a target (Disk 0 Partition 1). A point is judged by restoring it onto
// the blanked target and comparing with the source as it was when the point was made:
// every file through ntfs-3g, and a digest of every cluster the point uses.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AgentProcess.h"
#include "backup-server/store/PointReader.h"
#include "backup-server/store/Store.h"
#include "blocks/Md5Stream.h"
#include "common/ChildProcess.h"
#include "common/RunCommand.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"

namespace test {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kSourceOffset = 1 * kMiB;
constexpr std::uint64_t kTargetOffset = 33 * kMiB;
constexpr std::uint64_t kPartitionBytes = 32 * kMiB;

class RestorePointFixture : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::prepareServerSide(30); }

    void startAgent(const std::string& hostConfig = "", const std::string& clusterSize = "4096") {
        test::AgentSettings settings;
        settings.hostConfig = hostConfig;
        agent_ = test::agentOnHost(
            settings, {"add-disk --size 72M --part 'size=32M,type=7' --part 'size=32M,type=7'",
                       "mkfs 0:0 --cluster-size " + clusterSize});
        put("random.bin", randomBytes(3 * kMiB, 1));
        put("text.txt", std::string(300000, 'q'));
        auto keys = backup_server::ServerKeys::create(work_.path() / "keys");
        agent_->allowServer(keys, "cli");
        backup_server::createStore(storeName_);
        agent_->start();
        put("after-start.bin", randomBytes(8192, 2));  // the driver knows the volume now
    }

    std::string sim(const std::string& arguments) { return agent_->sim(arguments); }
    void put(const std::string& name, const std::string& content) {
        files_.insert(name);
        agent_->put("0:0", "/" + name, content);
    }

    // A backup of the source by the tool in a process of its own (the shell becomes the tool).
    test::ChildProcess backupInTheBackground(const fs::path& output,
                                             const std::string& options = "") const {
        std::string command =
            test::backupServerCommand(work_.path() / "keys", agent_->port(),
                                      "backup 'Disk 0 Partition 0' " + store() + options);
        return test::ChildProcess("/bin/sh", {"-c", "exec " + command}, {}, output);
    }
    ToolRun tool(const std::string& arguments) const {
        return test::runBackupServer(work_.path() / "keys",
                                     agent_ ? agent_->port() : test::freePort(),
                                     toolOptions_ + arguments, work_.path());
    }
    std::string store() const { return "'" + storeName_ + "'"; }

    // A backup of the source by the tool; returns the source as the point holds it.
    fs::path backup(const std::string& name) {
        ToolRun run =
            tool("backup 'Disk 0 Partition 0' " + store() + " compression=1 level=1 encryption=1");
        EXPECT_EQ(run.status, 0) << run.output;
        return extract(kSourceOffset, name);
    }

    // A full, an incremental and a digest-compared backup, each after a change; returns the
    // source as each point holds it, and checks that points lists them in that order.
    std::vector<fs::path> backUpThreeKinds() {
        fs::path atFull = backup("at-full.img");
        put("second.bin", randomBytes(700000, 3));
        sim("write 0:0 --cluster 3000 --count 4 --random --seed 5");
        fs::path atIncremental = backup("at-incremental.img");
        sim("driver-reset");
        put("third.txt", std::string(90000, 't'));
        put("random.bin", randomBytes(3 * kMiB, 4));
        fs::path atDigestCompared = backup("at-digest-compared.img");
        ToolRun points = tool("--json points " + store());
        EXPECT_EQ(points.status, 0) << points.output;
        std::size_t full = points.output.find("\"kind\":\"full\"");
        std::size_t incremental = points.output.find("\"kind\":\"incremental\"");
        std::size_t compared = points.output.find("\"kind\":\"digest-compared\"");
        EXPECT_NE(compared, std::string::npos) << points.output;
        EXPECT_TRUE(full < incremental && incremental < compared) << points.output;
        return {atFull, atIncremental, atDigestCompared};
    }

    // A backup by the tool after one that was cut off: the agent may still be ending that
    // one, and says it is busy (exit status 3) until it has.
    ToolRun backupOnceTheAgentIsFree() {
        ToolRun run;
        for (int attempt = 0; attempt < 20; ++attempt) {
            run = tool("backup 'Disk 0 Partition 0' " + store());
            if (run.status != 3)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        return run;
    }

    fs::path extract(std::uint64_t offset, const std::string& name) const {
        fs::path file = work_.path() / name;
        std::ofstream(file, std::ios::binary)
            << test::readAt(agent_->diskImage(), offset, kPartitionBytes);
        return file;
    }

    void blankTarget() const {
        test::writeAt(agent_->diskImage(), kTargetOffset, std::string(kPartitionBytes, '\0'));
    }

    // The MD5 of the clusters the point uses, read from an image of the partition.
    std::string usedClusterDigest(std::int64_t point, const fs::path& image) const {
        backup_server::Store look(storeName_, backup_server::Store::Access::look, "", storeKeys_);
        backup_server::PointReader reader(look, *look.catalogue().point(point));
        std::ifstream in(image, std::ios::binary);
        blocks::Md5Stream md5;
        const std::uint32_t size = reader.geometry().blockSize;
        std::string cluster(size, '\0');
        for (std::uint64_t i = 0; i < reader.geometry().blockCount; ++i) {
            if (!reader.used().bit(i))
                continue;
            in.seekg(static_cast<std::streamoff>(i * size));
            in.read(cluster.data(), size);
            md5.update(cluster.data(), cluster.size());
        }
        auto digest = md5.finish();
        return std::string(digest.begin(), digest.end());
    }

    // Restores a point onto the blank target and compares it with the source as it was.
    // storeFolder: the store as the restore names it (default the test's store).
    void expectRestores(std::int64_t point, const fs::path& sourceThen,
                        const std::string& storeFolder = "") {
        SCOPED_TRACE("point " + std::to_string(point));
        blankTarget();
        ToolRun run = tool("restore 'Disk 0 Partition 1' " +
                           (storeFolder.empty() ? store() : "'" + storeFolder + "'") +
                           " from='Disk 0 Partition 0' point=" + std::to_string(point));
        ASSERT_EQ(run.status, 0) << run.output;
        fs::path target = extract(kTargetOffset, "target.img");
        EXPECT_EQ(test::runCommand("ntfsls -f '" + target.string() + "'"),
                  test::runCommand("ntfsls -f '" + sourceThen.string() + "'"));
        for (const std::string& name : files_) {
            std::string then = test::runCommand("ntfscat -f '" + sourceThen.string() + "' /" +
                                                name + " 2>/dev/null || true");
            EXPECT_TRUE(test::runCommand("ntfscat -f '" + target.string() + "' /" + name +
                                         " 2>/dev/null || true") == then)
                << name;
        }
        EXPECT_EQ(usedClusterDigest(point, target), usedClusterDigest(point, sourceThen));
    }

    std::vector<std::int64_t> pointIds() const {
        backup_server::Store look(storeName_, backup_server::Store::Access::look);
        std::vector<std::int64_t> ids;
        for (const auto& point : look.catalogue().points())
            ids.push_back(point.id);
        return ids;
    }

    // Whether any file of the store holds the bytes.
    bool storeHolds(const std::string& bytes) const {
        for (const auto& entry : fs::recursive_directory_iterator(work_.path() / "store")) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::string file((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            if (file.find(bytes) != std::string::npos)
                return true;
        }
        return false;
    }

    test::TempDir work_;
    std::string storeName_ = (work_.path() / "store").string();  // a folder, or s3://...
    std::unique_ptr<test::AgentProcess> agent_;
    std::set<std::string> files_;
    std::string toolOptions_;             // given to every run of the tool
    backup_server::KeySource storeKeys_;  // opens the store for the test's own reads
};

}  // namespace test
