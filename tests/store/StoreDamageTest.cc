// Damage found by verify or by a backup is kept out of every later point: a chunk that is
// gone, or that verify set aside, is never named again, its blocks must be sent anew, and
// the point they make is whole. Readers refuse a point that lacks a chunk before they use
// any of it.
#include <gtest/gtest.h>

#include <fstream>

#include "PointStoreFixture.h"
#include "backup-server/store/StoreError.h"
#include "backup-server/store/StoreVerify.h"

namespace {

namespace fs = std::filesystem;
using namespace backup_server;
using namespace store_test;

class StoreDamageTest : public PointStoreTest {
  protected:
    void flipDataByte(const fs::path& chunk) {
        std::fstream file(chunk, std::ios::in | std::ios::out | std::ios::binary);
        file.seekg(-20, std::ios::end);
        char byte = static_cast<char>(file.get());
        file.seekp(-20, std::ios::end);
        file.put(static_cast<char>(byte ^ 0x10));
    }
};

TEST_F(StoreDamageTest, ChunksLostOrSetAsideAreSentAgainAndTheNewPointIsWhole) {
    Volume volume;
    for (std::uint64_t i = 0; i < kBlocks; i += 2)
        volume.write(i, static_cast<unsigned>(i));
    PointRecord first = addPoint(volume);
    dropStore();
    fs::path lost = chunkPath(first, 1);
    fs::path flipped = chunkPath(first, 3);
    fs::remove(lost);
    flipDataByte(flipped);

    // While another command changes the store, verify reports the damage but moves nothing.
    {
        Store writer(dir_.path(), Store::Access::write, "backup X");
        Store store(dir_.path(), Store::Access::read, "verify");
        VerifyReport report = verifyPoints(store, store.catalogue().points(), nullptr);
        setAsideDamaged(store, report);
        EXPECT_EQ(report.chunksSetAside, 0u);
        EXPECT_NE(report.setAsideNote.find("in use by other commands"), std::string::npos)
            << report.setAsideNote;
        EXPECT_TRUE(fs::exists(flipped));
    }
    // verify finds both and moves the flipped one aside (a lost one has nothing to move).
    {
        Store store(dir_.path(), Store::Access::read, "verify");
        VerifyReport report = verifyPoints(store, store.catalogue().points(), nullptr);
        ASSERT_TRUE(report.damaged());
        setAsideDamaged(store, report);
        EXPECT_EQ(report.chunksSetAside, 1u);
        EXPECT_TRUE(report.setAsideNote.empty()) << report.setAsideNote;
    }
    EXPECT_FALSE(fs::exists(flipped));
    EXPECT_TRUE(fs::exists(dir_.path() / "damaged" / flipped.filename()));

    // A reader refuses the point before it has used any block.
    {
        Store look(dir_.path(), Store::Access::look);
        PointReader reader(look, first);
        EXPECT_EQ(reader.absentChunks(), (std::vector<std::uint64_t>{1, 3}));
        try {
            reader.requireChunks();
            ADD_FAILURE() << "a point lacking chunks was let through";
        } catch (const StoreError& error) {
            EXPECT_NE(error.message().find("lacks 2 of its chunks"), std::string::npos)
                << error.message();
        }
    }

    // Nothing changed on the volume, yet the next point may not build on the lost chunks:
    // with nothing sent it is refused, and with their blocks sent it is whole.
    {
        auto builder = startPoint();
        builder->setUsed(volume.used);
        for (std::uint64_t i = 0; i < kBlocks; ++i)
            ASSERT_EQ(builder->held().bit(i), volume.used.bit(i) && i / 1024 != 1 && i / 1024 != 3)
                << i;
        EXPECT_THROW(builder->commit(agentPoint()), StoreError);
    }
    std::vector<std::uint64_t> resent;
    for (std::uint64_t i = 1024; i < 2048; i += 2)
        resent.push_back(i);
    for (std::uint64_t i = 3072; i < 4096; i += 2)
        resent.push_back(i);
    PointRecord second = addPoint(volume, resent);
    EXPECT_GT(second.storedBytes, 0u);
    dropStore();
    expectPointHolds(second.id, volume);
    Store look(dir_.path(), Store::Access::look);
    EXPECT_FALSE(verifyPoints(look, {second}, nullptr).damaged());
    // The lost chunk is back (same data, same name), so the first point is whole again; the
    // flipped one's good copy took its place too.
    EXPECT_TRUE(fs::exists(lost));
    EXPECT_TRUE(fs::exists(flipped));
}

// A sample reads a share of the distinct chunks, a different share for another seed, and
// never finds damage that is not there.
TEST_F(StoreDamageTest, VerifyCanReadASampleOfTheChunks) {
    Volume volume;
    for (std::uint64_t i = 0; i < kBlocks; i += 50)
        volume.write(i, static_cast<unsigned>(i));
    addPoint(volume);
    Volume second = volume;
    for (std::uint64_t i = 1; i < kBlocks; i += 50)
        second.write(i, static_cast<unsigned>(i));
    addPoint(second);
    dropStore();
    Store look(dir_.path(), Store::Access::look);
    auto points = look.catalogue().points();
    VerifyReport all = verifyPoints(look, points, nullptr);
    EXPECT_EQ(all.chunksRead, 10u);
    std::uint64_t least = all.chunksRead;
    std::uint64_t most = 0;
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        VerifyReport sample = verifyPoints(look, points, nullptr, {30, seed});
        EXPECT_FALSE(sample.damaged());
        least = std::min(least, sample.chunksRead);
        most = std::max(most, sample.chunksRead);
    }
    EXPECT_LT(least, most);  // the seed chooses
    EXPECT_LT(least, all.chunksRead);
    EXPECT_NE(describeVerify(verifyPoints(look, points, nullptr, {30, 3}))
                  .find("a sample of 30% of the chunks"),
              std::string::npos);
}

}  // namespace
