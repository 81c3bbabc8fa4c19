// Restore points of a store folder through the backup-server tool (RestorePointFixture.h).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <thread>

#include "RestorePointFixture.h"
#include "backup-server/store/PointReader.h"
#include "backup-server/store/Store.h"
#include "blocks/Md5Stream.h"
#include "common/ChildProcess.h"
#include "common/RunCommand.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"

namespace {

namespace fs = std::filesystem;

using test::kMiB;
using test::kPartitionBytes;
using test::kSourceOffset;
using test::kTargetOffset;

using test::randomBytes;

using test::ToolRun;

class RestorePointTest : public test::RestorePointFixture {};

TEST_F(RestorePointTest, FullIncrementalAndDigestComparedPointsEachRestoreAsTheVolumeWasThen) {
    startAgent();
    std::vector<fs::path> images = backUpThreeKinds();
    ASSERT_EQ(pointIds().size(), 3u);
    for (std::size_t i = 0; i < images.size(); ++i)
        expectRestores(pointIds()[i], images[i]);
    ToolRun verify = tool("verify " + store());
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("verified 3 points"), std::string::npos) << verify.output;
}

// 64 KiB clusters, the largest the agent takes, in an encrypted store run as an operator
// runs it: blocks of 65536 bytes through every kind of backup, restore, verify, forget and
// gc; nothing of a file's bytes in any file of the store; every point restores with the
// passphrase (from --password-file or ZENTRAD_PASSWORD_FILE, or a key file added later),
// and without it or with a wrong one the commands that read data refuse, saying why.
TEST_F(RestorePointTest, SixtyFourKiBClustersInAnEncryptedStoreRestoreOnlyWithItsSecret) {
    startAgent("", "64K");
    const std::string marker = "plain text that must never reach the store: 5c1d09e7";
    std::string marked = randomBytes(300000, 9);
    marked.replace(70000, marker.size(), marker);
    put("marked.bin", marked);
    fs::path passphrase = work_.path() / "passphrase";
    std::ofstream(passphrase) << "an operator's passphrase\n";
    toolOptions_ = "--password-file '" + passphrase.string() + "' ";
    storeKeys_.passwordFile = passphrase;
    fs::remove_all(work_.path() / "store");
    ToolRun init = tool("init " + store());  // encrypted unless --no-encryption
    ASSERT_EQ(init.status, 0) << init.output;

    fs::path atFull = backup("at-full.img");
    put("second.bin", randomBytes(300000, 3));
    fs::path atIncremental = backup("at-incremental.img");
    sim("driver-reset");
    put("random.bin", randomBytes(3 * kMiB, 4));
    fs::path atDigestCompared = backup("at-digest-compared.img");
    EXPECT_FALSE(storeHolds(marker));
    std::vector<std::int64_t> ids = pointIds();
    ASSERT_EQ(ids.size(), 3u);
    {
        backup_server::Store look(work_.path() / "store", backup_server::Store::Access::look);
        std::vector<std::string> kinds;
        for (const auto& point : look.catalogue().points()) {
            EXPECT_EQ(point.geometry.blockSize, 65536u);
            kinds.push_back(point.kind);
        }
        EXPECT_EQ(kinds, (std::vector<std::string>{"full", "incremental", "digest-compared"}));
    }
    std::vector<fs::path> images{atFull, atIncremental, atDigestCompared};
    for (std::size_t i = 0; i < images.size(); ++i)
        expectRestores(ids[i], images[i]);

    toolOptions_.clear();
    EXPECT_EQ(tool("points " + store()).status, 0);
    ToolRun missing = tool("verify " + store());
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("--password-file FILE"), std::string::npos) << missing.output;
    fs::path wrong = work_.path() / "wrong";
    std::ofstream(wrong) << "an operator's passphrasE\n";
    ToolRun refused =
        tool("--password-file '" + wrong.string() + "' restore 'Disk 0 Partition 1' " + store() +
             " from='Disk 0 Partition 0'");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("Wrong passphrase"), std::string::npos) << refused.output;

    ::setenv("ZENTRAD_PASSWORD_FILE", passphrase.c_str(), 1);
    fs::path keyFile = work_.path() / "store.key";
    ToolRun added = tool("key add " + store() + " new-key-file='" + keyFile.string() + "'");
    ::unsetenv("ZENTRAD_PASSWORD_FILE");
    EXPECT_EQ(added.status, 0) << added.output;
    ToolRun list = tool("key list " + store());
    EXPECT_NE(list.output.find("key file"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("passphrase (scrypt N=2^17"), std::string::npos) << list.output;

    // The rest with the key file alone.
    toolOptions_ = "--key-file '" + keyFile.string() + "' ";
    ToolRun forget = tool("forget " + store() + " keep-last=1");
    ASSERT_EQ(forget.status, 0) << forget.output;
    ToolRun gc = tool("gc " + store());
    ASSERT_EQ(gc.status, 0) << gc.output;
    ToolRun verify = tool("verify " + store());
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("verified 1 points"), std::string::npos) << verify.output;
    expectRestores(ids[2], atDigestCompared);
    ToolRun cat = tool("cat " + store() + " 'Disk 0 Partition 0' /second.bin");
    EXPECT_EQ(cat.status, 0);
    EXPECT_TRUE(cat.output == randomBytes(300000, 3)) << "a file read from the point differs";
}

