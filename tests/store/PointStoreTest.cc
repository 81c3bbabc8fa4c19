// Restore points built, read, verified and collected without an agent (PointStoreFixture.h).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "PointStoreFixture.h"
#include "backup-server/commands/Command.h"
#include "backup-server/store/PartitionStore.h"
#include "backup-server/store/StoreError.h"
#include "backup-server/store/StoreGc.h"
#include "backup-server/store/StoreVerify.h"
#include "common/RunCommand.h"

namespace {

namespace fs = std::filesystem;
using namespace backup_server;
using namespace store_test;

TEST_F(PointStoreTest, IncrementalsStoreOnlyChangedChunksAndEveryPointRestoresOnItsOwn) {
    Volume first;
    for (std::uint64_t i = 0; i < 3000; i += 3)
        first.write(i, static_cast<unsigned>(i));
    first.write(4999, 1);  // in the short last chunk
    PointRecord full = addPoint(first);
    EXPECT_EQ(chunkFiles(), 4u);  // chunk 3 (blocks 3072-4095) uses no block
    EXPECT_GT(full.storedBytes, 1000u * kBlock);

    // Two blocks of chunk 1 change, one block of chunk 2 is freed.
    Volume second = first;
    second.write(1200, 77);
    second.write(1203, 78);
    second.used.clearBit(2100);
    PointRecord incremental = addPoint(second, {1200, 1203});
    EXPECT_EQ(chunkFiles(), 6u);  // new versions of chunks 1 and 2 only
    EXPECT_LT(incremental.storedBytes, full.storedBytes * 3 / 4);  // chunks 0 and 4 not again

    // Nothing changed: the point shares every chunk, also when new volumes get another
    // chunk size (the volume keeps its own).
    chunkBlocks_ = 256;
    PointRecord same = addPoint(second, {1});
    EXPECT_EQ(same.storedBytes, 0u);
    EXPECT_EQ(same.geometry.chunkBlocks, kChunkBlocks);
    EXPECT_EQ(chunkFiles(), 6u);

    expectPointHolds(full.id, first);
    expectPointHolds(incremental.id, second);
    expectPointHolds(same.id, second);
    VolumeStore view(dir_.path(), kDevice, kAgent);
    EXPECT_EQ(view.latestPoint()->id, same.id);
    EXPECT_EQ(view.journalKey(), std::string(56, 'k'));
    EXPECT_EQ(view.readBlock(1200), second.read(1200));
}

// A volume that grew keeps the blocks it had: they need not be sent again.
TEST_F(PointStoreTest, AGrownVolumeBuildsOnTheBlocksItShares) {
    Volume volume;
    for (std::uint64_t i = 4090; i < 5000; ++i)
        volume.write(i, static_cast<unsigned>(i));
    addPoint(volume);
    auto builder = startPoint(6000);
    blocks::BlockMap used(6000);
    for (std::uint64_t i = 4090; i < 5000; ++i)
        used.setBit(i);
    used.setBit(5500);
    builder->setUsed(used);
    std::string data(kBlock, 'n');
    builder->writeBlock(5500, reinterpret_cast<const unsigned char*>(data.data()), md5(data));
    PointRecord grown = builder->commit(agentPoint());
    builder.reset();
    dropStore();
    Store look(dir_.path(), Store::Access::look);
    PointReader reader(look, grown);
    EXPECT_EQ(reader.geometry().blockCount, 6000u);
    for (std::uint64_t i = 4090; i < 5000; ++i)
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(reader.block(i)), kBlock),
                  volume.read(i));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reader.block(5500)), kBlock), data);
}

TEST_F(PointStoreTest, UnsoundStreamsAreRefusedAndLeaveNoPoint) {
    Volume volume;
    for (std::uint64_t i = 100; i < 200; ++i)
        volume.write(i, static_cast<unsigned>(i));
    addPoint(volume);
    std::string data(kBlock, 'x');
    auto bytes = reinterpret_cast<const unsigned char*>(data.data());
    {
        auto builder = startPoint();
        builder->setUsed(volume.used);
        builder->writeBlock(150, bytes, md5(data));
        EXPECT_THROW(builder->writeBlock(150, bytes, md5(data)), StoreError);
        EXPECT_THROW(builder->writeBlock(120, bytes, md5(data)), StoreError);
    }
    {
        // A used block the base point never held and the stream did not send.
        Volume grown = volume;
        grown.write(4000, 9);
        auto builder = startPoint();
        builder->setUsed(grown.used);
        EXPECT_THROW(builder->commit(agentPoint()), StoreError);
    }
    dropStore();
    Store store(dir_.path(), Store::Access::look);
    EXPECT_EQ(store.catalogue().points().size(), 1u);
}

