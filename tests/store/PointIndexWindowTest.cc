// A point index read back from an object store whose gets are bounded: a large volume's
// index (its entries and its used map) must come a window at a time, never in one get.
#include <gtest/gtest.h>

#include "backup-server/objects/FolderBlobStore.h"
#include "backup-server/store/PointIndex.h"
#include "common/TempDir.h"

namespace {

using namespace backup_server;

// A folder that refuses, as a bucket does past objects::kMaxGetBytes, any get longer than
// limit: here a megabyte, to stand for the bucket's bound at a test's size.
class BoundedGets : public objects::FolderBlobStore {
  public:
    BoundedGets(const std::filesystem::path& folder, std::uint64_t limit)
        : FolderBlobStore(folder), limit_(limit) {}
    std::string get(const std::string& key, std::optional<objects::BlobRange> range = {}) override {
        if (!range || range->length > limit_)
            ZENTRAD_THROW(objects::BlobError, objects::BlobError::Kind::invalid, "get too long");
        return FolderBlobStore::get(key, range);
    }

  private:
    std::uint64_t limit_;
};

TEST(PointIndexWindows, AnIndexLargerThanAnyGetIsReadBackWhole) {
    test::TempDir dir;
    // 2 MiB of used map and 8 MiB of entries: each larger than one get may be.
    PointGeometry geometry{4096, 64, std::uint64_t{16} << 20};
    blocks::BlockMap used(geometry.blockCount);
    for (std::uint64_t block = 7; block < geometry.blockCount; block += 999)
        used.setBit(block);
    std::filesystem::create_directories(dir.path() / "objects/points");
    PointIndexWriter writer(dir.path() / "objects/points/big.index", geometry);
    for (std::uint64_t chunk = 0; chunk < geometry.chunkCount(); ++chunk) {
        Sha256Digest name{};
        name[0] = static_cast<unsigned char>(chunk);
        name[31] = static_cast<unsigned char>(chunk >> 8);
        writer.addEntry(name);
    }
    Sha256Digest seal = writer.finish(used);

    BoundedGets objects(dir.path() / "objects", std::uint64_t{1} << 20);
    PointIndexReader reader(objects, "points/big.index", *StoreCipher::plain());
    EXPECT_EQ(reader.seal(), seal);
    EXPECT_EQ(reader.geometry(), geometry);
    EXPECT_TRUE(reader.used().bit(7 + 999 * 16000));
    EXPECT_FALSE(reader.used().bit(8 + 999 * 16000));
    Sha256Digest last = reader.entry(geometry.chunkCount() - 1);
    EXPECT_EQ(last[0], static_cast<unsigned char>(geometry.chunkCount() - 1));
    EXPECT_EQ(last[31], static_cast<unsigned char>((geometry.chunkCount() - 1) >> 8));
}

}  // namespace