// The tool killed at several moments of a backup (during the snapshot, and at several
// places in the block stream): the points made before stay sound and restorable, what the
// killed backups wrote is garbage that gc removes, and the next backup completes.
TEST_F(RestorePointTest, KilledBackupsLeaveEarlierPointsIntact) {
    startAgent("[snapshot service]\ndelay DoSnapshotSet = 600\n");
    fs::path atFull = backup("at-full.img");
    put("changed.bin", randomBytes(6 * kMiB, 7));
    for (int delay : {150, 700, 1000, 1400, 2000}) {
        test::ChildProcess child = backupInTheBackground("/dev/null", " compression=1 level=9");
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        child.signal(SIGKILL);
        child.wait(std::chrono::seconds(10));
        ToolRun verify = tool("verify " + store());
        EXPECT_EQ(verify.status, 0) << "killed after " << delay << " ms\n" << verify.output;
    }
    expectRestores(pointIds().front(), atFull);
    ToolRun gc = tool("gc " + store());
    EXPECT_EQ(gc.status, 0) << gc.output;
    ToolRun last = backupOnceTheAgentIsFree();
    EXPECT_EQ(last.status, 0) << last.output;
    expectRestores(pointIds().back(), extract(kSourceOffset, "now.img"));
    EXPECT_EQ(tool("verify " + store()).status, 0);
}

