// Volume backups of the real agent on emulated hosts with real NTFS volumes, driven by the
// backup server's library: full, incremental (journal key) and digest-compared backups, the
// page file and hibernation file left out, busy refusals, keep-alives, every transformation
// and read faults. After each backup the server's image is compared with the volume's own
// bytes, read straight from the disk image: the agent's report is not the ground truth.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <thread>

#include "AgentProcess.h"
#include "backup-server/commands/StatusReader.h"
#include "backup-server/session/VolumeBackup.h"
#include "backup-server/store/VolumeStore.h"
#include "common/ChildProcess.h"
#include "common/RunCommand.h"
#include "common/TestBytes.h"
#include "runtime/Exceptions.h"

namespace {

namespace fs = std::filesystem;
using backup_server::BackupOptions;
using backup_server::BackupSummary;

const char* const kDeviceID = "Disk 0 Partition 0";
constexpr std::uint64_t kVolumeOffset = 1 << 20;  // the partition starts at 1 MiB
constexpr std::uint32_t kCluster = 4096;

using test::randomBytes;

using test::readAt;

// One agent for the suite, on a host with one 40 MiB disk holding a 32 MiB NTFS volume
// (4 KiB clusters) with a page file, a hibernation file, a random file and a compressible
// one. Each test backs up into stores of its own.
class BackupTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide(30);
        agent_ =
            test::agentOnHost({}, {"add-disk --size 40M --part 'size=32M,type=7'", "mkfs 0:0"});
        put("pagefile.sys", randomBytes(1 << 20, 1));
        put("hiberfil.sys", randomBytes(512 << 10, 2));
        put("random.bin", randomBytes(2 << 20, 3));
        put("text.txt", std::string(1 << 20, 'z'));
        agent_->allowServer(test::serverKeys("backup"));
        agent_->start();
        // Writes after the agent started make the driver describe the volume, as on a
        // running system, so the first backup already gets a journal key.
        put("after-start.bin", randomBytes(8192, 4));
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(agent_->stop(), 0);
        agent_.reset();
    }
    void SetUp() override { store_ = test::newStoreFolder(); }

    std::string sim(const std::string& arguments) { return agent_->sim(arguments); }

    static void put(const std::string& name, const std::string& content) {
        contents_[name] = content;
        agent_->put("0:0", "/" + name, content);
    }

    fs::path diskImage() const { return agent_->diskImage(); }
    std::string volumeCluster(std::uint64_t index) const {
        return readAt(diskImage(), kVolumeOffset + index * kCluster, kCluster);
    }

    // The cluster holding the first 4 KiB of a file we put, found by its content.
    std::uint64_t clusterOf(const std::string& name) const {
        std::string head = contents_.at(name).substr(0, kCluster);
        for (std::uint64_t i = 0; i < 8191; ++i) {
            if (volumeCluster(i) == head)
                return i;
        }
        ADD_FAILURE() << name << " not found on the volume";
        return 0;
    }

    BackupSummary backup(BackupOptions options = {}, std::uint32_t protocol = 2) {
        options.deviceID = kDeviceID;
        backup_server::VolumeStore store(store_->path(), kDeviceID);
        auto session = agent_->openSession(test::serverKeys("backup"), protocol);
        BackupSummary summary = backup_server::runVolumeBackup(*session, store, options);
        session->finish();
        records_ = session->logRecords();
        return summary;
    }

    // Every used block in the store equals the volume's cluster; the blocks the agent left
    // out of the used map are exactly the page file's and the hibernation file's.
    void expectImageMatchesVolume(const BackupSummary& summary) {
        backup_server::VolumeStore store(store_->path(), kDeviceID);
        std::string bitmap = ntfsBitmap();
        std::string excluded;
        for (std::uint64_t i = 0; i < summary.blockCount; ++i) {
            bool allocated = (bitmap[i / 8] >> (i % 8)) & 1;
            if (summary.used.bit(i)) {
                ASSERT_TRUE(allocated) << "block " << i << " is not allocated";
                ASSERT_EQ(store.readBlock(i), volumeCluster(i)) << "block " << i;
            } else if (allocated) {
                excluded += volumeCluster(i);
            }
        }
        EXPECT_EQ(excluded.size(),
                  contents_.at("hiberfil.sys").size() + contents_.at("pagefile.sys").size());
        EXPECT_NE(excluded.find(contents_.at("pagefile.sys")), std::string::npos);
        EXPECT_NE(excluded.find(contents_.at("hiberfil.sys")), std::string::npos);
    }

    // The volume's allocation bitmap as ntfs-3g reads it.
    std::string ntfsBitmap() {
        fs::path volume = agent_->hostRoot() / "volume.img";
        test::runCommand("dd if='" + diskImage().string() + "' of='" + volume.string() +
                         "' bs=1M skip=1 count=32 status=none");
        fs::path bitmap = agent_->hostRoot() / "bitmap";
        test::runCommand("PATH=$PATH:/usr/sbin:/sbin ntfscat -f '" + volume.string() +
                         "' '$Bitmap' > '" + bitmap.string() + "'");
        return readAt(bitmap, 0, 8192 / 8);
    }

    bool logged(net::Code level, const std::string& text) const {
        for (const auto& record : records_) {
            if (record.code == level && record.text.find(text) != std::string::npos)
                return true;
        }
        return false;
    }

    static inline std::unique_ptr<test::AgentProcess> agent_;
    static inline std::map<std::string, std::string> contents_;
    std::unique_ptr<test::TempDir> store_;
    std::vector<backup_server::LogRecord> records_;
};

