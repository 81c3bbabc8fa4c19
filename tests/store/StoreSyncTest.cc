// What a commit makes durable: every chunk file the point names, whether this backup wrote
// it or found it left whole by one that never completed.
#include <gtest/gtest.h>

#include <vector>

#include "backup-server/ChunkStore.h"
#include "backup-server/Store.h"
#include "common/TempDir.h"
#include "runtime/Exceptions.h"

namespace {

namespace fs = std::filesystem;
using backup_server::ChunkShape;
using backup_server::ChunkStore;
using backup_server::Store;

constexpr ChunkShape kShape{4096, 2};

std::vector<unsigned char> chunkData(unsigned char fill) {
    return std::vector<unsigned char>(kShape.dataBytes(), fill);
}

TEST(StoreSyncTest, ChunksFoundWholeAreSyncedLikeChunksWritten) {
    test::TempDir dir;
    Store store(dir.path() / "store", Store::Access::write);
    std::vector<blocks::BlockDigest> digests(kShape.blocks);
    auto first = chunkData('a');
    auto second = chunkData('b');
    auto firstName = backup_server::chunkName(kShape, first.data());
    auto secondName = backup_server::chunkName(kShape, second.data());
    {
        // A backup that stored a chunk and never committed.
        ChunkStore earlier(store.chunkFolder());
        EXPECT_GT(earlier.put(firstName, kShape, first.data(), digests.data()), 0u);
    }
    ChunkStore chunks(store.chunkFolder());
    EXPECT_EQ(chunks.put(firstName, kShape, first.data(), digests.data()), 0u);
    EXPECT_GT(chunks.put(secondName, kShape, second.data(), digests.data()), 0u);
    EXPECT_EQ(chunks.put(secondName, kShape, second.data(), digests.data()), 0u);
    std::vector<fs::path> expected{chunks.pathOf(firstName), chunks.pathOf(secondName),
                                   chunks.pathOf(secondName)};
    EXPECT_EQ(chunks.filesPut(), expected);
    EXPECT_NO_THROW(store.syncFiles(chunks.filesPut()));
}

TEST(StoreSyncTest, AFileThatCannotBeSyncedFailsTheCommit) {
    test::TempDir dir;
    Store store(dir.path() / "store", Store::Access::write);
    std::vector<fs::path> files{store.chunkFolder() / "00" / "missing"};
    EXPECT_THROW(store.syncFiles(files), runtime::AgentException);
    // Beyond the per-file limit the whole file system is synced instead, which names no file.
    files.assign(Store::kMostFileSyncs + 1, store.chunkFolder() / "00" / "missing");
    for (std::size_t i = 0; i < files.size(); ++i)
        files[i] += std::to_string(i);
    EXPECT_NO_THROW(store.syncFiles(files));
}

}  // namespace