TEST_F(RestorePointTest, VerifyNamesAFlippedByteAndForgetWithGcKeepsKeptPointsRestorable) {
    startAgent();
    backup("first.img");
    put("second.bin", randomBytes(500000, 8));
    backup("second.img");
    put("third.bin", randomBytes(400000, 9));
    backup("third.img");
    std::vector<std::int64_t> ids = pointIds();
    ASSERT_EQ(ids.size(), 3u);

    // One byte of one block's digest in a chunk of the newest point.
    fs::path chunkFile;
    std::uint64_t block = 0;
    {
        backup_server::Store look(work_.path() / "store", backup_server::Store::Access::look);
        backup_server::PointReader reader(look, *look.catalogue().point(ids[2]));
        const auto& geometry = reader.geometry();
        for (block = 0; !reader.used().bit(block); ++block) {
        }
        std::uint64_t chunk = block / geometry.chunkBlocks;
        chunkFile =
            backup_server::ChunkStore(look.chunkFolder()).pathOf(reader.index().entry(chunk));
        std::fstream file(chunkFile, std::ios::in | std::ios::out | std::ios::binary);
        file.seekg(static_cast<std::streamoff>(backup_server::kChunkHeaderBytes +
                                               16 * (block % geometry.chunkBlocks)));
        char byte = static_cast<char>(file.get());
        file.seekp(file.tellg() - std::streamoff{1});
        file.put(static_cast<char>(byte ^ 0x40));
    }
    ToolRun verify = tool("verify " + store());
    EXPECT_EQ(verify.status, 6) << verify.output;
    EXPECT_NE(verify.output.find("point " + std::to_string(ids[2]) + " (Disk 0 Partition 0, "),
              std::string::npos);
    EXPECT_NE(verify.output.find("DAMAGED, 1 blocks"), std::string::npos) << verify.output;
    EXPECT_NE(verify.output.find("blocks " + std::to_string(block) + "\n"), std::string::npos)
        << verify.output;
    // The damaged chunk was set aside: the point now lacks it, and a restore refuses it.
    EXPECT_NE(verify.output.find("set 1 damaged chunks aside"), std::string::npos) << verify.output;
    fs::path setAside = work_.path() / "store" / "damaged" / chunkFile.filename();
    ASSERT_TRUE(fs::exists(setAside));
    ToolRun json = tool("--json verify " + store() + " point=" + std::to_string(ids[2]));
    EXPECT_EQ(json.status, 6);
    EXPECT_NE(json.output.find("\"problem\":\"chunk missing\""), std::string::npos) << json.output;
    ToolRun restore =
        tool("restore 'Disk 0 Partition 1' " + store() + " from='Disk 0 Partition 0'");
    EXPECT_EQ(restore.status, 1) << restore.output;
    EXPECT_NE(restore.output.find("lacks 1 of its chunks"), std::string::npos) << restore.output;
    // Put back by hand, the chunk's data is still proven by its name, so the point
    // restores; a byte of the compressed data is another matter.
    fs::rename(setAside, chunkFile);
    restore = tool("restore 'Disk 0 Partition 1' " + store() + " from='Disk 0 Partition 0'");
    EXPECT_EQ(restore.status, 0) << restore.output;
    {
        std::fstream file(chunkFile, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(-20, std::ios::end);
        file.put('\x7f');
    }
    restore = tool("restore 'Disk 0 Partition 1' " + store() + " from='Disk 0 Partition 0'");
    EXPECT_EQ(restore.status, 1) << restore.output;
    EXPECT_NE(restore.output.find("Damaged store: chunk " + chunkFile.filename().string()),
              std::string::npos)
        << restore.output;
    fs::remove(chunkFile);
    // The next backup sends the blocks whose digests it could not serve and stores the
    // chunk afresh; the damaged points stay damaged until they are forgotten.
    sim("driver-reset");
    fs::path atFourth = backup("fourth.img");

    ToolRun forget = tool("forget " + store() + " keep-last=2");
    EXPECT_EQ(forget.status, 0) << forget.output;
    EXPECT_NE(forget.output.find("kept 2 points, forgot 2"), std::string::npos) << forget.output;
    ToolRun gc = tool("gc " + store());
    EXPECT_EQ(gc.status, 0) << gc.output;
    EXPECT_EQ(gc.output.find(" 0 bytes freed"), std::string::npos) << gc.output;
    ids = pointIds();
    ASSERT_EQ(ids.size(), 2u);
    expectRestores(ids[1], atFourth);
    ToolRun after = tool("verify " + store() + " point=" + std::to_string(ids[1]));
    EXPECT_EQ(after.status, 0) << after.output;

    // A damaged latest index does not stop the volume from being backed up: the next
    // backup builds on nothing, says so, and is a whole point of its own.
    {
        backup_server::Store look(work_.path() / "store", backup_server::Store::Access::look);
        std::fstream index(look.indexPath(look.catalogue().point(ids[1])->indexFile),
                           std::ios::in | std::ios::out | std::ios::binary);
        index.seekp(40);
        index.put('\x33');
    }
    ToolRun full = tool("backup 'Disk 0 Partition 0' " + store());
    EXPECT_EQ(full.status, 0) << full.output;
    EXPECT_NE(full.output.find("warning: Damaged store: point index"), std::string::npos)
        << full.output;
    EXPECT_NE(full.output.find("\nfull: "), std::string::npos) << full.output;
    expectRestores(pointIds().back(), extract(kSourceOffset, "fifth.img"));
}

// Damage to the newest point, a chunk lost and a data byte flipped, each followed by the
// next backup the way the agent would make it anyway (journal key matched, or compared
// digests after the driver lost track): a restore of the damaged point refuses before the
// target is touched, verify sets the flipped chunk aside, and the next backup sends the
// blocks again so that its point verifies and restores byte for byte.
TEST_F(RestorePointTest, DamageStopsARestoreBeforeTheTargetAndTheNextBackupRepairsIt) {
    startAgent();
    // More blocks than a restore holds in flight come before the last chunk.
    put("large.bin", randomBytes(12 * kMiB, 19));
    backup("first.img");
    unsigned seed = 20;
    auto newestChunks = [&] {
        backup_server::Store look(work_.path() / "store", backup_server::Store::Access::look);
        backup_server::PointReader reader(look, look.catalogue().points().back());
        backup_server::ChunkStore chunks(look.chunkFolder());
        std::vector<fs::path> files;
        for (std::uint64_t chunk = 0; chunk < reader.geometry().chunkCount(); ++chunk) {
            if (!backup_server::isEmptyEntry(reader.index().entry(chunk)))
                files.push_back(chunks.pathOf(reader.index().entry(chunk)));
        }
        return files;
    };
    // The next backup after damage: it must say it resends, and its point must be whole.
    auto repairingBackup = [&](bool digestCompared, const std::string& name) {
        put(name + ".bin", randomBytes(200000, ++seed));
        if (digestCompared)
            sim("driver-reset");
        ToolRun run = tool("backup 'Disk 0 Partition 0' " + store());
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find("were set aside as damaged; their blocks are sent again"),
                  std::string::npos)
            << run.output;
        fs::path image = extract(kSourceOffset, name + ".img");
        std::int64_t point = pointIds().back();
        ToolRun verify = tool("verify " + store() + " point=" + std::to_string(point));
        EXPECT_EQ(verify.status, 0) << verify.output;
        expectRestores(point, image);
    };
    for (bool digestCompared : {false, true}) {
        SCOPED_TRACE(digestCompared ? "digest-compared" : "incremental");
        std::vector<fs::path> chunks = newestChunks();
        ASSERT_GE(chunks.size(), 2u);
        fs::remove(chunks.back());
        if (!digestCompared) {
            // The blocks before the lost chunk would reach the target first.
            blankTarget();
            ToolRun restore =
                tool("restore 'Disk 0 Partition 1' " + store() + " from='Disk 0 Partition 0'");
            EXPECT_EQ(restore.status, 1) << restore.output;
            EXPECT_NE(restore.output.find("lacks 1 of its chunks"), std::string::npos)
                << restore.output;
            EXPECT_TRUE(test::readAt(agent_->diskImage(), kTargetOffset, kPartitionBytes) ==
                        std::string(kPartitionBytes, '\0'))
                << "the target was written";
        }
        repairingBackup(digestCompared, std::string("lost-") + (digestCompared ? "d" : "i"));

        // A byte in the middle of the largest chunk, which holds random data that zstd
        // keeps as it is: the flip always changes what the chunk decodes to.
        chunks = newestChunks();
        fs::path flipped = *std::max_element(chunks.begin(), chunks.end(),
                                             [](const fs::path& a, const fs::path& b) {
                                                 return fs::file_size(a) < fs::file_size(b);
                                             });
        {
            std::fstream file(flipped, std::ios::in | std::ios::out | std::ios::binary);
            const auto middle = static_cast<std::streamoff>(fs::file_size(flipped) / 2);
            file.seekg(middle);
            char byte = static_cast<char>(file.get());
            file.seekp(middle);
            file.put(static_cast<char>(byte ^ 0x04));
        }
        ToolRun verify = tool("verify " + store());
        EXPECT_EQ(verify.status, 6) << verify.output;
        EXPECT_NE(verify.output.find("set 1 damaged chunks aside"), std::string::npos)
            << verify.output;
        EXPECT_TRUE(fs::exists(work_.path() / "store" / "damaged" / flipped.filename()));
        repairingBackup(digestCompared, std::string("flipped-") + (digestCompared ? "d" : "i"));
    }
}

