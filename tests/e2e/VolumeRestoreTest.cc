// Volume restores through the real agent on an emulated host: disk 0 holds two 32 MiB
// partitions, an NTFS source (Disk 0 Partition 0) and a target (Disk 0 Partition 1).
// Every check reads the target's bytes straight from the disk image, and NTFS is judged
// by ntfs-3g's tools, not by the agent's report.
#include <gtest/gtest.h>

#include <fstream>

#include "AgentProcess.h"
#include "backup-server/session/AgentKeyFiles.h"
#include "backup-server/session/ImageBlockSource.h"
#include "backup-server/session/PackedRestore.h"
#include "backup-server/session/StoreBlockSource.h"
#include "backup-server/session/VolumeBackup.h"
#include "backup-server/session/VolumeRestore.h"
#include "backup-server/store/VolumeStore.h"
#include "common/ChildProcess.h"
#include "common/RunCommand.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"
#include "runtime/Exceptions.h"

namespace {

namespace fs = std::filesystem;
using backup_server::RestoreOptions;

const char* const kSource = "Disk 0 Partition 0";
const char* const kTarget = "Disk 0 Partition 1";
constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kSourceOffset = 1 * kMiB;
constexpr std::uint64_t kTargetOffset = 33 * kMiB;
constexpr std::uint64_t kPartitionBytes = 32 * kMiB;
constexpr std::uint32_t kCluster = 4096;
constexpr std::uint64_t kBlocks = kPartitionBytes / kCluster;

using test::randomBytes;

// Every ERROR record the agent sent before it closed the connection.
std::string agentErrors(backup_server::AgentSession& session) {
    test::closingReason(session);
    std::string errors;
    for (const auto& record : session.logRecords()) {
        if (record.code == net::PROT_LOG_ERROR)
            errors += record.text + "\n";
    }
    return errors;
}

blocks::BlockPtr blockOf(std::uint64_t index, const std::string& data) {
    auto buffer = std::make_shared<unsigned char[]>(data.size());
    std::copy(data.begin(), data.end(), buffer.get());
    auto block =
        std::make_shared<blocks::Block>(index, data.size(), buffer, data.size(), false, false);
    block->computeDigest();
    return block;
}

class VolumeRestoreTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide(30);
        agent = test::agentOnHost(
            test::patientAgentSettings(),
            {"add-disk --size 72M --part 'size=32M,type=7' --part 'size=32M,type=7'",
             "mkfs 0:0 --cluster-size 4096"});
        put("random.bin", randomBytes(3 * kMiB + 123, 1));
        put("zeros.bin", std::string(kMiB, '\0'));
        put("text.txt", std::string(200000, 'q'));
        agent->allowServer(test::serverKeys("restore"));
        agent->start();
    }
    static void TearDownTestSuite() {
        agent->stop();
        agent.reset();
    }

    void SetUp() override { blankTarget(); }

    static std::string sim(const std::string& arguments) { return agent->sim(arguments); }
    static void put(const std::string& name, const std::string& content) {
        agent->put("0:0", "/" + name, content);
    }
    static fs::path diskImage() { return agent->diskImage(); }

    static std::string readDisk(std::uint64_t offset, std::uint64_t length) {
        return test::readAt(diskImage(), offset, length);
    }
    static void blankTarget() {
        test::writeAt(diskImage(), kTargetOffset, std::string(kPartitionBytes, '\0'));
    }

    // The partition's bytes in a file of their own, for ntfs-3g and as an image source.
    static fs::path extract(std::uint64_t offset, const std::string& name) {
        fs::path file = agent->hostRoot() / name;
        std::ofstream(file, std::ios::binary) << readDisk(offset, kPartitionBytes);
        return file;
    }

    static std::unique_ptr<backup_server::AgentSession> session(std::uint32_t protocol = 2) {
        return agent->openSession(test::serverKeys("restore"), protocol);
    }

    static backup_server::RestoreSummary restoreImage(RestoreOptions options) {
        options.deviceID = kTarget;
        options.blockSize = kCluster;
        backup_server::ImageBlockSource source(extract(kSourceOffset, "source.img"), kCluster);
        auto connection = session();
        if (options.encryptionType == 1 && !options.requestKey)
            options.sessionKey =
                backup_server::openBackupKey(backup_server::fetchKeys(*connection));
        auto summary = backup_server::runVolumeRestore(*connection, options, source);
        connection->finish();
        return summary;
    }

    static inline std::unique_ptr<test::AgentProcess> agent;
};