// A backup that dies half way (its builder never commits) leaves the earlier point as it
// was; its chunks and half-written index are garbage that gc, and only gc, removes.
TEST_F(PointStoreTest, AnUnfinishedPointLeavesGarbageOnlyGcRemoves) {
    Volume volume;
    for (std::uint64_t i = 0; i < kBlocks; i += 2)
        volume.write(i, static_cast<unsigned>(i));
    PointRecord kept = addPoint(volume);
    std::size_t before = chunkFiles();
    Volume changed = volume;
    for (std::uint64_t i = 0; i < 3000; i += 2)
        changed.write(i, static_cast<unsigned>(i + 1));
    {
        auto builder = startPoint();
        builder->setUsed(changed.used);
        for (std::uint64_t i = 0; i < 3000; i += 2) {
            std::string data = changed.read(i);
            builder->writeBlock(i, reinterpret_cast<const unsigned char*>(data.data()), md5(data));
        }
    }
    EXPECT_EQ(chunkFiles(), before + 2);  // chunks 0 and 1 were complete when it stopped
    std::ofstream(dir_.path() / "points" / "stray.index.part") << "half";
    // What a put cut short by a crash leaves: a hidden temporary file beside the chunks.
    fs::path leftover = dir_.path() / "chunks" / "00" / ".00ab.tmp-Xy12Zq";
    fs::create_directories(leftover.parent_path());
    std::ofstream(leftover) << "part of a chunk";
    expectPointHolds(kept.id, volume);

    dropStore();
    Store store(dir_.path(), Store::Access::exclusive, "gc");
    GcReport report = collectGarbage(store, nullptr);
    EXPECT_EQ(report.chunksRemoved, 2u);
    EXPECT_EQ(report.chunksKept, before);
    EXPECT_EQ(report.filesRemoved, 2u);
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_GT(report.bytesFreed, 0u);
    EXPECT_FALSE(verifyPoints(store, store.catalogue().points(), nullptr).damaged());
    expectPointHolds(kept.id, volume);
}

// A chunk file cut short (as a crash can leave one) is not taken for the chunk it names:
// the next backup that holds that chunk writes it again, which mends the older point too.
TEST_F(PointStoreTest, AChunkCutShortIsWrittenAgain) {
    Volume volume;
    for (std::uint64_t i = 0; i < 1000; ++i)
        volume.write(i, static_cast<unsigned>(i));
    PointRecord first = addPoint(volume);
    dropStore();
    fs::path chunk;
    {
        Store look(dir_.path(), Store::Access::look);
        chunk = ChunkStore(look.chunkFolder()).pathOf(PointReader(look, first).index().entry(0));
    }
    fs::resize_file(chunk, 10);
    PointRecord second = addPoint(volume);
    EXPECT_GT(second.storedBytes, 0u);
    dropStore();
    Store look(dir_.path(), Store::Access::look);
    EXPECT_FALSE(verifyPoints(look, look.catalogue().points(), nullptr).damaged());
}

TEST_F(PointStoreTest, VerifyNamesTheDamagedBlocksAndPoints) {
    Volume first;
    for (std::uint64_t i = 0; i < 2048; ++i)
        first.write(i, static_cast<unsigned>(i));
    PointRecord older = addPoint(first);
    Volume second = first;
    second.write(1500, 3);
    PointRecord newer = addPoint(second, {1500});
    dropStore();
    Store look(dir_.path(), Store::Access::look);
    EXPECT_FALSE(verifyPoints(look, look.catalogue().points(), nullptr).damaged());

    // Flip a byte of block 7's digest in chunk 0, which both points share.
    PointReader reader(look, older);
    fs::path chunk = ChunkStore(look.chunkFolder()).pathOf(reader.index().entry(0));
    std::fstream file(chunk, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(kChunkHeaderBytes + 16 * 7));
    file.put('\x5a');
    file.close();
    VerifyReport report = verifyPoints(look, look.catalogue().points(), nullptr);
    ASSERT_EQ(report.points.size(), 2u);
    for (const PointVerdict& verdict : report.points) {
        ASSERT_EQ(verdict.chunks.size(), 1u) << verdict.point.id;
        EXPECT_EQ(verdict.chunks[0].blocks, std::vector<std::uint64_t>{7});
    }
    EXPECT_EQ(report.chunksRead, 3u);  // the shared chunk was read once
    EXPECT_NE(describeVerify(report).find("point " + std::to_string(newer.id)), std::string::npos);

    // A damaged index is found too, and is refused to readers.
    fs::path index = look.indexPath(newer.indexFile);
    std::fstream indexFile(index, std::ios::in | std::ios::out | std::ios::binary);
    indexFile.seekp(40);
    indexFile.put('\x01');
    indexFile.close();
    EXPECT_THROW(PointReader(look, newer), StoreError);
    report = verifyPoints(look, {newer}, nullptr);
    EXPECT_NE(report.points[0].indexProblem.find("seal"), std::string::npos);
    // gc refuses to guess while an index is unreadable.
    Store exclusive(dir_.path(), Store::Access::exclusive, "gc");
    EXPECT_THROW(collectGarbage(exclusive, nullptr), StoreError);
}