// A write-protected backup disk is what an operator restores from: points, verify and
// restore read a store on a read-only mount, where no reader's lock can be made.
TEST_F(RestorePointTest, PointsVerifyAndRestoreWorkFromAReadOnlyStore) {
    startAgent();
    fs::path atFull = backup("full.img");
    put("more.bin", randomBytes(300000, 40));
    fs::path atIncremental = backup("incremental.img");
    fs::path readOnly = work_.path() / "read-only";
    fs::create_directories(readOnly);
    std::string bind = "mount --bind '" + (work_.path() / "store").string() + "' '" +
                       readOnly.string() + "' && mount -o remount,ro,bind '" + readOnly.string() +
                       "' && echo mounted";
    // Undone however the test ends, before the folders go.
    struct Unmount {
        fs::path folder;
        ~Unmount() { test::runCommand("umount '" + folder.string() + "' 2>/dev/null || true"); }
    } unmount{readOnly};
    std::string mounted = test::runCommand(bind + " 2>&1");
    if (mounted != "mounted\n")
        GTEST_SKIP() << "this sandbox does not allow a read-only bind mount: " << mounted;
    // No reader has run: read.lock was never made, and cannot be now.
    ASSERT_FALSE(fs::exists(work_.path() / "store" / "read.lock"));
    std::string ro = "'" + readOnly.string() + "'";
    ToolRun points = tool("points " + ro);
    EXPECT_EQ(points.status, 0) << points.output;
    EXPECT_NE(points.output.find("incremental"), std::string::npos) << points.output;
    ToolRun verify = tool("verify " + ro);
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("verified 2 points"), std::string::npos) << verify.output;
    std::vector<std::int64_t> ids = pointIds();
    expectRestores(ids[0], atFull, readOnly.string());
    expectRestores(ids[1], atIncremental, readOnly.string());
    EXPECT_FALSE(fs::exists(work_.path() / "store" / "read.lock"));
    // The writer emptied its log: the catalogue file alone holds every point.
    fs::path log = work_.path() / "store" / "catalogue.db-wal";
    EXPECT_TRUE(!fs::exists(log) || fs::file_size(log) == 0);
}