TEST_F(VolumeRestoreTest, ImageArrivesByteForByteInEveryForm) {
    RestoreOptions plain;
    RestoreOptions compressed;
    compressed.compressionType = 1;
    RestoreOptions sessionKey = compressed;
    sessionKey.encryptionType = 1;
    RestoreOptions requestKey;
    requestKey.encryptionType = 1;
    requestKey.requestKey.emplace(crypto::KeyMsg::kGeneratedType, 128);
    requestKey.batchBlocks = requestKey.maxBlocks = 1000;
    for (const RestoreOptions& options : {plain, compressed, sessionKey, requestKey}) {
        blankTarget();
        auto summary = restoreImage(options);
        EXPECT_EQ(summary.blocksSent, kBlocks);
        EXPECT_EQ(summary.batches, (kBlocks + options.batchBlocks - 1) / options.batchBlocks);
        if (options.compressionType == 1) {
            EXPECT_GT(summary.compressedBlocks, kBlocks / 2);
        }
        ASSERT_TRUE(readDisk(kTargetOffset, kPartitionBytes) ==
                    readDisk(kSourceOffset, kPartitionBytes))
            << "compression " << options.compressionType << " encryption "
            << options.encryptionType;
    }
    EXPECT_TRUE(
        agent->waitForLog("Restore request accepted for device (Disk 0 Partition 1).  "
                          "Starting restore."));
    EXPECT_TRUE(agent->waitForLog("Restore complete: 8192 blocks of 4096 bytes written"));
}

// A full backup and two incrementals of the source, restored onto the target: the target
// is then a valid NTFS volume with the source's files, and the change-tracking driver saw
// the restore's writes (an incremental backup of the target, which relies on the driver
// alone, picks the restored clusters up).
TEST_F(VolumeRestoreTest, BackupChainRestoresToAVolumeWithTheSameFiles) {
    test::TempDir stores;
    backup_server::createStore(stores.path());
    sim("mkfs 0:1 --cluster-size 4096");
    auto backup = [&](const char* deviceID) {
        backup_server::VolumeStore store(stores.path(), deviceID);
        backup_server::BackupOptions options;
        options.deviceID = deviceID;
        options.encryptionType = 1;
        auto connection = session();
        auto summary = backup_server::runVolumeBackup(*connection, store, options);
        connection->finish();
        return summary;
    };
    backup(kSource);
    backup(kTarget);  // the driver now tracks the target as well
    put("second.bin", randomBytes(700000, 2));
    EXPECT_TRUE(backup(kSource).presentedKey);
    sim("write 0:0 --cluster 3000 --count 4 --random --seed 5");
    put("third.txt", std::string(5000, 't'));
    backup(kSource);

    backup_server::VolumeStore store(stores.path(), kSource);
    backup_server::StoreBlockSource source(store);
    RestoreOptions options;
    options.deviceID = kTarget;
    options.blockSize = store.blockSize();
    options.compressionType = 1;
    options.encryptionType = 1;
    options.requestKey.emplace(crypto::KeyMsg::kGeneratedType, 128);
    auto connection = session();
    auto summary = backup_server::runVolumeRestore(*connection, options, source);
    connection->finish();
    EXPECT_EQ(summary.blocksSent, source.usedBlocks());

    fs::path sourceImage = extract(kSourceOffset, "chain-source.img");
    fs::path targetImage = extract(kTargetOffset, "chain-target.img");
    std::string bitmap = test::runCommand("ntfscat -f '" + sourceImage.string() + "' '$Bitmap'");
    ASSERT_GE(bitmap.size(), kBlocks / 8 - 1);
    std::uint64_t used = 0;
    for (std::uint64_t i = 0; i + 1 < kBlocks; ++i) {
        if (!((bitmap[i / 8] >> (i % 8)) & 1))
            continue;
        ++used;
        ASSERT_EQ(readDisk(kTargetOffset + i * kCluster, kCluster),
                  readDisk(kSourceOffset + i * kCluster, kCluster))
            << "cluster " << i;
    }
    EXPECT_EQ(used, source.usedBlocks());
    // NTFS's copy of its boot sector, in the partition's last sector, which no cluster
    // covers, matches the source's (the target's own mkfs left a different one there).
    EXPECT_EQ(readDisk(kTargetOffset + kPartitionBytes - 512, 512),
              readDisk(kSourceOffset + kPartitionBytes - 512, 512));
    EXPECT_TRUE(agent->waitForLog("Wrote the copy of the restored NTFS boot sector"));
    EXPECT_NE(test::runCommand("ntfsinfo -m -f '" + targetImage.string() + "'")
                  .find("Cluster Size: 4096"),
              std::string::npos);
    // Equal used clusters hold equal files; ntfs-3g lists the same ones on both.
    EXPECT_EQ(test::runCommand("ntfsls -f '" + targetImage.string() + "'"),
              test::runCommand("ntfsls -f '" + sourceImage.string() + "'"));

    backup_server::BackupSummary after = backup(kTarget);
    EXPECT_TRUE(after.presentedKey);
    EXPECT_FALSE(after.digestsRequested);
    EXPECT_GT(after.blocksSent, 0u);
    backup_server::VolumeStore targetStore(stores.path(), kTarget);
    for (std::uint64_t i = 0; i < after.blockCount; ++i) {
        if (after.used.bit(i)) {
            ASSERT_EQ(targetStore.readBlock(i), store.readBlock(i)) << "block " << i;
        }
    }
}