TEST_F(PointStoreTest, WritersShareTheStoreButNotAVolumeAndGcHasItAlone) {
    {
        Store backup(dir_.path(), Store::Access::write, "backup X");
        Store forget(dir_.path(), Store::Access::write, "forget");
        StoreLock volume = StoreLock::volume(dir_.path(), "fs1", "Disk 0 Partition 0", "backup X");
        EXPECT_NO_THROW(StoreLock::volume(dir_.path(), "fs1", "Disk 0 Partition 1", "backup Y"));
        EXPECT_NO_THROW(StoreLock::volume(dir_.path(), "fs2", "Disk 0 Partition 0", "backup Z"));
        try {
            StoreLock::volume(dir_.path(), "fs1", "Disk 0 Partition 0", "backup again");
            ADD_FAILURE() << "a second backup of one volume was let in";
        } catch (const StoreInUse& error) {
            EXPECT_NE(std::string(error.what()).find("backup X"), std::string::npos)
                << error.what();
        }
        try {
            Store(dir_.path(), Store::Access::exclusive, "gc");
            ADD_FAILURE() << "gc was let in beside writers";
        } catch (const StoreInUse& error) {
            EXPECT_NE(std::string(error.what()).find("in use by other commands"), std::string::npos)
                << error.what();
        }
        // Readers may read beside writers.
        Store reader(dir_.path(), Store::Access::read, "restore");
        EXPECT_THROW(StoreLock(dir_.path(), StoreLock::Kind::write, "key add"), StoreInUse);
    }
    {
        Store gc(dir_.path(), Store::Access::exclusive, "gc");
        try {
            Store(dir_.path(), Store::Access::write, "backup X");
            ADD_FAILURE() << "a writer was let in beside gc";
        } catch (const StoreInUse& error) {
            EXPECT_NE(std::string(error.what()).find(": gc"), std::string::npos) << error.what();
        }
        EXPECT_THROW(Store(dir_.path(), Store::Access::read, "restore"), StoreInUse);
    }
    // gc may not run beside a reader.
    Store reader(dir_.path(), Store::Access::read, "restore");
    EXPECT_THROW(Store(dir_.path(), Store::Access::exclusive, "gc"), StoreInUse);
}

TEST_F(PointStoreTest, AStoreHeldByAKilledProcessIsFreeAgain) {
    // A process killed while it holds the lock releases it.
    test::TempDir other;
    createStore(other.path());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        Store held(other.path(), Store::Access::exclusive, "child");
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_THROW(Store(other.path(), Store::Access::write, "parent"), StoreInUse);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_NO_THROW(Store(other.path(), Store::Access::write, "parent"));
    close(ready[0]);
    close(ready[1]);
}

TEST_F(PointStoreTest, AStoreOfThePreviousLayoutIsRefusedWithWhatToDo) {
    test::TempDir old;
    fs::create_directories(old.path() / "Disk_0_Partition_0");
    std::ofstream(old.path() / "Disk_0_Partition_0" / "volume") << "block-size = 4096\n";
    std::ofstream(old.path() / "Disk_0_Partition_0" / "image") << "";
    for (auto access : {Store::Access::look, Store::Access::write}) {
        try {
            Store store(old.path(), access);
            ADD_FAILURE() << "the old layout was opened";
        } catch (const StoreError& error) {
            EXPECT_NE(error.message().find("new store folder"), std::string::npos);
            EXPECT_NE(error.message().find("image=FOLDER/image"), std::string::npos);
        }
    }
    EXPECT_THROW(createStore(old.path()), StoreError);
    EXPECT_FALSE(fs::exists(old.path() / "catalogue.db"));

    // A catalogue of a later layout is refused, never guessed at.
    test::runCommand("sqlite3 '" + (dir_.path() / "catalogue.db").string() +
                     "' \"UPDATE store SET value = '4' WHERE key = 'layout'\"");
    try {
        Store store(dir_.path(), Store::Access::look);
        ADD_FAILURE() << "a catalogue of layout 4 was opened";
    } catch (const StoreError& error) {
        EXPECT_NE(error.message().find("has layout 4"), std::string::npos) << error.message();
    }
}