TEST_F(RestorePointTest, ASecondCommandOnABusyStoreIsRefusedAndWrongCommandLinesGetUsage) {
    startAgent("[snapshot service]\ndelay DoSnapshotSet = 4000\n");
    test::TempDir out;
    test::ChildProcess child = backupInTheBackground(out.path() / "backup.out");
    ASSERT_TRUE(agent_->waitForLog("Accepting new backup request"));
    // A second backup of the volume is refused with its holder, gc (which removes files)
    // while anything changes the store; forget may change the catalogue beside a backup.
    ToolRun again = tool("backup 'Disk 0 Partition 0' " + store());
    EXPECT_EQ(again.status, 5) << again.output;
    EXPECT_NE(again.output.find("is in use by another command (process " +
                                std::to_string(child.pid()) + ": backup Disk 0 Partition 0)"),
              std::string::npos)
        << again.output;
    ToolRun gc = tool("gc " + store());
    EXPECT_EQ(gc.status, 5) << gc.output;
    EXPECT_NE(gc.output.find("is in use by other commands"), std::string::npos) << gc.output;
    EXPECT_EQ(tool("forget " + store() + " keep-last=1").status, 0);
    EXPECT_EQ(tool("points " + store()).status, 0);  // reading is fine
    EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0)
        << test::readWholeFile(out.path() / "backup.out");
    EXPECT_EQ(tool("gc " + store()).status, 0);

    for (const std::string& command :
         {std::string("backup"), std::string("verify"), "restore X " + store() + " point=last",
          "forget " + store() + " keep-last=0"}) {
        ToolRun usage = tool(command);
        EXPECT_EQ(usage.status, 2) << command << "\n" << usage.output;
        std::string name = command.substr(0, command.find(' '));
        EXPECT_NE(usage.output.find("usage: backup-server [options] " + name), std::string::npos)
            << usage.output;
    }
    // Nothing listens on a free port: the tool says where it tried, in plain words.
    std::uint16_t freePort = test::freePort();
    std::string port = std::to_string(freePort);
    ToolRun echo = test::runBackupServer(work_.path() / "keys", freePort, "echo", out.path());
    EXPECT_EQ(echo.status, 4);
    EXPECT_NE(echo.output.find("cannot connect to the agent at host 127.0.0.1, port " + port +
                               ": Connection refused (is the agent running and listening there?)"),
              std::string::npos)
        << echo.output;
}

}  // namespace
