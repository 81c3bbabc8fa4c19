// Reading a store from media that cannot be written (a read-only mount, a full file
// system) and reading beside forget: points, verify and the points' blocks work, and
// nothing is written to the store.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "PointStoreFixture.h"
#include "backup-server/commands/Command.h"
#include "backup-server/store/StoreGc.h"
#include "backup-server/store/StoreVerify.h"

namespace {

namespace fs = std::filesystem;
using namespace backup_server;
using namespace store_test;

// Every file below root with its size and modification time.
std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> listing(const fs::path& root) {
    std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        files[entry.path().lexically_relative(root).string()] = {
            entry.is_regular_file() ? entry.file_size() : 0, entry.last_write_time()};
    }
    return files;
}

// A mount made for one test, undone with it.
class Mount {
  public:
    explicit Mount(const fs::path& target) : target_(target) {}
    ~Mount() {
        if (made)
            ::umount2(target_.c_str(), MNT_DETACH);
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    bool made = false;

  private:
    fs::path target_;
};

class StoreMediaTest : public PointStoreTest {
  protected:
    // A store of two points; returns the volume of the latest.
    Volume twoPoints() {
        Volume volume;
        for (std::uint64_t i = 0; i < kBlocks; i += 3)
            volume.write(i, static_cast<unsigned>(i));
        addPoint(volume);
        volume.write(2000, 5);
        addPoint(volume, {2000});
        dropStore();
        return volume;
    }

    // points, verify and every block of the latest point, read from root.
    void expectReadable(const fs::path& root, const Volume& volume) {
        std::string output;
        EXPECT_EQ(runTool(pointsCommand, {root.string()}, output), kExitOk) << output;
        EXPECT_NE(output.find(kDevice), std::string::npos) << output;
        EXPECT_EQ(runTool(verifyCommand, {root.string()}, output), kExitOk) << output;
        EXPECT_NE(output.find("verified 2 points"), std::string::npos) << output;
        Store store(root, Store::Access::read, "restore");
        PointReader reader(store, *store.catalogue().latest(kAgent, kDevice));
        reader.requireChunks();
        for (std::uint64_t i = 0; i < kBlocks; ++i) {
            ASSERT_TRUE(std::string(reinterpret_cast<const char*>(reader.block(i)), kBlock) ==
                        volume.read(i))
                << i;
        }
    }
};

TEST_F(StoreMediaTest, AStoreOnAReadOnlyMountIsReadAndNothingIsWritten) {
    Volume volume = twoPoints();
    test::TempDir mountPoint;
    Mount mount(mountPoint.path());
    mount.made =
        ::mount(dir_.path().c_str(), mountPoint.path().c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (!mount.made || ::mount(nullptr, mountPoint.path().c_str(), nullptr,
                               MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        GTEST_SKIP() << "this sandbox does not allow a read-only bind mount: "
                     << std::strerror(errno);
    }
    ASSERT_FALSE(std::ofstream(mountPoint.path() / "probe"));  // root cannot write either
    auto before = listing(dir_.path());
    expectReadable(mountPoint.path(), volume);
    EXPECT_EQ(listing(dir_.path()), before);

    // Damage is reported, and verify says why it could not set the chunk aside.
    PointRecord latest =
        *Store(dir_.path(), Store::Access::look).catalogue().latest(kAgent, kDevice);
    fs::path chunk = chunkPath(latest, 1);
    fs::remove(chunk);
    before = listing(dir_.path());
    std::string output;
    EXPECT_EQ(runTool(verifyCommand, {mountPoint.path().string()}, output), kExitDamaged);
    EXPECT_NE(output.find("were not set aside: Cannot open"), std::string::npos) << output;
    EXPECT_NE(output.find("Read-only file system"), std::string::npos) << output;
    EXPECT_EQ(listing(dir_.path()), before);
}

TEST_F(StoreMediaTest, AStoreOnAFullFileSystemIsRead) {
    Volume volume = twoPoints();
    test::TempDir mountPoint;
    Mount mount(mountPoint.path());
    mount.made = ::mount("tmpfs", mountPoint.path().c_str(), "tmpfs", 0, "size=16m") == 0;
    if (!mount.made)
        GTEST_SKIP() << "this sandbox does not allow a tmpfs mount: " << std::strerror(errno);
    fs::path root = mountPoint.path() / "store";
    fs::copy(dir_.path(), root, fs::copy_options::recursive);
    {
        // Fill every byte left.
        std::ofstream filler(mountPoint.path() / "filler", std::ios::binary);
        std::string block(64 * 1024, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())))
            filler.flush();
    }
    {
        std::ofstream filler(mountPoint.path() / "filler-small", std::ios::binary);
        for (int i = 0; i < 65536 && filler.put('f') && filler.flush(); ++i) {
        }
    }
    ASSERT_FALSE(std::ofstream(root / "probe") << std::string(8192, 'p') << std::flush);
    expectReadable(root, volume);
}

// A restore that has read the catalogue keeps its point while forget removes it: forget
// leaves the point's files for gc, and gc waits for the restore to end.
TEST_F(StoreMediaTest, AReaderKeepsItsPointWhileForgetRemovesIt) {
    Volume older;
    for (std::uint64_t i = 0; i < kBlocks; i += 3)
        older.write(i, static_cast<unsigned>(i));
    PointRecord first = addPoint(older);
    Volume newer = older;
    newer.write(10, 99);
    addPoint(newer, {10});
    dropStore();

    fs::path index;
    {
        Store reading(dir_.path(), Store::Access::read, "restore");
        PointRecord chosen = *reading.catalogue().point(first.id);
        std::string output;
        ASSERT_EQ(runTool(forgetCommand, {dir_.path().string(), "keep-last=1"}, output), kExitOk)
            << output;
        EXPECT_NE(output.find("forgot point " + std::to_string(first.id)), std::string::npos);
        EXPECT_FALSE(reading.catalogue().point(first.id));
        PointReader reader(reading, chosen);
        reader.requireChunks();
        for (std::uint64_t i = 0; i < kBlocks; ++i)
            ASSERT_TRUE(std::string(reinterpret_cast<const char*>(reader.block(i)), kBlock) ==
                        older.read(i));
        EXPECT_THROW(Store(dir_.path(), Store::Access::exclusive, "gc"), StoreInUse);
        index = reading.indexPath(chosen.indexFile);
    }
    // Once the reader is done, gc removes the forgotten point's index and chunks.
    EXPECT_TRUE(fs::exists(index));
    Store gc(dir_.path(), Store::Access::exclusive, "gc");
    GcReport report = collectGarbage(gc, nullptr);
    EXPECT_EQ(report.filesRemoved, 1u);
    EXPECT_GT(report.chunksRemoved, 0u);
    EXPECT_FALSE(fs::exists(index));
}

}  // namespace