std::vector<std::uint64_t> setBits(const blocks::BlockMap& map) {
    std::vector<std::uint64_t> bits;
    for (std::uint64_t i = 0; i < map.capacity(); ++i) {
        if (map.bit(i))
            bits.push_back(i);
    }
    return bits;
}

TEST_F(BackupTest, FullThenIncrementalThenDigestComparedAfterDriverReset) {
    BackupSummary first = backup();
    EXPECT_TRUE(logged(net::PROT_LOG_INFO,
                       "Changes have not been tracked for this device.  "
                       "Forcing checksum verification."));
    EXPECT_TRUE(logged(net::PROT_LOG_INFO,
                       "Data from the Window's page file (pagefile.sys) is "
                       "being skipped"));
    EXPECT_TRUE(logged(net::PROT_LOG_INFO,
                       "Data from the Window's hibernation (hiberfil.sys) "
                       "is being skipped"));
    EXPECT_TRUE(first.digestsRequested);
    EXPECT_EQ(first.digestsServed, 0u);
    EXPECT_EQ(first.blocksSent, first.usedBlocks);
    EXPECT_EQ(first.skippedBlocks, 0u);
    EXPECT_EQ(first.blockSize, kCluster);
    EXPECT_GT(first.compressedBlocks, 0u);
    expectImageMatchesVolume(first);

    // Tracked changes: exactly the written used clusters go out, without digests.
    std::uint64_t random = clusterOf("random.bin");
    std::uint64_t text = clusterOf("text.txt");
    sim("write 0:0 --cluster " + std::to_string(random + 3) + " --count 2 --random --seed 7");
    sim("write 0:0 --cluster " + std::to_string(text) + " --byte 65");
    BackupSummary second = backup();
    EXPECT_FALSE(second.digestsRequested);
    EXPECT_EQ(setBits(second.sent), (std::vector<std::uint64_t>{text, random + 3, random + 4}));
    EXPECT_EQ(second.skippedBlocks, second.usedBlocks - 3);
    expectImageMatchesVolume(second);

    // An unchanged volume with the returned key sends nothing at all.
    EXPECT_EQ(backup().blocksSent, 0u);

    // After the driver lost its history, only blocks whose content changed are sent; a
    // cluster rewritten with the bytes it held is not.
    sim("driver-reset");
    sim("write 0:0 --cluster " + std::to_string(random + 10) + " --random --seed 9");
    sim("write 0:0 --cluster " + std::to_string(text + 1) + " --byte 122");  // 'z' as before
    BackupSummary third = backup();
    EXPECT_TRUE(third.digestsRequested);
    EXPECT_EQ(third.digestsServed, second.usedBlocks);
    EXPECT_EQ(setBits(third.sent), (std::vector<std::uint64_t>{random + 10}));
    EXPECT_EQ(third.skippedBlocks, third.usedBlocks - 1);
    expectImageMatchesVolume(third);
}