// Only init makes a store: a folder that is missing, empty or holds anything else is
// refused by every access with what to run, and nothing is created in it.
TEST_F(PointStoreTest, OnlyInitMakesAStore) {
    test::TempDir empty;
    for (const fs::path& folder : {empty.path(), empty.path() / "typo"}) {
        for (auto access : {Store::Access::look, Store::Access::read, Store::Access::write,
                            Store::Access::exclusive}) {
            try {
                Store store(folder, access, "test");
                ADD_FAILURE() << folder << " was opened as a store";
            } catch (const StoreError& error) {
                EXPECT_NE(error.message().find("backup-server init " + folder.string()),
                          std::string::npos)
                    << error.message();
            }
        }
    }
    EXPECT_TRUE(fs::is_empty(empty.path()));
    createStore(empty.path() / "new");
    EXPECT_EQ(fs::status(empty.path() / "new").permissions() & fs::perms::all,
              fs::perms::owner_all);
    EXPECT_NO_THROW(Store(empty.path() / "new", Store::Access::write, "test"));
    EXPECT_THROW(createStore(empty.path() / "new"), StoreError);
}

// verify agent=NAME reads that agent's points alone: another agent's damage neither fails
// nor shows in its verdict, and a name the store does not know is an error, not a clean
// store.
TEST_F(PointStoreTest, VerifyOfOneAgentReadsOnlyThatAgentsPoints) {
    Volume ours;
    Volume theirs;
    for (std::uint64_t i = 0; i < 100; ++i) {
        ours.write(i * 13, static_cast<unsigned>(i));
        theirs.write(i * 13, static_cast<unsigned>(i) + 1000);
    }
    PointRecord own = addPoint(ours);
    auto builder = startPoint();
    builder->setUsed(theirs.used);
    for (const auto& [index, data] : theirs.blocks)
        builder->writeBlock(index, reinterpret_cast<const unsigned char*>(data.data()), md5(data));
    PointRecord details = agentPoint();
    details.agent = "other";
    PointRecord other = builder->commit(details);
    dropStore();
    fs::remove(chunkPath(other, 0));

    const std::string store = dir_.path().string();
    std::string output;
    EXPECT_EQ(runTool(verifyCommand, {store, std::string("agent=") + kAgent}, output, true),
              kExitOk)
        << output;
    EXPECT_NE(output.find("\"id\":" + std::to_string(own.id)), std::string::npos) << output;
    EXPECT_EQ(output.find("\"id\":" + std::to_string(other.id)), std::string::npos) << output;
    EXPECT_EQ(runTool(verifyCommand, {store, "agent=other"}, output), kExitDamaged) << output;
    EXPECT_THROW(runTool(verifyCommand, {store, "agent=typo"}, output), StoreError);
    EXPECT_THROW(
        runTool(verifyCommand,
                {store, "point=" + std::to_string(other.id), std::string("agent=") + kAgent},
                output),
        UsageError);
}

// A catalogue of layout 1 (before points recorded their protocol, agent and partition-table
// generations) with a partition table of that time beside it: a reader reads it as it is
// (the points are the legacy agent's, in protocol 1) and changes nothing; a writer
// upgrades it, adopting the partition table as a generation, and every point still
// restores.
class Layout1StoreTest : public PointStoreTest {
  protected:
    // Turns the store into one of layout 1 with a partition table of that time beside it.
    void makeLayout1() {
        image_.sectorSize = 512;
        image_.sectors.push_back({0, test::randomBytes(512, 7)});
        fs::rename(
            partitionTableFile(*store_, savePartitionTable(*store_, kAgent, "Disk 0", image_)),
            oldTable_);
        dropStore();
        test::runCommand("sqlite3 '" + (dir_.path() / "catalogue.db").string() +
                         "' \"DROP INDEX points_by_volume; ALTER TABLE points DROP COLUMN agent; "
                         "ALTER TABLE points DROP COLUMN protocol; DROP TABLE agents; "
                         "DROP TABLE partition_tables; UPDATE store SET value = '1' "
                         "WHERE key = 'layout'\"");
    }

    PartitionTableImage image_;
    const fs::path oldTable_ = dir_.path() / "Disk_0.ptable";
};

