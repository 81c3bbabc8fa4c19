// Copies of the catalogue in a bucket (here objects in a folder), and the catalogue rebuilt
// from the newest copy that opens.
#include "PointStoreFixture.h"
#include "backup-server/objects/FolderBlobStore.h"
#include "backup-server/store/CatalogueCopies.h"
#include "backup-server/store/StoreError.h"

namespace store_test {
namespace {

TEST_F(PointStoreTest, CatalogueCopiesKeepTheNewestTwoAndARebuildTakesTheNewestThatOpens) {
    Volume volume;
    volume.write(7, 1);
    PointRecord point = addPoint(volume);
    dropStore();
    objects::FolderBlobStore bucket(dir_.path() / "bucket");
    auto cipher = StoreCipher::fromMasterKey(std::string(32, 'm'));
    {
        Store store(dir_.path(), Store::Access::read);
        for (int i = 0; i < 3; ++i)
            uploadCatalogueCopy(store.catalogue(), bucket, *cipher, dir_.path() / "scratch");
    }
    EXPECT_EQ(catalogueGenerations(bucket), (std::vector<std::uint64_t>{3, 2}));
    EXPECT_TRUE(fs::is_empty(dir_.path() / "scratch"));

    // The newest copy cut short, and a newer one sealed under another key: both skipped.
    std::string newest = bucket.get(catalogueCopyKey(3));
    bucket.remove(catalogueCopyKey(3));
    bucket.put(catalogueCopyKey(3), newest.substr(0, newest.size() / 2));
    std::string foreign = StoreCipher::fromMasterKey(std::string(32, 'x'))
                              ->seal(SealedKind::catalogue, catalogueCopyKey(4), "SQLite format 3");
    bucket.put(catalogueCopyKey(4), foreign);

    fs::path rebuilt = dir_.path() / "rebuilt.db";
    CatalogueRebuild rebuild = rebuildCatalogueFile(bucket, *cipher, rebuilt);
    EXPECT_EQ(rebuild.generation, 2u);
    EXPECT_EQ(rebuild.skipped.size(), 2u);
    EXPECT_EQ(rebuild.points, 1u);
    // This bucket holds no index: the point is reported, not dropped.
    EXPECT_EQ(rebuild.pointsWithoutIndex, std::vector<std::int64_t>{point.id});
    {
        Catalogue catalogue(rebuilt, Catalogue::Mode::read);
        ASSERT_EQ(catalogue.points().size(), 1u);
        EXPECT_EQ(catalogue.points()[0].indexSeal, point.indexSeal);
    }

    // Without a copy that opens nothing is written.
    bucket.remove(catalogueCopyKey(2));
    fs::path none = dir_.path() / "none.db";
    EXPECT_THROW(rebuildCatalogueFile(bucket, *cipher, none), backup_server::StoreError);
    EXPECT_FALSE(fs::exists(none));
}

}  // namespace
}  // namespace store_test
