// GPT disks through the real agent and the backup-server tool, as a user drives them: an
// emulated host with one MBR disk and one GPT disk (sfdisk's table), volumes backed up in
// full and incrementally and restored onto another GPT partition, judged by ntfs-3g's tools
// and by the bytes of the disk image. (The refusals of a reserved partition's backup and of a
// smaller disk's table are asserted by the platform and disk suites.)
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "AgentProcess.h"
#include "backup-server/session/ServerKeys.h"
#include "common/ChildProcess.h"
#include "common/RunCommand.h"
#include "common/TempDir.h"
#include "common/TestBytes.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint32_t kCluster = 4096;
// Disk 1: ESP 8M, reserved 16M, data 32M ("Disk 1 Partition 2"), data 32M ("... 3").
constexpr std::uint64_t kSourceOffset = 25 * kMiB;
constexpr std::uint64_t kTargetOffset = 57 * kMiB;
constexpr std::uint64_t kPartitionBytes = 32 * kMiB;
constexpr const char* kGptLayout =
    "add-disk --size 100M --label gpt "
    "--part 'size=8M,type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B' "
    "--part 'size=16M,type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE' "
    "--part 'size=32M,type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7,name=source' "
    "--part 'size=32M,type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7,name=target'";

using test::randomBytes;

using test::readAt;

class GptDiskE2E : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide(30);
        agent = test::agentOnHost({}, {"add-disk --size 16M --part 'size=8M,type=7'", kGptLayout,
                                       "mkfs 1:2 --cluster-size 4096"});
        local = new test::TempDir();
        put("random.bin", randomBytes(3 * kMiB + 77, 1));
        put("text.txt", std::string(300000, 't'));
        auto keys = backup_server::ServerKeys::create(local->path() / "keys");
        agent->allowServer(keys, "cli");
        agent->start();
        // A write after the start, so the change-tracking driver knows the volume.
        put("after-start.bin", randomBytes(20000, 2));
    }
    static void TearDownTestSuite() {
        agent->stop();
        agent.reset();
        delete local;
    }

    static std::string sim(const std::string& arguments) { return agent->sim(arguments); }
    static void put(const std::string& name, const std::string& content) {
        agent->put("1:2", "/" + name, content);
    }
    static std::string server(const std::string& arguments) {
        return test::runCommand(
            test::backupServerCommand(local->path() / "keys", agent->port(), arguments));
    }
    static fs::path image(int disk) { return agent->diskImage(disk); }
    // The partition's bytes in a file of their own, for ntfs-3g.
    static fs::path extract(std::uint64_t offset, const std::string& name) {
        fs::path file = local->path() / name;
        std::ofstream(file, std::ios::binary) << readAt(image(1), offset, kPartitionBytes);
        return file;
    }

    static inline std::unique_ptr<test::AgentProcess> agent;
    static inline test::TempDir* local = nullptr;
};

// sfdisk's partition lines without the device names.
std::string partitionLines(const fs::path& image) {
    std::string dump = test::runCommand("sfdisk --dump '" + image.string() + "'");
    std::string lines;
    for (std::size_t at = dump.find(": start="); at != std::string::npos;
         at = dump.find(": start=", at + 1)) {
        lines += dump.substr(at, dump.find('\n', at) - at) + "\n";
    }
    return lines;
}

// Full and incremental backups of a GPT volume restore onto another GPT partition; the
// disk's table, restored onto a larger blank disk, passes sgdisk and numbers the partitions
// as before.
TEST_F(GptDiskE2E, VolumesAndTheTableRestoreOntoAnotherPartitionAndALargerDisk) {
    fs::path store = local->path() / "store";
    server("init --no-encryption '" + store.string() + "'");
    std::string full = server("backup 'Disk 1 Partition 2' '" + store.string() +
                              "' compression=1 encryption=1 checksums=1");
    // Nothing held yet: the server reports the first backup of the volume as a full one.
    EXPECT_NE(full.find("full:"), std::string::npos) << full;

    put("random.bin", randomBytes(kMiB, 3));
    put("added.txt", "added between the backups\n");
    std::string incremental = server("backup 'Disk 1 Partition 2' '" + store.string() +
                                     "' compression=1 encryption=1 checksums=1");
    EXPECT_NE(incremental.find("incremental:"), std::string::npos) << incremental;

    std::string restore = server("restore 'Disk 1 Partition 3' '" + store.string() +
                                 "' 'from=Disk 1 Partition 2' compression=1 encryption=1");
    fs::path source = extract(kSourceOffset, "source.img");
    fs::path restored = extract(kTargetOffset, "restored.img");

    // Every cluster the file system uses, by ntfs-3g's reading of the source, is identical
    // (so are the files they hold, and their metadata). The volume is one sector shorter than the
    // partition (the last holds the boot sector's copy), so it has one cluster fewer than the
    // partition could hold.
    std::string bitmap = test::runCommand("ntfscat -f '" + source.string() + "' '$Bitmap'");
    std::uint64_t used = 0;
    for (std::uint64_t i = 0; i < kPartitionBytes / kCluster - 1; ++i) {
        if (!((static_cast<unsigned char>(bitmap[i / 8]) >> (i % 8)) & 1))
            continue;
        ++used;
        ASSERT_TRUE(readAt(restored, i * kCluster, kCluster) ==
                    readAt(source, i * kCluster, kCluster))
            << "cluster " << i;
    }
    EXPECT_GT(used, 400u);  // the files alone fill more than 1.4 MiB
    // The reserved partition and the disk's other bytes are untouched.
    EXPECT_TRUE(readAt(image(1), 8 * kMiB + kMiB, 16 * kMiB) == std::string(16 * kMiB, '\0'));
    EXPECT_NE(
        test::runCommand("sgdisk --verify '" + image(1).string() + "'").find("No problems found"),
        std::string::npos);

    // The table, restored onto a larger blank disk, is rebuilt for that disk's end.
    fs::path tables = local->path() / "tables";
    server("init --no-encryption '" + tables.string() + "'");
    std::string saved = server("partition-backup 'Disk 1' '" + tables.string() + "'");
    EXPECT_NE(saved.find("67 sectors of 512 bytes"), std::string::npos) << saved;
    EXPECT_NE(saved.find("(GPT, disk "), std::string::npos) << saved;
    EXPECT_NE(saved.find(", 4 partitions, made for a disk of 204800 sectors)"), std::string::npos)
        << saved;

    sim("add-disk --size 160M --number 2");
    std::string rebuilt = server("partition-restore 'Disk 2' '" + tables.string() + "' 'Disk 1'");
    EXPECT_NE(rebuilt.find("restored to Disk 2"), std::string::npos) << rebuilt;
    std::string verify = test::runCommand("sgdisk --verify '" + image(2).string() + "'");
    EXPECT_NE(verify.find("No problems found"), std::string::npos) << verify;
    std::string lines = partitionLines(image(2));
    EXPECT_EQ(lines, partitionLines(image(1)));
    EXPECT_NE(lines.find("name=\"target\""), std::string::npos) << lines;
    // The rebuilt disk's partitions are listed under the same numbers.
    std::string list = server("partition-list");
    EXPECT_NE(list.find("Disk 2 Partition 3"), std::string::npos) << list;
    EXPECT_EQ(list.find("Disk 2 Partition 1"), std::string::npos) << list;
}

}  // namespace