TEST_F(Layout1StoreTest, IsReadAsItIsAndUpgradedByAWriterWithNothingLost) {
    Volume volume;
    for (std::uint64_t i = 0; i < 100; ++i)
        volume.write(i * 7, static_cast<unsigned>(i));
    PointRecord first = addPoint(volume);
    makeLayout1();
    const PartitionTableImage& image = image_;
    const fs::path& oldTable = oldTable_;
    fs::path file = dir_.path() / "catalogue.db";
    auto layout = [&] {
        return test::runCommand("sqlite3 '" + file.string() +
                                "' \"SELECT value FROM store WHERE key = 'layout'\"");
    };
    {
        Store store(dir_.path(), Store::Access::read, "test");
        ASSERT_EQ(store.catalogue().points().size(), 1u);
        EXPECT_EQ(store.catalogue().points().front().protocol, 1u);
        EXPECT_EQ(store.catalogue().points().front().agent, kLegacyAgent);
        ASSERT_EQ(store.catalogue().agents().size(), 1u);
        EXPECT_EQ(store.catalogue().agents().front().name, kLegacyAgent);
        EXPECT_TRUE(store.catalogue().latest(kLegacyAgent, kDevice).has_value());
        PartitionTableRecord table = choosePartitionTable(store, kLegacyAgent, "Disk 0", 0);
        EXPECT_EQ(loadPartitionTable(store, table).sectors.front().data, image.sectors[0].data);
    }
    EXPECT_EQ(layout(), "1\n");
    expectPointHolds(first.id, volume);

    Volume before = volume;
    volume.write(3, 99);
    PointRecord second = addPoint(volume, {}, 2);
    dropStore();
    EXPECT_EQ(layout(), "3\n");
    EXPECT_FALSE(fs::exists(oldTable));
    Store store(dir_.path(), Store::Access::look);
    EXPECT_EQ(store.catalogue().point(first.id)->protocol, 1u);
    EXPECT_EQ(store.catalogue().point(first.id)->agent, kLegacyAgent);
    EXPECT_EQ(store.catalogue().point(second.id)->protocol, 2u);
    EXPECT_EQ(store.catalogue().point(second.id)->agent, kAgent);
    // The legacy agent has no key until a backup or trust names it.
    EXPECT_EQ(store.catalogue().agent(kLegacyAgent)->fingerprint, "");
    auto tables = store.catalogue().partitionTables(std::string(kLegacyAgent));
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(loadPartitionTable(store, tables.front()).sectors.front().data,
              image.sectors[0].data);
    expectPointHolds(first.id, before);
    expectPointHolds(second.id, volume);
}

// Writers that find an older store together (backups of several agents started at once)
// upgrade it once: every one opens it, and its partition table becomes one generation.
TEST_F(Layout1StoreTest, WritersOpeningItTogetherUpgradeItOnce) {
    Volume volume;
    volume.write(1, 1);
    addPoint(volume);
    makeLayout1();
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> writers;
    for (int i = 0; i < 6; ++i) {
        pid_t child = fork();
        if (child == 0) {
            close(start[1]);
            char byte = 0;
            int status = 2;
            if (read(start[0], &byte, 1) == 0) {  // all start when the pipe closes
                try {
                    Store store(dir_.path(), Store::Access::write, "backup");
                    status = 0;
                } catch (const std::exception&) {
                    status = 1;
                }
            }
            _exit(status);
        }
        writers.push_back(child);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t writer : writers) {
        int status = -1;
        waitpid(writer, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    Store store(dir_.path(), Store::Access::look);
    EXPECT_EQ(store.catalogue().partitionTables(std::string(kLegacyAgent)).size(), 1u);
    EXPECT_FALSE(fs::exists(oldTable_));
}

}  // namespace

namespace store_test {
namespace {

// Two chunks of the same bytes in one backup: the second is neither written nor counted,
// though the first may still be on its way when it comes.
TEST_F(PointStoreTest, AChunkMetTwiceInOneBackupIsStoredAndCountedOnce) {
    Volume volume;
    for (std::uint64_t i = 0; i < kChunkBlocks; ++i) {
        volume.write(i, static_cast<unsigned>(i));
        volume.write(i + kChunkBlocks, static_cast<unsigned>(i));
    }
    PointRecord point = addPoint(volume);
    EXPECT_EQ(chunkFiles(), 1u);
    EXPECT_EQ(point.storedBytes, fs::file_size(chunkPath(point, 0)));
    expectPointHolds(point.id, volume);
}

}  // namespace
}  // namespace store_test