// Many small batches packed into a file by more threads than cores, then replayed with the
// options and key the file holds: the agent gets them in order and the target equals the
// source. (That the packing threads' units are those of one thread, and a source failing
// part way, are BatchPipelineTest's.)
TEST_F(VolumeRestoreTest, PackedRestoreReplaysWhatManyPackingThreadsMade) {
    RestoreOptions options;
    options.blockSize = kCluster;
    options.batchBlocks = options.maxBlocks = 3;
    options.workers = 5;
    options.compressionType = 1;
    options.encryptionType = 1;
    options.requestKey.emplace(crypto::KeyMsg::kGeneratedType, 128);
    backup_server::ImageBlockSource source(extract(kSourceOffset, "source.img"), kCluster);
    fs::path packedFile = agent->hostRoot() / "packed";
    backup_server::packRestore(options, source, {}, packedFile);
    {
        backup_server::PackedRestoreReader packed(packedFile);
        RestoreOptions replay = packed.options();
        replay.deviceID = kTarget;
        // Blowfish travels in version 1 only; version 2 refuses before the request.
        auto current = session(2);
        EXPECT_THROW(backup_server::runPackedRestore(*current, replay, packed),
                     runtime::AgentException);
        current->finish();
        auto connection = session(1);
        EXPECT_EQ(backup_server::runPackedRestore(*connection, replay, packed).batches,
                  (kBlocks + 2) / 3);
        connection->finish();
        ASSERT_TRUE(readDisk(kTargetOffset, kPartitionBytes) ==
                    readDisk(kSourceOffset, kPartitionBytes));
    }

    // A packed file cut short, or one that was never packed, is refused.
    auto replayAll = [&] {
        backup_server::RestoreUnit unit;
        for (backup_server::PackedRestoreReader reader(packedFile); reader.next(unit);) {
        }
    };
    std::string whole = test::readWholeFile(packedFile);
    for (const std::string& damaged :
         {whole.substr(0, whole.size() - 1), std::string("not packed at all"),
          std::string("zrpack1\n")}) {
        std::ofstream(packedFile, std::ios::binary | std::ios::trunc) << damaged;
        EXPECT_THROW(replayAll(), runtime::AgentException) << damaged.substr(0, 20);
    }
    // A backup session key belongs to one connection: it is never packed into a file.
    RestoreOptions sessionKey = options;
    sessionKey.requestKey.reset();
    sessionKey.sessionKey.emplace(crypto::KeyMsg::kGeneratedType, 128);
    EXPECT_THROW(backup_server::packRestore(sessionKey, source, {}, packedFile),
                 runtime::AgentException);
}

// A damaged batch fails the restore before it is written, and the server's user hears the
// agent's reason. A request for a partition that does not exist, and a block past the
// partition, are refused; nothing lands on or behind the target, and the agent ends the
// connection at once although the server has sent neither more blocks nor the end of the
// stream. (Each malformed request field and stream announcement is refused in
// RequestBodyTest and RestoreStagesTest.)
TEST_F(VolumeRestoreTest, DamagedBatchesMissingPartitionsAndBlocksOutsideAreRefused) {
    RestoreOptions options;
    options.batchBlocks = options.maxBlocks = 64;
    options.corruptBatch = 2;
    try {
        restoreImage(options);
        ADD_FAILURE() << "the restore succeeded";
    } catch (const runtime::AgentException& error) {
        // The server tells its user that the restore failed, with the agent's reason.
        EXPECT_EQ(error.message().rfind("Restore failed: ", 0), 0u) << error.what();
        EXPECT_NE(error.message().find("the digest of batch 3 does not match its blocks"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_TRUE(agent->waitForLog("Restore Failed"));
    EXPECT_TRUE(readDisk(kTargetOffset + 128 * kCluster, kPartitionBytes - 128 * kCluster) ==
                std::string(kPartitionBytes - 128 * kCluster, '\0'));

    blankTarget();
    std::string marker = randomBytes(kMiB, 9);
    test::writeAt(diskImage(), kTargetOffset + kPartitionBytes, marker);
    RestoreOptions missing;
    missing.deviceID = "Disk 0 Partition 7";
    missing.blockSize = kCluster;
    auto connection = session();
    EXPECT_THROW(backup_server::startVolumeRestore(*connection, missing), std::exception);
    EXPECT_NE(agentErrors(*connection).find("Could not find Disk 0 Partition 7"),
              std::string::npos);

    RestoreOptions outside = missing;
    outside.deviceID = kTarget;
    connection = session();
    backup_server::startVolumeRestore(*connection, outside);
    backup_server::sendRestoreBatch(*connection, {blockOf(kBlocks, std::string(kCluster, 'x'))});
    EXPECT_NE(agentErrors(*connection).find("to would write outside of partition range"),
              std::string::npos);
    EXPECT_TRUE(readDisk(kTargetOffset + kPartitionBytes, kMiB) == marker);
    EXPECT_TRUE(readDisk(kTargetOffset, kPartitionBytes) == std::string(kPartitionBytes, '\0'));
}

}  // namespace