// Unknown transformation types are refused before any block is read; the null target takes
// the whole stream, checked, and leaves the store alone; every combination of compression
// and encryption gives the same image. One agent serves them in turn.
TEST_F(BackupTest, TransformationsAndTheNullTarget) {
    // (Each unknown type's text is BackupPipelineTest's; one shows the way out of the agent.)
    const std::size_t mark = agent_->log().size();
    BackupOptions unknown;
    unknown.encryptionType = 7;
    EXPECT_THROW(backup(unknown), runtime::AgentException);
    EXPECT_TRUE(
        agent_->waitForLog("Caught exception while sending blocks: Unkown encryption type: 7"));
    EXPECT_EQ(agent_->log().find("Blocks sent:", mark), std::string::npos);

    // The lock was released: the sink's backup runs to the end.
    BackupOptions options;
    options.deviceID = kDeviceID;
    options.compressionType = 1;
    options.compressionLevel = 1;
    options.encryptionType = 1;
    options.sink = true;
    store_ = test::newStoreFolder();
    auto session = agent_->openSession(test::serverKeys("backup"));
    BackupSummary sink = backup_server::runSinkBackup(*session, options);
    session->finish();
    EXPECT_GT(sink.usedBlocks, 0u);
    EXPECT_EQ(sink.blocksSent, sink.usedBlocks);
    EXPECT_GT(sink.compressedBlocks, 0u);
    EXPECT_EQ(sink.batches, (sink.blocksSent + 255) / 256);
    EXPECT_EQ(backup_server::describeBackup(sink).rfind("full: ", 0), 0u);
    EXPECT_TRUE(fs::is_empty(store_->path() / "chunks"));

    for (std::uint32_t protocol : {1u, 2u}) {
        for (std::uint32_t compression : {0u, 1u}) {
            for (std::uint32_t encryption : {0u, 1u}) {
                SCOPED_TRACE("protocol " + std::to_string(protocol) + ", compression " +
                             std::to_string(compression) + ", encryption " +
                             std::to_string(encryption));
                store_ = test::newStoreFolder();
                BackupOptions options;
                options.compressionType = compression;
                options.compressionLevel = compression == 1 ? 9 : 0;
                options.encryptionType = encryption;
                options.checksums = false;
                BackupSummary summary = backup(options, protocol);
                EXPECT_EQ(summary.blocksSent, summary.usedBlocks);
                EXPECT_EQ(summary.compressedBlocks > 0, compression == 1);
                // Blowfish pads every block by 8 bytes; version 2 seals every block with a
                // 16-byte tag instead, whatever the request's encryption says.
                std::uint64_t rawBytes = summary.usedBlocks * (29 + kCluster);
                std::uint64_t overhead = protocol == 2 ? 16 : encryption == 1 ? 8 : 0;
                if (compression == 0) {
                    EXPECT_EQ(summary.wireBytes, rawBytes + summary.usedBlocks * overhead);
                }
                expectImageMatchesVolume(summary);
            }
        }
    }
}

