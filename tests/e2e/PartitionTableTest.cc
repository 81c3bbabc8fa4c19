// Partition tables through the real agent: partition-table backups restored onto blank
// disks, and restores that must be refused before anything is written.
#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "backup-server/session/PartitionTable.h"
#include "backup-server/store/PartitionStore.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"

namespace {

namespace fs = std::filesystem;
using backup_server::PartitionTableImage;

constexpr std::uint64_t kMiB = 1 << 20;

// Disk 0: an NTFS primary (C:), an extended partition with two NTFS logical drives (the
// second is E:); disk 1 blank of the same size, disk 2 dynamic, disk 3 blank of its size.
class PartitionTableE2E : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide();
        agent = new test::AgentProcess();
        agent->allowServer(test::serverKeys("first"));
        for (const char* arguments :
             {"add-disk --size 64M --part 'size=16M,type=7' --part 'type=5' "
              "--part 'size=16M,type=7' --part 'size=16M,type=7'",
              "mkfs 0:0", "mkfs 0:1", "mkfs 0:2", "letter C 0:0", "letter E 0:2",
              "add-disk --size 64M", "add-disk --size 8M --dynamic", "add-disk --size 8M"})
            agent->sim(arguments);
        agent->start();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(agent->stop(), 0);
        delete agent;
        agent = nullptr;
    }
    static inline test::AgentProcess* agent = nullptr;

    std::unique_ptr<backup_server::AgentSession> session() {
        return agent->openSession(test::serverKeys("first"));
    }
    PartitionTableImage backup(const std::string& disk) {
        auto connection = session();
        PartitionTableImage image = backup_server::backupPartitionTable(*connection, disk);
        connection->finish();
        return image;
    }
    void restore(const std::string& disk, const PartitionTableImage& image) {
        auto connection = session();
        backup_server::restorePartitionTable(*connection, disk, image);
        connection->finish();
    }
    void expectOnDisk(int disk, const PartitionTableImage& image) {
        for (const auto& sector : image.sectors) {
            ASSERT_TRUE(test::readAt(agent->diskImage(disk), sector.offset, 512) == sector.data)
                << "disk " << disk << " offset " << sector.offset;
        }
    }
};

TEST_F(PartitionTableE2E, TablesRestoredOntoBlankDisksReadBackTheSame) {
    PartitionTableImage original = backup("Disk 0");
    EXPECT_EQ(original.sectorSize, 512u);
    // The MBR, sectors 1 to 2047 before the first partition, and two extended boot records.
    ASSERT_EQ(original.sectors.size(), 2050u);
    for (std::uint64_t i = 0; i < 2048; ++i)
        ASSERT_EQ(original.sectors[i].offset, i * 512);
    EXPECT_EQ(original.sectors[2048].offset, 17 * kMiB);
    EXPECT_GT(original.sectors[2049].offset, original.sectors[2048].offset);
    expectOnDisk(0, original);

    // Through the store, as the command line does.
    test::TempDir folder;
    backup_server::createStore(folder.path());
    backup_server::Store store(folder.path(), backup_server::Store::Access::write, "test");
    auto table = backup_server::savePartitionTable(store, "here", "Disk 0", original);
    PartitionTableImage stored = backup_server::loadPartitionTable(store, table);
    EXPECT_EQ(stored.sectors, original.sectors);

    restore("Disk 1", stored);
    expectOnDisk(1, original);
    EXPECT_EQ(backup("Disk 1").sectors, original.sectors);

    // A dynamic disk's table carries the LDM database at the disk's end.
    PartitionTableImage dynamic = backup("Disk 2");
    ASSERT_EQ(dynamic.sectors.size(), 1u + 62 + 2048);
    EXPECT_EQ(dynamic.sectors[63].offset, (16384u - 2048) * 512);
    EXPECT_EQ(dynamic.sectors.back().offset, 16383u * 512);
    EXPECT_TRUE(agent->waitForLog("Backing up 2048 sectors of the LDM database"));
    restore("Disk 3", dynamic);
    expectOnDisk(3, dynamic);
    EXPECT_EQ(backup("Disk 3").sectors, dynamic.sectors);
}

// An empty restore completes, and a sector that reaches past the disk's end, sent after a
// sound one, fails the restore before either is written: neither changes the disk. (Every
// other refusal of a table restore, each with its text, is asserted by RequestBodyTest and
// PartitionRequestTest.)
TEST_F(PartitionTableE2E, EmptyAndRefusedRestoresChangeNothing) {
    std::string before = test::readAt(agent->diskImage(1), 0, 64 * 512);
    restore("Disk 1", PartitionTableImage{});
    EXPECT_EQ(test::readAt(agent->diskImage(1), 0, 64 * 512), before);

    auto connection = session();
    auto attempt = [&] {
        backup_server::startPartitionRestore(*connection, "Disk 1", 512, 2);
        backup_server::sendTableSector(*connection, {0, std::string(512, 'X')});
        backup_server::sendTableSector(*connection, {64 * kMiB - 256, std::string(512, 'Y')});
        backup_server::finishPartitionRestore(*connection);
    };
    EXPECT_THROW(attempt(), std::exception);
    EXPECT_NE(test::lastErrorRecord(*connection)
                  .find("Refusing to write a sector of 512 bytes at offset " +
                        std::to_string(64 * kMiB - 256)),
              std::string::npos)
        << test::lastErrorRecord(*connection);
    EXPECT_EQ(test::readAt(agent->diskImage(1), 0, 64 * 512), before);
}

}  // namespace