TEST_F(BackupTest, SecondBackupIsBusyWhileTheFirstTakesItsSlowSnapshot) {
    // The snapshot service reads its behaviour from host.conf at each call.
    const fs::path hostConfig = agent_->hostRoot() / "host.conf";
    const std::string layout = test::readWholeFile(hostConfig);
    std::ofstream(hostConfig, std::ios::trunc)
        << layout << "[snapshot service]\ndelay DoSnapshotSet = 10500\n";
    const std::size_t mark = agent_->log().size();
    auto first = std::async(std::launch::async, [this] { return backup(); });
    ASSERT_TRUE(agent_->waitForLog("Accepting new backup request", std::chrono::seconds(20), mark));
    backup_server::StatusReader status(agent_->statusPort(), test::serverTimeout());
    bool sawRunning = false;
    for (int i = 0; i < 5 && !sawRunning; ++i)
        sawRunning = status.next().running == 1;
    EXPECT_TRUE(sawRunning);

    backup_server::createStore(store_->path() / "other");
    backup_server::VolumeStore other(store_->path() / "other", kDeviceID);
    auto session = agent_->openSession(test::serverKeys("backup"));
    BackupOptions options;
    options.deviceID = kDeviceID;
    EXPECT_TRUE(backup_server::runVolumeBackup(*session, other, options).busy);
    EXPECT_NE(test::closingReason(*session).find(
                  "Backup cannot be started while another backup is in progress."),
              std::string::npos);

    BackupSummary summary = first.get();
    std::ofstream(hostConfig, std::ios::trunc) << layout;
    EXPECT_GE(summary.keepAlives, 1u);
    EXPECT_EQ(summary.blocksSent, summary.usedBlocks);
    expectImageMatchesVolume(summary);
    // A new client, so no record from the busy time is still queued for it.
    backup_server::StatusReader after(agent_->statusPort(), test::serverTimeout());
    bool sawIdle = false;
    for (int i = 0; i < 5 && !sawIdle; ++i)
        sawIdle = after.next().running == 0;
    EXPECT_TRUE(sawIdle);
}

// Read faults of the volume: a hard one fails the backup and records nothing; a block that
// keeps failing fails the backup and the next backup sends it. (Transient errors retried
// until they pass are BlockLoadTest's.)
TEST_F(BackupTest, ReadErrorsFailTheBackupAndTheNextBackupSendsTheBlocks) {
    sim("letter C 0:0");
    std::uint64_t cluster = clusterOf("random.bin");
    BackupSummary summary = backup();
    EXPECT_EQ(summary.driveLetter, "C:\\");
    expectImageMatchesVolume(summary);

    sim("fault broken volume=C clusters=" + std::to_string(cluster + 1) + " error=483");
    auto kept = std::move(store_);
    store_ = test::newStoreFolder();
    EXPECT_THROW(backup(), runtime::AgentException);
    EXPECT_TRUE(agent_->waitForLog("Caught exception while sending blocks: Backup failed"));
    EXPECT_TRUE(agent_->waitForLog("Error while reading blocks from disk: "));
    // A failed backup records nothing: the store keeps no journal key.
    EXPECT_FALSE(backup_server::VolumeStore(store_->path(), kDeviceID).journalKey());
    sim("fault broken --remove");

    store_ = std::move(kept);
    expectImageMatchesVolume(backup());
    std::string first = std::to_string(cluster);
    sim("write 0:0 --cluster " + first + " --count 2 --random --seed 21");
    sim("fault bad volume=C clusters=" + first + "-" + std::to_string(cluster + 1) + " error=1117");
    auto keyBefore = backup_server::VolumeStore(store_->path(), kDeviceID).journalKey();
    ASSERT_TRUE(keyBefore);
    EXPECT_THROW(backup(), runtime::AgentException);
    EXPECT_TRUE(agent_->waitForLog("Failed to read block " + first + " after 3 tries: "));

    // Even with the key of the last good backup, the agent knows its tracking period ended
    // with the failed backup: it compares digests and sends the blocks it could not read.
    sim("fault bad --remove");
    BackupOptions options;
    options.journalKeyOverride = *keyBefore;
    BackupSummary next = backup(options);
    EXPECT_TRUE(next.digestsRequested);
    EXPECT_TRUE(next.sent.bit(cluster) && next.sent.bit(cluster + 1));
    expectImageMatchesVolume(next);
}

}  // namespace
